#pragma once
// The simulated adapter: an independent model of the adapter's version responder and
// flash loader, written from the protocol's tables (it parses bytes; it never calls
// the host's report builders), with fault injection and a latency model. It keeps a
// flash image so every test can compare the flash with the file.
//
// AdapterModel is the device; SimulatedChannel is a ReportChannel over it (tests, the
// benchmark, --simulate). Other transports (a Windows named pipe, Linux uhid) can
// serve the same AdapterModel.
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
  WrongEcho,   // acts, but the reply echoes another command code
  WrongCrc,    // CheckBlock answers a CRC that is off by one
  Corrupt,     // WriteData/WriteRecord store one byte wrong but acknowledge
  Disconnect,  // gone from this exchange on: every read and write fails
};

// KIND[:COMMAND][@N][xCOUNT]: the N-th exchange (1-based) of COMMAND (any command
// when absent), COUNT exchanges in a row (0 = for ever).
struct FaultSpec {
  FaultKind kind = FaultKind::Drop;
  std::optional<std::uint16_t> command;
  std::uint32_t nth = 1;
  std::uint32_t count = 1;
};

// Parses "SPEC[+SPEC…]". Command names are BootCommand names (CheckBlock, WriteRecord,
// …) plus "Version". On error returns false with a message naming the bad part.
bool ParseFaults(std::string_view text, std::vector<FaultSpec>& out, std::string& error);

struct AdapterConfig {
  std::uint16_t vendorId = 0x35B2;
  std::uint16_t productId = 0x2D93;          // 0x6E41 TwoStage, 0x2D93 FlashLoader
  std::uint16_t productAfterFinish = 0;      // 0: same id after Finish restarts it
  // Version responder.
  bool singleNumberVersion = false;
  std::uint8_t versionMajor = 1, versionMinor = 0;  // two-number form
  std::uint8_t versionNumber = 1;                   // single-number form
  std::uint8_t beta = 0;                            // low nibble; 0 = release
  // Loader.
  std::uint32_t loaderSize = 0;
  std::uint32_t eraseUnitSize = 4096;
  std::uint32_t flashSize = 1u << 20;
  std::vector<std::uint8_t> initialFlash;    // from address 0; the rest 0xFF
  bool stagedHead = true;                    // head blocks held until SaveHead
  std::vector<FaultSpec> faults;
};

// Counts of what the adapter received, by command.
struct AdapterStats {
  std::uint32_t exchanges = 0;  // reports received
  std::uint32_t erases = 0, dataPackets = 0, records = 0, checks = 0, saveHeads = 0, imageInfos = 0, finishes = 0,
                queries = 0, versionRequests = 0;
};

class AdapterModel {
 public:
  explicit AdapterModel(AdapterConfig config);

  // One output report as the host wrote it (report id first; 65 bytes for most,
  // n + 1 for a report written with its id). Queues the replies it causes.
  void HandleOutputReport(const std::uint8_t* bytes, std::size_t count);
  // Takes the next queued input report (report id 0 first, 65 bytes). False if none.
  bool PopInputReport(std::uint8_t (&report)[kReportSize]);
  bool Disconnected() const;

  const std::vector<std::uint8_t>& Flash() const { return flash_; }
  const AdapterConfig& Config() const { return config_; }
  const AdapterStats& Stats() const { return stats_; }
  std::uint16_t CurrentProductId() const { return productId_; }
  // The last SetImageInfo payload, and whether Finish restarted the adapter.
  const std::vector<std::uint8_t>& ImageInfo() const { return imageInfo_; }
  bool Finished() const { return finished_; }

 private:
  // (Implementation state: see SimulatedAdapter.cpp.)
  AdapterConfig config_;
  std::vector<std::uint8_t> flash_;
  std::vector<std::uint8_t> imageInfo_;
  AdapterStats stats_;
  std::uint16_t productId_;
  bool finished_ = false;
  friend class AdapterModelAccess;
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

struct LinkConfig {
  std::uint32_t latencyMs = 0;      // per exchange: a reply is readable this long after its request
  std::uint32_t readTimeoutMs = 200;
};

// One line per event of a trace.
struct TraceEntry {
  enum class Kind { Write, Read, ReadTimeout } kind;
  std::vector<std::uint8_t> bytes;  // Write: as handed over, report id first; Read: the 64 data bytes
};

// A ReportChannel over an AdapterModel. On a VirtualClock a read with nothing to read
// advances the clock by the read time-out; on the real clock it waits for it.
class SimulatedChannel final : public ReportChannel {
 public:
  SimulatedChannel(AdapterModel& model, Clock& clock, LinkConfig link = {});
  void Open() { open_ = true; }
  void Close() { open_ = false; }
  // Every write and read so far (off unless enabled: the benchmark runs without it).
  void EnableTrace(bool on) { traceOn_ = on; }
  const std::vector<TraceEntry>& Trace() const { return trace_; }

 protected:
  int WriteRaw(const std::uint8_t* bytes, std::size_t count) override;
  std::uint32_t ReadRaw(std::uint8_t (&report)[kReportSize]) override;
  bool IsReadOpen() const override { return open_; }
  bool IsWriteOpen() const override { return open_; }

 private:
  AdapterModel& model_;
  Clock& clock_;
  LinkConfig link_;
  bool open_ = true;
  bool traceOn_ = false;
  std::vector<TraceEntry> trace_;
  std::uint64_t replyReadyAt_ = 0;
};

}  // namespace korbex::sim
