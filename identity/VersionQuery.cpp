#include "identity/VersionQuery.h"

#include <cstdio>
#include <mutex>

namespace korbex {
namespace {

// Caption formats after "<title>", by reply form and whether a beta is known. The
// numbers are lower-case hex; the line feed at the end has always been part of it.
struct CaptionFormat {
  bool singleNumber;
  bool beta;
  const char* format;
};
constexpr CaptionFormat kCaptionFormats[] = {
    {true, true, " (Device: v%x beta%x)\n"},
    {true, false, " (Device: v%x)\n"},
    {false, true, " (Device: v%x.%x beta%x)\n"},
    {false, false, " (Device: v%x.%x)\n"},
};

constexpr char kRecvFailedFormat[] = "recv() failed with error code 0x%x\n";

std::u16string Widen(const char* ascii) {
  std::u16string out;
  for (; *ascii; ++ascii) out += static_cast<char16_t>(static_cast<unsigned char>(*ascii));
  return out;
}

}  // namespace

int SendShortCommand(BootLink& link, std::uint8_t code, std::uint8_t parameter) {
  const std::uint8_t command[6] = {kVersionRequestKind, 0x00, code, 0x01, 0x00, parameter};
  return link.WriteShortLocked(command, sizeof command);
}

std::u16string ApplyVersionReply(const std::uint8_t* reply, UpdateSession& session, std::u16string_view title) {
  const std::uint8_t flags = reply[VersionReplyLayout::flags];
  const bool singleNumber = (flags & 0xF0) == 0x80;
  if (flags & 0x01) session.deviceBeta = flags & 0x0Fu;  // otherwise the earlier beta stands
  if (singleNumber) {
    session.singleNumberVersion = 1;
    session.deviceVersion = reply[VersionReplyLayout::number];
  } else {
    // A two-number reply leaves singleNumberVersion as an earlier reply set it.
    session.deviceVersion = reply[VersionReplyLayout::major];
    session.deviceVersionMinor = reply[VersionReplyLayout::minor];
  }
  const unsigned version = session.deviceVersion, minor = session.deviceVersionMinor, beta = session.deviceBeta;
  const bool hasBeta = beta != 0;
  char text[64] = {};
  for (const auto& f : kCaptionFormats) {
    if (f.singleNumber != singleNumber || f.beta != hasBeta) continue;
    if (singleNumber && hasBeta) {
      std::snprintf(text, sizeof text, f.format, version, beta);
    } else if (singleNumber) {
      std::snprintf(text, sizeof text, f.format, version);
    } else if (hasBeta) {
      std::snprintf(text, sizeof text, f.format, version, minor, beta);
    } else {
      std::snprintf(text, sizeof text, f.format, version, minor);
    }
  }
  return std::u16string(title) + Widen(text);
}

VersionQueryResult QueryTwoStageVersion(BootLink& link, UpdateSession& session, std::u16string_view title,
                                        std::u16string& caption, void (*trace)(std::u16string_view)) {
  std::lock_guard<std::mutex> lock(link.Channel().ExchangeMutex());
  std::uint8_t request[64] = {kVersionRequestKind, kVersionRequestCode};
  // A failed request write is not detected: the reads below simply find nothing.
  link.WriteFullLocked(request, sizeof request);
  for (int attempt = 1; attempt <= kVersionReadAttempts; ++attempt) {
    const std::uint32_t status = link.ReadReplyLocked();
    if (status == kReadOk) {
      caption = ApplyVersionReply(link.ReplyReport, session, title);
      return VersionQueryResult::Read;
    }
    if (trace != nullptr) {
      char line[64];
      std::snprintf(line, sizeof line, kRecvFailedFormat, static_cast<unsigned>(status));
      trace(Widen(line));
    }
    if (attempt < kVersionReadAttempts) SendShortCommand(link, kVersionRetryCode, kVersionRetryParameter);
  }
  return VersionQueryResult::NoReply;
}

}  // namespace korbex
