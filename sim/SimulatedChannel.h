#pragma once
// SimulatedChannel: a ReportChannel over an AdapterModel in the same process, for the
// tests, the benchmark and --simulate. It hands each write to the model and reads the
// model's replies at their ready time (LinkLatency), and can keep a trace of both.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hid/ReportChannel.h"
#include "sim/AdapterModel.h"
#include "sim/ReplyQueue.h"

namespace korbex::sim {

// Input status of a SimulatedChannel read on a disconnected adapter (WAIT_FAILED):
// non-zero and neither kReadTimeout nor kReadNotOpen, and returned at once.
inline constexpr std::uint32_t kReadDisconnected = 0xFFFFFFFFu;

// One line per event of a trace.
struct TraceEntry {
  enum class Kind { Write, Read, ReadTimeout, ReadFailed } kind;
  std::vector<std::uint8_t> bytes;  // Write: as handed over, report id first; Read: the 64 data bytes
};

// A ReportChannel over an AdapterModel. A write hands the bytes to the model at once;
// its replies become readable latencyMs later. A read takes the next reply at its
// ready time; with none due within the read time-out it returns kReadTimeout after
// that time-out (waiting as LinkLatency does). A disconnected adapter makes writes return
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
  AdapterModel& model_;
  LinkLatency latency_;
  bool open_ = true;
  bool traceOn_ = false;
  std::vector<TraceEntry> trace_;
};

}  // namespace korbex::sim
