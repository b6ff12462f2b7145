// SimulatedChannel: the ReportChannel primitives over an AdapterModel, with the trace.
#include "sim/SimulatedChannel.h"

namespace korbex::sim {

SimulatedChannel::SimulatedChannel(AdapterModel& model, Clock& clock, LinkConfig link)
    : model_(model), latency_(clock, link) {}

int SimulatedChannel::WriteRaw(const std::uint8_t* bytes, std::size_t count) {
  if (traceOn_) trace_.push_back({TraceEntry::Kind::Write, std::vector<std::uint8_t>(bytes, bytes + count)});
  if (model_.Disconnected()) return 0;
  model_.HandleOutputReport(bytes, count, latency_.ReplyReadyAt());
  // A Disconnect fault on this very report: the device was gone before it arrived.
  return model_.Disconnected() ? 0 : 1;
}

std::uint32_t SimulatedChannel::ReadRaw(std::uint8_t (&report)[kReportSize]) {
  if (model_.Disconnected()) {
    if (traceOn_) trace_.push_back({TraceEntry::Kind::ReadFailed, {}});
    return kReadDisconnected;
  }
  const std::uint64_t start = latency_.NowMs();
  const std::uint64_t timeoutAt = start + latency_.ReadTimeoutMs();
  std::uint64_t readyAt = 0;
  if (model_.NextReplyReadyAt(readyAt) && readyAt <= timeoutAt) {
    latency_.WaitUntil(readyAt);
    if (model_.PopInputReport(report)) {
      if (traceOn_)
        trace_.push_back({TraceEntry::Kind::Read, std::vector<std::uint8_t>(report + 1, report + kReportSize)});
      return kReadOk;
    }
  }
  latency_.WaitUntil(timeoutAt);
  if (traceOn_) trace_.push_back({TraceEntry::Kind::ReadTimeout, {}});
  return kReadTimeout;
}

}  // namespace korbex::sim
