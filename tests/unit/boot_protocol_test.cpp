#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/BootProtocol.h"
#include "protocol/Checksums.h"
#include "support/engine_support.h"

namespace korbex {
namespace {

using test::Bytes;
using test::LoaderReply;
using test::ScriptedChannel;

constexpr std::uint16_t Code(BootCommand c) { return static_cast<std::uint16_t>(c); }

// Report bytes 0..count-1 of a write (the wire bytes after the report id).
Bytes ReportBytes(const Bytes& wire, std::size_t count) { return Bytes(wire.begin() + 1, wire.begin() + 1 + count); }

Bytes Hex(const std::string& text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 3)
    out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return out;
}

struct Link {
  VirtualClock clock;
  ScriptedChannel channel{&clock};
  BootLink link{channel, clock};
};

TEST(BootProtocol, FinishWaitsThenSendsSeventeenBytesAndReadsOnce) {
  Link t;
  t.channel.QueueReply(LoaderReply(Code(BootCommand::Finish)));
  EXPECT_EQ(t.link.SendFinish(), 1);
  ASSERT_EQ(t.channel.writes.size(), 1u);
  const Bytes& wire = t.channel.writes[0];
  ASSERT_EQ(wire.size(), 65u);  // a short report always goes out whole
  EXPECT_EQ(wire[0], 0x00);
  EXPECT_EQ(ReportBytes(wire, 17), Hex("05 07 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(t.clock.NowMs(), kFinishDelayMs);
  EXPECT_EQ(t.channel.readCalls, 1);
}

TEST(BootProtocol, EraseCarriesTheCrcOfNoBytes) {
  Link t;
  t.channel.QueueReply(LoaderReply(Code(BootCommand::Erase)));
  EXPECT_EQ(t.link.EraseUntilAck(0x10000, 4096), 1);
  ASSERT_EQ(t.channel.writes.size(), 1u);
  EXPECT_EQ(ReportBytes(t.channel.writes[0], 17), Hex("05 04 00 00 00 00 00 FF FF 00 10 00 00 00 00 01 00"));
}

TEST(BootProtocol, ShortFormCutsAtFortySixAndKeepsStaleBytes) {
  Link t;
  // An earlier short write leaves 0xEE in every byte of sharedOutputReport.
  const Bytes fill(64, 0xEE);
  t.channel.WriteReport(fill.data(), 64);

  Bytes payload(50);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(0x40 + i);
  EXPECT_NE(t.link.SendCommand(payload.data(), 50, 0x1234, 0x5678, 0x99, 0), 0);
  const Bytes cut = t.channel.writes.back();
  ASSERT_EQ(cut.size(), 65u);
  EXPECT_EQ(ReportBytes(cut, 17), Hex("05 99 00 00 00 2E 00 00 00 78 56 00 00 34 12 00 00"));
  // 17 + 46 = 63 bytes handed over: payload bytes 0..45, then the one stale byte.
  EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + 46, cut.begin() + 18));
  EXPECT_EQ(cut[64], 0xEE);

  // A report without payload hands 17 bytes: everything after is the previous report.
  EXPECT_NE(t.link.SendCommand(nullptr, 0, 0, 0, Code(BootCommand::QueryLoader), 0), 0);
  const Bytes query = t.channel.writes.back();
  EXPECT_EQ(ReportBytes(query, 17), Hex("05 C1 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_TRUE(std::equal(cut.begin() + 18, cut.end(), query.begin() + 18));
}

TEST(BootProtocol, ShortFormLengthFieldAndCrc) {
  struct Case {
    const char* name;
    bool withCrc;
    bool payload;  // pass the payload pointer (else null)
    std::uint32_t length;
    const char* bytes5to8;  // payloadLength and payloadCrc as sent
    std::size_t handed;     // bytes given to WriteReport
  } const cases[] = {
      {"no payload, length 0", false, false, 0, "00 00 00 00", 17},
      {"null payload keeps the length field", false, false, 5, "05 00 00 00", 17},
      {"crc over no payload", true, false, 0, "00 00 FF FF", 17},
      {"crc over three bytes", true, true, 3, "03 00 49 57", 20},  // CRC("abc") = 0x5749
      {"crc over the cut 46", true, true, 60, nullptr, 63},
  };
  const Bytes payload = {'a', 'b', 'c'};
  Bytes longPayload(60);
  for (std::size_t i = 0; i < longPayload.size(); ++i) longPayload[i] = static_cast<std::uint8_t>(i * 7);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Link t;
    const Bytes fill(64, 0xA5);
    t.channel.WriteReport(fill.data(), 64);
    const std::uint8_t* data = c.payload ? (c.length > 3 ? longPayload.data() : payload.data()) : nullptr;
    if (c.withCrc) {
      t.link.SendCommandWithCrc(data, c.length, 0, 0, 0x42, 0);
    } else {
      t.link.SendCommand(data, c.length, 0, 0, 0x42, 0);
    }
    const Bytes& wire = t.channel.writes.back();
    if (c.bytes5to8) {
      EXPECT_EQ(Bytes(wire.begin() + 6, wire.begin() + 10), Hex(c.bytes5to8));
    } else {
      const std::uint16_t crc = PayloadCrc16(longPayload.data(), 46);
      EXPECT_EQ(Bytes(wire.begin() + 6, wire.begin() + 10),
                (Bytes{46, 0, static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8)}));
    }
    // The byte right after the handed bytes is still the filler.
    if (c.handed < 64) {
      EXPECT_EQ(wire[1 + c.handed], 0xA5);
    }
    if (c.handed > 17) {
      EXPECT_NE(wire[c.handed], 0xA5);
    }
  }
}

TEST(BootProtocol, FullFormReportsAreWholeAndOwnNoStaleBytes) {
  Link t;
  const Bytes fill(64, 0xEE);
  t.channel.WriteReport(fill.data(), 64);
  t.channel.QueueReply(LoaderReply(Code(BootCommand::WriteData)));
  t.channel.QueueReply(LoaderReply(Code(BootCommand::WriteRecord)));
  t.channel.QueueReply(LoaderReply(Code(BootCommand::SetImageInfo)));

  const Bytes piece = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                       16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29};
  EXPECT_EQ(t.link.SendDataPacket(piece.data(), 0x2FE3, 29, 0x2000), 1);
  Bytes record(60);
  for (std::size_t i = 0; i < 60; ++i) record[i] = static_cast<std::uint8_t>(0xF0 - i);
  EXPECT_EQ(t.link.SendRecord(record.data(), 66, ByteSum8(record.data(), 60)), 1);
  const Bytes info = {0x10, 0, 0, 0, 2, 0, 0, 0};
  EXPECT_TRUE(t.link.SendPayloadWithCrc(Code(BootCommand::SetImageInfo), info.data(), 0xBEEF, 8));

  ASSERT_EQ(t.channel.writes.size(), 4u);
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(t.channel.writes[i].size(), 65u);
    EXPECT_EQ(t.channel.writes[i][0], 0x00);
  }
  const std::uint16_t crc = PayloadCrc16(piece.data(), 29);
  Bytes data = ReportBytes(t.channel.writes[1], 64);
  Bytes expected = Hex("05 03 00 00 00 1D 00 00 00 00 20 00 00 E3 2F 00 00");
  expected[7] = static_cast<std::uint8_t>(crc);
  expected[8] = static_cast<std::uint8_t>(crc >> 8);
  expected.insert(expected.end(), piece.begin(), piece.end());
  expected.resize(64, 0x00);  // zeros, not the 0xEE of sharedOutputReport
  EXPECT_EQ(data, expected);

  Bytes rec = ReportBytes(t.channel.writes[2], 64);
  EXPECT_EQ(Bytes(rec.begin(), rec.begin() + 4), (Bytes{0x05, 0x0B, 66, ByteSum8(record.data(), 60)}));
  EXPECT_TRUE(std::equal(record.begin(), record.end(), rec.begin() + 4));

  Bytes image = ReportBytes(t.channel.writes[3], 64);
  Bytes expectedInfo = Hex("05 C4 00 00 00 08 00 EF BE 08 00 00 00 00 00 00 00");
  expectedInfo.insert(expectedInfo.end(), info.begin(), info.end());
  expectedInfo.resize(64, 0x00);
  EXPECT_EQ(image, expectedInfo);
}

TEST(BootProtocol, VerifyBlockSendsTheRangeAndChecksAddressAndCrc) {
  struct Case {
    const char* name;
    std::uint32_t readStatus;
    std::uint16_t echo;
    std::uint32_t echoAddress;
    std::uint16_t crc;
    bool expected;
  } const cases[] = {
      {"match", kReadOk, 0xC3, 0x3000, 0xBFFE, true},
      {"other crc", kReadOk, 0xC3, 0x3000, 0xBFFF, false},
      {"crc matches, other address", kReadOk, 0xC3, 0x4000, 0xBFFE, false},
      {"late reply of another command", kReadOk, 0x04, 0x3000, 0xBFFE, false},
      {"time-out", kReadTimeout, 0xC3, 0x3000, 0xBFFE, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Link t;
    if (c.readStatus == kReadOk) {
      t.channel.QueueReply(LoaderReply(c.echo, 0, c.echoAddress,
                                       {static_cast<std::uint8_t>(c.crc), static_cast<std::uint8_t>(c.crc >> 8)}));
    } else {
      t.channel.QueueFailure(c.readStatus);
    }
    // Another reply waits behind: a single-read sender never looks at it.
    t.channel.QueueReply(LoaderReply(0xC3, 0, 0x3000, {0xFE, 0xBF}));
    EXPECT_EQ(t.link.VerifyBlock(0xC3, 0x2000, 0x3000, 0xBFFE, 7), c.expected);
    EXPECT_EQ(t.channel.readCalls, 1);
    ASSERT_EQ(t.channel.writes.size(), 1u);
    Bytes expected = Hex("05 C3 00 00 00 0C 00 00 00 00 20 00 00 00 30 00 00 00 30 00 00 00 10 00 00 00 00 00 00");
    expected.resize(64, 0);
    EXPECT_EQ(ReportBytes(t.channel.writes[0], 64), expected);
  }
}

// The one reading of a CheckBlock reply: a block known to differ is told apart from
// a check that got no answer, and a failed read from a read that timed out.
TEST(BootProtocol, VerifyBlockReplyTellsADifferenceFromNoAnswer) {
  struct Case {
    const char* name;
    std::uint32_t readStatus;
    std::uint16_t echo, status;
    std::uint32_t echoAddress;
    std::uint16_t crc;
    BlockCheck outcome;
  } const cases[] = {
      {"match", kReadOk, 0xC3, 0, 0x3000, 0xBFFE, BlockCheck::Equal},
      {"other crc", kReadOk, 0xC3, 0, 0x3000, 0x1234, BlockCheck::Differs},
      {"answered for another address", kReadOk, 0xC3, 0, 0x4000, 0x1234, BlockCheck::NoAnswer},
      {"late reply of another command", kReadOk, 0x04, 0, 0x3000, 0x1234, BlockCheck::NoAnswer},
      {"refused", kReadOk, 0xC3, 1, 0x3000, 0x1234, BlockCheck::NoAnswer},
      {"time-out", kReadTimeout, 0, 0, 0, 0, BlockCheck::NoAnswer},
      {"read error (adapter gone)", 0xFFFFFFFFu, 0, 0, 0, 0, BlockCheck::ReadFailed},
      {"channel not open", kReadNotOpen, 0, 0, 0, 0, BlockCheck::ReadFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool detailed : {true, false}) {
      Link t;
      // A reply for this very block sits in ReplyReport from an earlier check: a failed
      // read must not be taken for it.
      t.channel.QueueReply(LoaderReply(0xC3, 0, 0x3000, {0x34, 0x12}));
      ASSERT_EQ(t.link.VerifyBlockReply(0xC3, 0x2000, 0x3000, 0xBFFE, 0).outcome, BlockCheck::Differs);
      if (c.readStatus == kReadOk) {
        t.channel.QueueReply(LoaderReply(c.echo, c.status, c.echoAddress,
                                         {static_cast<std::uint8_t>(c.crc), static_cast<std::uint8_t>(c.crc >> 8)}));
      } else {
        t.channel.QueueFailure(c.readStatus);
      }
      if (detailed) {
        const BlockCheckReply r = t.link.VerifyBlockReply(0xC3, 0x2000, 0x3000, 0xBFFE, 0);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.Answered(), c.outcome == BlockCheck::Equal || c.outcome == BlockCheck::Differs);
        if (r.Answered()) {
          EXPECT_EQ(r.deviceCrc, c.crc);
        }
      } else {
        // VerifyBlock is the same exchange: true exactly for Equal.
        EXPECT_EQ(t.link.VerifyBlock(0xC3, 0x2000, 0x3000, 0xBFFE, 0), c.outcome == BlockCheck::Equal);
      }
      EXPECT_EQ(t.channel.readCalls, 2);
      EXPECT_EQ(t.channel.writes.size(), 2u);
    }
  }
}

TEST(BootProtocol, IsAckNeedsEveryField) {
  struct Case {
    const char* name;
    std::uint32_t readStatus;
    std::uint8_t byte0, kind;
    std::uint16_t status, echo;
    bool ack;
  } const cases[] = {
      {"acknowledges", kReadOk, 0, 5, 0, 0x03, true},      {"status 1", kReadOk, 0, 5, 1, 0x03, false},
      {"status 0x100", kReadOk, 0, 5, 0x100, 0x03, false}, {"kind 4", kReadOk, 0, 4, 0, 0x03, false},
      {"byte 0 set", kReadOk, 1, 5, 0, 0x03, false},       {"other command", kReadOk, 0, 5, 0, 0x0B, false},
      {"echo high byte", kReadOk, 0, 5, 0, 0x8003, false}, {"read timed out", kReadTimeout, 0, 5, 0, 0x03, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Link t;
    // A good acknowledgement first, so a failed read leaves it in ReplyReport.
    t.channel.QueueReply(LoaderReply(0x03));
    t.link.Transact(0x03, nullptr, 0, 0, 0, nullptr, 0, 0);
    ASSERT_TRUE(t.link.IsAck(0x03));
    if (c.readStatus == kReadOk) {
      auto r = LoaderReply(c.echo, c.status);
      r[0] = c.byte0;
      r[1] = c.kind;
      t.channel.QueueReply(r);
    } else {
      t.channel.QueueFailure(c.readStatus);
    }
    EXPECT_EQ(t.link.Transact(0x03, nullptr, 0, 0, 0, nullptr, 0, 0), c.ack);
    EXPECT_EQ(t.link.IsAck(0x03), c.ack);
  }
  Link fresh;
  EXPECT_FALSE(fresh.link.IsAck(0)) << "nothing is acknowledged before the first read";
}

TEST(BootProtocol, ReadBudgets) {
  // What arrives before the acknowledgement: n replies of another kind.
  enum class Sender { DataPacket, Record, Finish, Verify, Transact, PayloadWithCrc };
  struct Case {
    const char* name;
    Sender sender;
    int before;  // non-acknowledging reads before the acknowledgement
    bool succeeds;
    int reads;
  } const cases[] = {
      {"data: ack first", Sender::DataPacket, 0, true, 1},
      {"data: late ack of another command costs one read", Sender::DataPacket, 1, true, 2},
      {"data: ack on the 20th read", Sender::DataPacket, 19, true, 20},
      {"data: 20 reads spent", Sender::DataPacket, 20, false, 20},
      {"record: ack on the 20th read", Sender::Record, 19, true, 20},
      {"record: 20 reads spent", Sender::Record, 20, false, 20},
      {"finish: one read", Sender::Finish, 1, false, 1},
      {"verify: one read", Sender::Verify, 1, false, 1},
      {"transact: one read", Sender::Transact, 1, false, 1},
      {"image info: one read", Sender::PayloadWithCrc, 1, false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Link t;
    std::uint16_t code = 0;
    switch (c.sender) {
      case Sender::DataPacket:
        code = 0x03;
        break;
      case Sender::Record:
        code = 0x0B;
        break;
      case Sender::Finish:
        code = 0x07;
        break;
      case Sender::Verify:
        code = 0xC3;
        break;
      case Sender::Transact:
        code = 0xC1;
        break;
      case Sender::PayloadWithCrc:
        code = 0xC4;
        break;
    }
    for (int i = 0; i < c.before; ++i) {
      if (i % 3 == 2) {
        t.channel.QueueFailure();
      } else {
        t.channel.QueueReply(LoaderReply(i % 3 == 0 ? 0x04 : code, i % 3 == 0 ? 0 : 1));  // late ack / refusal
      }
    }
    t.channel.QueueReply(LoaderReply(code, 0, 0, {0xFF, 0xFF}));
    const Bytes data(60, 0xFF);
    bool ok = false;
    switch (c.sender) {
      case Sender::DataPacket:
        ok = t.link.SendDataPacket(data.data(), 0, 47, 0) == 1;
        break;
      case Sender::Record:
        ok = t.link.SendRecord(data.data(), 0, 0xC4) == 1;
        break;
      case Sender::Finish:
        ok = t.link.SendFinish() == 1;
        break;
      case Sender::Verify:
        ok = t.link.VerifyBlock(0xC3, 0, 0, 0xFFFF, 0);
        break;
      case Sender::Transact:
        ok = t.link.Transact(0xC1, nullptr, 0, 0, 0, nullptr, 0, 0);
        break;
      case Sender::PayloadWithCrc:
        ok = t.link.SendPayloadWithCrc(0xC4, data.data(), 0, 8);
        break;
    }
    EXPECT_EQ(ok, c.succeeds);
    EXPECT_EQ(t.channel.readCalls, c.reads);
    EXPECT_EQ(t.channel.writes.size(), 1u) << "no sender sends its report twice";
  }
}

TEST(BootProtocol, EraseWaitIsBounded) {
  struct Case {
    const char* name;
    int writeResult;
    int nonAcks;  // replies before the acknowledgement (-1: none ever)
    int result;
    int reads;
  } const cases[] = {
      {"ack after other replies", 1, 5, 1, 6},
      {"ack on the last permitted read", 1, kEraseReadAttempts - 1, 1, kEraseReadAttempts},
      {"never acknowledged", 1, -1, 0, kEraseReadAttempts},
      {"write failed: no read", 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Link t;
    t.channel.writeResult = c.writeResult;
    for (int i = 0; i < c.nonAcks; ++i) t.channel.QueueReply(LoaderReply(0x03));
    if (c.nonAcks >= 0) t.channel.QueueReply(LoaderReply(0x04));
    EXPECT_EQ(t.link.EraseUntilAck(0x1000, 4096), c.result);
    EXPECT_EQ(t.channel.readCalls, c.reads);
  }
  // A silent loader costs at most the bound's read time-outs.
  Link silent;
  silent.link.EraseUntilAck(0, 4096);
  EXPECT_EQ(silent.clock.NowMs(), kEraseReadAttempts * 200u);
}

TEST(BootProtocol, TransactCopiesAtMostFortySixBytesAfterItsDelay) {
  Link t;
  Bytes data(46);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i + 1);
  auto reply = LoaderReply(0xC1, 0, 0, data);
  t.channel.QueueReply(reply);
  std::uint8_t out[64];
  std::memset(out, 0xAA, sizeof out);
  EXPECT_TRUE(t.link.Transact(0xC1, nullptr, 0, 0, 0, out, 64, 16));
  EXPECT_EQ(t.clock.NowMs(), 16u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out));
  EXPECT_EQ(out[46], 0xAA);

  // Not acknowledged: out untouched.
  std::memset(out, 0xAA, sizeof out);
  t.channel.QueueReply(LoaderReply(0xC1, 1));
  EXPECT_FALSE(t.link.Transact(0xC1, nullptr, 0, 0, 0, out, 16, 0));
  EXPECT_EQ(out[0], 0xAA);
}

TEST(BootProtocol, EachSenderHoldsTheExchangeLockAndCountsWrites) {
  Link t;
  int heldDuringWrite = 0;
  t.channel.onWrite = [&](const Bytes&) {
    std::unique_lock<std::mutex> probe(t.channel.ExchangeMutex(), std::try_to_lock);
    if (!probe.owns_lock()) ++heldDuringWrite;
  };
  const Bytes data(60, 1);
  t.link.SendCommand(nullptr, 0, 0, 0, 7, 0);
  t.link.SendCommandWithCrc(nullptr, 0, 0, 0, 4, 0);
  t.link.EraseUntilAck(0, 4096);
  t.link.SendDataPacket(data.data(), 0, 47, 0);
  t.link.SendRecord(data.data(), 0, 0);
  t.link.SendFinish();
  t.link.VerifyBlock(0xC3, 0, 0, 0, 0);
  t.link.Transact(0xC1, nullptr, 0, 0, 0, nullptr, 0, 0);
  t.link.SendPayloadWithCrc(0xC4, data.data(), 0, 8);
  EXPECT_EQ(heldDuringWrite, 9);
  EXPECT_EQ(t.link.Exchanges(), 9u);
  std::unique_lock<std::mutex> after(t.channel.ExchangeMutex(), std::try_to_lock);
  EXPECT_TRUE(after.owns_lock()) << "the lock is released after the exchange";
}

TEST(BootProtocol, OversizedFullFormPayloadIsNotSent) {
  Link t;
  const Bytes data(64, 1);
  EXPECT_EQ(t.link.SendDataPacket(data.data(), 0, 48, 0), 0);
  EXPECT_FALSE(t.link.SendPayloadWithCrc(0xC4, data.data(), 0, 48));
  EXPECT_TRUE(t.channel.writes.empty());
}

}  // namespace
}  // namespace korbex
