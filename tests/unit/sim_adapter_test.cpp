// The simulated adapter, driven with report bytes written out here from the loader's
// report tables (not with the host's builders), so the model is checked against the
// tables and not against the code it is meant to catch.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "sim/FirmwareFixture.h"
#include "sim/SimulatedAdapter.h"
#include "support/sim_reports.h"

// Counts heap allocations so the test can show that an exchange allocates nothing.
// (GCC flags malloc/free inside a replaced operator new/delete pair as a mismatch.)
namespace {
std::atomic<long> allocations{0};
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace korbex::sim {
namespace {

using namespace testing;

// A 4096-byte block as the host sends it: 47 bytes, 67 records of 60, 29 bytes.
std::vector<Report> BlockReports(std::uint32_t address, const Bytes& block) {
  std::vector<Report> out{WriteData(address, block.data(), 47)};
  for (int k = 0; k < 67; ++k) out.push_back(Record(static_cast<std::uint8_t>(k), block.data() + 47 + 60 * k));
  out.push_back(WriteData(address + 4067, block.data() + 4067, 29));
  return out;
}

Reply SendOne(AdapterModel& m, const Report& r) {
  auto replies = Send(m, r);
  EXPECT_EQ(replies.size(), 1u);
  return replies.empty() ? Reply{} : replies.front();
}
// Sends the reports of BlockReports, each of which must be acknowledged.
void SendAllAcked(AdapterModel& m, const std::vector<Report>& reports) {
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const Reply r = SendOne(m, reports[i]);
    const std::uint16_t code = (i == 0 || i + 1 == reports.size()) ? 0x03 : 0x0B;
    ASSERT_TRUE(r.Ack(code)) << "report " << i << " status " << r.Status() << " echo " << r.Echo();
  }
}

Bytes Slice(const std::vector<std::uint8_t>& v, std::size_t at, std::size_t n) {
  return Bytes(v.begin() + static_cast<std::ptrdiff_t>(at), v.begin() + static_cast<std::ptrdiff_t>(at + n));
}

AdapterConfig Config(std::uint32_t flashSize = 0x20000) {
  AdapterConfig c;
  c.flashSize = flashSize;
  return c;
}

// --- Loader commands -----------------------------------------------------------------

TEST(SimAdapter, CheckBlockAnswersTheCrcOfFlashAndEchoesTheAddress) {
  AdapterConfig c = Config(0x3000);
  c.initialFlash = PatternBytes(0x2800, 7);  // the rest stays erased
  AdapterModel m(c);
  Bytes straddling = Slice(c.initialFlash, 0x2000, 0x800);
  straddling.resize(0x1000, 0xFF);  // last 0x800 bytes: past the data, then past the flash
  const struct {
    std::uint32_t address;
    std::uint16_t crc;
  } cases[] = {
      {0x0000, RefCrc(Slice(c.initialFlash, 0, 4096))},
      {0x1000, RefCrc(Slice(c.initialFlash, 0x1000, 4096))},
      {0x2000, RefCrc(straddling)},
      {0x2800, RefCrc(Bytes(4096, 0xFF))},  // half in flash (erased), half past its end
      {0x7000, 0xBFFE},                     // wholly past the end: reads as erased
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.address);
    const Reply r = SendOne(m, CheckBlock(k.address));
    EXPECT_TRUE(r.Ack(0xC3));
    EXPECT_EQ(r.EchoAddress(), k.address);
    EXPECT_EQ(r.Crc(), k.crc);
  }
  EXPECT_EQ(m.Stats().checks, 5u);
}

TEST(SimAdapter, ErasedBlockWrittenInPiecesLandsExactly) {
  AdapterConfig c = Config();
  c.initialFlash = Bytes(0x14000, 0x5A);  // old contents everywhere around the block
  AdapterModel m(c);
  const std::uint32_t a = 0x11000;
  const Bytes block = PatternBytes(4096, 3);

  EXPECT_TRUE(SendOne(m, Erase(a, 4096)).Ack(0x04));
  EXPECT_EQ(m.ReadFlash(a, 4096), Bytes(4096, 0xFF));
  SendAllAcked(m, BlockReports(a, block));

  EXPECT_EQ(m.ReadFlash(a, 4096), block);
  EXPECT_EQ(m.ReadFlash(a - 16, 16), Bytes(16, 0x5A));  // neighbours untouched
  EXPECT_EQ(m.ReadFlash(a + 4096, 16), Bytes(16, 0x5A));
  const Reply check = SendOne(m, CheckBlock(a));
  EXPECT_TRUE(check.Ack(0xC3));
  EXPECT_EQ(check.Crc(), RefCrc(block));
  EXPECT_EQ(m.Stats().erases, 1u);
  EXPECT_EQ(m.Stats().dataPackets, 2u);
  EXPECT_EQ(m.Stats().records, 67u);
}

// NOR flash only clears bits when written: a host that skips the erase gets the AND of
// old and new, and the block check must then disagree with the file.
TEST(SimAdapter, WritingWithoutEraseAndsIntoTheOldContents) {
  AdapterConfig c = Config();
  const Bytes old = PatternBytes(4096, 11);
  c.initialFlash = Bytes(0x10000, 0xFF);
  c.initialFlash.insert(c.initialFlash.end(), old.begin(), old.end());
  AdapterModel m(c);
  const Bytes block = PatternBytes(4096, 12);
  SendAllAcked(m, BlockReports(0x10000, block));

  Bytes expected(4096);
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = old[i] & block[i];
  EXPECT_EQ(m.ReadFlash(0x10000, 4096), expected);
  EXPECT_NE(SendOne(m, CheckBlock(0x10000)).Crc(), RefCrc(block));

  // A partial erase restores only its own range.
  EXPECT_TRUE(SendOne(m, Erase(0x10000, 100)).Ack(0x04));
  EXPECT_EQ(m.ReadFlash(0x10000, 100), Bytes(100, 0xFF));
  EXPECT_EQ(m.ReadFlash(0x10000 + 100, 50), Slice(expected, 100, 50));
}

// Reports that break the tables are refused with status 1 and change nothing.
TEST(SimAdapter, RefusesMalformedReports) {
  const Bytes data = PatternBytes(60, 5);
  auto badCrc = WriteData(0x10000, data.data(), 47);
  badCrc[8] ^= 0x01;
  auto flags = Erase(0x10000, 4096);
  flags[4] = 1;
  auto badSum = Record(0, data.data());
  badSum[4] ^= 0xFF;
  auto checkPayload = CheckBlock(0x10000);
  checkPayload[18] = 0x01;  // payload address differs from the report's
  auto checkLength = CheckBlock(0x10000);
  Le(checkLength.data() + 22, 4095, 4);
  auto notKind5 = Command(0xC1, 0, 0);
  notKind5[1] = 6;
  Bytes info(16, 0x21);
  const struct {
    const char* what;
    Report report;
    std::uint16_t echo;
  } cases[] = {
      {"WriteData payload CRC off", badCrc, 0x03},
      {"WriteData of 48 bytes", WriteData(0x10000, PatternBytes(48, 1).data(), 48), 0x03},
      {"WriteData past the flash", WriteData(0x1FFF0, data.data(), 47), 0x03},
      {"Erase with flags", flags, 0x04},
      {"Erase with CRC 0", Command(0x04, 4096, 0x10000), 0x04},
      {"Erase past the flash", Erase(0x1F000, 0x2000), 0x04},
      {"record sum off", badSum, 0x0B},
      {"CheckBlock payload address", checkPayload, 0xC3},
      {"CheckBlock payload length", checkLength, 0xC3},
      {"QueryLoader with a value", Command(0xC1, 1, 0), 0xC1},
      {"SaveHead with an address", Command(0xC2, 0, 4), 0xC2},
      {"Finish with a payload length", Command(0x07, 0, 0, Bytes(1, 0)), 0x07},
      {"SetImageInfo CRC off", Command(0xC4, 16, 0, info, static_cast<std::uint16_t>(RefCrc(info) + 1)), 0xC4},
      {"SetImageInfo value not its length", Command(0xC4, 8, 0, info, RefCrc(info)), 0xC4},
      {"unknown code", Command(0x55, 0, 0x1234), 0x55},
      {"kind 6", notKind5, 0xC1},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    AdapterConfig c = Config();
    c.initialFlash = Bytes(0x20000, 0x00);
    AdapterModel m(c);
    // A WriteData first, so a record has a base to land on.
    ASSERT_TRUE(SendOne(m, WriteData(0x10000, Bytes(47, 0x00).data(), 47)).Ack(0x03));
    const Reply r = SendOne(m, k.report);
    EXPECT_EQ(r.Status(), 1);
    EXPECT_EQ(r.Echo(), k.echo);
    EXPECT_EQ(m.Flash(), c.initialFlash);
    EXPECT_TRUE(m.ImageInfo().empty());
    EXPECT_FALSE(m.Finished());
  }
}

TEST(SimAdapter, RecordsNeedABaseAndAnIndexInsideTheBlock) {
  AdapterModel m(Config());
  const Bytes rec = PatternBytes(60, 2);
  EXPECT_EQ(SendOne(m, Record(0, rec.data())).Status(), 1) << "no WriteData yet";
  ASSERT_TRUE(SendOne(m, Erase(0x10000, 4096)).Ack(0x04));
  ASSERT_TRUE(SendOne(m, WriteData(0x10000, rec.data(), 47)).Ack(0x03));
  EXPECT_EQ(SendOne(m, Record(67, rec.data())).Status(), 1);
  EXPECT_TRUE(SendOne(m, Record(66, rec.data())).Ack(0x0B));
  EXPECT_EQ(m.ReadFlash(0x10000 + 47 + 60 * 66, 60), rec);
}

TEST(SimAdapter, QueryLoaderReportsItsParameters) {
  AdapterConfig c = Config();
  c.loaderSize = 0x3000;
  c.eraseUnitSize = 0x2000;
  AdapterModel m(c);
  const Reply r = SendOne(m, Command(0xC1, 0, 0));
  ASSERT_TRUE(r.Ack(0xC1));
  Bytes params(r.d.begin() + 18, r.d.begin() + 34);
  const Bytes expected = {0x00, 0x30, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x20, 0, 0};
  EXPECT_EQ(params, expected);
  EXPECT_EQ(Bytes(r.d.begin() + 34, r.d.end()), Bytes(30, 0));
}

TEST(SimAdapter, SetImageInfoKeepsItsPayload) {
  AdapterModel m(Config());
  const Bytes info = PatternBytes(16, 9);
  EXPECT_TRUE(SendOne(m, Command(0xC4, 16, 0, info, RefCrc(info))).Ack(0xC4));
  EXPECT_EQ(m.ImageInfo(), info);
}

// --- The staged head -------------------------------------------------------------------

TEST(SimAdapter, HeadWritesStayStagedUntilSaveHead) {
  const struct {
    std::uint32_t headAddress;
    std::uint32_t block;  // one of the two head blocks
  } cases[] = {{0, 0}, {0, 0x1000}, {0x40000, 0x41000}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.block);
    AdapterConfig c = Config(0x80000);
    c.headAddress = k.headAddress;
    c.initialFlash = PatternBytes(0x80000, 4);
    AdapterModel m(c);
    const Bytes old = m.ReadFlash(k.block, 4096);
    const Bytes block = PatternBytes(4096, 5);
    ASSERT_TRUE(SendOne(m, Erase(k.block, 4096)).Ack(0x04));
    SendAllAcked(m, BlockReports(k.block, block));

    EXPECT_EQ(m.ReadFlash(k.block, 4096), old);
    EXPECT_EQ(SendOne(m, CheckBlock(k.block)).Crc(), RefCrc(old));
    EXPECT_TRUE(SendOne(m, Command(0xC2, 0, 0)).Ack(0xC2));
    EXPECT_EQ(m.ReadFlash(k.block, 4096), block);
    EXPECT_EQ(SendOne(m, CheckBlock(k.block)).Crc(), RefCrc(block));
  }
}

TEST(SimAdapter, FinishDiscardsTheStagedHeadAndRestartsUnderTheNewProductId) {
  AdapterConfig c = Config();
  c.productId = 0x6E41;
  c.productAfterFinish = 0x2D93;
  AdapterModel m(c);
  const Bytes block = PatternBytes(4096, 6);
  SendAllAcked(m, BlockReports(0, block));
  EXPECT_EQ(m.CurrentProductId(), 0x6E41);
  EXPECT_EQ(m.Restarts(), 0u);
  EXPECT_TRUE(SendOne(m, Command(0x07, 0, 0)).Ack(0x07));
  EXPECT_TRUE(m.Finished());
  EXPECT_EQ(m.Restarts(), 1u);
  EXPECT_EQ(m.CurrentProductId(), 0x2D93);
  // Nothing left to save: the restart dropped it.
  EXPECT_TRUE(SendOne(m, Command(0xC2, 0, 0)).Ack(0xC2));
  EXPECT_EQ(m.ReadFlash(0, 4096), Bytes(4096, 0xFF));
}

TEST(SimAdapter, WithoutStagingHeadWritesGoStraightToFlash) {
  AdapterConfig c = Config();
  c.stagedHead = false;
  AdapterModel m(c);
  const Bytes block = PatternBytes(4096, 8);
  SendAllAcked(m, BlockReports(0x1000, block));
  EXPECT_EQ(m.ReadFlash(0x1000, 4096), block);
  EXPECT_EQ(SendOne(m, CheckBlock(0x1000)).Crc(), RefCrc(block));
}

// --- Version responder ---------------------------------------------------------------

TEST(SimAdapter, VersionRepliesInBothForms) {
  const struct {
    bool single;
    std::uint8_t major, minor, number, beta;
    std::array<std::uint8_t, 4> bytes4to7;
  } cases[] = {
      {false, 1, 0x0A, 0, 0, {0x01, 0x0A, 0x00, 0x00}},   {false, 2, 3, 0, 5, {0x02, 0x03, 0x00, 0x05}},
      {true, 0, 0, 0x12, 3, {0x00, 0x00, 0x12, 0x83}},    {true, 0, 0, 0x07, 0, {0x00, 0x00, 0x07, 0x80}},
      {true, 0, 0, 0xFF, 0x0F, {0x00, 0x00, 0xFF, 0x8F}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(int{k.number} * 256 + k.major);
    AdapterConfig c = Config();
    c.singleNumberVersion = k.single;
    c.versionMajor = k.major;
    c.versionMinor = k.minor;
    c.versionNumber = k.number;
    c.beta = k.beta;
    AdapterModel m(c);
    Report request{};  // 00 05 21 00 … as written with its id, 65 bytes
    request[1] = 0x05;
    request[2] = 0x21;
    // The short command after a failed read: 05 00 1D 01 00 00, then whatever an
    // earlier short write left in the rest of the report.
    Report retry{};
    const std::uint8_t shortCommand[] = {0x05, 0x00, 0x1D, 0x01, 0x00, 0x00};
    std::copy(std::begin(shortCommand), std::end(shortCommand), retry.begin() + 1);
    std::fill(retry.begin() + 7, retry.end(), 0xA5);
    for (const Report& r : {request, retry}) {
      const Reply reply = SendOne(m, r);
      EXPECT_EQ((std::array<std::uint8_t, 4>{reply.d[4], reply.d[5], reply.d[6], reply.d[7]}), k.bytes4to7);
      EXPECT_EQ(reply.d[1], 0) << "must not look like a loader acknowledgement";
    }
    EXPECT_EQ(m.Stats().versionRequests, 1u);
    EXPECT_EQ(m.Stats().shortCommands, 1u);
  }
}

TEST(SimAdapter, RejectsConfigsNoAdapterCouldHave) {
  const struct {
    std::uint8_t beta;
    const char* message;  // empty: accepted
  } cases[] = {{0, ""},
               {1, ""},
               {0x0F, ""},
               {2, "beta 0x2 is even"},
               {0x0E, "beta 0xE is even"},
               {0x11, "beta 0x11 does not fit"}};
  for (const auto& k : cases) {
    SCOPED_TRACE(int{k.beta});
    AdapterConfig c = Config();
    c.beta = k.beta;
    const std::string problem = AdapterModel::CheckConfig(c);
    if (*k.message == 0) {
      EXPECT_EQ(problem, "");
      EXPECT_NO_THROW(AdapterModel{c});
    } else {
      EXPECT_NE(problem.find(k.message), std::string::npos) << problem;
      EXPECT_THROW(AdapterModel{c}, std::invalid_argument);
    }
  }
  AdapterConfig big = Config(16);
  big.initialFlash = Bytes(17, 0);
  EXPECT_NE(AdapterModel::CheckConfig(big).find("more than flashSize 16"), std::string::npos);
}

// --- The channel ---------------------------------------------------------------------

TEST(SimChannel, NothingToReadTimesOutAfterTheReadTimeout) {
  AdapterModel m(Config());
  VirtualClock clock;
  SimulatedChannel ch(m, clock);
  std::uint8_t dst[64];
  std::fill(std::begin(dst), std::end(dst), 0x77);
  EXPECT_EQ(ch.ReadReport(dst, 64), kReadTimeout);
  EXPECT_EQ(clock.NowMs(), 200u);
  EXPECT_EQ(dst[0], 0x77);
  EXPECT_EQ(dst[63], 0x77);
}

TEST(SimChannel, ReplyIsReadableLatencyAfterItsRequest) {
  AdapterModel m(Config());
  VirtualClock clock;
  clock.Advance(1000);
  SimulatedChannel ch(m, clock, LinkConfig{30, 20});
  const Report q = Command(0xC1, 0, 0);
  ASSERT_NE(ch.WriteReport(q.data() + 1, 17), 0);
  std::uint8_t dst[64] = {};
  EXPECT_EQ(ch.ReadReport(dst, 64), kReadTimeout) << "not yet due within a 20 ms read";
  EXPECT_EQ(clock.NowMs(), 1020u);
  EXPECT_EQ(ch.ReadReport(dst, 64), kReadOk);
  EXPECT_EQ(clock.NowMs(), 1030u) << "returns at the reply's due time, not at the time-out";
  EXPECT_EQ(dst[4], 0xC1);
}

TEST(SimChannel, RealClockReadWaitsForTheLatency) {
  AdapterModel m(Config());
  SimulatedChannel ch(m, SystemClock(), LinkConfig{15, 200});
  const Report q = Command(0xC1, 0, 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_NE(ch.WriteReport(q.data() + 1, 17), 0);
  std::uint8_t dst[64] = {};
  EXPECT_EQ(ch.ReadReport(dst, 64), kReadOk);
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(elapsed, 14);
  EXPECT_LT(elapsed, 150);
}

// A clock of the caller's own that only moves when slept on (not a VirtualClock): the
// read must still get to the reply's due time instead of spinning for ever.
TEST(SimChannel, ClockThatMovesOnlyWhenSleptOnStillReachesTheReply) {
  class SteppedClock final : public Clock {
   public:
    void SleepMs(std::uint32_t ms) override { now += ms; }
    std::uint64_t NowMs() override { return now; }
    std::atomic<std::uint64_t> now{0};
  } clock;
  AdapterModel m(Config());
  SimulatedChannel ch(m, clock, LinkConfig{30, 200});
  const Report q = Command(0xC1, 0, 0);
  ASSERT_NE(ch.WriteReport(q.data() + 1, 17), 0);
  std::uint8_t dst[64] = {};
  EXPECT_EQ(ch.ReadReport(dst, 64), kReadOk);
  EXPECT_EQ(clock.NowMs(), 30u);
  EXPECT_EQ(ch.ReadReport(dst, 64), kReadTimeout);
  EXPECT_EQ(clock.NowMs(), 230u);
}

TEST(SimChannel, DisconnectedAdapterFailsWritesAndReadsAtOnce) {
  AdapterConfig c = Config();
  c.faults = {FaultSpec{FaultKind::Disconnect, std::nullopt, 2, 1}};
  AdapterModel m(c);
  VirtualClock clock;
  SimulatedChannel ch(m, clock);
  const Report q = Command(0xC1, 0, 0);
  EXPECT_NE(ch.WriteReport(q.data() + 1, 17), 0);
  EXPECT_EQ(ch.WriteReport(q.data() + 1, 17), 0) << "the adapter left with this report";
  EXPECT_TRUE(m.Disconnected());
  EXPECT_EQ(ch.WriteReport(q.data() + 1, 17), 0);
  std::uint8_t dst[64] = {};
  const std::uint64_t before = clock.NowMs();
  const std::uint32_t status = ch.ReadReport(dst, 64);
  EXPECT_EQ(status, kReadDisconnected);
  EXPECT_NE(status, kReadTimeout);
  EXPECT_NE(status, kReadNotOpen);
  EXPECT_EQ(clock.NowMs(), before);
  EXPECT_EQ(m.Stats().exchanges, 2u) << "nothing reaches a gone adapter";
}

TEST(SimChannel, ClosedChannelReadsNotOpenAndSendsNothing) {
  AdapterModel m(Config());
  VirtualClock clock;
  SimulatedChannel ch(m, clock);
  ch.Close();
  const Report q = Command(0xC1, 0, 0);
  std::uint8_t dst[64] = {};
  EXPECT_EQ(ch.WriteReport(q.data() + 1, 17), 0);
  EXPECT_EQ(ch.ReadReport(dst, 64), kReadNotOpen);
  EXPECT_EQ(clock.NowMs(), 0u);
  EXPECT_EQ(m.Stats().exchanges, 0u);
  ch.Open();
  EXPECT_NE(ch.WriteReport(q.data() + 1, 17), 0);
  EXPECT_EQ(ch.ReadReport(dst, 64), kReadOk);
}

TEST(SimChannel, TraceRecordsWritesReadsAndTimeouts) {
  AdapterModel m(Config());
  VirtualClock clock;
  SimulatedChannel ch(m, clock);
  ch.EnableTrace(true);
  const Report q = Command(0xC1, 0, 0);
  std::uint8_t dst[64] = {};
  ch.WriteReport(q.data() + 1, 17);  // short form: 65 bytes on the wire
  ch.ReadReport(dst, 64);
  ch.ReadReport(dst, 64);
  ch.WriteReportWithId(q.data() + 1, 0, 20);  // 21 bytes
  const auto& t = ch.Trace();
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].kind, TraceEntry::Kind::Write);
  EXPECT_EQ(t[0].bytes, Bytes(q.begin(), q.end()));
  EXPECT_EQ(t[1].kind, TraceEntry::Kind::Read);
  EXPECT_EQ(t[1].bytes, Bytes(dst, dst + 64));
  EXPECT_EQ(t[2].kind, TraceEntry::Kind::ReadTimeout);
  EXPECT_EQ(t[3].kind, TraceEntry::Kind::Write);
  EXPECT_EQ(t[3].bytes.size(), 21u);
}

// The benchmark counts heap allocations per block: a whole written block, with the
// trace off, must allocate nothing in the channel or the model.
TEST(SimChannel, ExchangesAllocateNothingWithTheTraceOff) {
  AdapterModel m(Config());
  VirtualClock clock;
  SimulatedChannel ch(m, clock, LinkConfig{1, 200});
  const Bytes block = PatternBytes(4096, 13);
  std::vector<Report> reports = BlockReports(0x10000, block);
  reports.insert(reports.begin(), Erase(0x10000, 4096));
  reports.insert(reports.begin(), CheckBlock(0x10000));
  const Bytes info(8, 1);
  reports.push_back(Command(0xC4, 8, 0, info, RefCrc(info)));
  std::uint8_t dst[64];
  const long before = allocations.load();
  for (const Report& r : reports) {
    ch.WriteReportWithId(r.data() + 1, 0, 64);
    ch.ReadReport(dst, 64);
  }
  const long used = allocations.load() - before;
  EXPECT_EQ(used, 0);
  EXPECT_EQ(m.ReadFlash(0x10000, 4096), block);
  // The counter does see the channel's allocations when there are some: the trace.
  ch.EnableTrace(true);
  const long traced = allocations.load();
  ch.WriteReportWithId(reports.back().data() + 1, 0, 64);
  ch.ReadReport(dst, 64);
  EXPECT_GT(allocations.load(), traced);
}

TEST(SimAdapter, UnreadRepliesOverflowOldestFirst) {
  AdapterModel m(Config());
  for (std::uint32_t i = 0; i < AdapterModel::kReplyQueueSize + 3; ++i) {
    const Report r = CheckBlock(i * 4096);
    m.HandleOutputReport(r.data(), r.size());
  }
  std::uint8_t in[65];
  std::vector<std::uint32_t> echoed;
  while (m.PopInputReport(in)) echoed.push_back(in[15] | in[16] << 8 | in[17] << 16);
  ASSERT_EQ(echoed.size(), AdapterModel::kReplyQueueSize);
  EXPECT_EQ(echoed.front(), 3u * 4096);
  EXPECT_EQ(echoed.back(), (AdapterModel::kReplyQueueSize + 2) * 4096);
}

// A transport thread and a test thread may share one model.
TEST(SimAdapter, TwoThreadsShareOneModel) {
  AdapterModel m(Config());
  constexpr int kEach = 2000;
  std::atomic<int> replies{0};
  auto worker = [&](std::uint32_t address) {
    const Report r = CheckBlock(address);
    std::uint8_t in[65];
    for (int i = 0; i < kEach; ++i) {
      m.HandleOutputReport(r.data(), r.size());
      while (m.PopInputReport(in)) replies.fetch_add(1);
    }
  };
  std::thread a(worker, 0x1000), b(worker, 0x2000);
  a.join();
  b.join();
  EXPECT_EQ(m.StatsSnapshot().exchanges, 2u * kEach);
  EXPECT_EQ(m.StatsSnapshot().checks, 2u * kEach);
  EXPECT_EQ(replies.load(), 2 * kEach);
}

}  // namespace
}  // namespace korbex::sim
