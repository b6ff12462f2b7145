#pragma once
// Read-only comparison of the adapter's flash with a firmware file, for the
// command-line `verify` command: the same block checks as an update, and nothing is
// erased or written.
#include <atomic>
#include <cstdint>
#include <functional>

#include "protocol/BootProtocol.h"
#include "update/FirmwareImage.h"
#include "update/UpdateEngine.h"

namespace korbex {

// One block of a written section as the adapter holds it.
struct BlockComparison {
  int section = 0;          // 1, 2 or 3
  std::uint32_t block = 0;  // index within the section
  std::uint32_t blockCount = 0;
  std::uint32_t address = 0;  // device address
  bool equal = false;         // the adapter acknowledged CheckBlock with the file's CRC
  bool answered = false;      // the adapter acknowledged CheckBlock for this address at all
  std::uint16_t fileCrc = 0;
  std::uint16_t deviceCrc = 0;  // meaningful only when answered
};

struct FlashCompareResult {
  enum class Status {
    Compared,      // every block was asked for; see the counts
    LoaderSilent,  // QueryLoader was not acknowledged: nothing compared
    FileRefused,   // the file does not fit the written set or the loader size (fileCheck says why)
    Stopped,       // stop was requested between two blocks
    AdapterGone,   // a check's read failed with an error: the adapter left, the rest was not asked
  } status = Status::Compared;
  LoaderParameters loader;
  FileCheckResult fileCheck;
  std::uint32_t blocks = 0;  // blocks asked for
  std::uint32_t equal = 0;
  std::uint32_t differing = 0;   // answered with another CRC
  std::uint32_t unanswered = 0;  // no answer for the block: not known to differ

  // True when every block of the written set is on the adapter as in the file.
  bool Matches() const { return status == Status::Compared && differing == 0 && unanswered == 0; }
};

// Refuses a file CheckFirmwareFile refuses for the set before anything is sent. Then
// asks the loader for its parameters (QueryLoader), and compares every 4096-byte
// block of the written set's sections (section 1 then 2, or section 3; the loader's
// leading bytes are skipped as an update skips them) with one CheckBlock each, and
// reports each block through onBlock (may be empty). The file must be open and its
// headers read (ReadSectionHeaders); bytes past the end of the file count as 0xFF,
// as an update sends them. stop (may be null) is looked at between blocks. A check
// whose read fails with an error (not a time-out) ends the comparison with
// AdapterGone after that block is reported.
FlashCompareResult CompareFlash(BootLink& link, FirmwareImage& image, const FirmwareHeaders& headers, WrittenSet set,
                                const std::function<void(const BlockComparison&)>& onBlock,
                                const std::atomic<bool>* stop = nullptr);

}  // namespace korbex
