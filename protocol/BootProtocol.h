#pragma once
// The loader's command protocol: report layouts, command codes and the senders.
// Every sender is one exchange (a write and the reads that answer it) under the
// channel's exchange lock; replies land in the link's ReplyReport.
#include <cstdint>

#include "hid/ReportChannel.h"

namespace korbex {

enum class BootCommand : std::uint16_t {
  WriteData = 3,
  Erase = 4,
  Finish = 7,
  WriteRecord = 0x0B,
  QueryLoader = 0xC1,
  SaveHead = 0xC2,
  CheckBlock = 0xC3,
  SetImageInfo = 0xC4,
};

// The channel, the clock and the reply buffer that every exchange with one adapter
// shares. (The implementer of protocol/ fills in the senders and their contracts.)
class BootLink {
 public:
  BootLink(ReportChannel& channel, Clock& clock) : channel_(channel), clock_(clock) {}
  ReportChannel& Channel() { return channel_; }
  Clock& GetClock() { return clock_; }

  // The last reply read successfully (64 data bytes); zero at start.
  std::uint8_t ReplyReport[64] = {};

 private:
  ReportChannel& channel_;
  Clock& clock_;
};

}  // namespace korbex
