#pragma once
// The update engine on a fuzzed file, against a simulated adapter that does nothing
// wrong. What must hold:
//  - a file CheckFirmwareFile refuses for the written set sends no report at all;
//  - a file refused for the loader size sends nothing but QueryLoader;
//  - success means every block of the written set is in the adapter's flash;
//  - a file that fits, whose blocks lie in the flash on 4096-byte boundaries without
//    overlapping each other or the loader's head area, is written with success.
// The run's setup comes from header 1's bytes 16..19, which the file format leaves
// unread: byte 16 bit 0 section 3 alone, bit 1 TwoStage, bits 2-3 loader size.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "FuzzCheck.h"
#include "Harness.h"
#include "hid/DeviceFamily.h"
#include "sim/SimulatedAdapter.h"
#include "update/UpdateEngine.h"

namespace korbex::fuzzsupport {

inline constexpr std::uint32_t kFileRunFlashSize = 1u << 20;
inline constexpr std::uint32_t kHeadArea = 2 * kBlockSize;

struct Range {
  std::uint64_t begin, end;
  bool Overlaps(const Range& o) const { return begin < o.end && o.begin < end; }
};

// Whether a healthy adapter can take this plan whole: aligned blocks inside its flash,
// no block written twice, and only the head blocks of the first section in the area
// the loader holds back until SaveHead (a block there is checked before it is saved).
inline bool PlanFitsAdapter(const WritePlan& plan, std::uint32_t headAddress) {
  Range ranges[2];
  for (int s = 0; s < plan.count; ++s) {
    const SectionPlan& p = plan.plans[s];
    if (p.firstAddress % kBlockSize != 0) return false;
    const std::uint64_t blocks = BlockCount(p.writtenLength, kBlockSize);
    ranges[s] = {p.firstAddress, p.firstAddress + blocks * kBlockSize};
    if (ranges[s].end > kFileRunFlashSize) return false;
    const Range head{headAddress, static_cast<std::uint64_t>(headAddress) + kHeadArea};
    const Range rest{ranges[s].begin + (s == 0 ? kHeadArea : 0), ranges[s].end};
    if (rest.begin < rest.end && rest.Overlaps(head)) return false;
    if (s == 0 && ranges[0].begin != headAddress) return false;
  }
  return plan.count < 2 || !ranges[0].Overlaps(ranges[1]);
}

inline void RunFileThroughEngine(const std::uint8_t* data, std::size_t size, bool structureOk) {
  static constexpr std::uint32_t kLoaderSizes[4] = {0, 16, kBlockSize, 100};
  const std::uint8_t setup = size > 16 ? data[16] : 0;
  const bool single = (setup & 1) != 0;
  const bool twoStage = (setup & 2) != 0;
  const std::uint32_t loaderSize = kLoaderSizes[(setup >> 2) & 3];
  const std::vector<std::uint8_t> file(data, data + size);

  FirmwareImage image;
  image.Open(std::make_unique<MemoryFirmwareSource>(file));
  FirmwareHeaders headers;
  headers.h1Read = image.Read(0, headers.h1.bytes, kHeaderSize);
  // Where the loader keeps the head: the start of the image it is given.
  FirmwareHeaders peek = headers;
  ReadSectionHeaders(image, peek);
  const std::uint32_t headAddress = single ? peek.h3.loadAddress() : 0;

  sim::AdapterConfig config;
  config.productId = twoStage ? kProductTwoStage : kProductFlashLoader;
  config.loaderSize = loaderSize;
  config.flashSize = kFileRunFlashSize;
  config.headAddress = headAddress;
  sim::AdapterModel model(config);
  VirtualClock clock;
  sim::SimulatedChannel channel(model, clock, sim::LinkConfig{0, 200});
  BootLink link(channel, clock);
  OperationLog log;
  ConfirmingListener listener;
  UpdateSession session;
  session.singleNumberVersion = single ? 1 : 0;
  DeviceFamily family;
  (twoStage ? family.TwoStage : family.FlashLoader) = 1;
  std::atomic<bool> stop{false};
  UpdateContext ctx{link, image, log, listener, session, family, headers, &stop};

  const UpdateEnding ending = FlashUpdateThread(ctx);
  const sim::AdapterStats& stats = model.Stats();
  FUZZ_CHECK(session.updateRunning == 0);
  FUZZ_CHECK(listener.buttonEnabled);

  const WrittenSet set = single ? WrittenSet::Section3 : WrittenSet::Sections1And2;
  const bool modelOk = CheckModelCode(peek.h1).ok();
  WritePlan plan;
  const bool planOk = PlanWrite(peek, set, loaderSize, plan).ok();
  if (!structureOk || !CheckFirmwareFile(peek, size, set).ok()) {
    FUZZ_CHECK(ending == UpdateEnding::FileRefused);
    FUZZ_CHECK(stats.exchanges == 0);
  } else if (!modelOk || !planOk) {
    FUZZ_CHECK(ending == UpdateEnding::FileRefused);
    FUZZ_CHECK(stats.exchanges == stats.queries);
  }
  if (ending == UpdateEnding::FileRefused) {
    FUZZ_CHECK(stats.exchanges == stats.queries);
    FUZZ_CHECK(listener.messages == 1);
  }
  if (ending == UpdateEnding::Success) {
    FUZZ_CHECK(planOk);
    const std::string missing = FirstBlockNotOnAdapter(model, file, plan);
    if (!missing.empty()) {
      std::fprintf(stderr, "success reported, but block %s is not on the adapter\n", missing.c_str());
      std::abort();
    }
  }
  if (structureOk && modelOk && planOk && PlanFitsAdapter(plan, headAddress)) {
    if (ending != UpdateEnding::Success) {
      std::fprintf(stderr, "a file that fits a healthy adapter ended with %d\n", static_cast<int>(ending));
      std::abort();
    }
  }
}

}  // namespace korbex::fuzzsupport
