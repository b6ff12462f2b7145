#include "cli/TraceChannel.h"

namespace korbex::cli {

void WriteTraceHeader(std::FILE* out) {
  std::fputs("# korbex-update trace 1\n", out);
  std::fflush(out);
}

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
  std::fflush(out_);
}

int TraceChannel::WriteRaw(const std::uint8_t* bytes, std::size_t count) {
  Line('W', bytes, count);
  const int result = InnerWriteRaw(bytes, count);
  if (result == 0) {
    ++writeErrors_;
    if (out_) {
      std::fputs("W failed\n", out_);
      std::fflush(out_);
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
      std::fflush(out_);
    }
  } else {
    ++readErrors_;
    if (out_) {
      std::fprintf(out_, "R error %lu\n", static_cast<unsigned long>(status));
      std::fflush(out_);
    }
  }
  return status;
}

}  // namespace korbex::cli
