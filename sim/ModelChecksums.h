#pragma once
// The simulated adapter's own checksums: the CRC-16 it checks payloads and answers
// CheckBlock with, and the 8-bit sum of a record. Deliberately not protocol/Checksums:
// an independent model must not share the engine's checksum code, or a wrong CRC on
// the host side would be computed the same wrong way here and no test would see it.
// Internal to sim/.
#include <cstddef>
#include <cstdint>

namespace korbex::sim::detail {

// CRC-16/MODBUS, 256-entry table: a different construction from the host's bitwise one.
struct CrcTable {
  std::uint16_t entry[256];
  constexpr CrcTable() : entry() {
    for (unsigned i = 0; i < 256; ++i) {
      std::uint16_t c = static_cast<std::uint16_t>(i);
      for (int k = 0; k < 8; ++k) c = static_cast<std::uint16_t>((c & 1u) ? (c >> 1) ^ 0xA001u : c >> 1);
      entry[i] = c;
    }
  }
};
inline constexpr CrcTable kCrc;

inline std::uint16_t Crc16Step(std::uint16_t crc, std::uint8_t b) {
  return static_cast<std::uint16_t>((crc >> 8) ^ kCrc.entry[(crc ^ b) & 0xFFu]);
}

inline std::uint16_t Crc16(const std::uint8_t* p, std::size_t n) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) crc = Crc16Step(crc, p[i]);
  return crc;
}

inline std::uint8_t Sum8(const std::uint8_t* p, std::size_t n) {
  unsigned s = 0;
  for (std::size_t i = 0; i < n; ++i) s += p[i];
  return static_cast<std::uint8_t>(s);
}

}  // namespace korbex::sim::detail
