#pragma once
// The simulated adapter: an independent model of the adapter's version responder and
// flash loader, written from the protocol's tables (it parses bytes; it never calls
// the host's report builders), with fault injection and a latency model. It keeps a
// flash image so every test can compare the flash with the file.
//
// AdapterModel is the device; SimulatedChannel is a ReportChannel over it (tests, the
// benchmark, --simulate). Other transports (a Windows named pipe, Linux uhid) can
// serve the same AdapterModel.
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
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hid/ReportChannel.h"

namespace korbex::sim {

enum class FaultKind {
  Drop,        // the command acts, its reply is lost
  Ignore,      // the report is lost: no action, no reply
  Nak,         // replies with status 1, no action
  Stale,       // a late copy of the previous reply comes first, then the real one
  WrongEcho,   // acts, but the reply echoes another command code (code ^ 0x8000)
  WrongCrc,    // CheckBlock answers a CRC that is off by one
  Corrupt,     // WriteData/WriteRecord store one byte wrong (the first) but acknowledge
  Disconnect,  // gone from this exchange on: every read and write fails
  Unplug,      // as Disconnect, but a transport that can leave the bus (the USB gadget)
               // plugs it back in later (Replug): flash kept, loader state lost
};

// KIND[:COMMAND][@N][xCOUNT]: the N-th exchange (1-based) of COMMAND (any command
// when absent), COUNT exchanges in a row (0 = for ever).
// Each report the adapter receives is one exchange. The short command 0x1D counts as
// a Version exchange. Several faults may hit one exchange; their effects combine.
struct FaultSpec {
  FaultKind kind = FaultKind::Drop;
  std::optional<std::uint16_t> command;
  std::uint32_t nth = 1;
  std::uint32_t count = 1;
};

// The code under which the version request (05 21 …) and the short command 0x1D are
// counted for faults and named "Version".
inline constexpr std::uint16_t kVersionCommand = 0x0021;

// Parses "FAULT[+FAULT…]". Kinds: drop ignore nak stale wrong-echo wrong-crc corrupt
// disconnect unplug. Command names are BootCommand names (WriteData Erase Finish WriteRecord
// QueryLoader SaveHead CheckBlock SetImageInfo) plus "Version". Names are matched
// without regard to case; N and COUNT are decimal or 0x hex, at least 1; "x*" means
// for ever. An empty text is no fault. On error returns false, leaves out unchanged,
// and sets error to a message that quotes the bad part.
bool ParseFaults(std::string_view text, std::vector<FaultSpec>& out, std::string& error);

// The text ParseFaults reads back into the same fault (for sweep labels and traces).
std::string FormatFault(const FaultSpec& fault);

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

// Input status of a SimulatedChannel read on a disconnected adapter (WAIT_FAILED):
// non-zero and neither kReadTimeout nor kReadNotOpen, and returned at once.
inline constexpr std::uint32_t kReadDisconnected = 0xFFFFFFFFu;

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

  static constexpr std::size_t kReplyQueueSize = 32;

 private:
  struct Reply {
    std::uint8_t bytes[kReportSize];
    std::uint64_t readyAtMs;
  };
  struct Command;  // one parsed report

  unsigned ActiveFaults(std::uint16_t code);
  // Carries out a command and fills the reply's data bytes; returns its status.
  std::uint16_t Execute(const Command& c, unsigned faults, std::uint8_t* reply);
  void BuildVersionReply(std::uint8_t* reply) const;
  std::uint8_t* Cell(std::uint32_t address);  // staged head copy or flash
  std::uint16_t FlashCrc(std::uint32_t address) const;
  void QueueReply(const std::uint8_t* report, std::uint64_t readyAtMs);
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
  std::array<Reply, kReplyQueueSize> queue_{};
  std::size_t queueHead_ = 0, queueCount_ = 0;
  std::uint8_t lastReply_[kReportSize] = {};  // what a Stale fault repeats
};

struct LinkConfig {
  std::uint32_t latencyMs = 0;  // per exchange: a reply is readable this long after its request
  std::uint32_t readTimeoutMs = 200;
};

// One line per event of a trace.
struct TraceEntry {
  enum class Kind { Write, Read, ReadTimeout, ReadFailed } kind;
  std::vector<std::uint8_t> bytes;  // Write: as handed over, report id first; Read: the 64 data bytes
};

// A ReportChannel over an AdapterModel. A write hands the bytes to the model at once;
// its replies become readable latencyMs later. A read takes the next reply at its
// ready time; with none due within the read time-out it returns kReadTimeout after
// that time-out. On a VirtualClock waiting means advancing the clock; on a real
// clock the read sleeps to just before the ready time and spins the rest, so timer
// slack does not show up in measurements. A disconnected adapter makes writes return
// 0 and reads return kReadDisconnected at once. One thread at a time (the channel's
// ExchangeMutex), like every ReportChannel.
class SimulatedChannel final : public ReportChannel {
 public:
  SimulatedChannel(AdapterModel& model, Clock& clock, LinkConfig link = {});
  void Open() { open_ = true; }
  void Close() { open_ = false; }
  // Every write and read so far (off unless enabled: the benchmark runs without it,
  // and without it an exchange allocates nothing).
  void EnableTrace(bool on) { traceOn_ = on; }
  const std::vector<TraceEntry>& Trace() const { return trace_; }

 protected:
  int WriteRaw(const std::uint8_t* bytes, std::size_t count) override;
  std::uint32_t ReadRaw(std::uint8_t (&report)[kReportSize]) override;
  bool IsReadOpen() const override { return open_; }
  bool IsWriteOpen() const override { return open_; }

 private:
  void WaitUntil(std::uint64_t deadlineMs);

  AdapterModel& model_;
  Clock& clock_;
  LinkConfig link_;
  bool virtualClock_;
  bool open_ = true;
  bool traceOn_ = false;
  std::vector<TraceEntry> trace_;
};

}  // namespace korbex::sim
