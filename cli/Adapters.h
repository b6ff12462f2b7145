#pragma once
// Where the tool finds adapters: the operating system's HID devices (hidapi on
// Linux/macOS, the Win32 channel on Windows) or the simulated adapter. Commands see
// only this interface, so --simulate runs exactly the code paths hardware runs.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hid/AdapterLock.h"
#include "hid/ReportChannel.h"
#include "sim/SimulateOptions.h"

namespace korbex::cli {

struct AdapterEntry {
  std::string path;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  int interfaceNumber = -1;  // -1 when the system does not say
  std::string product;       // USB product string; may be empty
  std::string serial;        // USB serial number string; may be empty
  std::string port;          // USB port path (Linux); the same after a restart; may be empty
  bool simulated = false;
};

// False when now is certainly another adapter than before: their USB ports, or else
// their serial numbers, are both known and differ. Used to find an adapter again after
// its restart (it may come back under another path and product id) while others are
// present or restarting too.
bool MaybeSameAdapter(const AdapterEntry& before, const AdapterEntry& now);

enum class OpenStatus {
  Ok,
  PermissionDenied,  // present, but this user may not open it
  NotFound,          // gone since it was listed
  Failed,
  Busy,  // another program holds the adapter (message: who, where the system says)
};

// The channel of an opened adapter together with the lock that holds the adapter for
// this process: the channel closes first, then the adapter is let go.
class HeldChannel final : public WrappingChannel {
 public:
  HeldChannel(AdapterLock lock, std::unique_ptr<ReportChannel> inner)
      : WrappingChannel(*inner), inner_(std::move(inner)), lock_(std::move(lock)) {}
  ~HeldChannel() override {
    inner_.reset();
    lock_.Release();
  }

 protected:
  int WriteRaw(const std::uint8_t* bytes, std::size_t count) override { return InnerWriteRaw(bytes, count); }
  std::uint32_t ReadRaw(std::uint8_t (&report)[kReportSize]) override { return InnerReadRaw(report); }

 private:
  std::unique_ptr<ReportChannel> inner_;
  AdapterLock lock_;
};

// Takes the adapter whose node is lockPath before anything is opened or sent. Ok with
// lock held; Busy with message naming the holder (empty when the system does not
// say); Failed with why (the node could not be opened).
OpenStatus HoldAdapter(const std::string& lockPath, AdapterLock& lock, std::string& message);

class AdapterBackend {
 public:
  virtual ~AdapterBackend() = default;
  // False for a build without adapter support (a Windows build without the Win32
  // channel); every hardware command then says so.
  virtual bool Supported() const { return true; }
  // The supported adapters present now, in the system's order.
  virtual std::vector<AdapterEntry> Enumerate() = 0;
  // Opens the adapter's report channel, holding the adapter for as long as the channel
  // lives (Busy when another program holds it); on failure null with status and message.
  virtual std::unique_ptr<ReportChannel> Open(const AdapterEntry& entry, OpenStatus& status, std::string& message) = 0;
  // Starts noticing adapters that come and go, so that one that leaves and comes back
  // before AwaitRestart or AwaitAdapter is called is not missed. Backends that can only
  // poll need not do anything.
  virtual void Watch() {}
  // After Finish the adapter restarts and comes back, possibly under its other
  // product id and another path. Waits (bounded) for it and returns its entry, or
  // nothing when it did not come back in time or stop was set.
  virtual std::optional<AdapterEntry> AwaitRestart(const AdapterEntry& before, const std::atomic<bool>& stop);
  // Waits up to timeoutMs for a supported adapter (at path, when not empty) to be
  // present: plugged in, or switched into upgrade mode. True when one is.
  virtual bool AwaitAdapter(const std::string& path, std::uint32_t timeoutMs, const std::atomic<bool>& stop);
};

// How long AwaitRestart waits on hardware: for the old device to vanish, then for a
// supported one to appear. Backends without a watch poll at kRestartPollMs.
inline constexpr std::uint32_t kRestartVanishMs = 3000;
inline constexpr std::uint32_t kRestartAppearMs = 20000;
inline constexpr std::uint32_t kRestartPollMs = 250;
// Time an adapter that has just appeared gets before it is opened: it enumerates
// before its firmware answers.
inline constexpr std::uint32_t kRestartSettleMs = 500;
// --wait without a number.
inline constexpr std::uint32_t kDefaultWaitSeconds = 60;

// The platform's backend (hid/hidapi, or the Win32 channel, or none).
std::unique_ptr<AdapterBackend> MakeHardwareBackend();

// The simulated adapters (one per --simulate). Each one's flash persists across Open
// calls (a restart after Finish keeps it); SaveFlash writes them for flash-out. One
// adapter has the path "simulated"; several are "simulated:1", "simulated:2", … with
// serial numbers SIM-0001, SIM-0002, …, each its own model, safe to drive from a thread
// of its own.
class SimulatedBackend final : public AdapterBackend {
 public:
  // headAddress: where the loader keeps its head (0 for sections 1 and 2, the
  // section-3 load address for a single-number run).
  SimulatedBackend(const sim::SimulateOptions& options, std::uint32_t headAddress);
  // One adapter per options entry, with the head address at the same index.
  SimulatedBackend(std::vector<sim::SimulateOptions> adapters, const std::vector<std::uint32_t>& headAddresses);
  ~SimulatedBackend() override;
  std::vector<AdapterEntry> Enumerate() override;
  std::unique_ptr<ReportChannel> Open(const AdapterEntry& entry, OpenStatus& status, std::string& message) override;
  std::optional<AdapterEntry> AwaitRestart(const AdapterEntry& before, const std::atomic<bool>& stop) override;
  // Writes each adapter's flash (flash-size bytes from address 0) to its flash-out when
  // set; false with why (naming the file) when one could not be written.
  bool SaveFlash(std::string& why) const;
  // The options of the first adapter.
  const sim::SimulateOptions& Options() const { return adapters_.front(); }

  static constexpr const char* kPath = "simulated";

 private:
  struct Impl;
  std::vector<sim::SimulateOptions> adapters_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korbex::cli
