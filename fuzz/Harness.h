#pragma once
// What both fuzz targets need to run a whole update: a listener that confirms at once
// and counts what the user would see, and the comparison of the adapter's flash with
// the blocks of a file.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Checksums.h"
#include "sim/SimulatedAdapter.h"
#include "update/FirmwareImage.h"
#include "update/UpdateEngine.h"

namespace korbex::fuzzsupport {

class ConfirmingListener final : public UpdateListener {
 public:
  explicit ConfirmingListener(bool confirm = true) : confirm_(confirm) {}
  void EnableUpdateButton(bool enabled) override { buttonEnabled = enabled; }
  void SetProgress(std::uint32_t position) override {
    if (position > 100) progressOver100 = true;
  }
  bool ConfirmFirmware(std::u16string_view) override {
    ++confirmations;
    return confirm_;
  }
  void ShowMessage(std::u16string_view) override { ++messages; }
  void ShowResultLabel() override {}
  std::uint16_t UiLanguage() override { return 0x0409; }

  bool buttonEnabled = true;
  bool progressOver100 = false;
  int confirmations = 0;
  int messages = 0;

 private:
  bool confirm_;
};

// Block b of a section as the update sends it: 4096 file bytes, 0xFF past the end.
inline void FileBlock(const std::vector<std::uint8_t>& file, const SectionPlan& p, std::uint32_t b,
                      std::uint8_t (&out)[kBlockSize]) {
  const std::uint64_t at = static_cast<std::uint64_t>(p.firstSentOffset) + static_cast<std::uint64_t>(b) * kBlockSize;
  std::memset(out, kErasedByte, kBlockSize);
  if (at < file.size()) {
    const std::uint64_t n = file.size() - at < kBlockSize ? file.size() - at : kBlockSize;
    std::memcpy(out, file.data() + at, static_cast<std::size_t>(n));
  }
}

// Every block of the plan against the adapter's committed flash. A block whose bytes
// differ but whose CRC-16 equals the file's passes: no CheckBlock can tell those
// apart, so an engine cannot be blamed for them. Returns the first block that
// differs as "section:block", or an empty string.
inline std::string FirstBlockNotOnAdapter(const sim::AdapterModel& model, const std::vector<std::uint8_t>& file,
                                          const WritePlan& plan) {
  std::uint8_t want[kBlockSize];
  for (int s = 0; s < plan.count; ++s) {
    const SectionPlan& p = plan.plans[s];
    const std::uint32_t blocks = BlockCount(p.writtenLength, kBlockSize);
    for (std::uint32_t b = 0; b < blocks; ++b) {
      FileBlock(file, p, b, want);
      const std::vector<std::uint8_t> have = model.ReadFlash(p.firstAddress + b * kBlockSize, kBlockSize);
      if (std::memcmp(have.data(), want, kBlockSize) == 0) continue;
      if (PayloadCrc16(have.data(), kBlockSize) == PayloadCrc16(want, kBlockSize)) continue;
      return std::to_string(p.section) + ":" + std::to_string(b);
    }
  }
  return {};
}

}  // namespace korbex::fuzzsupport
