#pragma once
// The tool's own messages in the two languages of the dialog's text table. Texts the
// dialog also shows (title, "…BOOT mode", "文件不匹配", the result texts) come from
// text/Texts.h instead, so both front ends say the same thing.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "update/UpdateEngine.h"

namespace korbex::cli {

enum class Msg {
  UsingSimulator,
  NoAdapter,
  NoAdapterAt,
  SeveralAdapters,
  PermissionDenied,
  CannotOpenAdapter,
  AdapterGone,
  CannotOpenFile,
  FileRefused,
  FileAccepted,
  VersionNoReply,
  VersionNotReported,
  ConfirmPrompt,
  ConfirmNeedsYes,
  Cancelled,
  Stopped,
  WaitingForRestart,
  AdapterBack,
  AdapterNotBack,
  VerifyEqual,
  VerifyDiffers,
  BlockDiffersLine,
  LoaderSilent,
  EraseUnitUnsupported,
  WrittenSummary,
  CannotWriteTrace,
  SimFlashOutFailed,
  VerifyStopped,
  NoHardwareSupport,
  BlockNotWritten,
  CauseEraseFailed,
  CauseRecordFailed,
  CauseLeadingPieceFailed,
  CauseTrailingPieceFailed,
  BlockDiffersAfterWrite,
  HeadDiffersAfterWrite,
  ConfirmedByYes,
  AndMore,
  WaitingForAdapter,
  NoAdapterInTime,
  BlockUnansweredAfterWrite,
  HeadUnansweredAfterWrite,
  CausePassStopped,
  VerifyUnanswered,
  VerifyDiffersAndUnanswered,
  VerifyAdapterGone,
  RestartWaitStopped,
  ConfirmAllAdapters,
  AdapterBusy,
  AdapterBusyBy,
  Count
};

// Chinese (2052) when the locale says zh_CN: LC_ALL, else LC_MESSAGES, else LANG, the
// first one that is set and not empty decides; else the system's UI language where
// there is one; else English (1033).
std::uint16_t PickLanguage();
// The decision for given variable values (null or empty = not set).
std::uint16_t PickLanguage(const char* lcAll, const char* lcMessages, const char* lang, std::uint16_t systemLanguage);

// The message in the language, UTF-8, "{}" placeholders filled in order.
std::string Text(Msg id, std::uint16_t language, std::initializer_list<std::string_view> args = {});
// Another program holds the adapter at path; holder names it, or is empty.
std::string AdapterBusyText(std::uint16_t language, std::string_view path, std::string_view holder);
// Why a piece of a block was not written (the cause of a BlockNotWritten event), in words.
std::string CauseText(FailureCause cause, std::uint16_t language);
// The block (or head block) whose check failed after the write: it differs, or its check
// got no answer. section, index and where (the address, hex) as the event gives them.
std::string CheckFailedText(bool differs, bool head, std::uint16_t language, std::string_view section,
                            std::string_view index, std::string_view where);
// Fills "{}" placeholders in order; extra placeholders stay, extra arguments are dropped.
std::string Format(std::string_view pattern, std::initializer_list<std::string_view> args);

}  // namespace korbex::cli
