// The hardware backend on Linux and macOS: hidapi for the reports; the list of adapters
// and their comings and goings from hid/hidapi/HidDevices.h (udev on Linux).
#include <map>
#include <mutex>
#include <thread>

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
  e.serial = d.serial;
  e.port = d.port;
  return e;
}

// Events are waited for in slices this long, so that Ctrl-C is seen and threads waiting
// side by side take turns at the watch.
constexpr int kEventSliceMs = 50;

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
    std::lock_guard<std::mutex> lock(mutex_);
    if (!watch_) watch_ = WatchHidDevices();
  }

  std::optional<AdapterEntry> AwaitRestart(const AdapterEntry& before, const std::atomic<bool>& stop) override {
    if (!Watching()) return AdapterBackend::AwaitRestart(before, stop);
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
      // With several adapters restarting at once, the one on this adapter's port.
      if (e.kind != HidDeviceEvent::Kind::Added || !MaybeSameAdapter(before, ToAdapter(e.entry))) return false;
      back = ToAdapter(e.entry);
      return true;
    });
    if (back) SystemClock().SleepMs(kRestartSettleMs);
    return back;
  }

  bool AwaitAdapter(const std::string& path, std::uint32_t timeoutMs, const std::atomic<bool>& stop) override {
    if (!Watching()) return AdapterBackend::AwaitAdapter(path, timeoutMs, stop);
    for (const auto& e : Enumerate())
      if (path.empty() || e.path == path) return true;
    const bool added = NextEvent(timeoutMs, stop, [&](const HidDeviceEvent& e) {
      return e.kind == HidDeviceEvent::Kind::Added && (path.empty() || e.entry.path == path);
    });
    if (added) SystemClock().SleepMs(kRestartSettleMs);
    return added;
  }

 private:
  bool Watching() {
    std::lock_guard<std::mutex> lock(mutex_);
    return watch_ != nullptr;
  }

  // Looks at events until wanted accepts one (true), timeoutMs passes or stop is set.
  // Every event since the watch began is kept, and each thread reads them from where
  // its last wait ended: with --all, one thread per adapter waits for its own
  // adapter's restart, and an event one of them takes from the system is seen by all.
  template <typename Wanted>
  bool NextEvent(std::uint32_t timeoutMs, const std::atomic<bool>& stop, Wanted wanted) {
    Clock& clock = SystemClock();
    const std::uint64_t start = clock.NowMs();
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t& cursor = cursors_[std::this_thread::get_id()];
    while (!stop.load()) {
      while (cursor < events_.size()) {
        if (wanted(events_[cursor++])) return true;
      }
      const std::uint64_t spent = clock.NowMs() - start;
      if (spent >= timeoutMs) return false;
      const auto slice = static_cast<int>(std::min<std::uint64_t>(timeoutMs - spent, kEventSliceMs));
      if (auto e = watch_->Next(slice)) {
        events_.push_back(std::move(*e));
      } else {
        // Nothing came: let another waiter take the watch for a slice.
        lock.unlock();
        std::this_thread::yield();
        lock.lock();
      }
    }
    return false;
  }

  std::mutex mutex_;  // guards everything below
  std::unique_ptr<HidDeviceWatch> watch_;
  std::vector<HidDeviceEvent> events_;
  std::map<std::thread::id, std::size_t> cursors_;
};

}  // namespace

std::unique_ptr<AdapterBackend> MakeHardwareBackend() { return std::make_unique<HidapiBackend>(); }

}  // namespace korbex::cli
