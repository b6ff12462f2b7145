#include "protocol/Checksums.h"

namespace korbex {

std::uint16_t PayloadCrc16(const std::uint8_t* bytes, std::int32_t count) {
  static constexpr std::uint16_t kTable[2] = {0x0000, 0xA001};
  std::uint16_t crc = 0xFFFF;
  for (std::int32_t i = 0; i < count; ++i) {
    std::uint8_t b = bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc >> 1) ^ kTable[(crc ^ b) & 1u]);
      b = static_cast<std::uint8_t>(b >> 1);
    }
  }
  return crc;
}

std::uint8_t ByteSum8(const std::uint8_t* bytes, std::uint16_t count) {
  std::uint8_t sum = 0;
  for (std::uint16_t i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
  return sum;
}

}  // namespace korbex
