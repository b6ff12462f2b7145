#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/Checksums.h"
#include "sim/FirmwareFixture.h"
#include "support/engine_support.h"
#include "text/Texts.h"
#include "update/FlashCompare.h"
#include "update/UpdateEngine.h"

namespace korbex {
namespace {

using test::Bytes;
using test::ExpectedBlocks;
using test::SimRig;
using Sent = SimRig::Sent;

constexpr std::uint32_t kAddress2 = 0x40000;
constexpr std::uint32_t kAddress3 = 0x80000;

struct FileOptions {
  std::uint32_t pid = 0x4B50;
  std::uint8_t fileMark = 0xE1;
  std::uint16_t version1 = 2, beta1 = 0, version2 = 16, version3 = 0x21, beta3 = 0;
  std::uint32_t address2 = kAddress2;
};

// Sections of l1, l2, l3 pattern bytes; section 2 at kAddress2, section 3 at kAddress3.
Bytes File(std::uint32_t l1, std::uint32_t l2, std::uint32_t l3, FileOptions o = {}) {
  sim::SectionSpec one, two, three;
  one.version = o.version1;
  one.beta = o.beta1;
  one.pid = o.pid;
  one.data = sim::PatternBytes(l1, 11);
  two.version = o.version2;
  two.loadAddress = o.address2;
  two.data = sim::PatternBytes(l2, 12);
  three.version = o.version3;
  three.beta = o.beta3;
  three.loadAddress = kAddress3;
  three.fileMark = o.fileMark;
  three.data = sim::PatternBytes(l3, 13);
  return sim::BuildFirmwareFile({one, two, three});
}

sim::AdapterConfig Adapter(std::uint16_t product = kProductFlashLoader, const char* faults = "") {
  sim::AdapterConfig c;
  c.productId = product;
  std::string error;
  EXPECT_TRUE(sim::ParseFaults(faults, c.faults, error)) << error;
  return c;
}

std::vector<Sent> Only(const std::vector<Sent>& sent, std::uint16_t code) {
  std::vector<Sent> out;
  std::copy_if(sent.begin(), sent.end(), std::back_inserter(out), [&](const Sent& s) { return s.code == code; });
  return out;
}

TEST(UpdateEngine, TwoBlockSectionWhoseFirstBlockMatches) {
  const Bytes file = File(8192, 0, 100);
  auto config = Adapter();
  config.initialFlash = ExpectedBlocks(file, WrittenSet::Sections1And2, 0)[0].second;  // block 0 only
  SimRig rig(config, file);
  EXPECT_EQ(rig.Run(), UpdateEnding::Success);

  std::vector<Sent> expected = {
      {0xC1, 0, 0}, {0xC3, 8192, 0}, {0xC3, 8192, 4096}, {0x04, 4096, 4096}, {0x03, 8192, 4096}};
  for (std::uint32_t k = 0; k < 67; ++k) expected.push_back({0x0B, k, 0});
  expected.insert(expected.end(),
                  {{0x03, 8192, 8163}, {0xC2, 0, 0}, {0xC3, 8192, 0}, {0xC3, 8192, 4096}, {0xC4, 16, 0}, {0x07, 0, 0}});
  EXPECT_EQ(rig.SentCommands(), expected);
  EXPECT_TRUE(rig.FlashMatchesFile(WrittenSet::Sections1And2));
  EXPECT_GE(rig.clock.NowMs(), kFinishDelayMs + kQueryLoaderDelayMs);

  const std::vector<std::string> calls = {"button:0",   "confirm:firmware V2.16",      "progress:50", "progress:100",
                                          "progress:0", "message:Updated successful!", "label",       "button:1"};
  EXPECT_EQ(rig.listener.calls, calls);
  EXPECT_FALSE(rig.image.IsOpen());
  EXPECT_FALSE(rig.log.IsOpen()) << "sections 1 and 2 close the log";
  EXPECT_EQ(rig.session.updateRunning, 0);
  EXPECT_EQ(rig.listener.Count(UpdateEvent::Kind::BlockSkipped), 1);
  EXPECT_EQ(rig.listener.Count(UpdateEvent::Kind::BlockWritten), 1);
  // The image record: L1, header-1 word, L2, header-2 word.
  const Bytes info = {0x00, 0x20, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0};
  EXPECT_EQ(rig.model->ImageInfo(), info);
}

TEST(UpdateEngine, IdenticalImageWritesNothing) {
  const Bytes file = File(3 * 4096 + 100, 4096 + 7, 50);
  auto config = Adapter(kProductTwoStage);
  config.initialFlash = test::FlashWith(ExpectedBlocks(file, WrittenSet::Sections1And2, 0));
  SimRig rig(config, file);
  EXPECT_EQ(rig.Run(), UpdateEnding::Success);
  const auto stats = rig.model->StatsSnapshot();
  EXPECT_EQ(stats.erases + stats.dataPackets + stats.records, 0u);
  EXPECT_EQ(stats.saveHeads, 1u);
  EXPECT_EQ(stats.imageInfos, 1u);
  EXPECT_EQ(stats.finishes, 1u);
  EXPECT_EQ(stats.queries, 2u) << "TwoStage asks the loader once before the confirmation";
  // Two checks per block: 4 + 2 blocks, write pass and check pass / head check.
  EXPECT_EQ(stats.checks, 12u);
  EXPECT_EQ(rig.listener.Count(UpdateEvent::Kind::BlockSkipped), 6);
}

TEST(UpdateEngine, SingleNumberDeviceWritesSectionThreeAlone) {
  const std::uint32_t loaderSize = 0x200;
  const Bytes file = File(4096, 4096, loaderSize + 2 * 4096 + 1000, {.beta3 = 5});
  auto config = Adapter(kProductTwoStage);
  config.loaderSize = loaderSize;
  config.headAddress = kAddress3;
  SimRig rig(config, file);
  rig.session.singleNumberVersion = 1;
  EXPECT_EQ(rig.Run(), UpdateEnding::Success);
  EXPECT_TRUE(rig.FlashMatchesFile(WrittenSet::Section3));
  EXPECT_EQ(rig.model->ReadFlash(0, 4096), Bytes(4096, 0xFF)) << "section 1 is not written";
  const std::uint32_t written3 = 2 * 4096 + 1000, l3 = written3 + loaderSize;
  const Bytes info = {static_cast<std::uint8_t>(l3), static_cast<std::uint8_t>(l3 >> 8), 0, 0, 0x21, 0, 5, 0};
  EXPECT_EQ(rig.model->ImageInfo(), info);
  EXPECT_EQ(rig.listener.calls[1], "confirm:firmware V33 beta5");
  EXPECT_TRUE(rig.log.IsOpen()) << "section 3 alone leaves the log open";
  EXPECT_EQ(rig.session.singleNumberVersion, 0);
  for (const Sent& s : Only(rig.SentCommands(), 0xC3)) EXPECT_EQ(s.value, written3);
  // The head is checked after SaveHead, block 2 in the check pass before it.
  const auto checks = Only(rig.SentCommands(), 0xC3);
  ASSERT_EQ(checks.size(), 6u);
  EXPECT_EQ(checks[3].address, kAddress3 + 2 * 4096);
  EXPECT_EQ(checks[4].address, kAddress3);
  EXPECT_EQ(checks[5].address, kAddress3 + 4096);
}

TEST(UpdateEngine, SectionTwoTrailingPiecesCarrySectionOnesWrittenLength) {
  const std::uint32_t loaderSize = 0x100;
  const std::uint32_t l1 = loaderSize + 4096 + 10, l2 = 2 * 4096;
  auto config = Adapter();
  config.loaderSize = loaderSize;
  SimRig rig(config, File(l1, l2, 10));
  EXPECT_EQ(rig.Run(), UpdateEnding::Success);
  EXPECT_TRUE(rig.FlashMatchesFile(WrittenSet::Sections1And2));
  const std::uint32_t written1 = l1 - loaderSize;
  int section2Pieces = 0;
  for (const Sent& s : Only(rig.SentCommands(), 0x03)) {
    const bool section2 = s.address >= kAddress2;
    const bool trailing = s.address % 4096 == 4067;
    std::uint32_t want = section2 && !trailing ? l2 : written1;
    EXPECT_EQ(s.value, want) << std::hex << s.address;
    section2Pieces += section2;
  }
  EXPECT_EQ(section2Pieces, 4);
  for (const Sent& s : Only(rig.SentCommands(), 0xC3)) EXPECT_EQ(s.value, s.address >= kAddress2 ? l2 : written1);
}

TEST(UpdateEngine, RefusedRecordIsResentWithTheSameIndex) {
  SimRig rig(Adapter(kProductFlashLoader, "nak:WriteRecord@5x3"), File(4096, 0, 10));
  EXPECT_EQ(rig.Run(), UpdateEnding::Success);
  EXPECT_TRUE(rig.FlashMatchesFile(WrittenSet::Sections1And2));
  std::vector<std::uint32_t> indexes;
  for (const Sent& s : Only(rig.SentCommands(), 0x0B)) indexes.push_back(s.value);
  std::vector<std::uint32_t> expected = {0, 1, 2, 3, 4, 4, 4, 4};
  for (std::uint32_t k = 5; k < 67; ++k) expected.push_back(k);
  EXPECT_EQ(indexes, expected);
}

TEST(UpdateEngine, RecordRefusedForEverStopsThePassAndFails) {
  SimRig rig(Adapter(kProductFlashLoader, "nak:WriteRecord@5x*"), File(3 * 4096, 0, 10));
  EXPECT_EQ(rig.Run(), UpdateEnding::Failure);
  EXPECT_EQ(rig.model->StatsSnapshot().records, 4u + kRecordSendAttempts);
  EXPECT_EQ(rig.model->StatsSnapshot().erases, 1u) << "the pass stops at the first block";
  ASSERT_NE(rig.listener.Ended(), nullptr);
  EXPECT_EQ(rig.listener.Ended()->cause, FailureCause::BlockDiffers);
  EXPECT_EQ(rig.listener.messages.back(), kUpdatedFailed);
  EXPECT_EQ(rig.listener.calls.back(), "button:1");
  EXPECT_FALSE(rig.image.IsOpen());
  bool sawRecordFailed = false;
  for (const auto& e : rig.listener.events) sawRecordFailed |= e.cause == FailureCause::RecordFailed;
  EXPECT_TRUE(sawRecordFailed);
}

TEST(UpdateEngine, RefusedFilesSendNothing) {
  struct Case {
    const char* name;
    std::uint16_t product;
    FileOptions options;
    FileCheck check;
    std::uint32_t exchanges;  // reports the adapter received
    bool fileOpen;
    std::size_t cut = 0;  // bytes missing at the end of the file
    std::uint32_t l1 = 4096, l2 = 0, l3 = 10;
    bool single = false;
  } const cases[] = {
      {"file mark 0xE0", kProductTwoStage, {.fileMark = 0xE0}, FileCheck::FileMarkLow, 0, true},
      {"truncated download", kProductTwoStage, {}, FileCheck::Section3OutsideFile, 0, true, 1},
      {"model code, FlashLoader", kProductFlashLoader, {.pid = 0x4B51}, FileCheck::ModelCodeWrong, 0, false},
      // Not even the first QueryLoader this family is asked before the confirmation.
      {"model code, TwoStage", kProductTwoStage, {.pid = 0x1234}, FileCheck::ModelCodeWrong, 0, false},
      {"section 1 empty, TwoStage", kProductTwoStage, {}, FileCheck::NothingToWrite, 0, false, 0, 0, 4096, 4096},
      {"section 3 empty, single", kProductTwoStage, {}, FileCheck::NothingToWrite, 0, false, 0, 4096, 0, 0, true},
      {"section 2 wraps", kProductTwoStage, {.address2 = 0xFFFFF000}, FileCheck::AddressWraps, 0, false, 0, 4096, 4097},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes file = File(c.l1, c.l2, c.l3, c.options);
    file.resize(file.size() - c.cut);
    SimRig rig(Adapter(c.product), file);
    rig.session.singleNumberVersion = c.single ? 1 : 0;
    EXPECT_EQ(rig.Run(), UpdateEnding::FileRefused);
    EXPECT_EQ(rig.model->StatsSnapshot().exchanges, c.exchanges);
    EXPECT_EQ(rig.model->StatsSnapshot().queries, c.exchanges);
    ASSERT_EQ(rig.listener.messages.size(), 1u);
    EXPECT_EQ(rig.listener.messages[0], kFileMismatch);
    // Refused before the run took the button: the button is left alone.
    if (c.fileOpen) {
      EXPECT_EQ(std::count(rig.listener.calls.begin(), rig.listener.calls.end(), "button:0"), 0);
      EXPECT_EQ(std::count(rig.listener.calls.begin(), rig.listener.calls.end(), "button:1"), 0);
    } else {
      EXPECT_EQ(rig.listener.calls.back(), "button:1");
    }
    EXPECT_EQ(rig.session.updateRunning, 0);
    EXPECT_EQ(rig.image.IsOpen(), c.fileOpen);
    ASSERT_NE(rig.listener.Ended(), nullptr);
    EXPECT_EQ(rig.listener.Ended()->fileCheck.check, c.check);
    // The log gets the text as UTF-16LE after its byte-order mark, without a line end.
    Bytes log = {0xFF, 0xFE};
    for (char16_t ch : kFileMismatch) {
      log.push_back(static_cast<std::uint8_t>(ch));
      log.push_back(static_cast<std::uint8_t>(ch >> 8));
    }
    EXPECT_EQ(*rig.logBytes, log);
  }
}

TEST(UpdateEngine, LoaderDecisionsBeforeAnythingIsErased) {
  struct Case {
    const char* name;
    std::uint16_t language;
    const char* faults;
    std::uint32_t loaderSize, eraseUnit, l1;
    UpdateEnding ending;
    FailureCause cause;
    std::u16string_view message;
    bool fileOpen;
  } const cases[] = {
      {"loader silent, Chinese", 2052, "ignore:QueryLoader@2", 0, 4096, 4096, UpdateEnding::Quiet,
       FailureCause::LoaderSilent, u"固件更新失败,请将手柄工作在 BOOT 模式", true},
      {"loader silent, English", 1033, "nak:QueryLoader@2", 0, 4096, 4096, UpdateEnding::Quiet,
       FailureCause::LoaderSilent, u"Firmware update failure, please handle work in BOOT mode", true},
      {"erase unit 0", 1033, "", 0, 0, 4096, UpdateEnding::Failure, FailureCause::EraseUnitUnsupported, kUpdatedFailed,
       false},
      {"erase unit 8192", 1033, "", 0, 8192, 4096, UpdateEnding::Failure, FailureCause::EraseUnitUnsupported,
       kUpdatedFailed, false},
      {"nothing to write", 1033, "", 0x800, 4096, 0x800, UpdateEnding::FileRefused, FailureCause::FileRefused,
       kFileMismatch, false},
      {"section shorter than the loader", 1033, "", 0x2000, 4096, 0x1000, UpdateEnding::FileRefused,
       FailureCause::FileRefused, kFileMismatch, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto config = Adapter(kProductTwoStage, c.faults);
    config.loaderSize = c.loaderSize;
    config.eraseUnitSize = c.eraseUnit;
    SimRig rig(config, File(c.l1, 0, 10));
    rig.listener.language = c.language;
    rig.session.singleNumberVersion = 0;
    EXPECT_EQ(rig.Run(), c.ending);
    const auto stats = rig.model->StatsSnapshot();
    EXPECT_EQ(stats.erases + stats.dataPackets + stats.records + stats.checks, 0u);
    ASSERT_EQ(rig.listener.messages.size(), 1u);
    EXPECT_EQ(rig.listener.messages[0], c.message);
    EXPECT_EQ(rig.listener.calls.back(), "button:1");
    EXPECT_EQ(rig.session.updateRunning, 0);
    EXPECT_EQ(rig.image.IsOpen(), c.fileOpen);
    EXPECT_EQ(rig.listener.Ended()->cause, c.cause);
  }
}

TEST(UpdateEngine, OneBlockImageChecksOnlyTheBlockItHas) {
  // Block 1 on the adapter holds something else: a head check of it would fail.
  auto config = Adapter();
  config.initialFlash.assign(2 * 4096, 0x00);
  SimRig rig(config, File(1000, 0, 10));
  EXPECT_EQ(rig.Run(), UpdateEnding::Success);
  for (const Sent& s : Only(rig.SentCommands(), 0xC3)) EXPECT_EQ(s.address, 0u);
  EXPECT_EQ(Only(rig.SentCommands(), 0xC3).size(), 2u);
  EXPECT_TRUE(rig.FlashMatchesFile(WrittenSet::Sections1And2));
}

TEST(UpdateEngine, HeadIsCheckedWhetherOrNotSaveHeadIsAcknowledged) {
  struct Case {
    const char* name;
    const char* faults;
    UpdateEnding ending;
  } const cases[] = {
      // The loader never saved the staged head: the flash is not the file.
      {"SaveHead lost before the loader", "ignore:SaveHead", UpdateEnding::Failure},
      {"SaveHead refused", "nak:SaveHead", UpdateEnding::Failure},
      // Saved, only the acknowledgement was lost: the head check proves it.
      {"acknowledgement lost", "drop:SaveHead", UpdateEnding::Success},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimRig rig(Adapter(kProductFlashLoader, c.faults), File(3 * 4096, 0, 10));
    EXPECT_EQ(rig.Run(), c.ending);
    EXPECT_EQ(c.ending == UpdateEnding::Success, rig.FlashMatchesFile(WrittenSet::Sections1And2));
    if (c.ending == UpdateEnding::Failure) {
      EXPECT_EQ(rig.listener.Ended()->cause, FailureCause::HeadDiffers);
      EXPECT_EQ(rig.model->StatsSnapshot().finishes, 0u);
    }
  }
}

// A loader that writes head blocks at once (no staging): SaveHead has nothing to copy,
// and must not put back the head the adapter powered up with.
TEST(UpdateEngine, LoaderWithoutHeadStagingIsUpdatedWhole) {
  struct Case {
    const char* name;
    bool section3;
  } const cases[] = {{"sections 1 and 2, head at 0", false}, {"section 3, head at its load address", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes file = File(3 * 4096 + 100, 4096, 2 * 4096 + 500);
    auto config = Adapter(c.section3 ? kProductTwoStage : kProductFlashLoader);
    config.stagedHead = false;
    config.headAddress = c.section3 ? kAddress3 : 0;
    config.initialFlash.assign(kAddress3 + 4 * 4096, 0x5A);  // an older image everywhere
    SimRig rig(config, file);
    rig.session.singleNumberVersion = c.section3 ? 1 : 0;
    EXPECT_EQ(rig.Run(), UpdateEnding::Success);
    EXPECT_TRUE(rig.FlashMatchesFile(c.section3 ? WrittenSet::Section3 : WrittenSet::Sections1And2));
    EXPECT_EQ(rig.model->StatsSnapshot().saveHeads, 1u);
  }
}

TEST(UpdateEngine, ProgressCountsBothSectionsAndIsClamped) {
  struct Case {
    const char* name;
    std::uint32_t l1, l2;
    const char* faults;
    std::vector<std::uint32_t> positions;
  } const cases[] = {
      {"three blocks, the last one byte", 8193, 0, "", {49, 99, 100}},
      {"two sections", 8192, 8192, "", {25, 50, 75, 100}},
      // Section 1 stops at its second block: section 2 counts from there.
      {"section 1 stopped by an erase", 3 * 4096, 4096, "ignore:Erase@2", {25, 50}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimRig rig(Adapter(kProductFlashLoader, c.faults), File(c.l1, c.l2, 10));
    rig.Run();
    std::vector<std::uint32_t> positions(rig.listener.progress.begin(), rig.listener.progress.end());
    if (!positions.empty() && positions.back() == 0) positions.pop_back();  // the success ending's reset
    EXPECT_EQ(positions, c.positions);
  }
}

TEST(UpdateEngine, CancelledConfirmation) {
  struct Case {
    std::uint16_t product;
    std::uint32_t exchanges;
  } const cases[] = {{kProductTwoStage, 1}, {kProductFlashLoader, 0}};
  for (const auto& c : cases) {
    SimRig rig(Adapter(c.product), File(4096, 100, 10, {.beta1 = 0xB}));
    rig.listener.confirmAnswer = false;
    rig.session.singleNumberVersion = 0;
    EXPECT_EQ(rig.Run(), UpdateEnding::Cancelled);
    EXPECT_EQ(rig.model->StatsSnapshot().exchanges, c.exchanges);
    const std::vector<std::string> calls = {"button:0", "confirm:firmware V2.16 betab", "button:1"};
    EXPECT_EQ(rig.listener.calls, calls);
    EXPECT_FALSE(rig.image.IsOpen());
    EXPECT_EQ(rig.session.updateRunning, 0);
  }
}

TEST(UpdateEngine, ConfirmationTexts) {
  struct Case {
    bool single;
    std::uint16_t v1, b1, v2, v3, b3;
    std::u16string_view text;
  } const cases[] = {
      {false, 2, 0, 16, 9, 9, u"firmware V2.16"},
      {false, 300, 0x1F, 7, 0, 0, u"firmware V300.7 beta1f"},
      {true, 2, 3, 16, 0x21, 0, u"firmware V33"},
      {true, 2, 0, 16, 10, 0xAB, u"firmware V10 betaab"},
  };
  for (const auto& c : cases) {
    FirmwareHeaders h;
    const Bytes file =
        File(1, 1, 1, {.version1 = c.v1, .beta1 = c.b1, .version2 = c.v2, .version3 = c.v3, .beta3 = c.b3});
    std::copy_n(file.begin(), 28, h.h1.bytes);
    std::copy_n(file.begin() + 29, 28, h.h2.bytes);
    std::copy_n(file.begin() + 58, 28, h.h3.bytes);
    EXPECT_EQ(ConfirmationText(h, c.single), c.text);
  }
}

TEST(UpdateEngine, OnlyOneWorkerRunsAtATime) {
  SimRig rig(Adapter(), File(4096, 0, 10));
  UpdateEnding second = UpdateEnding::Success;
  rig.listener.onConfirm = [&] { second = FlashUpdateThread(*rig.ctx); };
  EXPECT_EQ(rig.Run(), UpdateEnding::Success);
  EXPECT_EQ(second, UpdateEnding::NotRun);
  EXPECT_EQ(rig.model->StatsSnapshot().finishes, 1u);
}

TEST(UpdateEngine, StopRequestEndsBetweenExchanges) {
  struct Case {
    const char* name;
    bool atConfirm;
    std::uint32_t erases;
  } const cases[] = {{"during the confirmation", true, 0}, {"after the first block", false, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimRig rig(Adapter(), File(3 * 4096, 0, 10));
    if (c.atConfirm) {
      rig.listener.onConfirm = [&] { rig.stop = true; };
    } else {
      rig.listener.onProgress = [&](std::uint32_t) { rig.stop = true; };
    }
    EXPECT_EQ(rig.Run(), UpdateEnding::Stopped);
    EXPECT_EQ(rig.model->StatsSnapshot().erases, c.erases);
    EXPECT_EQ(rig.model->StatsSnapshot().finishes, 0u);
    EXPECT_EQ(rig.listener.calls.back(), "button:1");
    EXPECT_TRUE(rig.listener.messages.empty());
    EXPECT_FALSE(rig.image.IsOpen());
    EXPECT_EQ(rig.session.updateRunning, 0);
  }
}

// What the engine reports about the check that ends a run: a reply that never came (or
// an adapter that left) is not a block that differs, and a block the write pass
// refused is reported as not written before its check. Three blocks, none on the
// adapter: CheckBlock 1-3 in the write pass, 4 in the check pass (block 2), 5 and 6
// in the head check; WriteRecord 135-201 belong to block 2.
TEST(UpdateEngine, ReportsALostCheckReplyApartFromADifference) {
  using K = UpdateEvent::Kind;
  struct Case {
    const char* name;
    const char* faults;
    K check;  // the event of the check that failed
    UpdatePhase phase;
    std::uint32_t block;
    FailureCause cause;
    FailureCause notWritten;  // cause of a BlockNotWritten event, None when every block was written
    bool blockHoldsFile;      // the failed block is on the adapter as in the file (a later verify agrees)
  } const cases[] = {
      {"reply lost, check pass", "drop:CheckBlock@4", K::BlockUnanswered, UpdatePhase::CheckPass, 2,
       FailureCause::CheckUnanswered, FailureCause::None, true},
      {"reply lost, head check", "drop:CheckBlock@5", K::BlockUnanswered, UpdatePhase::HeadCheck, 0,
       FailureCause::CheckUnanswered, FailureCause::None, true},
      {"reply of another command", "wrong-echo:CheckBlock@6", K::BlockUnanswered, UpdatePhase::HeadCheck, 1,
       FailureCause::CheckUnanswered, FailureCause::None, true},
      {"adapter gone at the check", "disconnect:CheckBlock@4", K::BlockUnanswered, UpdatePhase::CheckPass, 2,
       FailureCause::CheckUnanswered, FailureCause::None, true},
      {"differs, check pass", "corrupt:WriteRecord@140", K::BlockDiffers, UpdatePhase::CheckPass, 2,
       FailureCause::BlockDiffers, FailureCause::None, false},
      {"differs, head check", "corrupt:WriteRecord@3", K::BlockDiffers, UpdatePhase::HeadCheck, 0,
       FailureCause::HeadDiffers, FailureCause::None, false},
      {"not written, record refused", "nak:WriteRecord@5x*", K::BlockDiffers, UpdatePhase::CheckPass, 2,
       FailureCause::BlockDiffers, FailureCause::RecordFailed, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimRig rig(Adapter(kProductFlashLoader, c.faults), File(3 * 4096, 0, 10));
    EXPECT_EQ(rig.Run(), UpdateEnding::Failure);
    EXPECT_EQ(rig.listener.messages.back(), kUpdatedFailed);
    EXPECT_EQ(rig.model->StatsSnapshot().finishes, 0u);
    // Exactly one check failed, and it is reported as what it was.
    EXPECT_EQ(rig.listener.Count(K::BlockDiffers) + rig.listener.Count(K::BlockUnanswered), 1);
    const auto failed = std::find_if(rig.listener.events.begin(), rig.listener.events.end(), [](const UpdateEvent& e) {
      return e.kind == K::BlockDiffers || e.kind == K::BlockUnanswered;
    });
    ASSERT_NE(failed, rig.listener.events.end());
    EXPECT_EQ(failed->kind, c.check);
    EXPECT_EQ(failed->phase, c.phase);
    EXPECT_EQ(failed->section, 1);
    EXPECT_EQ(failed->block, c.block);
    EXPECT_EQ(failed->address, c.block * 4096);
    EXPECT_EQ(failed->cause, c.cause);
    EXPECT_EQ(rig.model->ReadFlash(failed->address, 4096) ==
                  ExpectedBlocks(rig.file, WrittenSet::Sections1And2, 0)[failed->block].second,
              c.blockHoldsFile);
    ASSERT_NE(rig.listener.Ended(), nullptr);
    EXPECT_EQ(rig.listener.Ended()->cause, c.cause);
    std::vector<FailureCause> notWritten;
    for (const auto& e : rig.listener.events)
      if (e.kind == K::BlockNotWritten) notWritten.push_back(e.cause);
    EXPECT_EQ(notWritten, c.notWritten == FailureCause::None ? std::vector<FailureCause>{} : std::vector{c.notWritten});
  }
}

// A file that another program changes on disk while an update runs.
class ChangingSource final : public FirmwareSource {
 public:
  explicit ChangingSource(std::shared_ptr<Bytes> bytes) : bytes_(std::move(bytes)) {}
  bool ReadAll(std::uint64_t maxBytes, Bytes& out) override {
    if (bytes_->size() > maxBytes) return false;
    out = *bytes_;
    return true;
  }

 private:
  std::shared_ptr<Bytes> bytes_;
};

TEST(UpdateEngine, FileChangedDuringTheRunChangesNothingSentOrChecked) {
  struct Case {
    const char* name;
    bool afterFirstBlock;  // else while the confirmation is up
    std::function<void(Bytes&)> change;
  } const cases[] = {
      {"truncated", false, [](Bytes& b) { b.resize(5000); }},
      {"rewritten in place", true, [](Bytes& b) { std::fill(b.begin() + 200, b.end(), 0x5A); }},
      {"replaced by a shorter file", true, [](Bytes& b) { b = File(4096, 10, 10); }},
      {"grown", false, [](Bytes& b) { b.insert(b.begin() + 100, 3000, 0x00); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes original = File(3 * 4096 + 100, 4096 + 50, 100);
    SimRig rig(Adapter(kProductTwoStage), original);
    auto disk = std::make_shared<Bytes>(original);
    bool changed = false;
    auto change = [&] {
      if (!changed) c.change(*disk);
      changed = true;
    };
    if (c.afterFirstBlock) {
      rig.listener.onProgress = [&](std::uint32_t) { change(); };
    } else {
      rig.listener.onConfirm = change;
    }
    ASSERT_TRUE(rig.image.Open(std::make_unique<ChangingSource>(disk)));
    rig.headers.h1Read = rig.image.Read(0, rig.headers.h1.bytes, kHeaderSize);
    EXPECT_EQ(FlashUpdateThread(*rig.ctx), UpdateEnding::Success);
    EXPECT_TRUE(changed);
    // The adapter holds the file as it was opened, and every check compared against it.
    EXPECT_TRUE(rig.FlashMatchesFile(WrittenSet::Sections1And2));
  }
}

TEST(UpdateEngine, NeitherFamilyMeansNoRun) {
  SimRig rig(Adapter(), File(4096, 0, 10));
  rig.family.FlashLoader = 0;
  EXPECT_EQ(rig.Run(), UpdateEnding::NoDevice);
  EXPECT_EQ(rig.model->StatsSnapshot().exchanges, 0u);
  EXPECT_TRUE(rig.listener.calls.empty());
  EXPECT_EQ(rig.session.updateRunning, 0);
}

TEST(FlashCompare, ReportsEveryBlockAndWritesNothing) {
  const Bytes file = File(0x100 + 3 * 4096, 4096 + 1, 10);
  auto blocks = ExpectedBlocks(file, WrittenSet::Sections1And2, 0x100);
  ASSERT_EQ(blocks.size(), 5u);
  blocks[1].second[100] ^= 1;        // section 1, block 1 differs
  blocks.erase(blocks.begin() + 4);  // section 2, block 1 erased on the adapter
  auto config = Adapter();
  config.loaderSize = 0x100;
  config.initialFlash = test::FlashWith(blocks);
  SimRig rig(config, file);
  rig.image.Open(std::make_unique<MemoryFirmwareSource>(file));
  rig.headers.h1Read = rig.image.Read(0, rig.headers.h1.bytes, kHeaderSize);
  ReadSectionHeaders(rig.image, rig.headers);
  std::vector<BlockComparison> seen;
  const FlashCompareResult result = CompareFlash(*rig.link, rig.image, rig.headers, WrittenSet::Sections1And2,
                                                 [&](const BlockComparison& c) { seen.push_back(c); });
  EXPECT_EQ(result.status, FlashCompareResult::Status::Compared);
  EXPECT_EQ(result.blocks, 5u);
  EXPECT_EQ(result.equal, 3u);
  EXPECT_EQ(result.differing, 2u);
  EXPECT_FALSE(result.Matches());
  ASSERT_EQ(seen.size(), 5u);
  const std::uint32_t addresses[] = {0, 4096, 8192, kAddress2, kAddress2 + 4096};
  const bool equal[] = {true, false, true, true, false};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(seen[i].address, addresses[i]);
    EXPECT_EQ(seen[i].equal, equal[i]) << i;
    EXPECT_TRUE(seen[i].answered);
  }
  EXPECT_EQ(seen[4].deviceCrc, 0xBFFE) << "an erased block";
  const auto stats = rig.model->StatsSnapshot();
  EXPECT_EQ(stats.erases + stats.dataPackets + stats.records + stats.saveHeads + stats.finishes, 0u);

  // A file an update would refuse is refused here too, before the loader is asked.
  const Bytes wraps = File(4096, 4097, 10, {.address2 = 0xFFFFF000});
  SimRig refused(Adapter(), wraps);
  refused.image.Open(std::make_unique<MemoryFirmwareSource>(wraps));
  refused.headers.h1Read = refused.image.Read(0, refused.headers.h1.bytes, kHeaderSize);
  ReadSectionHeaders(refused.image, refused.headers);
  const FlashCompareResult r =
      CompareFlash(*refused.link, refused.image, refused.headers, WrittenSet::Sections1And2, nullptr);
  EXPECT_EQ(r.status, FlashCompareResult::Status::FileRefused);
  EXPECT_EQ(r.fileCheck.check, FileCheck::AddressWraps);
  EXPECT_EQ(refused.model->StatsSnapshot().exchanges, 0u);

  SimRig silent(Adapter(kProductFlashLoader, "ignore:QueryLoader"), file);
  EXPECT_EQ(CompareFlash(*silent.link, rig.image, rig.headers, WrittenSet::Sections1And2, nullptr).status,
            FlashCompareResult::Status::LoaderSilent);
}

// A check without an answer says nothing about the block; a read that fails with an
// error means the adapter left, and nothing more is asked of it.
TEST(FlashCompare, ALostReplyOrAGoneAdapterIsNotADifference) {
  struct Case {
    const char* faults;
    FlashCompareResult::Status status;
    std::uint32_t blocks, equal, differing, unanswered;
  } const cases[] = {
      {"", FlashCompareResult::Status::Compared, 3, 3, 0, 0},
      {"wrong-crc:CheckBlock@2", FlashCompareResult::Status::Compared, 3, 2, 1, 0},
      {"drop:CheckBlock@2", FlashCompareResult::Status::Compared, 3, 2, 0, 1},
      {"ignore:CheckBlock@2", FlashCompareResult::Status::Compared, 3, 2, 0, 1},
      {"disconnect:CheckBlock@2", FlashCompareResult::Status::AdapterGone, 2, 1, 0, 1},
  };
  const Bytes file = File(3 * 4096, 0, 10);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    auto config = Adapter(kProductFlashLoader, c.faults);
    config.initialFlash = test::FlashWith(ExpectedBlocks(file, WrittenSet::Sections1And2, 0));
    SimRig rig(config, file);
    rig.image.Open(std::make_unique<MemoryFirmwareSource>(file));
    rig.headers.h1Read = rig.image.Read(0, rig.headers.h1.bytes, kHeaderSize);
    ReadSectionHeaders(rig.image, rig.headers);
    std::vector<BlockComparison> seen;
    const FlashCompareResult r = CompareFlash(*rig.link, rig.image, rig.headers, WrittenSet::Sections1And2,
                                              [&](const BlockComparison& b) { seen.push_back(b); });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.blocks, c.blocks);
    EXPECT_EQ(r.equal, c.equal);
    EXPECT_EQ(r.differing, c.differing);
    EXPECT_EQ(r.unanswered, c.unanswered);
    EXPECT_EQ(r.Matches(), c.equal == 3);
    ASSERT_EQ(seen.size(), c.blocks);
    // Every report written, reaching the adapter or not: QueryLoader and one check per block asked.
    const auto writes = std::count_if(rig.channel->Trace().begin(), rig.channel->Trace().end(),
                                      [](const sim::TraceEntry& e) { return e.kind == sim::TraceEntry::Kind::Write; });
    EXPECT_EQ(writes, 1 + static_cast<long>(c.blocks)) << "nothing is asked after the adapter left";
    if (c.blocks > 1) {
      EXPECT_EQ(seen[1].answered, c.unanswered == 0);
      EXPECT_FALSE(seen[1].equal && c.equal < 3);
    }
  }
}

}  // namespace
}  // namespace korbex
