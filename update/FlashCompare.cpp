#include "update/FlashCompare.h"

#include <cstring>

#include "protocol/Checksums.h"

namespace korbex {

FlashCompareResult CompareFlash(BootLink& link, FirmwareImage& image, const FirmwareHeaders& headers, WrittenSet set,
                                const std::function<void(const BlockComparison&)>& onBlock,
                                const std::atomic<bool>* stop) {
  FlashCompareResult result;
  // The same verdict as an update's, before anything is sent.
  result.fileCheck = CheckFirmwareFile(headers, image.Size(), set);
  if (!result.fileCheck.ok()) {
    result.status = FlashCompareResult::Status::FileRefused;
    return result;
  }
  if (!QueryLoaderParameters(link, result.loader)) {
    result.status = FlashCompareResult::Status::LoaderSilent;
    return result;
  }
  WritePlan plan;
  result.fileCheck = PlanWrite(headers, set, result.loader.loaderSize, plan);
  if (!result.fileCheck.ok()) {
    result.status = FlashCompareResult::Status::FileRefused;
    return result;
  }
  std::uint8_t block[kBlockSize];
  for (int s = 0; s < plan.count; ++s) {
    const SectionPlan& p = plan.plans[s];
    // Whatever the loader's erase unit, a CheckBlock covers 4096 bytes.
    const std::uint32_t count = BlockCount(p.writtenLength, kBlockSize);
    for (std::uint32_t b = 0; b < count; ++b) {
      if (stop != nullptr && stop->load()) {
        result.status = FlashCompareResult::Status::Stopped;
        return result;
      }
      const std::uint64_t offset = static_cast<std::uint64_t>(p.firstSentOffset) + std::uint64_t{b} * kBlockSize;
      if (offset <= 0xFFFFFFFFull) {
        image.ReadPadded(static_cast<std::uint32_t>(offset), block, kBlockSize);
      } else {
        std::memset(block, kErasedByte, kBlockSize);
      }
      BlockComparison c;
      c.section = p.section;
      c.block = b;
      c.blockCount = count;
      c.address = p.firstAddress + b * kBlockSize;
      c.fileCrc = PayloadCrc16(block, kBlockSize);
      const BlockCheckReply reply = link.VerifyBlockReply(static_cast<std::uint8_t>(BootCommand::CheckBlock),
                                                          p.checkValue, c.address, c.fileCrc, 0);
      c.equal = reply.outcome == BlockCheck::Equal;
      c.answered = reply.Answered();
      if (c.answered) c.deviceCrc = reply.deviceCrc;
      ++result.blocks;
      ++(c.equal ? result.equal : c.answered ? result.differing : result.unanswered);
      if (onBlock) onBlock(c);
      if (reply.outcome == BlockCheck::ReadFailed) {
        result.status = FlashCompareResult::Status::AdapterGone;
        return result;
      }
    }
  }
  return result;
}

}  // namespace korbex
