#pragma once
// The input of fuzz_update_engine, shared with the seed generator.
//
//   byte 0  setup: bit 0 section 3 alone (singleNumberVersion), bit 1 TwoStage family,
//           bits 2-3 initial flash (InitialFlash), bits 4-5 loader size (kLoaderSizes),
//           bits 6-7 == 3: an erase unit other than 4096 (kOddEraseUnits[byte 1 >> 6])
//   byte 1  bits 0-1 file variant, bit 2 the user cancels, bit 3 head not staged
//   then    one op byte per channel call (write or read), % 16, some followed by operand
//           bytes. When the bytes run out every call is faithful, so the run completes.
#include <cstdint>

namespace korbex::fuzzinput {

inline constexpr std::uint32_t kLoaderSizes[4] = {0, 16, 4096, 100};
inline constexpr std::uint32_t kOddEraseUnits[4] = {0, 2048, 8192, 1};

enum class InitialFlash : std::uint8_t { Erased = 0, FileAlready = 1, HalfEqual = 2, Garbage = 3 };

// Op on a write (the host sends a report).
enum WriteOp : std::uint8_t {
  kWriteLose = 10,     // the report never reaches the adapter; the write "succeeds"
  kWriteFail = 11,     // the write fails (result 0)
  kWriteCorrupt = 12,  // operands: position, xor mask; one byte changed on the way
  kWriteSilent = 13,   // from now on: writes are lost, reads time out
  kWriteGone = 14,     // from now on: writes fail, reads fail at once
  kWriteStop = 15,     // the front end asks the worker to stop; the report goes out
};

// Op on a read (the host waits for a reply).
enum ReadOp : std::uint8_t {
  kReadDrop = 9,        // the adapter's reply is lost: time-out
  kReadMutate = 10,     // operands: position, xor mask
  kReadReplace = 11,    // operands: 64 bytes delivered instead of the reply
  kReadDuplicate = 12,  // the last report delivered comes again, the reply is lost
  kReadError = 13,      // the read fails with a device error, the reply is lost
  kReadSilent = 14,     // as kWriteSilent
  kReadGone = 15,       // as kWriteGone
};
// Op values 0-9 on a write and 0-8 on a read deliver faithfully.

}  // namespace korbex::fuzzinput
