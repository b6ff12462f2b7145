// Fuzzes the firmware file: arbitrary bytes are opened as a .dat file, their headers
// read and checked, write plans made for both written sets and several loader sizes,
// and every block of every plan read as the update reads it. Each result is compared
// with an independent reading of the raw bytes, so a check that lets a bad file
// through (or refuses a good one) stops the fuzzer, not only a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "FileRunOracle.h"
#include "FuzzCheck.h"
#include "protocol/Checksums.h"
#include "update/FirmwareImage.h"

namespace {

using namespace korbex;

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The file as plain bytes, read without FirmwareImage.
struct RawFile {
  const std::uint8_t* data;
  std::size_t size;

  // Bytes present at a 32-bit offset (the reads use 32-bit offsets, so a wrapped
  // position reads wherever it wrapped to).
  std::size_t Available(std::uint32_t offset, std::size_t count) const {
    if (offset >= size) return 0;
    return size - offset < count ? size - offset : count;
  }
};

void CheckHeaderRead(const RawFile& raw, std::uint32_t offset, std::size_t got, const qv_firmware_header& h) {
  const std::size_t want = raw.Available(offset, kHeaderSize);
  FUZZ_CHECK(got == want);
  if (want) FUZZ_CHECK(std::memcmp(h.bytes, raw.data + offset, want) == 0);
  // Headers are cleared before each read: nothing of an earlier file may remain.
  for (std::size_t i = want; i < kHeaderSize; ++i) FUZZ_CHECK(h.bytes[i] == 0);
}

// What the written set would send, as this harness reads the layout.
struct ExpectedPlan {
  bool ok = false;
  int count = 0;
  SectionPlan plans[2];
};

ExpectedPlan Expect(const FirmwareHeaders& h, WrittenSet set, std::uint32_t loaderSize) {
  ExpectedPlan e;
  const std::uint32_t l1 = h.h1.length(), l2 = h.h2.length(), l3 = h.h3.length();
  if (set == WrittenSet::Sections1And2) {
    if (l1 == 0 || l1 < loaderSize) return e;
    const std::uint32_t w1 = l1 - loaderSize;
    if (w1 == 0 && l2 == 0) return e;
    e.ok = true;
    e.plans[e.count++] = {1, kHeaderSize + loaderSize, w1, 0, w1, w1};
    if (l2 != 0) e.plans[e.count++] = {2, 2 * kHeaderSize + l1, l2, h.h2.loadAddress(), l2, w1};
  } else {
    if (l3 <= loaderSize) return e;
    e.ok = true;
    e.plans[e.count++] = {3,
                          3 * kHeaderSize + l1 + l2 + loaderSize,
                          l3 - loaderSize,
                          h.h3.loadAddress(),
                          l3 - loaderSize,
                          l3 - loaderSize};
  }
  // Whole blocks must stay inside the 32-bit device address space.
  for (int i = 0; i < e.count; ++i) {
    const std::uint64_t blocks = (static_cast<std::uint64_t>(e.plans[i].writtenLength) + kBlockSize - 1) / kBlockSize;
    if (e.plans[i].firstAddress + blocks * kBlockSize > 0x100000000ull) return ExpectedPlan{};
  }
  return e;
}

bool SamePlan(const SectionPlan& a, const SectionPlan& b) {
  return a.section == b.section && a.firstSentOffset == b.firstSentOffset && a.writtenLength == b.writtenLength &&
         a.firstAddress == b.firstAddress && a.checkValue == b.checkValue && a.trailValue == b.trailValue;
}

// Reads every block of a section the way the update does (whole for the CRC, then in
// the 47/60/29 pieces) and checks that both agree with the file, 0xFF past its end.
void ReadBlocks(FirmwareImage& image, const RawFile& raw, const SectionPlan& p) {
  static std::uint8_t block[kBlockSize], piece[60];
  const std::uint32_t blocks = BlockCount(p.writtenLength, kBlockSize);
  for (std::uint32_t b = 0; b < blocks; ++b) {
    const std::uint32_t f = p.firstSentOffset + b * kBlockSize;
    std::memset(block, 0xA5, sizeof block);  // stale bytes must not survive a padded read
    const std::size_t got = image.ReadPadded(f, block, kBlockSize);
    const std::size_t want = raw.Available(f, kBlockSize);
    FUZZ_CHECK(got == want);
    if (want) FUZZ_CHECK(std::memcmp(block, raw.data + f, want) == 0);
    for (std::size_t i = want; i < kBlockSize; ++i) FUZZ_CHECK(block[i] == kErasedByte);
    (void)PayloadCrc16(block, kBlockSize);

    std::uint32_t at = 0;
    auto piecewise = [&](std::size_t n) {
      std::memset(piece, 0x5A, sizeof piece);
      image.ReadPadded(f + at, piece, n);
      FUZZ_CHECK(std::memcmp(piece, block + at, n) == 0);
      (void)ByteSum8(piece, static_cast<std::uint16_t>(n));
      at += static_cast<std::uint32_t>(n);
    };
    piecewise(47);
    for (int k = 0; k < 67; ++k) piecewise(60);
    piecewise(29);
    FUZZ_CHECK(at == kBlockSize);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const RawFile raw{data, size};
  FirmwareImage image;
  FUZZ_CHECK(image.Open(std::make_unique<MemoryFirmwareSource>(std::vector<std::uint8_t>(data, data + size))));
  FUZZ_CHECK(image.Size() == size);

  // Header 1 as the update command reads it, then headers 2 and 3 as a run does.
  FirmwareHeaders headers;
  headers.h1Read = image.Read(0, headers.h1.bytes, kHeaderSize);
  FUZZ_CHECK(headers.h1Read == raw.Available(0, kHeaderSize));
  ReadSectionHeaders(image, headers);
  const std::uint32_t l1 = headers.h1.length();
  const std::uint32_t h2At = kHeaderSize + l1;
  CheckHeaderRead(raw, h2At, headers.h2Read, headers.h2);
  if (headers.h2Read > 0) {
    CheckHeaderRead(raw, h2At + kHeaderSize + headers.h2.length(), headers.h3Read, headers.h3);
  } else {
    CheckHeaderRead(raw, 0xFFFFFFFFu, headers.h3Read, headers.h3);  // not read: stays cleared
  }

  // The structure check: a file fits when its three sections lie inside it (in
  // 64-bit arithmetic) and the third header's mark is high enough.
  const FileCheckResult structure = CheckFileStructure(headers, size);
  bool fits = false;
  if (size >= kHeaderSize) {
    const std::uint64_t L1 = Le32(data + 8);
    const std::uint64_t h2 = kHeaderSize + L1;
    if (h2 + kHeaderSize <= size) {
      const std::uint64_t L2 = Le32(data + h2 + 8);
      const std::uint64_t h3 = h2 + kHeaderSize + L2;
      if (h3 + kHeaderSize <= size) {
        const std::uint64_t L3 = Le32(data + h3 + 8);
        fits = h3 + kHeaderSize + L3 <= size && data[h3 + 20] >= kMinFileMark;
      }
    }
  }
  FUZZ_CHECK(structure.ok() == fits);
  if (!structure.ok()) {
    FUZZ_CHECK(structure.field()[0] != '\0');
    FUZZ_CHECK(!structure.Describe().empty());
  }
  const FileCheckResult model = CheckModelCode(headers.h1);
  std::uint8_t head[kHeaderSize] = {};  // header 1 as read: zeros past a short file
  std::memcpy(head, data, raw.Available(0, kHeaderSize));
  FUZZ_CHECK(model.ok() == (Le32(head + 12) == kModelCode));
  if (!model.ok()) FUZZ_CHECK(!model.Describe().empty());

  // Write plans: pure functions of the headers, whatever the structure says; when the
  // file fits, every section they send must lie inside the file.
  const std::uint32_t loaderSizes[] = {0,  1,      kHeaderSize,         kBlockSize - 1, kBlockSize, kBlockSize + 1,
                                       l1, l1 + 1, headers.h3.length(), 0x10000,        0xFFFFFFFFu};
  for (WrittenSet set : {WrittenSet::Sections1And2, WrittenSet::Section3}) {
    for (std::uint32_t loaderSize : loaderSizes) {
      WritePlan plan;
      const FileCheckResult r = PlanWrite(headers, set, loaderSize, plan);
      const ExpectedPlan e = Expect(headers, set, loaderSize);
      FUZZ_CHECK(r.ok() == e.ok);
      if (!r.ok()) {
        FUZZ_CHECK(!r.Describe().empty());
        continue;
      }
      FUZZ_CHECK(plan.count == e.count);
      for (int i = 0; i < plan.count; ++i) {
        FUZZ_CHECK(SamePlan(plan.plans[i], e.plans[i]));
        if (structure.ok()) {
          FUZZ_CHECK(static_cast<std::uint64_t>(plan.plans[i].firstSentOffset) + plan.plans[i].writtenLength <= size);
        }
      }
    }
  }

  // The one verdict every program judges a file by: structure, model code, and the
  // plan of the written set with no loader bytes held back.
  for (WrittenSet set : {WrittenSet::Sections1And2, WrittenSet::Section3}) {
    WritePlan plan;
    const FileCheckResult verdict = CheckFirmwareFile(headers, size, set);
    FUZZ_CHECK(verdict.ok() == (structure.ok() && model.ok() && PlanWrite(headers, set, 0, plan).ok()));
    if (!structure.ok()) FUZZ_CHECK(verdict.check == structure.check);
  }

  // Blocks as the update reads them, for the loader sizes a real loader reports.
  if (structure.ok()) {
    for (WrittenSet set : {WrittenSet::Sections1And2, WrittenSet::Section3}) {
      for (std::uint32_t loaderSize : {0u, 16u, kBlockSize}) {
        WritePlan plan;
        if (!PlanWrite(headers, set, loaderSize, plan).ok()) continue;
        for (int i = 0; i < plan.count; ++i) ReadBlocks(image, raw, plan.plans[i]);
      }
    }
  }

  // The whole update on this file against a simulated adapter that does nothing wrong.
  fuzzsupport::RunFileThroughEngine(data, size, structure.ok());
  return 0;
}
