// A reference update replayed with one fault of the simulated adapter injected at
// every exchange in turn. Whatever the fault, the run must end within a bound of
// (virtual) time, may report success only when the flash holds the file, and must
// leave the adapter in a state from which a clean rerun succeeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/FirmwareFixture.h"
#include "support/engine_support.h"

namespace korbex {
namespace {

using test::Bytes;
using test::ExpectedBlocks;
using test::SimRig;

// Far above the slowest way a run can end: a silent adapter costs one bounded erase
// wait (kEraseReadAttempts time-outs) or one bounded record resend (kRecordSendAttempts
// x 20 time-outs) per section before the checks end the run.
constexpr std::uint64_t kRunBoundMs = 2 * 60 * 1000;

// Section 1: four blocks (the last one partly past its data), blocks 0 and 2 already on
// the adapter; section 2: one block. Small, so the sweep stays quick under Wine.
struct Reference {
  Bytes file;
  sim::AdapterConfig config;
  Reference() {
    sim::SectionSpec one, two, three;
    one.version = 3;
    one.data = sim::PatternBytes(3 * 4096 + 500, 21);
    two.version = 4;
    two.loadAddress = 0x20000;
    two.data = sim::PatternBytes(4096, 22);
    three.loadAddress = 0x30000;
    three.data = sim::PatternBytes(64, 23);
    file = sim::BuildFirmwareFile({one, two, three});
    auto blocks = ExpectedBlocks(file, WrittenSet::Sections1And2, 0);
    blocks.erase(blocks.begin() + 3, blocks.end());
    blocks.erase(blocks.begin() + 1);
    config.productId = kProductTwoStage;
    config.flashSize = 0x28000;
    config.initialFlash = test::FlashWith(blocks);
  }
};

struct Outcome {
  UpdateEnding ending;
  std::uint64_t virtualMs;
  bool flashMatches;
  std::uint32_t exchanges;
  std::vector<std::uint8_t> flash;
};

Outcome RunOnce(const Bytes& file, sim::AdapterConfig config) {
  SimRig rig(std::move(config), file);
  rig.channel->EnableTrace(false);
  const UpdateEnding ending = rig.Run();
  return {ending, rig.clock.NowMs(), rig.FlashMatchesFile(WrittenSet::Sections1And2),
          rig.model->StatsSnapshot().exchanges, rig.model->Flash()};
}


TEST(FaultSweep, EveryFaultAtEveryExchange) {
  const auto started = std::chrono::steady_clock::now();
  const Reference ref;
  const Outcome clean = RunOnce(ref.file, ref.config);
  ASSERT_EQ(clean.ending, UpdateEnding::Success);
  ASSERT_TRUE(clean.flashMatches);
  const std::uint32_t exchanges = clean.exchanges;
  ASSERT_GT(exchanges, 200u);  // 3 blocks written: 71 exchanges each

  struct Sweep {
    sim::FaultKind kind;
    std::uint32_t count;  // 1: this exchange only; 0: from it on for ever
  } const sweeps[] = {
      {sim::FaultKind::Drop, 1},    {sim::FaultKind::Ignore, 1},     {sim::FaultKind::Nak, 1},
      {sim::FaultKind::Stale, 1},   {sim::FaultKind::WrongEcho, 1},  {sim::FaultKind::WrongCrc, 1},
      {sim::FaultKind::Corrupt, 1}, {sim::FaultKind::Disconnect, 1}, {sim::FaultKind::Ignore, 0},
      {sim::FaultKind::Nak, 0},
  };
  int runs = 0, successes = 0, failures = 0;
  std::uint64_t slowestMs = 0;
  for (const auto& sweep : sweeps) {
    for (std::uint32_t k = 1; k <= exchanges; ++k) {
      sim::FaultSpec fault;
      fault.kind = sweep.kind;
      fault.nth = k;
      fault.count = sweep.count;
      const std::string label = sim::FormatFault(fault);
      sim::AdapterConfig faulty = ref.config;
      faulty.faults = {fault};
      const Outcome run = RunOnce(ref.file, faulty);
      ++runs;
      slowestMs = std::max(slowestMs, run.virtualMs);
      EXPECT_LE(run.virtualMs, kRunBoundMs) << label;
      if (run.ending == UpdateEnding::Success) {
        ++successes;
        EXPECT_TRUE(run.flashMatches) << label << ": success reported with flash != file";
      } else {
        ++failures;
        EXPECT_TRUE(run.ending == UpdateEnding::Failure || run.ending == UpdateEnding::Quiet)
            << label << ": " << UpdateEndingName(run.ending);
      }
      // The same adapter, restarted with what its flash holds now, fault gone.
      sim::AdapterConfig again = ref.config;
      again.initialFlash = run.flash;
      const Outcome rerun = RunOnce(ref.file, again);
      EXPECT_EQ(rerun.ending, UpdateEnding::Success) << label << " then a clean rerun";
      EXPECT_TRUE(rerun.flashMatches) << label << " then a clean rerun";
    }
  }
  // Both kinds of outcome occur: the sweep is not vacuous.
  EXPECT_GT(successes, 0);
  EXPECT_GT(failures, 0);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  std::printf("fault sweep: %u exchanges, %d faulty runs (%d success, %d not), slowest %llu virtual ms, %lld ms\n",
              exchanges, runs, successes, failures, static_cast<unsigned long long>(slowestMs),
              static_cast<long long>(ms));
}

}  // namespace
}  // namespace korbex
