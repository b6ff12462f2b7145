#include "cli/Adapters.h"

#include <cstdio>

#include "sim/SimulatedAdapter.h"

namespace korbex::cli {

bool MaybeSameAdapter(const AdapterEntry& before, const AdapterEntry& now) {
  if (!before.port.empty() && !now.port.empty()) return before.port == now.port;
  if (!before.serial.empty() && !now.serial.empty()) return before.serial == now.serial;
  return true;
}

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
    // The same path when it kept it, else the first supported adapter that may be this
    // one (not one that is certainly another).
    const AdapterEntry* pick = nullptr;
    for (const auto& e : entries)
      if (!pick && MaybeSameAdapter(before, e)) pick = &e;
    for (const auto& e : entries)
      if (e.path == before.path && MaybeSameAdapter(before, e)) pick = &e;
    if (pick) {
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
  std::vector<std::unique_ptr<sim::AdapterModel>> models;

  std::string PathOf(std::size_t i) const {
    return models.size() == 1 ? std::string(kPath) : std::string(kPath) + ":" + std::to_string(i + 1);
  }
  // The index of the adapter at path, or models.size().
  std::size_t IndexOf(const std::string& path) const {
    for (std::size_t i = 0; i < models.size(); ++i)
      if (PathOf(i) == path) return i;
    return models.size();
  }
  AdapterEntry EntryOf(std::size_t i) const {
    AdapterEntry e;
    e.path = PathOf(i);
    e.vendorId = models[i]->Config().vendorId;
    e.productId = models[i]->CurrentProductId();
    e.product = "simulated adapter";
    if (models.size() > 1) {
      char serial[32];
      std::snprintf(serial, sizeof serial, "SIM-%04zu", i + 1);
      e.serial = serial;
    }
    e.simulated = true;
    return e;
  }
};

SimulatedBackend::SimulatedBackend(const sim::SimulateOptions& options, std::uint32_t headAddress)
    : SimulatedBackend(std::vector<sim::SimulateOptions>{options}, {headAddress}) {}

SimulatedBackend::SimulatedBackend(std::vector<sim::SimulateOptions> adapters,
                                   const std::vector<std::uint32_t>& headAddresses)
    : adapters_(std::move(adapters)), impl_(std::make_unique<Impl>()) {
  for (std::size_t i = 0; i < adapters_.size(); ++i) {
    sim::AdapterConfig config = adapters_[i].adapter;
    config.headAddress = i < headAddresses.size() ? headAddresses[i] : 0;
    impl_->models.push_back(std::make_unique<sim::AdapterModel>(std::move(config)));
  }
}

SimulatedBackend::~SimulatedBackend() = default;

std::vector<AdapterEntry> SimulatedBackend::Enumerate() {
  std::vector<AdapterEntry> out;
  for (std::size_t i = 0; i < impl_->models.size(); ++i) {
    // An adapter that left for good (a disconnect fault) is no longer listed.
    if (impl_->models.size() > 1 && impl_->models[i]->Disconnected()) continue;
    out.push_back(impl_->EntryOf(i));
  }
  return out;
}

std::unique_ptr<ReportChannel> SimulatedBackend::Open(const AdapterEntry& entry, OpenStatus& status,
                                                      std::string& message) {
  const std::size_t i = impl_->IndexOf(entry.path);
  if (i == impl_->models.size()) {
    status = OpenStatus::NotFound;
    message = "no such device";
    return nullptr;
  }
  const sim::SimulateOptions& options = adapters_[i];
  auto channel = std::make_unique<sim::SimulatedChannel>(*impl_->models[i], SystemClock(), options.link);
  if (options.lockPath.empty()) {
    status = OpenStatus::Ok;
    return channel;
  }
  // lock-path stands for the node a real adapter has.
  AdapterLock lock;
  const std::u8string path = options.lockPath.u8string();
  status = HoldAdapter(std::string(path.begin(), path.end()), lock, message);
  if (status != OpenStatus::Ok) return nullptr;
  return std::make_unique<HeldChannel>(std::move(lock), std::move(channel));
}

std::optional<AdapterEntry> SimulatedBackend::AwaitRestart(const AdapterEntry& before, const std::atomic<bool>&) {
  // The model restarts within the Finish exchange.
  const std::size_t i = impl_->IndexOf(before.path);
  if (i == impl_->models.size()) return std::nullopt;
  const auto& model = *impl_->models[i];
  if (!model.Finished() || model.Disconnected()) return std::nullopt;
  return impl_->EntryOf(i);
}

bool SimulatedBackend::SaveFlash(std::string& why) const {
  bool ok = true;
  for (std::size_t i = 0; i < impl_->models.size(); ++i) {
    std::string one;
    if (sim::WriteFlashOut(*impl_->models[i], adapters_[i].flashOut, &one)) continue;
    if (ok) why = impl_->models.size() == 1 ? one : adapters_[i].flashOut.string() + ": " + one;
    ok = false;
  }
  return ok;
}

}  // namespace korbex::cli
