#pragma once
// A ReportChannel that records every write and read of the channel it wraps, so the
// hardware and the simulated adapter leave the same trace. Format, one line per event:
//   # korbex-update trace 1        first line
//   W 00 05 07 …                   bytes handed to the system's write, report id first
//   W failed                       follows a W line whose write was refused
//   R 00 05 00 …                   the 64 data bytes of a report read
//   R timeout                      a read that timed out
//   R error N                      a read that failed otherwise (N = status, decimal)
// Bytes are two-digit lower-case hex separated by one space.
#include <cstdio>

#include "hid/ReportChannel.h"

namespace korbex::cli {

// Writes the first line of a trace file; false when it could not be written (a full
// disk, /dev/full).
bool WriteTraceHeader(std::FILE* out);
// errno of the first write to the trace file that failed, 0 when none did.
int TraceWriteError();

// Also watches the wrapped channel without a file (out == null): the tool tells an
// adapter that went away from one that stopped answering by the read errors.
class TraceChannel final : public WrappingChannel {
 public:
  // out (may be null) stays owned by the caller and open while the channel is used.
  TraceChannel(ReportChannel& inner, std::FILE* out);
  // Reads that failed with something other than a time-out (device gone).
  unsigned ReadErrors() const { return readErrors_; }
  unsigned WriteErrors() const { return writeErrors_; }

 protected:
  int WriteRaw(const std::uint8_t* bytes, std::size_t count) override;
  std::uint32_t ReadRaw(std::uint8_t (&report)[kReportSize]) override;

 private:
  void Line(char tag, const std::uint8_t* bytes, std::size_t count);
  std::FILE* out_;
  unsigned readErrors_ = 0;
  unsigned writeErrors_ = 0;
};

}  // namespace korbex::cli
