#pragma once
// The simulated adapter's device: an independent model of the adapter's version
// responder and flash loader, written from the protocol's tables (it parses bytes; it
// never calls the host's report builders). It carries out each command on its flash
// image, injects the configured faults, and queues its replies (ReplyQueue). Any
// transport can serve it: SimulatedChannel, a Windows named pipe, the USB gadget.
//
// What the model does with each report it receives (anything else is answered with
// status 1):
//   05 21 00 …            version request: version reply (bytes 4–7 only, the rest 0).
//   05 00 1D 01 00 00     the short command the host sends after a failed version
//                         read. Its meaning is not documented; the model assumes "send
//                         the version again" and answers with the version reply.
//   CommandReport         WriteData, Erase, Finish, QueryLoader, SaveHead, CheckBlock,
//                         SetImageInfo; every field the protocol defines must hold the
//                         value the protocol gives it (flags 0, CRCs, lengths, zero
//                         value/address where fixed), else the reply is status 1 and
//                         nothing happens. Only bytes after the payload are ignored
//                         (the host's short writes leave stale bytes there).
//   RecordReport          WriteRecord k lands at base + 47 + 60·k, base being the
//                         address of the last WriteData; bad sum, k > 66 or no base
//                         yet -> status 1.
// Flash behaves like NOR flash: erase sets bytes to 0xFF, a write ANDs into the cells
// (it can only clear bits), so a block written without an erase reads back wrong.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "hid/ReportChannel.h"
#include "sim/Faults.h"
#include "sim/ReplyQueue.h"

namespace korbex::sim {

struct AdapterConfig {
  std::uint16_t vendorId = 0x35B2;
  std::uint16_t productId = 0x2D93;      // 0x6E41 TwoStage, 0x2D93 FlashLoader
  std::uint16_t productAfterFinish = 0;  // 0: same id after Finish restarts it
  // Version responder.
  bool singleNumberVersion = false;
  std::uint8_t versionMajor = 1, versionMinor = 0;  // two-number form
  std::uint8_t versionNumber = 1;                   // single-number form
  std::uint8_t beta = 0;                            // 0 = release, else odd and <= 0x0F
  // Loader.
  std::uint32_t loaderSize = 0;
  std::uint32_t eraseUnitSize = 4096;
  std::uint32_t flashSize = 1u << 20;
  std::vector<std::uint8_t> initialFlash;  // from address 0; the rest 0xFF
  bool stagedHead = true;                  // head blocks held until SaveHead
  // Where the loader keeps the head (two 4096-byte blocks): the start of the image it
  // is given, 0 for sections 1 and 2, the load address of section 3.
  std::uint32_t headAddress = 0;
  std::vector<FaultSpec> faults;
};

// Counts of what the adapter received, by command.
struct AdapterStats {
  std::uint32_t exchanges = 0;  // reports received
  std::uint32_t erases = 0, dataPackets = 0, records = 0, checks = 0, saveHeads = 0, imageInfos = 0, finishes = 0,
                queries = 0, versionRequests = 0;
  std::uint32_t shortCommands = 0;  // 05 00 1D 01 00 00
  std::uint32_t unknown = 0;        // reports the model does not know
  std::uint32_t naks = 0;           // replies sent with status 1 (lost ones included)
};

// The adapter. Thread-safe: every member function takes an internal lock, so a
// transport thread (the Windows pipe server) and a test thread may share one model.
// Flash(), Stats() and ImageInfo() return references: read them while no exchange is
// in flight (after a run), or use ReadFlash()/StatsSnapshot().
class AdapterModel {
 public:
  // Throws std::invalid_argument with CheckConfig's message when the config is not
  // one an adapter could have (an even beta, for instance).
  explicit AdapterModel(AdapterConfig config);
  AdapterModel(const AdapterModel&) = delete;
  AdapterModel& operator=(const AdapterModel&) = delete;

  // Empty when config is usable, else what is wrong with it.
  static std::string CheckConfig(const AdapterConfig& config);

  // One output report as the host wrote it (report id first; 65 bytes for most,
  // n + 1 for a report written with its id). Queues the replies it causes, readable
  // from readyAtMs on (see NextReplyReadyAt). Ignored once disconnected.
  void HandleOutputReport(const std::uint8_t* bytes, std::size_t count) { HandleOutputReport(bytes, count, 0); }
  void HandleOutputReport(const std::uint8_t* bytes, std::size_t count, std::uint64_t readyAtMs);
  // Takes the next queued input report (report id 0 first, 65 bytes), whatever its
  // ready time. False if none. The queue holds kReplyQueueSize reports; when a host
  // does not read, the oldest is lost (as in the OS's HID input buffer).
  bool PopInputReport(std::uint8_t (&report)[kReportSize]);
  // True with the ready time of the next queued report; false when none is queued.
  bool NextReplyReadyAt(std::uint64_t& readyAtMs) const;
  bool Disconnected() const { return disconnected_.load(); }
  // Plugs an adapter that an Unplug fault took off the bus back in, as a user would:
  // it powers up with its flash as it was and nothing queued. False, and nothing done,
  // when it is present or left for good (Disconnect).
  bool Replug();

  const std::vector<std::uint8_t>& Flash() const { return flash_; }
  const AdapterConfig& Config() const { return config_; }
  const AdapterStats& Stats() const { return stats_; }
  AdapterStats StatsSnapshot() const;
  // Committed flash bytes [address, address + count); 0xFF past the end of flash.
  std::vector<std::uint8_t> ReadFlash(std::uint32_t address, std::uint32_t count) const;
  std::uint16_t CurrentProductId() const;
  // The last SetImageInfo payload, and whether Finish restarted the adapter.
  const std::vector<std::uint8_t>& ImageInfo() const { return imageInfo_; }
  bool Finished() const;
  // How many times Finish restarted it.
  std::uint32_t Restarts() const;

  static constexpr std::size_t kReplyQueueSize = ReplyQueue::kCapacity;

 private:
  struct Command;  // one parsed report

  unsigned ActiveFaults(std::uint16_t code);
  // Carries out a command and fills the reply's data bytes; returns its status.
  std::uint16_t Execute(const Command& c, unsigned faults, std::uint8_t* reply);
  void BuildVersionReply(std::uint8_t* reply) const;
  std::uint8_t* Cell(std::uint32_t address);  // staged head copy or flash
  std::uint16_t FlashCrc(std::uint32_t address) const;
  // Power-up: the loader forgets its staged head and its record base.
  void PowerUpLocked();

  const AdapterConfig config_;
  mutable std::mutex mutex_;
  std::vector<std::uint8_t> flash_;
  std::vector<std::uint8_t> staged_;  // the head region as the loader holds it before SaveHead
  std::uint32_t headBegin_ = 0, headEnd_ = 0;
  std::vector<std::uint8_t> imageInfo_;
  AdapterStats stats_;
  std::uint16_t productId_;
  bool finished_ = false;
  std::uint32_t restarts_ = 0;
  std::atomic<bool> disconnected_{false};
  bool unplugged_ = false;                // disconnected by an Unplug fault: may come back
  std::vector<std::uint32_t> faultSeen_;  // exchanges each fault's filter has matched
  bool haveRecordBase_ = false;
  std::uint32_t recordBase_ = 0;
  ReplyQueue replies_;
  std::uint8_t lastReply_[kReportSize] = {};  // what a Stale fault repeats
};

}  // namespace korbex::sim
