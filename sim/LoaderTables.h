#pragma once
// The loader's report tables as the simulated adapter knows them: command codes, report
// and block sizes, and the little-endian field access the model parses reports with.
// Kept here rather than taken from the host's protocol headers: the model must not share
// the host's mistakes. Internal to sim/.
#include <cstddef>
#include <cstdint>
#include <string>

namespace korbex::sim::detail {

constexpr std::uint16_t kWriteData = 0x03;
constexpr std::uint16_t kErase = 0x04;
constexpr std::uint16_t kFinish = 0x07;
constexpr std::uint16_t kWriteRecord = 0x0B;
constexpr std::uint16_t kQueryLoader = 0xC1;
constexpr std::uint16_t kSaveHead = 0xC2;
constexpr std::uint16_t kCheckBlock = 0xC3;
constexpr std::uint16_t kSetImageInfo = 0xC4;

constexpr std::uint8_t kKind = 5;
constexpr std::uint32_t kBlockSize = 4096;
constexpr std::uint32_t kHeadSize = 2 * kBlockSize;
constexpr std::uint32_t kLeadingPiece = 47;
constexpr std::uint32_t kRecordSize = 60;
constexpr std::uint32_t kRecordsPerBlock = 67;
constexpr std::uint32_t kMaxPayload = 47;  // 17 + 47 = 64

inline std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A code or value as the model's messages show it: 0x and upper-case hex digits.
inline std::string Hex(unsigned v) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), digits[v & 0xF]);
    v >>= 4;
  } while (v);
  return "0x" + s;
}

}  // namespace korbex::sim::detail
