// CHid against the simulated adapter served on a named pipe: real CreateFileW,
// WriteFile, overlapped ReadFile, WaitForSingleObject and CancelIo.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "hid/win/Hid.h"
#include "protocol/BootProtocol.h"
#include "sim/FirmwareFixture.h"
#include "support/engine_support.h"
#include "tests/win/support/PipeAdapter.h"
#include "text/Texts.h"
#include "update/UpdateEngine.h"

using korbex::wintest::PipeAdapter;
using korbex::wintest::Report;
using SteadyClock = std::chrono::steady_clock;

namespace {

long long MillisecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

// The server sees writes on its own threads: wait (bounded) until count arrived.
bool WaitForReceived(PipeAdapter& adapter, std::size_t count) {
  for (int i = 0; i < 200 && adapter.ReceivedCount() < count; ++i) Sleep(10);
  return adapter.ReceivedCount() >= count;
}

template <class Predicate>
bool WaitUntil(Predicate predicate) {
  for (int i = 0; i < 200 && !predicate(); ++i) Sleep(10);
  return predicate();
}

}  // namespace

TEST(HidChannel, NothingHappensBeforeOpen) {
  CHid hid;
  EXPECT_EQ(hid.m_ReadTimeout, 10u);
  std::uint8_t dst[64];
  std::memset(dst, 0x5A, sizeof dst);
  const auto start = SteadyClock::now();
  EXPECT_EQ(hid.ReadReport(dst, 64), korbex::kReadNotOpen);
  EXPECT_LT(MillisecondsSince(start), 50);
  for (std::uint8_t b : dst) ASSERT_EQ(b, 0x5A);
  const std::uint8_t data[6] = {5, 0, 0x1D, 1, 0, 0};
  EXPECT_EQ(hid.WriteReport(data, 6), 0);
  EXPECT_EQ(hid.WriteReportWithId(data, 0, 6), 0);
}

TEST(HidChannel, ReadWithoutReplyTimesOutAndLeavesTheNextReportToTheNextRead) {
  PipeAdapter adapter(nullptr);
  CHid hid;
  hid.m_DevicePath = adapter.Path();
  ASSERT_EQ(hid.Open(), 1);
  EXPECT_EQ(hid.m_ReadTimeout, 200u);

  std::uint8_t dst[64];
  std::memset(dst, 0x5A, sizeof dst);
  const auto start = SteadyClock::now();
  EXPECT_EQ(hid.ReadReport(dst, 64), korbex::kReadTimeout);
  const long long elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 190);
  EXPECT_LT(elapsed, 1500);
  for (std::uint8_t b : dst) ASSERT_EQ(b, 0x5A) << "a timed-out read must leave the destination alone";

  // The timed-out read was cancelled: the report sent now is not swallowed by it
  // (nor written into its dead buffer) but handed to the next read.
  Report report(korbex::kReportSize);
  for (std::size_t i = 1; i < report.size(); ++i) report[i] = static_cast<std::uint8_t>(i * 3);
  adapter.SendInputReport(report);
  EXPECT_EQ(hid.ReadReport(dst, 64), korbex::kReadOk);
  EXPECT_EQ(0, std::memcmp(dst, report.data() + 1, 64));

  // n below 64 copies n data bytes and nothing more.
  std::uint8_t few[8];
  std::memset(few, 0xEE, sizeof few);
  report[1] = 0x42;
  adapter.SendInputReport(report);
  EXPECT_EQ(hid.ReadReport(few, 4), korbex::kReadOk);
  EXPECT_EQ(few[0], 0x42);
  EXPECT_EQ(few[3], report[4]);
  EXPECT_EQ(few[4], 0xEE);
}

TEST(HidChannel, WriteReportSends65BytesWithTheStaleTail) {
  PipeAdapter adapter(nullptr);
  CHid hid;
  hid.m_DevicePath = adapter.Path();
  ASSERT_EQ(hid.Open(), 1);

  std::uint8_t first[20];
  std::memset(first, 0x11, sizeof first);
  EXPECT_NE(hid.WriteReport(first, 20), 0);
  const std::uint8_t shortCommand[6] = {0x05, 0x00, 0x1D, 0x01, 0x00, 0x00};
  EXPECT_NE(hid.WriteReport(shortCommand, 6), 0);
  ASSERT_TRUE(WaitForReceived(adapter, 2));

  const Report wire = adapter.Received()[1];
  ASSERT_EQ(wire.size(), 65u);
  EXPECT_EQ(wire[0], 0x00);
  EXPECT_EQ(0, std::memcmp(wire.data() + 1, shortCommand, 6));
  for (std::size_t i = 7; i <= 20; ++i) EXPECT_EQ(wire[i], 0x11) << "byte " << i << " left by the first write";
  for (std::size_t i = 21; i < 65; ++i) EXPECT_EQ(wire[i], 0x00) << "byte " << i;
}

TEST(HidChannel, WriteReportWithIdSendsIdAndItsOwnBytesOnly) {
  PipeAdapter adapter(nullptr);
  CHid hid;
  hid.m_DevicePath = adapter.Path();
  ASSERT_EQ(hid.Open(), 1);

  std::uint8_t stale[40];
  std::memset(stale, 0x22, sizeof stale);
  EXPECT_NE(hid.WriteReport(stale, 40), 0);
  std::uint8_t request[64] = {0x05, 0x21};
  EXPECT_NE(hid.WriteReportWithId(request, 0x00, 64), 0);
  const std::uint8_t five[5] = {1, 2, 3, 4, 5};
  EXPECT_NE(hid.WriteReportWithId(five, 0x07, 5), 0);
  // The private buffer left sharedOutputReport as it was.
  const std::uint8_t one[1] = {0x99};
  EXPECT_NE(hid.WriteReport(one, 1), 0);
  ASSERT_TRUE(WaitForReceived(adapter, 4));

  const std::vector<Report> wire = adapter.Received();
  ASSERT_EQ(wire[1].size(), 65u);
  EXPECT_EQ(wire[1][0], 0x00);
  EXPECT_EQ(0, std::memcmp(wire[1].data() + 1, request, 64)) << "nothing of sharedOutputReport";
  EXPECT_EQ(wire[2], (Report{0x07, 1, 2, 3, 4, 5}));
  ASSERT_EQ(wire[3].size(), 65u);
  EXPECT_EQ(wire[3][1], 0x99);
  EXPECT_EQ(wire[3][2], 0x22);
  EXPECT_EQ(wire[3][40], 0x22);
  EXPECT_EQ(wire[3][41], 0x00);
}

TEST(HidChannel, SecondOpenReplacesAndClosesTheHandlePair) {
  PipeAdapter adapter(nullptr);
  CHid hid;
  hid.m_DevicePath = adapter.Path();
  ASSERT_EQ(hid.Open(), 1);
  ASSERT_TRUE(WaitUntil([&] { return adapter.TotalConnections() == 2; }));
  hid.m_ReadTimeout = 10;
  ASSERT_EQ(hid.Open(), 1);
  EXPECT_EQ(hid.m_ReadTimeout, 200u);
  // Four connections were made; the first pair is closed again.
  EXPECT_TRUE(WaitUntil([&] { return adapter.TotalConnections() == 4 && adapter.LiveConnections() == 2; }))
      << adapter.TotalConnections() << " made, " << adapter.LiveConnections() << " live";
}

TEST(HidChannel, RefusedReadHandleLeavesWritesWorkingAndReadsNotOpen) {
  PipeAdapter adapter(nullptr, PipeAdapter::Options{1});  // room for the write handle only
  CHid hid;
  hid.m_DevicePath = adapter.Path();
  EXPECT_EQ(hid.Open(), 0);
  EXPECT_NE(hid.m_hWrite, INVALID_HANDLE_VALUE);
  EXPECT_EQ(hid.m_hRead, INVALID_HANDLE_VALUE);
  std::uint8_t dst[64] = {};
  EXPECT_EQ(hid.ReadReport(dst, 64), korbex::kReadNotOpen);
  const std::uint8_t data[6] = {5, 0, 0x1D, 1, 0, 0};
  EXPECT_NE(hid.WriteReport(data, 6), 0);
  EXPECT_TRUE(WaitForReceived(adapter, 1));
}

TEST(HidChannel, ReadFromADeviceThatIsGoneFailsInsteadOfPassingOffOldBytes) {
  auto adapter = std::make_unique<PipeAdapter>(nullptr);
  CHid hid;
  hid.m_DevicePath = adapter->Path();
  ASSERT_EQ(hid.Open(), 1);
  adapter.reset();  // unplugged: the server's ends of both handles are closed
  std::uint8_t dst[64];
  std::memset(dst, 0x5A, sizeof dst);
  const std::uint32_t status = hid.ReadReport(dst, 64);
  EXPECT_NE(status, korbex::kReadOk);
  EXPECT_EQ(status, kReadFailed);
  for (std::uint8_t b : dst) ASSERT_EQ(b, 0x5A);
  const std::uint8_t data[6] = {5, 0, 0x1D, 1, 0, 0};
  EXPECT_EQ(hid.WriteReport(data, 6), 0);
}

// The whole update, every exchange through the pipe with the real read time-out and
// the real 2000 ms wait before Finish.
TEST(HidChannel, FullUpdateWritesTheFileIntoFlash) {
  using namespace korbex;
  sim::AdapterConfig config;
  config.productId = kProductFlashLoader;
  sim::AdapterModel model(config);
  PipeAdapter adapter(&model);

  DeviceFamily family;
  family.FlashLoader = 1;
  UpdateSession session;
  CHid hid(family, session.updateRunning);
  hid.m_DevicePath = adapter.Path();
  ASSERT_EQ(hid.Open(), 1);
  BootLink link(hid, SystemClock());

  const test::Bytes file = sim::MakeStandardFile(3 * kBlockSize + 100, kBlockSize + 7, 100);
  FirmwareImage image;
  ASSERT_TRUE(image.Open(std::make_unique<MemoryFirmwareSource>(file)));
  OperationLog log;
  test::RecordingListener listener;
  FirmwareHeaders headers;
  headers.h1Read = image.Read(0, headers.h1.bytes, kHeaderSize);
  UpdateContext context{link, image, log, listener, session, family, headers};

  const auto start = SteadyClock::now();
  const UpdateEnding ending = FlashUpdateThread(context);
  EXPECT_EQ(ending, UpdateEnding::Success) << static_cast<int>(ending) << " after " << adapter.ReceivedCount()
                                           << " reports; told: " << testing::PrintToString(listener.calls);
  EXPECT_GE(MillisecondsSince(start), 2000) << "the wait before Finish";
  ASSERT_FALSE(listener.messages.empty());
  EXPECT_EQ(listener.messages.back(), kUpdatedSuccessful);

  bool checked = false;
  adapter.WithModel([&](sim::AdapterModel& m) {
    const auto blocks = test::ExpectedBlocks(file, WrittenSet::Sections1And2, m.Config().loaderSize);
    ASSERT_EQ(blocks.size(), 4u + 2u);
    for (const auto& [address, bytes] : blocks) {
      EXPECT_EQ(m.ReadFlash(address, kBlockSize), bytes) << "block at " << address;
    }
    EXPECT_TRUE(m.Finished());
    checked = true;
  });
  EXPECT_TRUE(checked);
}
