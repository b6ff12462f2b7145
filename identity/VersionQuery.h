#pragma once
// Asking a TwoStage adapter for its firmware version, and the caption that shows it.
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/BootProtocol.h"
#include "update/UpdateEngine.h"

namespace korbex {

// Failed reads after which the version stays unread (each costs one read time-out
// and one short command 0x1D).
inline constexpr int kVersionReadAttempts = 10;

enum class VersionQueryResult {
  Read,      // a reply arrived; session and caption updated
  NoReply,   // every attempt failed; deviceVersion stays kVersionNotRead
};

// Sends the version request and reads replies (bounded) into link.ReplyReport.
// On a reply: sets deviceVersion/deviceVersionMinor/deviceBeta and
// singleNumberVersion in session (beta carried over when the reply has none) and
// builds caption from title. The caller has opened the channel, checked that no
// update runs and that the TwoStage flag is set, and set deviceVersion to
// kVersionNotRead. trace receives the "recv() failed…" lines (may be null).
VersionQueryResult QueryTwoStageVersion(BootLink& link, UpdateSession& session, std::u16string_view title,
                                        std::u16string& caption, void (*trace)(std::u16string_view) = nullptr);

// Applies one version reply (64 bytes) to the session and returns the caption text
// ("<title> (Device: v…)\n", lower-case hex).
std::u16string ApplyVersionReply(const std::uint8_t* reply, UpdateSession& session, std::u16string_view title);

}  // namespace korbex
