#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/Checksums.h"

namespace korbex {
namespace {

struct CrcCase {
  std::vector<std::uint8_t> bytes;
  std::uint16_t crc;
  std::uint8_t sum;
};

std::vector<std::uint8_t> Ascii(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Checksums, KnownVectors) {
  const CrcCase cases[] = {
      {Ascii("123456789"), 0x4B37, 0xDD},
      {Ascii("abc"), 0x5749, 0x26},
      {{0x00}, 0x40BF, 0x00},
      {std::vector<std::uint8_t>(4096, 0xFF), 0xBFFE, 0x00},
      {std::vector<std::uint8_t>(4096, 0x00), 0xDFFE, 0x00},
      {std::vector<std::uint8_t>(60, 0xFF), PayloadCrc16(std::vector<std::uint8_t>(60, 0xFF).data(), 60), 0xC4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    EXPECT_EQ(PayloadCrc16(c.bytes.data(), static_cast<std::int32_t>(c.bytes.size())), c.crc);
    EXPECT_EQ(ByteSum8(c.bytes.data(), static_cast<std::uint16_t>(c.bytes.size())), c.sum);
  }
}

TEST(Checksums, NoBytes) {
  const std::uint8_t b = 0x12;
  EXPECT_EQ(PayloadCrc16(&b, 0), 0xFFFF);
  EXPECT_EQ(PayloadCrc16(&b, -5), 0xFFFF);
  EXPECT_EQ(PayloadCrc16(nullptr, 0), 0xFFFF);
  EXPECT_EQ(ByteSum8(&b, 0), 0);
}

// The bitwise form must agree with the usual 256-entry table form on any data.
TEST(Checksums, MatchesTableDrivenCrc) {
  std::uint16_t table[256];
  for (int i = 0; i < 256; ++i) {
    std::uint16_t c = static_cast<std::uint16_t>(i);
    for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001) : static_cast<std::uint16_t>(c >> 1);
    table[i] = c;
  }
  std::vector<std::uint8_t> data(1000);
  std::uint32_t x = 12345;
  for (auto& d : data) d = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16);
  std::uint16_t crc = 0xFFFF;
  for (auto d : data) crc = static_cast<std::uint16_t>((crc >> 8) ^ table[(crc ^ d) & 0xFF]);
  EXPECT_EQ(PayloadCrc16(data.data(), 1000), crc);
}

}  // namespace
}  // namespace korbex
