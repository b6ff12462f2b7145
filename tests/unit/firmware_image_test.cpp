#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "sim/FirmwareFixture.h"
#include "update/FirmwareImage.h"

namespace korbex {
namespace {

using sim::BuildFirmwareFile;
using sim::PatternBytes;
using sim::SectionSpec;

// Opens bytes as the firmware file and reads header 1 and the other two headers,
// the way an update does.
struct Opened {
  FirmwareImage image;
  FirmwareHeaders headers;
  explicit Opened(std::vector<std::uint8_t> bytes) {
    image.Open(std::make_unique<MemoryFirmwareSource>(std::move(bytes)));
    headers.h1Read = image.Read(0, headers.h1.bytes, kHeaderSize);
    ReadSectionHeaders(image, headers);
  }
  FileCheckResult Check() { return CheckFileStructure(headers, image.Size()); }
};

std::vector<SectionSpec> ThreeSections() {
  SectionSpec a, b, c;
  a.version = 3;
  a.beta = 5;
  a.data = PatternBytes(100, 1);
  b.version = 7;
  b.loadAddress = 0x8000;
  b.data = PatternBytes(50, 2);
  c.version = 9;
  c.loadAddress = 0x2000;
  c.fileMark = 0xE1;
  c.data = PatternBytes(30, 3);
  return {a, b, c};
}

TEST(FirmwareImage, HeaderFieldsAreLittleEndian) {
  SectionSpec s;
  s.version = 0x0102;
  s.beta = 0x0304;
  s.loadAddress = 0x05060708;
  s.pid = 0x4B50;
  s.fileMark = 0xE7;
  s.data.resize(0x1234);
  auto bytes = sim::EncodeHeader(s);
  qv_firmware_header h;
  std::memcpy(h.bytes, bytes.data(), 28);
  EXPECT_EQ(h.version(), 0x0102);
  EXPECT_EQ(h.beta(), 0x0304);
  EXPECT_EQ(h.loadAddress(), 0x05060708u);
  EXPECT_EQ(h.length(), 0x1234u);
  EXPECT_EQ(h.pid(), 0x4B50u);
  EXPECT_EQ(h.fileMark(), 0xE7);
  EXPECT_EQ(h.versionWord(), 0x03040102u);
  EXPECT_EQ(bytes[0], 0x02);
  EXPECT_EQ(bytes[8], 0x34);
}

TEST(FirmwareImage, ThreeSectionsAreLocated) {
  Opened f(BuildFirmwareFile(ThreeSections()));
  ASSERT_TRUE(f.Check().ok()) << f.Check().Describe();
  EXPECT_EQ(f.headers.h2.version(), 7);
  EXPECT_EQ(f.headers.h2.loadAddress(), 0x8000u);
  EXPECT_EQ(f.headers.h3.version(), 9);
  EXPECT_EQ(f.headers.h3.length(), 30u);
}

TEST(FirmwareImage, FileMarkAndModelCode) {
  struct Case {
    std::uint8_t mark;
    std::uint32_t pid;
    FileCheck structure;
    FileCheck model;
  } const cases[] = {
      {0xE0, 0x4B50, FileCheck::FileMarkLow, FileCheck::Ok},
      {0x00, 0x4B50, FileCheck::FileMarkLow, FileCheck::Ok},
      {0xE1, 0x4B50, FileCheck::Ok, FileCheck::Ok},
      {0xFF, 0x4B50, FileCheck::Ok, FileCheck::Ok},
      {0xE1, 0x4B51, FileCheck::Ok, FileCheck::ModelCodeWrong},
      {0xE1, 0x50, FileCheck::Ok, FileCheck::ModelCodeWrong},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mark);
    auto sections = ThreeSections();
    sections[2].fileMark = c.mark;
    sections[0].pid = c.pid;
    Opened f(BuildFirmwareFile(sections));
    EXPECT_EQ(f.Check().check, c.structure);
    EXPECT_EQ(CheckModelCode(f.headers.h1).check, c.model);
  }
  auto sections = ThreeSections();
  sections[0].pid = 0x1234;
  Opened f(BuildFirmwareFile(sections));
  EXPECT_STREQ(CheckModelCode(f.headers.h1).field(), "section 1 pid");
  EXPECT_NE(CheckModelCode(f.headers.h1).Describe().find("0x1234"), std::string::npos);
}

TEST(FirmwareImage, OneSectionOnlyIsRefused) {
  Opened f(BuildFirmwareFile({ThreeSections()[0]}));
  EXPECT_EQ(f.headers.h2Read, 0u);
  EXPECT_EQ(f.headers.h3Read, 0u);  // header 3 is not even read
  EXPECT_EQ(f.Check().check, FileCheck::Header2Short);
}

// Any truncation of a valid file is refused before anything could be sent.
TEST(FirmwareImage, EveryTruncationIsRefused) {
  const auto full = BuildFirmwareFile(ThreeSections());
  for (std::size_t size = 0; size < full.size(); ++size) {
    Opened f(std::vector<std::uint8_t>(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size)));
    auto r = f.Check();
    EXPECT_FALSE(r.ok()) << "size " << size;
    EXPECT_NE(std::string(r.field()), "") << size;
  }
  Opened whole(full);
  EXPECT_TRUE(whole.Check().ok());
}

// A stale header from an earlier file must not make a short file look valid.
TEST(FirmwareImage, HeadersAreClearedBeforeEachRead) {
  Opened f(BuildFirmwareFile(ThreeSections()));
  ASSERT_TRUE(f.Check().ok());
  f.image.Open(std::make_unique<MemoryFirmwareSource>(BuildFirmwareFile({ThreeSections()[0]})));
  f.headers.h1Read = f.image.Read(0, f.headers.h1.bytes, kHeaderSize);
  ReadSectionHeaders(f.image, f.headers);
  EXPECT_EQ(f.headers.h3.fileMark(), 0);
  EXPECT_FALSE(f.Check().ok());
}

TEST(FirmwareImage, LengthsThatWrapOrOverrun) {
  struct Case {
    int section;
    std::uint32_t length;
    FileCheck expected;
  } const cases[] = {
      {0, 0xFFFFFFF0u, FileCheck::OffsetWraps},
      {1, 0xFFFFFFD0u, FileCheck::OffsetWraps},
      {2, 0xFFFFFFF0u, FileCheck::OffsetWraps},
      {2, 31, FileCheck::Section3OutsideFile},
      {1, 0x7FFFFFFF, FileCheck::Section2OutsideFile},
      {0, 0x10000, FileCheck::Section1OutsideFile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    auto sections = ThreeSections();
    sections[c.section].overrideLength = true;
    sections[c.section].length = c.length;
    Opened f(BuildFirmwareFile(sections));
    EXPECT_EQ(f.Check().check, c.expected) << f.Check().Describe();
  }
}

TEST(FirmwareImage, TrailingBytesAfterSectionThreeAreAllowed) {
  auto bytes = BuildFirmwareFile(ThreeSections());
  bytes.resize(bytes.size() + 77, 0xAB);
  Opened f(bytes);
  EXPECT_TRUE(f.Check().ok());
}

TEST(FirmwareImage, PaddedReadPastTheEnd) {
  FirmwareImage image;
  image.Open(std::make_unique<MemoryFirmwareSource>(std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
  std::uint8_t buf[8];
  std::memset(buf, 0x11, sizeof buf);
  EXPECT_EQ(image.Read(3, buf, 8), 2u);
  EXPECT_EQ(buf[1], 5);
  EXPECT_EQ(buf[2], 0x11);  // a plain read leaves the rest as it was
  EXPECT_EQ(image.ReadPadded(3, buf, 8), 2u);
  const std::uint8_t expected[8] = {4, 5, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(0, std::memcmp(buf, expected, 8));
  EXPECT_EQ(image.ReadPadded(100, buf, 4), 0u);
  EXPECT_EQ(buf[0], 0xFF);
}

// A source that fails part-way, as a read error would.
class FailingSource final : public FirmwareSource {
 public:
  bool ReadAll(std::uint64_t, std::vector<std::uint8_t>& out) override {
    out.assign(100, 0xAB);
    return false;
  }
};

TEST(FirmwareImage, FileNotReadWholeIsNotOpened) {
  const auto good = BuildFirmwareFile(ThreeSections());
  struct Case {
    const char* name;
    std::function<std::unique_ptr<FirmwareSource>()> source;
  } const cases[] = {
      {"read error", [] { return std::make_unique<FailingSource>(); }},
      {"larger than any firmware",
       [] { return std::make_unique<MemoryFirmwareSource>(std::vector<std::uint8_t>(kMaxFirmwareFileSize + 1)); }},
      {"no file", [] { return std::unique_ptr<FirmwareSource>(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FirmwareImage image;
    ASSERT_TRUE(image.Open(std::make_unique<MemoryFirmwareSource>(good)));
    EXPECT_FALSE(image.Open(c.source()));
    // Nothing of the earlier file or of the part read is left to be written.
    EXPECT_FALSE(image.IsOpen());
    EXPECT_EQ(image.Size(), 0u);
    std::uint8_t header[kHeaderSize];
    EXPECT_EQ(image.Read(0, header, kHeaderSize), 0u);
  }
  FirmwareImage largest;
  EXPECT_TRUE(largest.Open(std::make_unique<MemoryFirmwareSource>(std::vector<std::uint8_t>(kMaxFirmwareFileSize))));
}

TEST(FirmwareImage, WritePlans) {
  Opened f(BuildFirmwareFile(ThreeSections()));
  WritePlan plan;
  ASSERT_TRUE(PlanWrite(f.headers, WrittenSet::Sections1And2, 16, plan).ok());
  ASSERT_EQ(plan.count, 2);
  // Section 1: bytes after the loader part, device addresses from 0.
  EXPECT_EQ(plan.plans[0].firstSentOffset, 28u + 16u);
  EXPECT_EQ(plan.plans[0].writtenLength, 84u);
  EXPECT_EQ(plan.plans[0].firstAddress, 0u);
  EXPECT_EQ(plan.plans[0].checkValue, 84u);
  EXPECT_EQ(plan.plans[0].trailValue, 84u);
  // Section 2: whole, at its load address; trailing pieces carry section 1's length.
  EXPECT_EQ(plan.plans[1].firstSentOffset, 56u + 100u);
  EXPECT_EQ(plan.plans[1].writtenLength, 50u);
  EXPECT_EQ(plan.plans[1].firstAddress, 0x8000u);
  EXPECT_EQ(plan.plans[1].checkValue, 50u);
  EXPECT_EQ(plan.plans[1].trailValue, 84u);

  ASSERT_TRUE(PlanWrite(f.headers, WrittenSet::Section3, 10, plan).ok());
  ASSERT_EQ(plan.count, 1);
  EXPECT_EQ(plan.plans[0].firstSentOffset, 84u + 100u + 50u + 10u);
  EXPECT_EQ(plan.plans[0].writtenLength, 20u);
  EXPECT_EQ(plan.plans[0].firstAddress, 0x2000u);

  // A section shorter than the loader would wrap its written length: refused.
  EXPECT_EQ(PlanWrite(f.headers, WrittenSet::Sections1And2, 4096, plan).check, FileCheck::SectionShorterThanLoader);
  EXPECT_EQ(PlanWrite(f.headers, WrittenSet::Section3, 31, plan).check, FileCheck::SectionShorterThanLoader);
  EXPECT_EQ(PlanWrite(f.headers, WrittenSet::Section3, 30, plan).check, FileCheck::NothingToWrite);
}

// Device addresses are 32-bit: a section may end exactly at the top, never past it.
TEST(FirmwareImage, SectionAddressesMustNotWrap) {
  struct Case {
    int section;
    std::uint32_t loadAddress;
    WrittenSet set;
    bool ok;
  } const cases[] = {
      {1, 0xFFFFF000u, WrittenSet::Sections1And2, true},   // 50 bytes: one block, ends at 2^32
      {1, 0xFFFFF001u, WrittenSet::Sections1And2, false},
      {2, 0xFFFFF000u, WrittenSet::Section3, true},
      {2, 0xFFFFFF00u, WrittenSet::Section3, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.loadAddress);
    auto sections = ThreeSections();
    sections[c.section].loadAddress = c.loadAddress;
    Opened f(BuildFirmwareFile(sections));
    ASSERT_TRUE(f.Check().ok());
    WritePlan plan;
    const auto r = PlanWrite(f.headers, c.set, 0, plan);
    EXPECT_EQ(r.ok(), c.ok) << r.Describe();
    if (!c.ok) {
      EXPECT_EQ(r.check, FileCheck::AddressWraps);
      EXPECT_EQ(plan.count, 0);
    }
  }
}

TEST(FirmwareImage, EmptySectionTwoIsLeftOut) {
  auto sections = ThreeSections();
  sections[1].data.clear();
  Opened f(BuildFirmwareFile(sections));
  ASSERT_TRUE(f.Check().ok());
  WritePlan plan;
  ASSERT_TRUE(PlanWrite(f.headers, WrittenSet::Sections1And2, 0, plan).ok());
  EXPECT_EQ(plan.count, 1);
  sections[0].data.clear();
  Opened g(BuildFirmwareFile(sections));
  EXPECT_EQ(PlanWrite(g.headers, WrittenSet::Sections1And2, 0, plan).check, FileCheck::NothingToWrite);
}

TEST(FirmwareImage, BlockCount) {
  EXPECT_EQ(BlockCount(0, 4096), 0u);
  EXPECT_EQ(BlockCount(1, 4096), 1u);
  EXPECT_EQ(BlockCount(4096, 4096), 1u);
  EXPECT_EQ(BlockCount(8193, 4096), 3u);
  EXPECT_EQ(BlockCount(0xFFFFFFFFu, 4096), 0x100000u);
  EXPECT_EQ(BlockCount(100, 0), 0u);
}

}  // namespace
}  // namespace korbex
