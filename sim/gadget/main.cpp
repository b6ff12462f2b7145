// korbex-adapter-gadget: the simulated adapter as a real USB HID device. It serves the
// same AdapterModel as korbex-update --simulate through a configfs HID gadget, so any
// host (Linux, Windows, macOS) sees an adapter on its USB port: dummy_hcd on this
// machine, or a cable to a small board with a USB device port.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hid/DeviceFamily.h"
#include "sim/SimulateOptions.h"
#include "sim/SimulatedAdapter.h"
#include "sim/gadget/ConfigfsGadget.h"

namespace {

using namespace korbex;

// After Finish the adapter sends its reply, then leaves the bus; this long at most
// for the host to fetch the reply.
constexpr std::uint64_t kReplyDrainMs = 100;

constexpr const char* kUsage =
    "Usage: korbex-adapter-gadget [OPTIONS] [KEY=VALUE,...]\n"
    "Serves the simulated Korbex adapter as a USB HID device (configfs: libcomposite + usb_f_hid)\n"
    "until it is stopped (Ctrl-C, SIGTERM); then it takes the device off the bus and removes it.\n"
    "\n"
    "  --udc NAME          USB device controller to bind to (default: the first free one in\n"
    "                      /sys/class/udc: held by no other korbex-adapter-gadget, bound to no other gadget)\n"
    "  --serial TEXT       USB serial number string (default SIM-000N, N the controller's place in\n"
    "                      /sys/class/udc counted from 1), so adapters side by side can be told apart\n"
    "  --restart-ms LIST   time off the bus when Finish restarts the adapter, in ms; a comma list\n"
    "                      is used in turn, one entry per restart (default 200)\n"
    "  --replug-ms N       time off the bus after an unplug fault (default 1000)\n"
    "  --name NAME         configfs gadget name (default korbex-adapter-UDC, e.g. korbex-adapter-dummy_udc.0)\n"
    "  -v, --verbose       log every report\n"
    "  -h, --help\n"
    "\n"
    "KEYS are korbex-update's --simulate keys:\n"
    "  product=0x6E41|0x2D93  product-after-finish=0x6E41|0x2D93  version=MAJ.MIN|N  beta=N\n"
    "  loader-size=N  erase-unit=N  flash-size=N  flash-in=FILE  flash-out=FILE  head=staged|direct\n"
    "  head-address=N  latency-ms=N  fault=KIND[:COMMAND][@N][xCOUNT][+...]\n"
    "A fault of kind 'unplug' takes the device off the bus at that report and plugs it back in\n"
    "after --replug-ms, flash kept (e.g. fault=unplug:WriteRecord@40); 'disconnect' leaves for\n"
    "good. flash-out is written at every restart, every unplug and at exit.\n"
    "Several adapters: start one gadget per controller (dummy_hcd num=N gives N); each takes a\n"
    "free controller, its own configfs name and its own serial number.\n";

std::uint64_t NowMs() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

const std::uint64_t kStartMs = NowMs();

void Log(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const std::uint64_t t = NowMs() - kStartMs;
  std::fprintf(stderr, "[%5llu.%03llu] korbex-adapter-gadget: %s\n", static_cast<unsigned long long>(t / 1000),
               static_cast<unsigned long long>(t % 1000), text);
}

bool ParseDelays(const std::string& text, std::vector<std::uint32_t>& out) {
  out.clear();
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0' || errno != 0 || v > 600000) return false;
    out.push_back(static_cast<std::uint32_t>(v));
    start = comma + 1;
  }
  return !out.empty();
}

// The longest USB string descriptor holds 126 UTF-16 units.
constexpr std::size_t kMaxSerialLength = 126;

struct Options {
  std::string udc;
  std::string name;    // empty: korbex-adapter-<udc>
  std::string serial;  // empty: SIM-000N from the controller's place
  std::vector<std::uint32_t> restartMs{200};
  std::uint32_t replugMs = 1000;
  bool verbose = false;
  sim::SimulateOptions adapter;
};

// 2 on a usage error (after saying why), 1 for --help handled, 0 to go on.
int ParseArguments(int argc, char** argv, Options& o) {
  enum { kUdc = 1, kRestart, kReplug, kName, kSerial };
  static const option longOptions[] = {
      {"udc", required_argument, nullptr, kUdc},
      {"restart-ms", required_argument, nullptr, kRestart},
      {"replug-ms", required_argument, nullptr, kReplug},
      {"name", required_argument, nullptr, kName},
      {"serial", required_argument, nullptr, kSerial},
      {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  std::vector<std::uint32_t> replug;
  for (int c; (c = getopt_long(argc, argv, "vh", longOptions, nullptr)) != -1;) {
    switch (c) {
      case kUdc:
        o.udc = optarg;
        break;
      case kRestart:
        if (!ParseDelays(optarg, o.restartMs)) {
          std::fprintf(stderr, "korbex-adapter-gadget: --restart-ms '%s': expected ms[,ms...] (0..600000)\n", optarg);
          return 2;
        }
        break;
      case kReplug:
        if (!ParseDelays(optarg, replug) || replug.size() != 1) {
          std::fprintf(stderr, "korbex-adapter-gadget: --replug-ms '%s': expected one number of ms\n", optarg);
          return 2;
        }
        o.replugMs = replug.front();
        break;
      case kName:
        o.name = optarg;
        if (o.name.empty() || o.name.find('/') != std::string::npos || o.name[0] == '.') {
          std::fprintf(stderr, "korbex-adapter-gadget: --name '%s': expected a folder name\n", optarg);
          return 2;
        }
        break;
      case kSerial:
        o.serial = optarg;
        if (o.serial.empty() || o.serial.size() > kMaxSerialLength ||
            !std::all_of(o.serial.begin(), o.serial.end(), [](char ch) { return ch >= 0x20 && ch < 0x7F; })) {
          std::fprintf(stderr, "korbex-adapter-gadget: --serial '%s': expected 1 to %zu printable ASCII characters\n",
                       optarg, kMaxSerialLength);
          return 2;
        }
        break;
      case 'v':
        o.verbose = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 1;
      default:
        std::fputs(kUsage, stderr);
        return 2;
    }
  }
  std::string keys;
  for (int i = optind; i < argc; ++i) keys += std::string(keys.empty() ? "" : ",") + argv[i];
  std::string error;
  if (!sim::ParseSimulateOptions(keys, o.adapter, error)) {
    std::fprintf(stderr, "korbex-adapter-gadget: %s\n", error.c_str());
    return 2;
  }
  if (!o.adapter.lockPath.empty()) {
    std::fprintf(
        stderr,
        "korbex-adapter-gadget: key 'lock-path' is korbex-update's (the gadget's adapter has a node of its own)\n");
    return 2;
  }
  return 0;
}

// The gadget's name when none was given: one per controller, so gadgets side by side
// never replace each other, and a killed one is replaced by the next on its controller.
std::string DefaultName(const std::string& udc) { return "korbex-adapter-" + udc; }

// Picks and holds the controller (the one named, or the first free one) and settles the
// name and serial number that follow from it. False after saying why.
bool ClaimController(Options& o, const std::vector<std::string>& controllers, gadget::UdcClaim& claim) {
  std::string error;
  if (!o.udc.empty()) {
    if (!claim.Take(o.udc, error)) {
      Log("controller %s: %s", o.udc.c_str(), error.empty() ? "another korbex-adapter-gadget holds it" : error.c_str());
      return false;
    }
  } else {
    for (const auto& udc : controllers) {
      // Bound to a gadget of another name: someone else's (a stale one of ours under
      // this name is replaced when the gadget is made).
      const std::string bound = gadget::ConfigfsGadget::BoundGadget(udc);
      const std::string name = o.name.empty() ? DefaultName(udc) : o.name;
      if (!bound.empty() && bound != name) continue;
      if (claim.Take(udc, error)) {
        o.udc = udc;
        break;
      }
      if (!error.empty()) {
        Log("controller %s: %s", udc.c_str(), error.c_str());
        return false;
      }
    }
    if (o.udc.empty()) {
      Log("every USB device controller is taken (%zu in /sys/class/udc; dummy_hcd num=N gives N)", controllers.size());
      return false;
    }
  }
  if (o.name.empty()) o.name = DefaultName(o.udc);
  if (o.serial.empty()) {
    const auto at = std::find(controllers.begin(), controllers.end(), o.udc);
    char serial[32];
    std::snprintf(serial, sizeof serial, "SIM-%04zu", static_cast<std::size_t>(at - controllers.begin()) + 1);
    o.serial = serial;
  }
  return true;
}

class Server {
 public:
  Server(const Options& o, sim::AdapterModel& model, gadget::ConfigfsGadget& usb) : o_(o), model_(model), usb_(usb) {}

  // Serves until a signal arrives on signalFd. False when the device could not be put
  // on the bus.
  bool Run(int signalFd) {
    if (!GoOn()) return false;
    for (;;) {
      const std::uint64_t now = NowMs();
      if (state_ == State::Off && now >= backAtMs_) {
        if (model_.Disconnected() && !model_.Replug()) {
          Log("left for good (a disconnect fault); stop me to remove the gadget");
          state_ = State::Gone;
        } else if (!GoOn()) {
          return false;
        }
      }
      if (!Poll(signalFd, now)) return true;
    }
  }

 private:
  enum class State { On, Off, Gone };

  bool GoOn() {
    std::string error, node;
    const std::uint16_t product = model_.CurrentProductId();
    if (!usb_.SetProductId(product, error) || !usb_.Bind(o_.udc, node, error)) {
      Log("cannot put the device on the bus: %s", error.c_str());
      return false;
    }
    fd_ = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
      Log("cannot open %s: %s", node.c_str(), std::strerror(errno));
      return false;
    }
    writePending_ = false;
    state_ = State::On;
    Log("on the bus through %s as %04x:%04x serial %s (%s)", o_.udc.c_str(), model_.Config().vendorId, product,
        o_.serial.c_str(), node.c_str());
    return true;
  }

  void GoOff(std::uint32_t forMs, const char* why) {
    // What a restarting adapter had queued never reaches the host.
    std::uint8_t dropped[kReportSize];
    while (model_.PopInputReport(dropped)) {
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    usb_.Unbind();
    if (std::string why; !sim::WriteFlashOut(model_, o_.adapter.flashOut, &why)) Log("flash-out: %s", why.c_str());
    state_ = State::Off;
    backAtMs_ = NowMs() + forMs;
    leaveAtMs_ = 0;
    Log("off the bus (%s) for %u ms", why, forMs);
  }

  // One wait for a report, a due reply, a restart or a signal. False on a signal.
  bool Poll(int signalFd, std::uint64_t now) {
    auto until = [now](std::uint64_t at) { return at > now ? static_cast<int>(at - now) : 0; };
    int timeout = -1;  // Gone: only a signal ends the wait
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {fd_, POLLIN, 0}};
    if (state_ == State::Off) timeout = until(backAtMs_);
    if (state_ == State::On) {
      std::uint64_t readyAt = 0;
      // POLLOUT says the host has fetched the reply written last.
      if (writePending_) fds[1].events |= POLLOUT;
      if (!writePending_ && model_.NextReplyReadyAt(readyAt)) timeout = until(readyAt);
      if (leaveAtMs_ != 0) timeout = timeout < 0 ? until(leaveAtMs_) : std::min(timeout, until(leaveAtMs_));
    }
    if (::poll(fds, state_ == State::On ? 2 : 1, timeout) < 0 && errno != EINTR) {
      Log("poll: %s", std::strerror(errno));
    }
    if (fds[0].revents & POLLIN) return false;
    if (state_ != State::On) return true;

    if (fds[1].revents & POLLOUT) writePending_ = false;
    if (fds[1].revents & POLLIN) Receive();
    if (state_ != State::On) return true;
    if (!writePending_) SendDueReply();
    std::uint64_t ignored;
    if (leaveAtMs_ != 0 && (NowMs() >= leaveAtMs_ || (!writePending_ && !model_.NextReplyReadyAt(ignored)))) {
      GoOff(o_.restartMs[restarts_++ % o_.restartMs.size()], "restart after Finish");
    }
    return true;
  }

  void Receive() {
    // Output reports arrive as the host wrote them, without the report id: 64 bytes,
    // or fewer for a short write. The model takes them with id 0 in front.
    std::uint8_t report[1 + 64] = {};
    const ssize_t n = ::read(fd_, report + 1, 64);
    if (n <= 0) {
      if (n < 0 && errno != EAGAIN && errno != EINTR) Log("read: %s", std::strerror(errno));
      return;
    }
    ++received_;
    if (o_.verbose) {
      Log("report %llu (%zd bytes): %02x %02x %02x %02x %02x %02x", static_cast<unsigned long long>(received_), n,
          report[1], report[2], report[3], report[4], report[5], report[6]);
    }
    const std::uint32_t restartsBefore = model_.Restarts();
    model_.HandleOutputReport(report, static_cast<std::size_t>(n) + 1, NowMs() + o_.adapter.link.latencyMs);
    if (model_.Disconnected()) {
      Log("a fault at report %llu takes the device off the bus", static_cast<unsigned long long>(received_));
      GoOff(o_.replugMs, "unplugged");
      return;
    }
    if (model_.Restarts() != restartsBefore) leaveAtMs_ = NowMs() + kReplyDrainMs;
  }

  void SendDueReply() {
    std::uint64_t readyAt = 0;
    if (!model_.NextReplyReadyAt(readyAt) || readyAt > NowMs()) return;
    std::uint8_t reply[kReportSize];
    if (!model_.PopInputReport(reply)) return;
    // The input report goes out without its id, as the host's HID driver expects for
    // a device without numbered reports.
    const ssize_t n = ::write(fd_, reply + 1, kReportDataSize);
    if (n != static_cast<ssize_t>(kReportDataSize)) {
      Log("reply not sent: %s", n < 0 ? std::strerror(errno) : "short write");
      return;
    }
    writePending_ = true;
  }

  const Options& o_;
  sim::AdapterModel& model_;
  gadget::ConfigfsGadget& usb_;
  State state_ = State::Off;
  int fd_ = -1;
  bool writePending_ = false;
  std::uint64_t backAtMs_ = 0;
  std::uint64_t leaveAtMs_ = 0;  // a restart is due: leave once the replies are out, or then
  std::uint64_t received_ = 0;
  std::size_t restarts_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const int code = ParseArguments(argc, argv, o); code != 0) return code == 1 ? 0 : 2;

  // Signals arrive through a descriptor, so every wait (also the time off the bus) ends
  // at once and the gadget is always removed.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) {
    Log("signalfd: %s", std::strerror(errno));
    return 1;
  }

  const auto controllers = gadget::ConfigfsGadget::Controllers();
  if (o.udc.empty() && controllers.empty()) {
    Log("no USB device controller in /sys/class/udc (load dummy_hcd for a virtual one, or use a board with a "
        "USB device port)");
    return 1;
  }
  gadget::UdcClaim claim;
  if (!ClaimController(o, controllers, claim)) return 1;

  std::unique_ptr<sim::AdapterModel> model;
  try {
    model = std::make_unique<sim::AdapterModel>(o.adapter.adapter);
  } catch (const std::exception& e) {
    Log("%s", e.what());
    return 2;
  }
  gadget::ConfigfsGadget usb;
  gadget::GadgetIdentity identity{o.adapter.adapter.vendorId, o.adapter.adapter.productId, "Korbex",
                                  "Korbex 2.4G adapter (simulated)", o.serial};
  std::string error;
  if (!usb.Create(o.name, identity, error)) {
    Log("cannot make the gadget: %s", error.c_str());
    return 1;
  }
  Server server(o, *model, usb);
  const bool ok = server.Run(signalFd);
  usb.Teardown();
  if (std::string why; !sim::WriteFlashOut(*model, o.adapter.flashOut, &why)) Log("flash-out: %s", why.c_str());
  const auto stats = model->StatsSnapshot();
  Log("removed; %u reports, %u restarts, %u erases, %u records, %u checks", stats.exchanges, model->Restarts(),
      stats.erases, stats.records, stats.checks);
  return ok ? 0 : 1;
}
