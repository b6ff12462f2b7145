#pragma once
// The update sequence: file checks, confirmation, write pass, check passes, head,
// image record, Finish. Portable: it reaches the user only through UpdateListener and
// the adapter only through BootLink, so the dialog, the console and the tests share it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "hid/DeviceFamily.h"
#include "identity/UpdateSession.h"
#include "protocol/BootProtocol.h"
#include "text/OperationLog.h"
#include "update/FirmwareImage.h"

namespace korbex {

enum class UpdatePhase { Checking, QueryLoader, Confirm, WritePass, CheckPass, SaveHead, HeadCheck, ImageInfo, Finish };

enum class UpdateEnding {
  NotRun,       // another worker was already running
  Success,      // every written block verified; "Updated successful!"
  Failure,      // a block was not verified after writing; "Updated failed!"
  Quiet,        // loader did not answer QueryLoader (message: text index 11)
  Cancelled,    // the user did not confirm
  FileRefused,  // "文件不匹配": structure, file mark, model code, loader size
  NoDevice,     // neither family flag set
  Stopped,      // the front end asked the worker to stop (closing the program)
};

// Sends of one record (the first included) before the write pass gives up on it.
// A refused record is sent again with the same index; a loader that refuses the
// same record this often is not going to take it.
inline constexpr int kRecordSendAttempts = 8;
// The wait between QueryLoader and its reply read.
inline constexpr std::uint32_t kQueryLoaderDelayMs = 16;
// The only erase unit the write sequence is sound for: every block sent and every
// check covers 4096 bytes.
inline constexpr std::uint32_t kSupportedEraseUnit = 4096;
// Pieces of one 4096-byte block as sent: 47 + 67 x 60 + 29.
inline constexpr std::uint32_t kLeadingPieceSize = 47;
inline constexpr std::uint32_t kRecordCount = 67;
inline constexpr std::uint32_t kRecordSize = 60;
inline constexpr std::uint32_t kTrailingPieceSize = 29;
inline constexpr std::uint32_t kTrailingPieceOffset = kLeadingPieceSize + kRecordCount * kRecordSize;  // 4067
static_assert(kTrailingPieceOffset + kTrailingPieceSize == kBlockSize);

// The QueryLoader reply data (reply bytes 18..33), little-endian.
struct LoaderParameters {
  static constexpr std::size_t size = 16;
  std::uint32_t loaderSize = 0;     // leading bytes of section 1 (or 3) never sent
  std::uint32_t eraseUnitSize = 0;  // erase length and address step of the write pass
  static LoaderParameters Decode(const std::uint8_t (&bytes)[size]);
};

// Sends QueryLoader (16 ms to the reply read) and decodes its reply. False when the
// loader did not acknowledge.
bool QueryLoaderParameters(BootLink& link, LoaderParameters& out);

// The SetImageInfo payload: {L1, header-1 word, L2, header-2 word} for sections 1
// and 2 (16 bytes), {L3, header-3 word} for section 3 (8 bytes). Full lengths, not
// reduced by the loader size. Returns the byte count.
std::uint16_t BuildImageInfoRecord(const FirmwareHeaders& headers, WrittenSet set, std::uint8_t (&out)[16]);

// The text of the confirmation box: "firmware V%d.%d[ beta%x]" from headers 1 and 2,
// or "firmware V%d[ beta%x]" from header 3 for a single-number device.
std::u16string ConfirmationText(const FirmwareHeaders& headers, bool singleNumberVersion);

// Progress position after done bytes of total, in percent, clamped to 100.
std::uint32_t ProgressPosition(std::uint64_t done, std::uint64_t total);

// Why a run did not end in success, for the command-line tool.
enum class FailureCause {
  None,
  FileRefused,
  LoaderSilent,          // QueryLoader not acknowledged
  EraseUnitUnsupported,  // eraseUnitSize other than 4096
  EraseFailed,           // erase bound spent
  RecordFailed,          // record resend bound spent
  TrailingPieceFailed,
  LeadingPieceFailed,  // the 47-byte piece was not acknowledged; the pass goes on
  BlockDiffers,        // a check pass found a block that is not the file's
  HeadDiffers,         // the head check found a block that is not the file's
  CheckUnanswered,     // a check pass or the head check got no answer for a block: not proven
  Cancelled,
  Stopped,
};

struct UpdateEvent {
  enum class Kind {
    Phase,            // phase changed
    BlockSkipped,     // write pass: already equal on the adapter
    BlockWritten,     // write pass: erased and sent
    BlockNotWritten,  // write pass: a piece was not acknowledged (cause says which)
    BlockVerified,    // check pass or head check: equal
    BlockDiffers,     // check pass or head check: the adapter answered with another CRC
    BlockUnanswered,  // check pass or head check: no answer for the block (lost reply, adapter gone)
    Ended,
  } kind = Kind::Phase;
  UpdatePhase phase = UpdatePhase::Checking;
  int section = 0;               // 1, 2 or 3
  std::uint32_t block = 0;       // index within the section
  std::uint32_t blockCount = 0;  // blocks of the section
  std::uint32_t address = 0;     // device address of the block
  FailureCause cause = FailureCause::None;
  UpdateEnding ending = UpdateEnding::NotRun;  // with Ended
  FileCheckResult fileCheck;                   // with Ended / FileRefused
};

// What the engine tells its front end. Called on the worker thread; the dialog
// forwards each call to its UI thread.
class UpdateListener {
 public:
  virtual ~UpdateListener() = default;
  virtual void EnableUpdateButton(bool enabled) = 0;
  // Progress bar position; the engine clamps it to 0..100.
  virtual void SetProgress(std::uint32_t position) = 0;
  // The confirmation box (OK / Cancel, caption text index 6). True for OK.
  virtual bool ConfirmFirmware(std::u16string_view text) = 0;
  // An OK-only message box with caption text index 6.
  virtual void ShowMessage(std::u16string_view text) = 0;
  virtual void ShowResultLabel() = 0;
  // The UI language, asked at every lookup of a localized text.
  virtual std::uint16_t UiLanguage() = 0;
  // Richer events for the command-line tool; ignored by default.
  virtual void OnUpdateEvent(const UpdateEvent&) {}
};

// Everything one run works on. headers.h1 and h1Read are filled by the update
// command before the worker starts; h2/h3 are refilled by each run.
struct UpdateContext {
  BootLink& link;
  FirmwareImage& image;
  OperationLog& log;
  UpdateListener& listener;
  UpdateSession& session;
  DeviceFamily& family;
  FirmwareHeaders& headers;
  // Set by the front end to stop the worker between two exchanges.
  const std::atomic<bool>* stopRequested = nullptr;
};

// The worker's body: runs the update only when no other run holds updateRunning
// (atomic test-and-set); returns NotRun otherwise.
UpdateEnding FlashUpdateThread(UpdateContext& ctx);

// The sequence itself (the caller holds updateRunning; every ending clears it).
// Reads headers 2 and 3 and refuses a file that does not fit the set it writes
// (CheckFirmwareFile) before anything is sent; asks the user to confirm; queries
// the loader; writes sections 1 and 2, or section 3 alone when singleNumberVersion
// is set, skipping blocks the adapter already holds; verifies every written block (the head after SaveHead, whether or
// not SaveHead was acknowledged) and reports Success only when all are equal. The
// Ended event carries the ending, the cause and, for a refused file, the check.
UpdateEnding RunFlashLoaderUpdate(UpdateContext& ctx);

// Stable names of the endings and causes (JSON output, test labels).
const char* UpdateEndingName(UpdateEnding ending);
const char* FailureCauseName(FailureCause cause);

}  // namespace korbex
