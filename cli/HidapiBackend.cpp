// The hardware backend on Linux and macOS: hidapi for the reports; the list of adapters
// and their comings and goings from hid/hidapi/HidDevices.h (udev on Linux).
#include "cli/Adapters.h"
#include "hid/hidapi/HidDevices.h"
#include "hid/hidapi/HidapiChannel.h"

namespace korbex::cli {
namespace {

AdapterEntry ToAdapter(const HidDeviceEntry& d) {
  AdapterEntry e;
  e.path = d.path;
  e.vendorId = d.vendorId;
  e.productId = d.productId;
  e.interfaceNumber = d.interfaceNumber;
  e.product = d.product;
  return e;
}

// Events are waited for in slices this long, so that Ctrl-C is seen.
constexpr int kEventSliceMs = 250;

class HidapiBackend final : public AdapterBackend {
 public:
  std::vector<AdapterEntry> Enumerate() override {
    std::vector<AdapterEntry> out;
    for (const auto& d : EnumerateHidDevices()) out.push_back(ToAdapter(d));
    return out;
  }

  std::unique_ptr<ReportChannel> Open(const AdapterEntry& entry, OpenStatus& status, std::string& message) override {
    // The adapter is taken before hidapi opens it: a second program stops here.
    AdapterLock lock;
    std::string lockMessage;
    const OpenStatus held = HoldAdapter(entry.path, lock, lockMessage);
    if (held == OpenStatus::Busy) {
      status = held;
      message = lockMessage;
      return nullptr;
    }
    // A node the lock could not open, hidapi cannot either; its open says why.
    auto channel = std::make_unique<HidapiChannel>();
    switch (channel->Open(entry.path, message)) {
      case HidOpenStatus::Ok:
        if (held != OpenStatus::Ok) {
          status = OpenStatus::Failed;
          message = lockMessage;
          return nullptr;
        }
        status = OpenStatus::Ok;
        return std::make_unique<HeldChannel>(std::move(lock), std::move(channel));
      case HidOpenStatus::PermissionDenied:
        status = OpenStatus::PermissionDenied;
        break;
      case HidOpenStatus::NotFound:
        status = OpenStatus::NotFound;
        break;
      case HidOpenStatus::Failed:
        status = OpenStatus::Failed;
        break;
    }
    return nullptr;
  }

  void Watch() override {
    if (!watch_) watch_ = WatchHidDevices();
  }

  std::optional<AdapterEntry> AwaitRestart(const AdapterEntry& before, const std::atomic<bool>& stop) override {
    if (!watch_) return AdapterBackend::AwaitRestart(before, stop);
    // The adapter leaves the bus, then comes back: both are events, queued since the
    // watch began, so a restart faster than this call is not missed. The list of
    // devices is not walked while nodes come and go.
    const bool left = NextEvent(kRestartVanishMs, stop, [&](const HidDeviceEvent& e) {
      return e.kind == HidDeviceEvent::Kind::Removed && e.entry.path == before.path;
    });
    if (!left) {
      // It did not leave: an adapter that does not restart is still the same one.
      for (const auto& e : Enumerate())
        if (e.path == before.path) return e;
      if (stop.load()) return std::nullopt;
    }
    std::optional<AdapterEntry> back;
    NextEvent(kRestartAppearMs, stop, [&](const HidDeviceEvent& e) {
      if (e.kind != HidDeviceEvent::Kind::Added) return false;
      back = ToAdapter(e.entry);
      return true;
    });
    if (back) SystemClock().SleepMs(kRestartSettleMs);
    return back;
  }

  bool AwaitAdapter(const std::string& path, std::uint32_t timeoutMs, const std::atomic<bool>& stop) override {
    if (!watch_) return AdapterBackend::AwaitAdapter(path, timeoutMs, stop);
    for (const auto& e : Enumerate())
      if (path.empty() || e.path == path) return true;
    const bool added = NextEvent(timeoutMs, stop, [&](const HidDeviceEvent& e) {
      return e.kind == HidDeviceEvent::Kind::Added && (path.empty() || e.entry.path == path);
    });
    if (added) SystemClock().SleepMs(kRestartSettleMs);
    return added;
  }

 private:
  // Takes events until wanted accepts one (true), timeoutMs passes or stop is set.
  template <typename Wanted>
  bool NextEvent(std::uint32_t timeoutMs, const std::atomic<bool>& stop, Wanted wanted) {
    Clock& clock = SystemClock();
    const std::uint64_t start = clock.NowMs();
    while (!stop.load()) {
      const std::uint64_t spent = clock.NowMs() - start;
      if (spent >= timeoutMs) return false;
      const auto slice = static_cast<int>(std::min<std::uint64_t>(timeoutMs - spent, kEventSliceMs));
      if (auto e = watch_->Next(slice); e && wanted(*e)) return true;
    }
    return false;
  }

  std::unique_ptr<HidDeviceWatch> watch_;
};

}  // namespace

std::unique_ptr<AdapterBackend> MakeHardwareBackend() { return std::make_unique<HidapiBackend>(); }

}  // namespace korbex::cli
