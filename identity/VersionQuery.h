#pragma once
// Asking a TwoStage adapter for its firmware version, and the caption that shows it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "identity/UpdateSession.h"
#include "protocol/BootProtocol.h"

namespace korbex {

// Failed reads after which the version stays unread (each costs one read time-out
// and one short command 0x1D).
inline constexpr int kVersionReadAttempts = 10;

enum class VersionQueryResult {
  Read,     // a reply arrived; session and caption updated
  NoReply,  // every attempt failed; deviceVersion stays kVersionNotRead
};

// Sends the version request and reads replies (bounded) into link.ReplyReport.
// On a reply: sets deviceVersion/deviceVersionMinor/deviceBeta and
// singleNumberVersion in session (beta carried over when the reply has none) and
// builds caption from title. The caller has opened the channel, checked that no
// update runs and that the TwoStage flag is set, and set deviceVersion to
// kVersionNotRead. trace receives the "recv() failed…" lines (may be null).
// Each failed read is followed by the short command 0x1D and another read, except
// the last: a reply that command provoked would otherwise wait in the adapter and be
// taken for the answer to the next exchange. The whole query holds the channel's
// exchange lock, so it never interleaves with an update's exchange.
VersionQueryResult QueryTwoStageVersion(BootLink& link, UpdateSession& session, std::u16string_view title,
                                        std::u16string& caption, void (*trace)(std::u16string_view) = nullptr);

// The version request: 05 21 and 62 zeros, sent whole with report id 0 (65 bytes).
inline constexpr std::uint8_t kVersionRequestKind = 0x05;
inline constexpr std::uint8_t kVersionRequestCode = 0x21;
// The short command sent after a failed read, and its parameter.
inline constexpr std::uint8_t kVersionRetryCode = 0x1D;
inline constexpr std::uint8_t kVersionRetryParameter = 0x00;

// Offsets in the version reply.
struct VersionReplyLayout {
  static constexpr std::size_t major = 4;   // two-number form
  static constexpr std::size_t minor = 5;   // two-number form
  static constexpr std::size_t number = 6;  // single-number form
  static constexpr std::size_t flags = 7;   // high nibble 0x8: single-number; bit 0: beta = low nibble
};

// Sends the six bytes 05 00 code 01 00 parameter through WriteReport (the rest of
// the 64 goes out as earlier short reports left sharedOutputReport). Returns the
// write's result. The caller holds the channel's exchange lock.
int SendShortCommand(BootLink& link, std::uint8_t code, std::uint8_t parameter);

// Applies one version reply (64 bytes) to the session and returns the caption text
// ("<title> (Device: v…)\n", lower-case hex).
std::u16string ApplyVersionReply(const std::uint8_t* reply, UpdateSession& session, std::u16string_view title);

}  // namespace korbex
