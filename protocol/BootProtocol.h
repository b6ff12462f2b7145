#pragma once
// The loader's command protocol: report layouts, command codes and the senders.
// Every sender is one exchange (a write and the reads that answer it) under the
// channel's exchange lock; replies land in the link's ReplyReport.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "hid/ReportChannel.h"

namespace korbex {

enum class BootCommand : std::uint16_t {
  WriteData = 3,
  Erase = 4,
  Finish = 7,
  WriteRecord = 0x0B,
  QueryLoader = 0xC1,
  SaveHead = 0xC2,
  CheckBlock = 0xC3,
  SetImageInfo = 0xC4,
};

// Every report of the protocol, out and in, carries this kind byte.
inline constexpr std::uint8_t kReportKind = 5;

// Offsets of the 64-byte command report (multi-byte fields little-endian).
struct CommandReport {
  static constexpr std::size_t kind = 0;           // 1 byte, kReportKind
  static constexpr std::size_t code = 1;           // 2 bytes, BootCommand
  static constexpr std::size_t flags = 3;          // 2 bytes, always 0 here
  static constexpr std::size_t payloadLength = 5;  // 2 bytes (written as 32-bit n, see SendCommand)
  static constexpr std::size_t payloadCrc = 7;     // 2 bytes, PayloadCrc16 of the payload where due
  static constexpr std::size_t value = 9;          // 4 bytes, meaning per command
  static constexpr std::size_t address = 13;       // 4 bytes, device address
  static constexpr std::size_t payload = 17;       // up to maxPayload bytes
  static constexpr std::size_t size = 64;
  static constexpr std::size_t maxPayload = size - payload;  // 47
  // The short form keeps one byte less: "len < 47 ? len : 46".
  static constexpr std::size_t maxShortPayload = 46;
};

// Offsets of the 64-byte record report, used by WriteRecord only. Every byte is defined.
struct RecordReport {
  static constexpr std::size_t kind = 0;         // 1 byte, kReportKind
  static constexpr std::size_t code = 1;         // 1 byte, WriteRecord
  static constexpr std::size_t recordIndex = 2;  // low 8 bits of the index within the block
  static constexpr std::size_t recordSum = 3;    // ByteSum8 of the record
  static constexpr std::size_t record = 4;       // recordSize bytes
  static constexpr std::size_t recordSize = 60;
  static constexpr std::size_t size = 64;
};

// Offsets in the 64 data bytes of a reply.
struct ReplyLayout {
  static constexpr std::size_t zero = 0;          // must be 0
  static constexpr std::size_t kind = 1;          // kReportKind
  static constexpr std::size_t status = 2;        // 2 bytes, 0 = accepted
  static constexpr std::size_t echoCode = 4;      // 2 bytes, the command acknowledged
  static constexpr std::size_t echoAddress = 14;  // 4 bytes, the command's address (CheckBlock)
  static constexpr std::size_t payload = 18;      // reply data; CheckBlock's CRC at 18-19
  static constexpr std::size_t maxPayload = 46;
  static constexpr std::size_t size = 64;
};

// Reads per exchange of the senders with a read budget (WriteData, WriteRecord).
inline constexpr int kAckReadBudget = 20;
// Reads EraseUntilAck spends waiting for the erase to be acknowledged. An erase of one
// unit takes the loader well under a second; 50 reads are 10 s at the 200 ms time-out.
inline constexpr int kEraseReadAttempts = 50;
// CheckBlock covers this many bytes.
inline constexpr std::uint32_t kCheckLength = 4096;
// SendFinish waits this long before it sends Finish.
inline constexpr std::uint32_t kFinishDelayMs = 2000;

// What one CheckBlock exchange found. Only Equal proves the block; the others tell a
// block whose contents differ from a check whose reply was lost.
enum class BlockCheck : std::uint8_t {
  Equal,       // acknowledged for the address with the expected CRC
  Differs,     // acknowledged for the address with another CRC
  NoAnswer,    // no acknowledgement for this address: a time-out, a refusal, a late or stray reply
  ReadFailed,  // the read failed with an error (the adapter went away or its channel closed)
};

struct BlockCheckReply {
  BlockCheck outcome = BlockCheck::NoAnswer;
  std::uint16_t deviceCrc = 0;  // the adapter's CRC of the range; meaningful when answered
  bool Answered() const { return outcome == BlockCheck::Equal || outcome == BlockCheck::Differs; }
};

// The channel, the clock and the reply buffer that every exchange with one adapter
// shares. The senders build each report in a local 64-byte buffer: nothing is
// allocated per call. They return 1 / true for an acknowledged exchange.
class BootLink {
 public:
  BootLink(ReportChannel& channel, Clock& clock) : channel_(channel), clock_(clock) {}
  ReportChannel& Channel() { return channel_; }
  Clock& GetClock() { return clock_; }

  // When set, the read loops that wait for an acknowledgement (EraseUntilAck,
  // SendDataPacket, SendRecord) give up after the first read that follows a stop
  // request, so a stop acts within one read time-out instead of a whole budget (an
  // erase wait is kEraseReadAttempts reads). What is written is unchanged.
  void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

  // The last reply read successfully (64 data bytes); zero at start.
  std::uint8_t ReplyReport[64] = {};

  // Short form: builds a command report with n = min(length, 46) (length < 47 ? length
  // : 46) written as a 32-bit value at payloadLength, copies n payload bytes (none, and
  // n counts as 0, when payload is null) and hands the first 17 + n bytes to
  // WriteReport, so the rest of the 64 goes out as earlier short reports left it.
  // Returns WriteReport's result (non-zero when written). Reads nothing.
  int SendCommand(const std::uint8_t* payload, std::uint32_t length, std::uint32_t address, std::uint32_t value,
                  std::uint16_t code, std::uint16_t flags);
  // As SendCommand, and payloadCrc is PayloadCrc16 of the n payload bytes: 0xFFFF for
  // no payload (every Erase report carries FF FF at offsets 7-8).
  int SendCommandWithCrc(const std::uint8_t* payload, std::uint32_t length, std::uint32_t address, std::uint32_t value,
                         std::uint16_t code, std::uint16_t flags);

  // True when the last read returned kReadOk and ReplyReport acknowledges code: byte 0
  // is 0, kind is 5, status is 0 and echoCode equals code. False before any read.
  bool IsAck(std::uint16_t code) const;

  // Sends Erase (short form with CRC) of length bytes at address, then reads until a
  // reply acknowledges it, skipping others, at most kEraseReadAttempts reads. Returns
  // 1 when acknowledged; 0 when the write failed or the reads are spent.
  int EraseUntilAck(std::uint32_t address, std::uint32_t length);

  // Sends WriteData (full form, payloadCrc of the data) with length <= 47 data bytes,
  // then reads up to 20 times without delay. Returns 1 on the first acknowledgement,
  // 0 when 20 reads brought none (the report is not sent again) or length > 47
  // (nothing sent).
  int SendDataPacket(const std::uint8_t* data, std::uint32_t address, std::uint32_t length, std::uint32_t value);

  // Sends one 60-byte record as a RecordReport (full form) with the low 8 bits of its
  // index and its ByteSum8 sum, then reads up to 20 times. Returns 1 when WriteRecord
  // was acknowledged, else 0.
  int SendRecord(const std::uint8_t* record, std::uint8_t index, std::uint8_t sum);

  // Waits kFinishDelayMs on the clock (outside the exchange lock), sends Finish in the
  // short form and reads once. Returns 1 when that read acknowledges Finish, else 0.
  int SendFinish();

  // Sends code (CheckBlock) in the full form with payloadLength 12 and the payload
  // {address, 4096, 0}, waits delayMs, reads once. True only when the reply
  // acknowledges code, echoes address and carries expected at offsets 18-19; a
  // time-out, another command's reply or another CRC or address give false.
  bool VerifyBlock(std::uint8_t code, std::uint32_t value, std::uint32_t address, std::uint16_t expected,
                   std::uint32_t delayMs);
  // The same exchange as VerifyBlock (the same report, wait and single read), telling
  // why it did not prove the block: the adapter answered for address with another
  // CRC, did not answer for it at all, or the read failed with an error.
  BlockCheckReply VerifyBlockReply(std::uint8_t code, std::uint32_t value, std::uint32_t address,
                                   std::uint16_t expected, std::uint32_t delayMs);

  // SendCommand(payload, length, address, value, code, 0), wait delayMs, read once.
  // When code is acknowledged, copies min(outLength, 46) bytes from reply offset 18 to
  // out (when out is not null) and returns true; otherwise false, out untouched.
  bool Transact(std::uint8_t code, const std::uint8_t* payload, std::uint32_t length, std::uint32_t address,
                std::uint32_t value, std::uint8_t* out, std::uint32_t outLength, std::uint32_t delayMs);

  // Sends code in the full form with payloadLength = value = length, payloadCrc = crc
  // (computed by the caller) and address 0, reads once (no delay). True when
  // acknowledged; false otherwise or when length > 47 (nothing sent).
  bool SendPayloadWithCrc(std::uint8_t code, const std::uint8_t* payload, std::uint16_t crc, std::uint16_t length);

  // Lower-level steps for exchanges that are not loader commands (the version query).
  // The caller holds Channel().ExchangeMutex() for the whole exchange.
  // Reads one reply into ReplyReport and remembers its status for IsAck.
  std::uint32_t ReadReplyLocked();
  // WriteReport (short, through sharedOutputReport) and WriteReportWithId (id 0).
  int WriteShortLocked(const std::uint8_t* bytes, std::uint8_t n);
  int WriteFullLocked(const std::uint8_t* bytes, std::uint8_t n);

  // Reports written and replies read since construction (benchmark, traces).
  std::uint64_t Exchanges() const { return writes_.load(std::memory_order_relaxed); }
  std::uint64_t Reads() const { return reads_.load(std::memory_order_relaxed); }

 private:
  int BuildAndSendShort(const std::uint8_t* payload, std::uint32_t length, std::uint32_t address, std::uint32_t value,
                        std::uint16_t code, std::uint16_t flags, bool withCrc);
  // Reads up to budget replies; true at the first that acknowledges code.
  bool ReadUntilAck(std::uint16_t code, int budget);

  ReportChannel& channel_;
  Clock& clock_;
  const std::atomic<bool>* stop_ = nullptr;
  std::uint32_t lastReadStatus_ = kReadNotOpen;  // no read yet: nothing is acknowledged
  std::atomic<std::uint64_t> writes_{0};
  std::atomic<std::uint64_t> reads_{0};
};

}  // namespace korbex
