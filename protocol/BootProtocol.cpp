#include "protocol/BootProtocol.h"

#include <cstring>
#include <mutex>

#include "protocol/Checksums.h"

namespace korbex {
namespace {

void Put16(std::uint8_t* report, std::size_t at, std::uint16_t v) {
  report[at] = static_cast<std::uint8_t>(v);
  report[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::uint8_t* report, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) report[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint16_t Get16(const std::uint8_t* report, std::size_t at) {
  return static_cast<std::uint16_t>(report[at] | report[at + 1] << 8);
}

std::uint32_t Get32(const std::uint8_t* report, std::size_t at) {
  return static_cast<std::uint32_t>(report[at]) | static_cast<std::uint32_t>(report[at + 1]) << 8 |
         static_cast<std::uint32_t>(report[at + 2]) << 16 | static_cast<std::uint32_t>(report[at + 3]) << 24;
}

// kind, code and flags of a command report, everything else zero.
void StartCommand(std::uint8_t (&report)[CommandReport::size], std::uint16_t code, std::uint16_t flags) {
  std::memset(report, 0, sizeof report);
  report[CommandReport::kind] = kReportKind;
  Put16(report, CommandReport::code, code);
  Put16(report, CommandReport::flags, flags);
}

}  // namespace

std::uint32_t BootLink::ReadReplyLocked() {
  lastReadStatus_ = channel_.ReadReport(ReplyReport, static_cast<std::uint8_t>(ReplyLayout::size));
  reads_.fetch_add(1, std::memory_order_relaxed);
  return lastReadStatus_;
}

int BootLink::WriteShortLocked(const std::uint8_t* bytes, std::uint8_t n) {
  writes_.fetch_add(1, std::memory_order_relaxed);
  return channel_.WriteReport(bytes, n);
}

int BootLink::WriteFullLocked(const std::uint8_t* bytes, std::uint8_t n) {
  writes_.fetch_add(1, std::memory_order_relaxed);
  return channel_.WriteReportWithId(bytes, 0x00, n);
}

bool BootLink::IsAck(std::uint16_t code) const {
  return lastReadStatus_ == kReadOk && ReplyReport[ReplyLayout::zero] == 0 &&
         ReplyReport[ReplyLayout::kind] == kReportKind && Get16(ReplyReport, ReplyLayout::status) == 0 &&
         Get16(ReplyReport, ReplyLayout::echoCode) == code;
}

bool BootLink::ReadUntilAck(std::uint16_t code, int budget) {
  for (int i = 0; i < budget; ++i) {
    ReadReplyLocked();
    if (IsAck(code)) return true;
    if (stop_ != nullptr && stop_->load()) return false;
  }
  return false;
}

int BootLink::BuildAndSendShort(const std::uint8_t* payload, std::uint32_t length, std::uint32_t address,
                                std::uint32_t value, std::uint16_t code, std::uint16_t flags, bool withCrc) {
  std::uint8_t report[CommandReport::size];
  StartCommand(report, code, flags);
  std::uint32_t n = length < CommandReport::maxShortPayload + 1 ? length : CommandReport::maxShortPayload;
  // The loader reads payloadLength and payloadCrc as one 32-bit n; the CRC, where
  // due, then takes the upper half.
  Put32(report, CommandReport::payloadLength, n);
  Put32(report, CommandReport::value, value);
  Put32(report, CommandReport::address, address);
  if (payload != nullptr) {
    std::memcpy(report + CommandReport::payload, payload, n);
  } else {
    n = 0;
  }
  if (withCrc) Put16(report, CommandReport::payloadCrc, PayloadCrc16(payload, static_cast<std::int32_t>(n)));
  return WriteShortLocked(report, static_cast<std::uint8_t>(CommandReport::payload + n));
}

int BootLink::SendCommand(const std::uint8_t* payload, std::uint32_t length, std::uint32_t address, std::uint32_t value,
                          std::uint16_t code, std::uint16_t flags) {
  std::lock_guard<std::mutex> lock(channel_.ExchangeMutex());
  return BuildAndSendShort(payload, length, address, value, code, flags, false);
}

int BootLink::SendCommandWithCrc(const std::uint8_t* payload, std::uint32_t length, std::uint32_t address,
                                 std::uint32_t value, std::uint16_t code, std::uint16_t flags) {
  std::lock_guard<std::mutex> lock(channel_.ExchangeMutex());
  return BuildAndSendShort(payload, length, address, value, code, flags, true);
}

int BootLink::EraseUntilAck(std::uint32_t address, std::uint32_t length) {
  std::lock_guard<std::mutex> lock(channel_.ExchangeMutex());
  const auto code = static_cast<std::uint16_t>(BootCommand::Erase);
  if (BuildAndSendShort(nullptr, 0, address, length, code, 0, true) == 0) return 0;
  return ReadUntilAck(code, kEraseReadAttempts) ? 1 : 0;
}

int BootLink::SendDataPacket(const std::uint8_t* data, std::uint32_t address, std::uint32_t length,
                             std::uint32_t value) {
  if (length > CommandReport::maxPayload) return 0;
  std::lock_guard<std::mutex> lock(channel_.ExchangeMutex());
  const auto code = static_cast<std::uint16_t>(BootCommand::WriteData);
  std::uint8_t report[CommandReport::size];
  StartCommand(report, code, 0);
  Put16(report, CommandReport::payloadLength, static_cast<std::uint16_t>(length));
  Put16(report, CommandReport::payloadCrc, PayloadCrc16(data, static_cast<std::int32_t>(length)));
  Put32(report, CommandReport::value, value);
  Put32(report, CommandReport::address, address);
  if (length) std::memcpy(report + CommandReport::payload, data, length);
  WriteFullLocked(report, CommandReport::size);
  return ReadUntilAck(code, kAckReadBudget) ? 1 : 0;
}

int BootLink::SendRecord(const std::uint8_t* record, std::uint8_t index, std::uint8_t sum) {
  std::lock_guard<std::mutex> lock(channel_.ExchangeMutex());
  const auto code = static_cast<std::uint16_t>(BootCommand::WriteRecord);
  std::uint8_t report[RecordReport::size];
  report[RecordReport::kind] = kReportKind;
  report[RecordReport::code] = static_cast<std::uint8_t>(code);
  report[RecordReport::recordIndex] = index;
  report[RecordReport::recordSum] = sum;
  std::memcpy(report + RecordReport::record, record, RecordReport::recordSize);
  WriteFullLocked(report, RecordReport::size);
  return ReadUntilAck(code, kAckReadBudget) ? 1 : 0;
}

int BootLink::SendFinish() {
  // The wait is not part of the exchange: nobody else is kept off the channel by it.
  clock_.SleepMs(kFinishDelayMs);
  std::lock_guard<std::mutex> lock(channel_.ExchangeMutex());
  const auto code = static_cast<std::uint16_t>(BootCommand::Finish);
  BuildAndSendShort(nullptr, 0, 0, 0, code, 0, false);
  ReadReplyLocked();
  return IsAck(code) ? 1 : 0;
}

bool BootLink::VerifyBlock(std::uint8_t code, std::uint32_t value, std::uint32_t address, std::uint16_t expected,
                           std::uint32_t delayMs) {
  return VerifyBlockReply(code, value, address, expected, delayMs).outcome == BlockCheck::Equal;
}

BlockCheckReply BootLink::VerifyBlockReply(std::uint8_t code, std::uint32_t value, std::uint32_t address,
                                           std::uint16_t expected, std::uint32_t delayMs) {
  std::lock_guard<std::mutex> lock(channel_.ExchangeMutex());
  std::uint8_t report[CommandReport::size];
  StartCommand(report, code, 0);
  Put32(report, CommandReport::payloadLength, 12);  // payloadCrc 0
  Put32(report, CommandReport::value, value);
  Put32(report, CommandReport::address, address);
  Put32(report, CommandReport::payload, address);
  Put32(report, CommandReport::payload + 4, kCheckLength);
  Put32(report, CommandReport::payload + 8, 0);
  WriteFullLocked(report, CommandReport::size);
  if (delayMs) clock_.SleepMs(delayMs);
  BlockCheckReply reply;
  const std::uint32_t status = ReadReplyLocked();
  if (IsAck(code) && Get32(ReplyReport, ReplyLayout::echoAddress) == address) {
    reply.deviceCrc = Get16(ReplyReport, ReplyLayout::payload);
    reply.outcome = reply.deviceCrc == expected ? BlockCheck::Equal : BlockCheck::Differs;
  } else if (status != kReadOk && status != kReadTimeout) {
    reply.outcome = BlockCheck::ReadFailed;
  }
  return reply;
}

bool BootLink::Transact(std::uint8_t code, const std::uint8_t* payload, std::uint32_t length, std::uint32_t address,
                        std::uint32_t value, std::uint8_t* out, std::uint32_t outLength, std::uint32_t delayMs) {
  std::lock_guard<std::mutex> lock(channel_.ExchangeMutex());
  BuildAndSendShort(payload, length, address, value, code, 0, false);
  if (delayMs) clock_.SleepMs(delayMs);
  ReadReplyLocked();
  if (!IsAck(code)) return false;
  if (out != nullptr) {
    const std::uint32_t n = outLength < ReplyLayout::maxPayload ? outLength : ReplyLayout::maxPayload;
    std::memcpy(out, ReplyReport + ReplyLayout::payload, n);
  }
  return true;
}

bool BootLink::SendPayloadWithCrc(std::uint8_t code, const std::uint8_t* payload, std::uint16_t crc,
                                  std::uint16_t length) {
  if (length > CommandReport::maxPayload) return false;
  std::lock_guard<std::mutex> lock(channel_.ExchangeMutex());
  std::uint8_t report[CommandReport::size];
  StartCommand(report, code, 0);
  Put16(report, CommandReport::payloadLength, length);
  Put16(report, CommandReport::payloadCrc, crc);
  Put32(report, CommandReport::value, length);
  Put32(report, CommandReport::address, 0);
  if (length) std::memcpy(report + CommandReport::payload, payload, length);
  WriteFullLocked(report, CommandReport::size);
  ReadReplyLocked();
  return IsAck(code);
}

}  // namespace korbex
