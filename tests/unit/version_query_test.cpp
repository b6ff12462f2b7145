#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "identity/VersionQuery.h"
#include "sim/SimulatedAdapter.h"
#include "support/engine_support.h"
#include "text/Texts.h"

namespace korbex {
namespace {

using test::Bytes;
using test::ScriptedChannel;

constexpr std::u16string_view kTitle = u"Korbex Update v2.16";

std::vector<std::u16string> traces;
void Trace(std::u16string_view line) { traces.emplace_back(line); }

test::Reply64 VersionReply(std::uint8_t b4, std::uint8_t b5, std::uint8_t b6, std::uint8_t b7) {
  test::Reply64 r{};
  r[4] = b4;
  r[5] = b5;
  r[6] = b6;
  r[7] = b7;
  return r;
}

struct Query {
  VirtualClock clock;
  ScriptedChannel channel{&clock};
  BootLink link{channel, clock};
  UpdateSession session;
  std::u16string caption;
  VersionQueryResult Run() {
    traces.clear();
    session.deviceVersion = kVersionNotRead;
    return QueryTwoStageVersion(link, session, kTitle, caption, &Trace);
  }
};

TEST(VersionQuery, RepliesSetTheSessionAndTheCaption) {
  struct Case {
    const char* name;
    std::uint32_t earlierBeta;
    int earlierSingle;
    std::uint8_t b4, b5, b6, b7;
    std::uint32_t version, minor, beta;
    int single;
    std::u16string_view caption;
  } const cases[] = {
      {"single number with beta", 0, 0, 0, 0, 0x12, 0x83, 0x12, 0, 3, 1, u" (Device: v12 beta3)\n"},
      {"single number release", 0, 0, 0, 0, 0x07, 0x80, 0x07, 0, 0, 1, u" (Device: v7)\n"},
      {"two numbers, hex minor", 0, 0, 0x01, 0x0A, 0, 0x00, 0x01, 0x0A, 0, 0, u" (Device: v1.a)\n"},
      {"beta carried over (bit 0 clear)", 5, 0, 0x01, 0x0A, 0, 0x02, 0x01, 0x0A, 5, 0, u" (Device: v1.a beta5)\n"},
      {"beta carried over, single number", 7, 0, 0, 0, 0xAB, 0x80, 0xAB, 0, 7, 1, u" (Device: vab beta7)\n"},
      {"beta is the low nibble", 3, 0, 0x2F, 0x10, 0, 0x0F, 0x2F, 0x10, 0x0F, 0, u" (Device: v2f.10 betaf)\n"},
      {"high nibble 9 is the two-number form", 0, 0, 0x04, 0x05, 0x06, 0x90, 0x04, 0x05, 0, 0, u" (Device: v4.5)\n"},
      {"two numbers keep an earlier single-number mark", 0, 1, 0x02, 0x00, 0, 0x00, 0x02, 0x00, 0, 1,
       u" (Device: v2.0)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Query q;
    q.session.deviceBeta = c.earlierBeta;
    q.session.singleNumberVersion = c.earlierSingle;
    q.channel.QueueReply(VersionReply(c.b4, c.b5, c.b6, c.b7));
    EXPECT_EQ(q.Run(), VersionQueryResult::Read);
    EXPECT_EQ(q.session.deviceVersion, c.version);
    EXPECT_EQ(q.session.deviceVersionMinor, c.minor);
    EXPECT_EQ(q.session.deviceBeta, c.beta);
    EXPECT_EQ(q.session.singleNumberVersion, c.single);
    EXPECT_EQ(q.caption, std::u16string(kTitle) + std::u16string(c.caption));
    EXPECT_TRUE(traces.empty());
  }
}

TEST(VersionQuery, RequestIsSixtyFiveBytesWithItsId) {
  Query q;
  q.channel.QueueReply(VersionReply(1, 0, 0, 0));
  q.Run();
  ASSERT_EQ(q.channel.writes.size(), 1u);
  Bytes expected(65, 0);
  expected[1] = 0x05;
  expected[2] = 0x21;
  EXPECT_EQ(q.channel.writes[0], expected);
}

TEST(VersionQuery, TimeOutThenReplySendsOneShortCommand) {
  Query q;
  // Stale bytes an earlier short report left in sharedOutputReport.
  const Bytes fill(64, 0x5C);
  q.channel.WriteReport(fill.data(), 64);
  q.channel.writes.clear();
  q.channel.QueueFailure(kReadTimeout);
  q.channel.QueueReply(VersionReply(0, 0, 0x12, 0x83));
  EXPECT_EQ(q.Run(), VersionQueryResult::Read);
  ASSERT_EQ(q.channel.writes.size(), 2u);
  Bytes shortCommand = {0x00, 0x05, 0x00, 0x1D, 0x01, 0x00, 0x00};
  shortCommand.resize(65, 0x5C);
  EXPECT_EQ(q.channel.writes[1], shortCommand);
  ASSERT_EQ(traces.size(), 1u);
  EXPECT_EQ(traces[0], u"recv() failed with error code 0x102\n");
  EXPECT_EQ(q.caption, std::u16string(kTitle) + u" (Device: v12 beta3)\n");
}

TEST(VersionQuery, SilentDeviceLeavesTheVersionUnreadInBoundedTime) {
  Query q;
  q.session.deviceBeta = 5;
  q.caption = u"unchanged";
  EXPECT_EQ(q.Run(), VersionQueryResult::NoReply);
  EXPECT_EQ(q.session.deviceVersion, kVersionNotRead);
  EXPECT_EQ(q.session.deviceBeta, 5u);
  EXPECT_EQ(q.caption, u"unchanged");
  EXPECT_EQ(q.channel.readCalls, kVersionReadAttempts);
  EXPECT_EQ(traces.size(), static_cast<std::size_t>(kVersionReadAttempts));
  // The request, then a short command between two reads: none after the last read,
  // whose answer nobody would read.
  EXPECT_EQ(q.channel.writes.size(), static_cast<std::size_t>(kVersionReadAttempts));
  EXPECT_EQ(q.clock.NowMs(), kVersionReadAttempts * 200u);
}

TEST(VersionQuery, HoldsTheExchangeLockThroughout) {
  Query q;
  int unlockedWrites = 0;
  q.channel.onWrite = [&](const Bytes&) {
    std::unique_lock<std::mutex> probe(q.channel.ExchangeMutex(), std::try_to_lock);
    if (probe.owns_lock()) ++unlockedWrites;
  };
  q.channel.QueueFailure();
  q.channel.QueueFailure(kReadNotOpen);
  q.channel.QueueReply(VersionReply(1, 2, 0, 0));
  EXPECT_EQ(q.Run(), VersionQueryResult::Read);
  EXPECT_EQ(q.channel.writes.size(), 3u);
  EXPECT_EQ(unlockedWrites, 0);
  ASSERT_EQ(traces.size(), 2u);
  EXPECT_EQ(traces[1], u"recv() failed with error code 0x80\n");
}

TEST(VersionQuery, AgainstTheSimulatedAdapter) {
  struct Case {
    const char* name;
    bool single;
    std::uint8_t beta;
    const char* faults;
    std::u16string_view caption;
    std::uint32_t shortCommands;
  } const cases[] = {
      {"two numbers", false, 0, "", u" (Device: v3.7)\n", 0},
      {"single number beta, first request lost", true, 9, "ignore:Version", u" (Device: v42 beta9)\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::AdapterConfig config;
    config.productId = kProductTwoStage;
    config.singleNumberVersion = c.single;
    config.versionMajor = 3;
    config.versionMinor = 7;
    config.versionNumber = 0x42;
    config.beta = c.beta;
    std::string error;
    ASSERT_TRUE(sim::ParseFaults(c.faults, config.faults, error)) << error;
    sim::AdapterModel model(config);
    VirtualClock clock;
    sim::SimulatedChannel channel(model, clock);
    BootLink link(channel, clock);
    UpdateSession session;
    std::u16string caption;
    EXPECT_EQ(QueryTwoStageVersion(link, session, kTitle, caption), VersionQueryResult::Read);
    EXPECT_EQ(caption, std::u16string(kTitle) + std::u16string(c.caption));
    EXPECT_EQ(session.singleNumberVersion, c.single ? 1 : 0);
    EXPECT_EQ(model.StatsSnapshot().shortCommands, c.shortCommands);
  }
}

}  // namespace
}  // namespace korbex
