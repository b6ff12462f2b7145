#include "cli/Adapters.h"

#include "sim/SimulatedAdapter.h"

namespace korbex::cli {

std::optional<AdapterEntry> AdapterBackend::AwaitRestart(const AdapterEntry& before, const std::atomic<bool>& stop) {
  Clock& clock = SystemClock();
  const std::uint64_t start = clock.NowMs();
  // First let the old device go away, so the adapter that is still on its way down
  // is not taken for the restarted one. A device that never vanishes (it restarted
  // faster than one poll) is accepted after kRestartVanishMs.
  while (clock.NowMs() - start < kRestartVanishMs && !stop.load()) {
    bool present = false;
    for (const auto& e : Enumerate()) present |= e.path == before.path && e.productId == before.productId;
    if (!present) break;
    clock.SleepMs(kRestartPollMs);
  }
  const std::uint64_t appearStart = clock.NowMs();
  while (clock.NowMs() - appearStart < kRestartAppearMs && !stop.load()) {
    const auto entries = Enumerate();
    if (!entries.empty()) {
      // The same path when it kept it, else the first supported adapter.
      const AdapterEntry* pick = &entries.front();
      for (const auto& e : entries)
        if (e.path == before.path) pick = &e;
      clock.SleepMs(kRestartSettleMs);
      return *pick;
    }
    clock.SleepMs(kRestartPollMs);
  }
  return std::nullopt;
}

bool AdapterBackend::AwaitAdapter(const std::string& path, std::uint32_t timeoutMs, const std::atomic<bool>& stop) {
  Clock& clock = SystemClock();
  const std::uint64_t start = clock.NowMs();
  for (bool waited = false;; waited = true) {
    for (const auto& e : Enumerate()) {
      if (path.empty() || e.path == path) {
        if (waited) clock.SleepMs(kRestartSettleMs);  // it has only just appeared
        return true;
      }
    }
    if (stop.load() || clock.NowMs() - start >= timeoutMs) return false;
    clock.SleepMs(kRestartPollMs);
  }
}

OpenStatus HoldAdapter(const std::string& lockPath, AdapterLock& lock, std::string& message) {
  AdapterHolder holder;
  switch (lock.Take(lockPath, &holder, &message)) {
    case AdapterLockStatus::Held:
      return OpenStatus::Ok;
    case AdapterLockStatus::Busy:
      message = holder.Describe();
      return OpenStatus::Busy;
    case AdapterLockStatus::Failed:
      break;
  }
  return OpenStatus::Failed;
}

struct SimulatedBackend::Impl {
  std::unique_ptr<sim::AdapterModel> model;
};

SimulatedBackend::SimulatedBackend(const sim::SimulateOptions& options, std::uint32_t headAddress)
    : options_(options), impl_(std::make_unique<Impl>()) {
  sim::AdapterConfig config = options_.adapter;
  config.headAddress = headAddress;
  impl_->model = std::make_unique<sim::AdapterModel>(std::move(config));
}

SimulatedBackend::~SimulatedBackend() = default;

std::vector<AdapterEntry> SimulatedBackend::Enumerate() {
  AdapterEntry e;
  e.path = kPath;
  e.vendorId = impl_->model->Config().vendorId;
  e.productId = impl_->model->CurrentProductId();
  e.product = "simulated adapter";
  e.simulated = true;
  return {e};
}

std::unique_ptr<ReportChannel> SimulatedBackend::Open(const AdapterEntry& entry, OpenStatus& status,
                                                      std::string& message) {
  if (entry.path != kPath) {
    status = OpenStatus::NotFound;
    message = "no such device";
    return nullptr;
  }
  auto channel = std::make_unique<sim::SimulatedChannel>(*impl_->model, SystemClock(), options_.link);
  if (options_.lockPath.empty()) {
    status = OpenStatus::Ok;
    return channel;
  }
  // lock-path stands for the node a real adapter has.
  AdapterLock lock;
  const std::u8string path = options_.lockPath.u8string();
  status = HoldAdapter(std::string(path.begin(), path.end()), lock, message);
  if (status != OpenStatus::Ok) return nullptr;
  return std::make_unique<HeldChannel>(std::move(lock), std::move(channel));
}

std::optional<AdapterEntry> SimulatedBackend::AwaitRestart(const AdapterEntry&, const std::atomic<bool>&) {
  // The model restarts within the Finish exchange.
  if (!impl_->model->Finished() || impl_->model->Disconnected()) return std::nullopt;
  return Enumerate().front();
}

bool SimulatedBackend::SaveFlash(std::string& why) const {
  return sim::WriteFlashOut(*impl_->model, options_.flashOut, &why);
}

}  // namespace korbex::cli
