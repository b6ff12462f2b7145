// Fault injection of the simulated adapter: what each fault does to one exchange, how
// exchanges are counted, and the fault text parser.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "sim/SimulatedAdapter.h"
#include "support/sim_reports.h"

namespace korbex::sim {
namespace {

using namespace testing;

Report ShortCommand1D() {
  Report r{};
  const std::uint8_t b[] = {0x05, 0x00, 0x1D, 0x01, 0x00, 0x00};
  std::copy(std::begin(b), std::end(b), r.begin() + 1);
  return r;
}

// The status of the single reply, or -1 when none came (-2 when more than one).
int StatusOf(AdapterModel& m, const Report& r) {
  const auto replies = Send(m, r);
  if (replies.size() != 1) return replies.empty() ? -1 : -2;
  return replies[0].Status();
}

std::vector<FaultSpec> Faults(const std::string& text) {
  std::vector<FaultSpec> out;
  std::string error;
  EXPECT_TRUE(ParseFaults(text, out, error)) << text << ": " << error;
  return out;
}

constexpr std::uint32_t kAt = 0x10000;
const Bytes kPiece = [] {
  Bytes b(47);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(0x30 + i);
  return b;
}();

// Each fault on the second exchange; the first is a clean QueryLoader, so a stale copy
// has something to repeat. The flash at kAt starts as zeros, so an Erase that acted shows.
TEST(SimFaults, EachKindOnOneExchange) {
  enum class Flash { Erased, Untouched, PieceWritten, PieceCorrupt };
  const struct {
    const char* faults;
    Report report;
    std::vector<int> statuses;  // of the replies queued by the faulty exchange, in order
    std::uint16_t echo;         // of the last reply
    Flash flash;
    bool disconnected;
  } cases[] = {
      {"drop:Erase", Erase(kAt), {}, 0, Flash::Erased, false},
      {"ignore:Erase", Erase(kAt), {}, 0, Flash::Untouched, false},
      {"nak:Erase", Erase(kAt), {1}, 0x04, Flash::Untouched, false},
      {"stale:Erase", Erase(kAt), {0, 0}, 0x04, Flash::Erased, false},
      {"wrong-echo:Erase", Erase(kAt), {0}, 0x8004, Flash::Erased, false},
      {"wrong-crc:CheckBlock", CheckBlock(kAt), {0}, 0xC3, Flash::Untouched, false},
      {"corrupt:WriteData", WriteData(kAt, kPiece), {0}, 0x03, Flash::PieceCorrupt, false},
      {"disconnect@2", Erase(kAt), {}, 0, Flash::Untouched, true},
      {"unplug@2", Erase(kAt), {}, 0, Flash::Untouched, true},
      {"", WriteData(kAt, kPiece), {0}, 0x03, Flash::PieceWritten, false},  // no fault: the reference
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.faults);
    AdapterConfig c;
    const bool writes = k.report[2] == 0x03;
    if (!writes) c.initialFlash = Bytes(kAt + 4096, 0x00);  // a WriteData needs erased cells
    c.faults = Faults(k.faults);
    AdapterModel m(c);
    const auto first = Send(m, QueryLoader());
    ASSERT_EQ(first.size(), 1u);
    const auto replies = Send(m, k.report);
    ASSERT_EQ(replies.size(), k.statuses.size());
    for (std::size_t i = 0; i < replies.size(); ++i) EXPECT_EQ(replies[i].Status(), k.statuses[i]) << i;
    if (!replies.empty()) {
      EXPECT_EQ(replies.back().Echo(), k.echo);
    }
    if (replies.size() == 2) {
      EXPECT_EQ(replies[0].d, first[0].d) << "the stale one repeats the previous reply";
    }

    const Bytes flash = m.ReadFlash(kAt, 47);
    switch (k.flash) {
      case Flash::Erased:
        EXPECT_EQ(flash, Bytes(47, 0xFF));
        break;
      case Flash::Untouched:
        EXPECT_EQ(flash, Bytes(47, 0x00));
        break;
      case Flash::PieceWritten:
        EXPECT_EQ(flash, kPiece);
        break;
      case Flash::PieceCorrupt: {
        int differing = 0;
        for (std::size_t i = 0; i < 47; ++i) differing += flash[i] != kPiece[i];
        EXPECT_EQ(differing, 1);
        break;
      }
    }
    if (k.report[2] == 0xC3 && !replies.empty()) {
      EXPECT_EQ(replies[0].Crc(), static_cast<std::uint16_t>(RefCrc(Bytes(4096, 0x00)) + 1));
    }
    EXPECT_EQ(m.Disconnected(), k.disconnected);
    // Whatever happened, the next exchange is clean again (or goes nowhere when gone).
    EXPECT_EQ(StatusOf(m, QueryLoader()), k.disconnected ? -1 : 0);
  }
}

// An unplugged adapter comes back when plugged in again, as it was in flash but with
// the loader's state gone; a disconnected one does not.
TEST(SimFaults, UnpluggedAdapterComesBackWithItsFlashAndWithoutLoaderState) {
  AdapterConfig c;
  c.headAddress = 0;
  c.faults = Faults("unplug:WriteRecord");
  AdapterModel m(c);
  EXPECT_FALSE(m.Replug()) << "present: nothing to plug in";
  ASSERT_EQ(StatusOf(m, WriteData(kAt, kPiece)), 0);
  ASSERT_EQ(StatusOf(m, WriteData(0, kPiece)), 0);  // staged head
  EXPECT_EQ(StatusOf(m, Record(0, Bytes(60, 0x11))), -1);
  ASSERT_TRUE(m.Disconnected());
  EXPECT_EQ(StatusOf(m, QueryLoader()), -1) << "off the bus: nothing arrives";

  ASSERT_TRUE(m.Replug());
  EXPECT_FALSE(m.Disconnected());
  EXPECT_EQ(m.ReadFlash(kAt, 47), kPiece) << "flash survives the unplug";
  EXPECT_EQ(StatusOf(m, Record(1, Bytes(60, 0x22))), 1) << "the record base died with the power";
  ASSERT_EQ(StatusOf(m, Command(0xC2, 0, 0)), 0);
  EXPECT_EQ(m.ReadFlash(0, 47), Bytes(47, 0xFF)) << "the staged head was never saved";
  EXPECT_EQ(StatusOf(m, QueryLoader()), 0);

  AdapterConfig gone;
  gone.faults = Faults("disconnect");
  AdapterModel g(gone);
  EXPECT_EQ(StatusOf(g, QueryLoader()), -1);
  EXPECT_FALSE(g.Replug()) << "a disconnected adapter stays away";
  EXPECT_TRUE(g.Disconnected());
}

TEST(SimFaults, CorruptRecordStoresOneWrongByteButAcknowledges) {
  AdapterConfig c;
  c.faults = Faults("corrupt:WriteRecord");
  AdapterModel m(c);
  Bytes rec(60);
  for (std::size_t i = 0; i < rec.size(); ++i) rec[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(StatusOf(m, WriteData(kAt, kPiece)), 0);
  EXPECT_EQ(StatusOf(m, Record(0, rec)), 0);
  EXPECT_EQ(StatusOf(m, Record(1, rec)), 0);
  const Bytes r0 = m.ReadFlash(kAt + 47, 60), r1 = m.ReadFlash(kAt + 107, 60);
  EXPECT_NE(r0, rec);
  EXPECT_EQ(Bytes(r0.begin() + 1, r0.end()), Bytes(rec.begin() + 1, rec.end()));
  EXPECT_EQ(r1, rec);
}

// @N counts the exchanges of the named command only; without a command, every report.
TEST(SimFaults, ExchangeNumbersCountPerCommandOrGlobally) {
  const std::vector<Report> sequence = {QueryLoader(),      CheckBlock(0), Erase(kAt),       CheckBlock(0x1000),
                                        CheckBlock(0x2000), QueryLoader(), VersionRequest(), ShortCommand1D()};
  const struct {
    const char* faults;
    std::vector<int> statuses;  // per exchange of the sequence; -1 none
  } cases[] = {
      {"nak:CheckBlock@2", {0, 0, 0, 1, 0, 0, 0, 0}},
      {"nak@3", {0, 0, 1, 0, 0, 0, 0, 0}},
      {"drop:QueryLoader@2", {0, 0, 0, 0, 0, -1, 0, 0}},
      {"drop:CheckBlock@2x2", {0, 0, 0, -1, -1, 0, 0, 0}},
      {"ignore:CheckBlockx*", {0, -1, 0, -1, -1, 0, 0, 0}},
      {"drop@4x*", {0, 0, 0, -1, -1, -1, -1, -1}},
      // The short command after a failed version read is the second Version exchange.
      {"drop:Version", {0, 0, 0, 0, 0, 0, -1, 0}},
      {"drop:Version@2", {0, 0, 0, 0, 0, 0, 0, -1}},
      {"nak:Erase+drop:CheckBlock@3", {0, 0, 1, 0, -1, 0, 0, 0}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.faults);
    AdapterConfig c;
    c.faults = Faults(k.faults);
    AdapterModel m(c);
    std::vector<int> got;
    for (const Report& r : sequence) got.push_back(StatusOf(m, r));
    EXPECT_EQ(got, k.statuses);
  }
}

TEST(SimFaults, RepeatedRecordsAndEveryExchangeFaults) {
  AdapterConfig c;
  c.faults = Faults("drop:WriteRecord@2x3");
  AdapterModel m(c);
  const Bytes rec(60, 0x11);
  ASSERT_EQ(StatusOf(m, WriteData(kAt, kPiece)), 0);
  std::vector<int> got;
  for (int i = 0; i < 6; ++i) got.push_back(StatusOf(m, Record(0, rec)));
  EXPECT_EQ(got, (std::vector<int>{0, -1, -1, -1, 0, 0}));

  AdapterConfig forever;
  forever.faults = Faults("nak:Erase@2x*");
  AdapterModel n(forever);
  got.clear();
  for (int i = 0; i < 50; ++i) got.push_back(StatusOf(n, Erase(kAt)));
  EXPECT_EQ(got.front(), 0);
  EXPECT_EQ(std::vector<int>(got.begin() + 1, got.end()), std::vector<int>(49, 1));
}

// Faults on the same exchange combine: a stale copy still arrives when the real reply
// is dropped.
TEST(SimFaults, FaultsOnOneExchangeCombine) {
  AdapterConfig c;
  c.faults = Faults("stale:CheckBlock+drop:CheckBlock+wrong-crc:CheckBlock@2");
  AdapterModel m(c);
  ASSERT_EQ(Send(m, QueryLoader()).size(), 1u);
  auto replies = Send(m, CheckBlock(0));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].Echo(), 0xC1) << "only the stale QueryLoader reply";
  replies = Send(m, CheckBlock(0));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].Crc(), static_cast<std::uint16_t>(0xBFFE + 1));
}

TEST(SimFaults, ParseAcceptsTheGrammar) {
  struct Expected {
    FaultKind kind;
    std::optional<std::uint16_t> command;
    std::uint32_t nth, count;
  };
  const struct {
    const char* text;
    std::vector<Expected> specs;
  } cases[] = {
      {"", {}},
      {"drop", {{FaultKind::Drop, std::nullopt, 1, 1}}},
      {"nak:CheckBlock@3x2", {{FaultKind::Nak, 0xC3, 3, 2}}},
      {"wrong-echo:WriteRecord@0x10x*", {{FaultKind::WrongEcho, 0x0B, 16, 0}}},
      {"WRONG-CRC:checkblock", {{FaultKind::WrongCrc, 0xC3, 1, 1}}},
      {"corrupt:WriteDatax5", {{FaultKind::Corrupt, 0x03, 1, 5}}},
      {"ignore:Version@2", {{FaultKind::Ignore, kVersionCommand, 2, 1}}},
      {"stale+disconnect:Finish@0x2A", {{FaultKind::Stale, std::nullopt, 1, 1}, {FaultKind::Disconnect, 0x07, 42, 1}}},
      {"drop:Erase+nak:QueryLoader+drop:SaveHead+nak:SetImageInfox*",
       {{FaultKind::Drop, 0x04, 1, 1},
        {FaultKind::Nak, 0xC1, 1, 1},
        {FaultKind::Drop, 0xC2, 1, 1},
        {FaultKind::Nak, 0xC4, 1, 0}}},
      {"dropx3", {{FaultKind::Drop, std::nullopt, 1, 3}}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.text);
    std::vector<FaultSpec> out{FaultSpec{}};  // replaced, not appended to
    std::string error;
    ASSERT_TRUE(ParseFaults(k.text, out, error)) << error;
    ASSERT_EQ(out.size(), k.specs.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i].kind, k.specs[i].kind);
      EXPECT_EQ(out[i].command, k.specs[i].command);
      EXPECT_EQ(out[i].nth, k.specs[i].nth);
      EXPECT_EQ(out[i].count, k.specs[i].count);
      // Formatting gives text that parses back to the same fault.
      std::vector<FaultSpec> again;
      ASSERT_TRUE(ParseFaults(FormatFault(out[i]), again, error)) << FormatFault(out[i]) << ": " << error;
      ASSERT_EQ(again.size(), 1u);
      EXPECT_EQ(again[0].kind, out[i].kind);
      EXPECT_EQ(again[0].command, out[i].command);
      EXPECT_EQ(again[0].nth, out[i].nth);
      EXPECT_EQ(again[0].count, out[i].count);
    }
  }
}

TEST(SimFaults, ParseRejectsNamingTheBadPart) {
  const struct {
    const char* text;
    const char* named;  // must appear in the error
  } cases[] = {
      {"dorp", "\"dorp\""},       {"drop:Erase+dorp:Finish", "\"dorp\""},
      {"nak:Eras", "\"Eras\""},   {"nak:", "unknown command \"\""},
      {"nak@0", "\"@0\""},        {"nak@", "\"@\""},
      {"nak@zz", "\"@zz\""},      {"nak@99999999999", "\"@99999999999\""},
      {"nakx0", "\"x0\""},        {"nakx", "\"x\""},
      {"nak@5x-1", "\"x-1\""},    {"nak++drop", "position 5"},
      {"nak+", "position 5"},     {"+nak", "position 1"},
      {"drop@3junk", "\"junk\""}, {"nak:Erase:Finish", "\":Finish\""},
      {"nak x2", "\" x2\""},      {"dropy", "\"dropy\""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.text);
    std::vector<FaultSpec> out{FaultSpec{FaultKind::Stale, 0xC3, 7, 9}};
    std::string error;
    EXPECT_FALSE(ParseFaults(k.text, out, error));
    EXPECT_NE(error.find(k.named), std::string::npos) << error;
    ASSERT_EQ(out.size(), 1u) << "left unchanged on error";
    EXPECT_EQ(out[0].nth, 7u);
  }
}

}  // namespace
}  // namespace korbex::sim
