// korbex-bench: the real update engine against the simulated adapter, measured against
// what the protocol allows. USB carries one 64-byte report per 1 ms frame each way and
// the adapter answers every report, so an update cannot be faster than its exchanges
// times the link's latency plus the protocol's own waits (16 ms after QueryLoader,
// 2000 ms before Finish). The program should sit on that bound: the host must spend
// next to nothing per exchange and allocate nothing per block.
//
//   korbex-bench [--latency-ms N] [--image-kib N] [--runs N] [--cpu-runs N] [--check]
//   korbex-bench --device PATH [--image-kib N] [--round-trips N]
//
// Prints one line per figure and a last line "ratio R" (update time / bound).
// --device measures a real HID device instead (the USB gadget serving the simulated
// adapter): first the floor of its stack, the round trip of a bare 64-byte write and
// the read of its answer; then one update, whose bound is exchanges x that floor.
// --check: exit 1 when a target is missed (R > 1.02, more than 5 us of host CPU per
// exchange, any allocation during the block passes).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bench/BenchDevice.h"
#include "hid/DeviceFamily.h"
#include "hid/ReportChannel.h"
#include "protocol/BootProtocol.h"
#include "sim/FirmwareFixture.h"
#include "sim/SimulatedAdapter.h"
#include "text/OperationLog.h"
#include "update/FirmwareImage.h"
#include "update/UpdateEngine.h"

// Every allocation of the process, counted. Only the bench replaces these; the
// engine and the adapter model are the same code as everywhere else.
namespace {
std::atomic<std::uint64_t> allocations{0};

void* CountedAlloc(std::size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return CountedAlloc(n); }
void* operator new[](std::size_t n) { return CountedAlloc(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace korbex;
using Clock_ = std::chrono::steady_clock;

// Targets the figures are held to.
constexpr double kMaxRatio = 1.02;
constexpr double kMaxCpuPerExchangeUs = 5.0;

struct Options {
  std::uint32_t latencyMs = 1;
  std::uint32_t imageKib = 256;
  int runs = 3;     // real-clock runs of each kind; the median is reported
  int cpuRuns = 5;  // zero-latency runs; the fastest is reported
  bool check = false;
  std::string device;     // --device: a real HID device instead of the simulated one
  int roundTrips = 1000;  // --device: bare write + read pairs timed for the floor
};

// Answers OK at once and notes the allocation count at the first and the last block
// event, so the window covers the write pass, the check pass and the head check.
class BenchListener final : public UpdateListener {
 public:
  void EnableUpdateButton(bool) override {}
  void SetProgress(std::uint32_t) override {}
  bool ConfirmFirmware(std::u16string_view) override { return true; }
  void ShowMessage(std::u16string_view) override {}
  void ShowResultLabel() override {}
  std::uint16_t UiLanguage() override { return 0x0409; }
  void OnUpdateEvent(const UpdateEvent& e) override {
    using K = UpdateEvent::Kind;
    if (e.kind != K::BlockSkipped && e.kind != K::BlockWritten && e.kind != K::BlockNotWritten &&
        e.kind != K::BlockVerified && e.kind != K::BlockDiffers && e.kind != K::BlockUnanswered) {
      return;
    }
    const std::uint64_t now = allocations.load(std::memory_order_relaxed);
    if (!sawBlock) firstBlockAllocs = now;
    sawBlock = true;
    lastBlockAllocs = now;
    if (e.kind == K::BlockWritten) ++written;
    if (e.kind == K::BlockSkipped) ++skipped;
    // The write pass block by block: where the time goes when a run is slow.
    if (e.phase == UpdatePhase::WritePass && blockEnds.size() < blockEnds.capacity())
      blockEnds.push_back(Clock_::now());
  }

  // Reserved before the run, so recording never allocates inside the window.
  std::vector<Clock_::time_point> blockEnds;
  bool sawBlock = false;
  std::uint64_t firstBlockAllocs = 0, lastBlockAllocs = 0;
  std::uint32_t written = 0, skipped = 0;
};

// A channel straight onto the adapter model with no latency, timing the model's share,
// so the host's own CPU time per exchange can be told from the simulated adapter's.
class TimedChannel final : public ReportChannel {
 public:
  explicit TimedChannel(sim::AdapterModel& model) : model_(model) {}
  std::chrono::nanoseconds adapterTime{0};

 protected:
  int WriteRaw(const std::uint8_t* bytes, std::size_t count) override {
    const auto t0 = Clock_::now();
    model_.HandleOutputReport(bytes, count);
    adapterTime += Clock_::now() - t0;
    return 1;
  }
  std::uint32_t ReadRaw(std::uint8_t (&report)[kReportSize]) override {
    const auto t0 = Clock_::now();
    const bool got = model_.PopInputReport(report);
    adapterTime += Clock_::now() - t0;
    return got ? kReadOk : kReadTimeout;
  }
  bool IsReadOpen() const override { return true; }
  bool IsWriteOpen() const override { return true; }

 private:
  sim::AdapterModel& model_;
};

struct Image {
  std::vector<std::uint8_t> file;
  std::vector<std::uint8_t> section1;  // the bytes written at address 0 (loader size 0)
  std::uint32_t blocks = 0;
};

// Section 1 holds the whole image; section 2 is empty; section 3 is there for its
// file mark only (sections 1 and 2 are written).
Image MakeImage(std::uint32_t kib) {
  Image image;
  sim::SectionSpec one, two, three;
  one.version = 2;
  one.data = sim::PatternBytes(std::size_t{kib} * 1024, 1);
  two.version = 16;
  two.loadAddress = 0x100000;
  three.version = 0x21;
  three.data = sim::PatternBytes(64, 3);
  image.section1 = one.data;
  image.file = sim::BuildFirmwareFile({one, two, three});
  image.blocks = (kib * 1024 + kBlockSize - 1) / kBlockSize;
  return image;
}

struct RunResult {
  UpdateEnding ending = UpdateEnding::NotRun;
  bool flashMatches = false;
  double wallMs = 0;
  double cpuUs = 0;
  double adapterUs = 0;
  sim::AdapterStats stats;
  std::uint64_t blockAllocs = 0;
  std::uint32_t written = 0, skipped = 0;
  std::vector<double> blockMs;  // write pass, per block (from the second block on)
};

enum class Link { RealClock, ZeroLatency };

// One update of a FlashLoader adapter with image over channel, every event to listener.
UpdateEnding RunUpdate(ReportChannel& channel, Clock& clock, const Image& image, BenchListener& listener,
                       std::uint64_t* exchanges = nullptr) {
  BootLink bootLink(channel, clock);
  FirmwareImage firmware;
  firmware.Open(std::make_unique<MemoryFirmwareSource>(image.file));
  OperationLog log;
  listener.blockEnds.reserve(image.blocks + 1);
  UpdateSession session;
  DeviceFamily family;
  family.FlashLoader = 1;
  FirmwareHeaders headers;
  headers.h1Read = firmware.Read(0, headers.h1.bytes, kHeaderSize);
  UpdateContext ctx{bootLink, firmware, log, listener, session, family, headers, nullptr};
  const UpdateEnding ending = FlashUpdateThread(ctx);
  if (exchanges) *exchanges = bootLink.Exchanges();
  return ending;
}

RunResult RunOnce(const Image& image, bool alreadyThere, Link link, std::uint32_t latencyMs) {
  sim::AdapterConfig config;
  config.productId = kProductFlashLoader;
  config.flashSize = std::max<std::uint32_t>(1u << 20, image.blocks * kBlockSize);
  if (alreadyThere) config.initialFlash = image.section1;
  sim::AdapterModel model(std::move(config));

  VirtualClock virtualClock;
  Clock& clock = link == Link::RealClock ? SystemClock() : static_cast<Clock&>(virtualClock);
  std::unique_ptr<ReportChannel> channel;
  TimedChannel* timed = nullptr;
  if (link == Link::RealClock) {
    channel = std::make_unique<sim::SimulatedChannel>(model, clock, sim::LinkConfig{latencyMs, 200});
  } else {
    auto t = std::make_unique<TimedChannel>(model);
    timed = t.get();
    channel = std::move(t);
  }
  BenchListener listener;

  RunResult r;
  const std::clock_t cpu0 = std::clock();
  const auto t0 = Clock_::now();
  r.ending = RunUpdate(*channel, clock, image, listener);
  const auto t1 = Clock_::now();
  const std::clock_t cpu1 = std::clock();
  r.wallMs = std::chrono::duration<double, std::milli>(t1 - t0).count();
  r.cpuUs = 1e6 * static_cast<double>(cpu1 - cpu0) / CLOCKS_PER_SEC;
  if (timed) r.adapterUs = std::chrono::duration<double, std::micro>(timed->adapterTime).count();
  r.stats = model.Stats();
  r.blockAllocs = listener.lastBlockAllocs - listener.firstBlockAllocs;
  r.written = listener.written;
  r.skipped = listener.skipped;
  for (std::size_t i = 1; i < listener.blockEnds.size(); ++i) {
    r.blockMs.push_back(
        std::chrono::duration<double, std::milli>(listener.blockEnds[i] - listener.blockEnds[i - 1]).count());
  }
  r.flashMatches = std::equal(image.section1.begin(), image.section1.end(), model.Flash().begin());
  return r;
}

bool ParseUint(const char* text, std::uint32_t& out) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || v > 0xFFFFFFFFul) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    std::uint32_t v = 0;
    auto value = [&](std::uint32_t min) { return i + 1 < argc && ParseUint(argv[++i], v) && v >= min; };
    if (a == "--check") {
      o.check = true;
    } else if (a == "--latency-ms" && value(1)) {
      o.latencyMs = v;
    } else if (a == "--image-kib" && value(4)) {
      o.imageKib = v;
    } else if (a == "--runs" && value(1)) {
      o.runs = static_cast<int>(v);
    } else if (a == "--cpu-runs" && value(1)) {
      o.cpuRuns = static_cast<int>(v);
    } else if (a == "--device" && i + 1 < argc) {
      o.device = argv[++i];
    } else if (a == "--round-trips" && value(1)) {
      o.roundTrips = static_cast<int>(v);
    } else {
      std::fprintf(stderr,
                   "usage: korbex-bench [--latency-ms N>=1] [--image-kib N>=4] [--runs N] [--cpu-runs N] [--check]\n"
                   "       korbex-bench --device PATH [--image-kib N>=4] [--round-trips N]\n");
      return false;
    }
  }
  return true;
}

bool Succeeded(const RunResult& r, const char* what) {
  if (r.ending == UpdateEnding::Success && r.flashMatches) return true;
  std::fprintf(stderr, "korbex-bench: the %s update did not succeed (ending %d, flash %s)\n", what,
               static_cast<int>(r.ending), r.flashMatches ? "matches" : "differs");
  return false;
}

// The median run by wall time (the lower middle for an even count).
RunResult Median(std::vector<RunResult> runs) {
  std::sort(runs.begin(), runs.end(), [](const RunResult& a, const RunResult& b) { return a.wallMs < b.wallMs; });
  return runs[(runs.size() - 1) / 2];
}

void Line(const char* figure, const std::string& value) { std::printf("%-44s %s\n", figure, value.c_str()); }

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

// A real HID device: the floor of its stack, then one update timed against
// exchanges x floor + the protocol's own waits.
int RunOnDevice(const Options& o) {
  std::string error;
  const auto channel = bench::OpenBenchDevice(o.device, error);
  if (!channel) {
    std::fprintf(stderr, "korbex-bench: cannot open %s: %s\n", o.device.c_str(), error.c_str());
    return 1;
  }
  std::printf("korbex-bench: %s, %u KiB image (%u blocks of 4096 bytes)\n", o.device.c_str(), o.imageKib,
              (o.imageKib * 1024 + kBlockSize - 1) / kBlockSize);

  // A QueryLoader command as a whole 64-byte report: every adapter answers it at once
  // and it changes nothing.
  std::uint8_t query[kReportDataSize] = {};
  query[CommandReport::kind] = kReportKind;
  query[CommandReport::code] = static_cast<std::uint8_t>(BootCommand::QueryLoader);
  std::uint8_t reply[kReportDataSize];
  constexpr int kWarmUp = 20;
  std::vector<double> roundTrips;
  roundTrips.reserve(static_cast<std::size_t>(o.roundTrips));
  for (int i = 0; i < kWarmUp + o.roundTrips; ++i) {
    const auto t0 = Clock_::now();
    if (!channel->WriteReportWithId(query, 0, kReportDataSize) ||
        channel->ReadReport(reply, kReportDataSize) != kReadOk) {
      std::fprintf(stderr, "korbex-bench: round trip %d failed\n", i + 1);
      return 1;
    }
    if (i >= kWarmUp) roundTrips.push_back(std::chrono::duration<double, std::milli>(Clock_::now() - t0).count());
  }
  std::sort(roundTrips.begin(), roundTrips.end());
  double sum = 0;
  for (double v : roundTrips) sum += v;
  const double floorMs = roundTrips[roundTrips.size() / 2];
  Line("floor: 64-byte write + read, median", Format("%.3f ms (of %d)", floorMs, o.roundTrips));
  Line("floor: mean, min, 99th percentile", Format("%.3f ms, %.3f ms, %.3f ms", sum / roundTrips.size(),
                                                   roundTrips.front(), roundTrips[roundTrips.size() * 99 / 100]));

  const Image image = MakeImage(o.imageKib);
  BenchListener listener;
  std::uint64_t exchanges = 0;
  const auto t0 = Clock_::now();
  const UpdateEnding ending = RunUpdate(*channel, SystemClock(), image, listener, &exchanges);
  const double wallMs = std::chrono::duration<double, std::milli>(Clock_::now() - t0).count();
  if (ending != UpdateEnding::Success) {
    std::fprintf(stderr, "korbex-bench: the update did not succeed (%s)\n", UpdateEndingName(ending));
    return 1;
  }
  const double fixedMs = kQueryLoaderDelayMs + kFinishDelayMs;
  const double bound = static_cast<double>(exchanges) * floorMs + fixedMs;
  Line("update: exchanges", Format("%llu (%u written, %u equal)", static_cast<unsigned long long>(exchanges),
                                   listener.written, listener.skipped));
  Line("update: wall time", Format("%.1f ms", wallMs));
  Line("update: bound", Format("%.1f ms (%llu x %.3f ms + %.0f ms)", bound, static_cast<unsigned long long>(exchanges),
                               floorMs, fixedMs));
  Line("update: time per exchange", Format("%.3f ms", (wallMs - fixedMs) / static_cast<double>(exchanges)));
  Line("update: throughput", Format("%.1f kB/s", image.blocks * 4096.0 / (wallMs - fixedMs)));
  std::printf("ratio %.4f\n", wallMs / bound);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) return 2;
  if (!o.device.empty()) return RunOnDevice(o);
  const Image image = MakeImage(o.imageKib);
  const double fixedMs = kQueryLoaderDelayMs + kFinishDelayMs;  // one QueryLoader for a FlashLoader adapter
  std::printf(
      "korbex-bench: %u KiB image (%u blocks of 4096 bytes), simulated FlashLoader adapter, %u ms per exchange\n",
      o.imageKib, image.blocks, o.latencyMs);

  // Every block differs: 71 exchanges per block in the write pass, one in the checks.
  std::vector<RunResult> writes, equals;
  for (int i = 0; i < o.runs; ++i) writes.push_back(RunOnce(image, false, Link::RealClock, o.latencyMs));
  for (const RunResult& r : writes) {
    if (!Succeeded(r, "written")) return 1;
  }
  const RunResult w = Median(writes);
  const double wBound = w.stats.exchanges * static_cast<double>(o.latencyMs) + fixedMs;
  const double ratio = w.wallMs / wBound;
  const auto [wMin, wMax] = std::minmax_element(
      writes.begin(), writes.end(), [](const RunResult& a, const RunResult& b) { return a.wallMs < b.wallMs; });
  Line("written: exchanges", Format("%u", w.stats.exchanges));
  Line("written: exchanges per block",
       Format("%.2f (%u written)", double(w.stats.exchanges) / image.blocks, w.written));
  Line("written: wall time",
       Format("%.1f ms (median of %d, %.1f..%.1f)", w.wallMs, o.runs, wMin->wallMs, wMax->wallMs));
  Line("written: bound", Format("%.1f ms (%u x %u ms + %.0f ms)", wBound, w.stats.exchanges, o.latencyMs, fixedMs));
  Line("written: wall / bound", Format("%.4f", ratio));
  Line("written: time per written block", Format("%.2f ms (bound %.0f ms)", (w.wallMs - fixedMs) / image.blocks,
                                                 double(w.stats.exchanges) * o.latencyMs / image.blocks));
  if (!w.blockMs.empty()) {
    std::vector<double> ms = w.blockMs;
    std::sort(ms.begin(), ms.end());
    const double bound = 71.0 * o.latencyMs;
    const auto slow = std::count_if(ms.begin(), ms.end(), [&](double v) { return v > bound * kMaxRatio; });
    Line("written: write pass, per block",
         Format("median %.2f ms, max %.2f ms, %d of %zu over %.1f ms (bound %.0f ms)", ms[ms.size() / 2], ms.back(),
                static_cast<int>(slow), ms.size(), bound * kMaxRatio, bound));
  }
  Line("written: throughput", Format("%.1f kB/s", image.blocks * 4096.0 / (w.wallMs - fixedMs)));

  // The same image already on the adapter: one check per block in each pass.
  for (int i = 0; i < o.runs; ++i) equals.push_back(RunOnce(image, true, Link::RealClock, o.latencyMs));
  for (const RunResult& r : equals) {
    if (!Succeeded(r, "equal")) return 1;
  }
  const RunResult e = Median(equals);
  const double eBound = e.stats.exchanges * static_cast<double>(o.latencyMs) + fixedMs;
  Line("equal: exchanges per block",
       Format("%.2f (CheckBlock %.2f, %u skipped)", double(e.stats.exchanges) / image.blocks,
              double(e.stats.checks) / image.blocks, e.skipped));
  Line("equal: wall time", Format("%.1f ms (median of %d)", e.wallMs, o.runs));
  Line("equal: bound", Format("%.1f ms (%u x %u ms + %.0f ms), wall / bound %.4f", eBound, e.stats.exchanges,
                              o.latencyMs, fixedMs, e.wallMs / eBound));

  // No latency, no waits: what the host itself spends. The fastest of a few runs.
  RunResult best;
  double bestHostUs = 1e300;
  for (int i = 0; i < o.cpuRuns; ++i) {
    const RunResult r = RunOnce(image, false, Link::ZeroLatency, 0);
    if (!Succeeded(r, "zero-latency")) return 1;
    const double host = std::max(0.0, r.cpuUs - r.adapterUs);
    if (host < bestHostUs) {
      bestHostUs = host;
      best = r;
    }
  }
  const double cpuPerExchange = bestHostUs / best.stats.exchanges;
  Line("zero latency: host CPU per exchange", Format("%.2f us", cpuPerExchange));
  Line("zero latency: host CPU per 4096-byte block", Format("%.1f us", bestHostUs / image.blocks));
  Line("zero latency: with the simulated adapter",
       Format("%.2f us per exchange, %.1f us per block", best.cpuUs / best.stats.exchanges, best.cpuUs / image.blocks));

  // From the first block event to the last: write pass, check pass, head check.
  const std::uint64_t allocs = std::max({w.blockAllocs, e.blockAllocs, best.blockAllocs});
  Line("allocations during the block passes",
       Format("%llu written, %llu equal, %llu zero latency (%.2f per block)",
              static_cast<unsigned long long>(w.blockAllocs), static_cast<unsigned long long>(e.blockAllocs),
              static_cast<unsigned long long>(best.blockAllocs), double(allocs) / image.blocks));
  std::printf("ratio %.4f\n", ratio);

  if (o.check) {
    bool ok = true;
    if (ratio > kMaxRatio) {
      ok = false;
      std::fprintf(stderr, "korbex-bench: ratio %.4f above %.2f\n", ratio, kMaxRatio);
    }
    if (cpuPerExchange > kMaxCpuPerExchangeUs) {
      ok = false;
      std::fprintf(stderr, "korbex-bench: %.2f us of host CPU per exchange, above %.1f\n", cpuPerExchange,
                   kMaxCpuPerExchangeUs);
    }
    if (allocs > 0) {
      ok = false;
      std::fprintf(stderr, "korbex-bench: allocations during the block passes\n");
    }
    if (!ok) return 1;
  }
  return 0;
}
