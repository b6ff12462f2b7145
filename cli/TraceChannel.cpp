#include "cli/TraceChannel.h"

#include <cerrno>

namespace korbex::cli {
namespace {
// There is one trace file per process; its first failed write is kept for the end.
int traceErrno = 0;

void FlushTrace(std::FILE* out) {
  errno = 0;
  if (std::fflush(out) == 0 && !std::ferror(out)) return;
  if (traceErrno == 0) traceErrno = errno != 0 ? errno : EIO;
  std::clearerr(out);
}
}  // namespace

bool WriteTraceHeader(std::FILE* out) {
  std::fputs("# korbex-update trace 1\n", out);
  FlushTrace(out);
  return traceErrno == 0;
}

int TraceWriteError() { return traceErrno; }

TraceChannel::TraceChannel(ReportChannel& inner, std::FILE* out) : WrappingChannel(inner), out_(out) {}

void TraceChannel::Line(char tag, const std::uint8_t* bytes, std::size_t count) {
  if (!out_) return;
  static const char kHex[] = "0123456789abcdef";
  char line[2 + 3 * kReportSize + 2];
  std::size_t at = 0;
  line[at++] = tag;
  for (std::size_t i = 0; i < count && i < kReportSize; ++i) {
    line[at++] = ' ';
    line[at++] = kHex[bytes[i] >> 4];
    line[at++] = kHex[bytes[i] & 0x0F];
  }
  line[at++] = '\n';
  std::fwrite(line, 1, at, out_);
  // Flushed per line, so a trace is complete up to the last event even if the
  // process is killed in the middle of an update.
  FlushTrace(out_);
}

int TraceChannel::WriteRaw(const std::uint8_t* bytes, std::size_t count) {
  Line('W', bytes, count);
  const int result = InnerWriteRaw(bytes, count);
  if (result == 0) {
    ++writeErrors_;
    if (out_) {
      std::fputs("W failed\n", out_);
      FlushTrace(out_);
    }
  }
  return result;
}

std::uint32_t TraceChannel::ReadRaw(std::uint8_t (&report)[kReportSize]) {
  const std::uint32_t status = InnerReadRaw(report);
  if (status == kReadOk) {
    Line('R', report + 1, kReportDataSize);
  } else if (status == kReadTimeout) {
    if (out_) {
      std::fputs("R timeout\n", out_);
      FlushTrace(out_);
    }
  } else {
    ++readErrors_;
    if (out_) {
      std::fprintf(out_, "R error %lu\n", static_cast<unsigned long>(status));
      FlushTrace(out_);
    }
  }
  return status;
}

}  // namespace korbex::cli
