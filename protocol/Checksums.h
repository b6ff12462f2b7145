#pragma once
// The two checksums of the loader protocol. Pure functions, no state, no allocation.
#include <cstdint>

namespace korbex {

// CRC-16/MODBUS (poly 0xA001 reflected, init 0xFFFF, no final XOR), bit by bit with
// a two-entry table so nothing has to be built or stored. Returns 0xFFFF when
// count <= 0. Check value: "123456789" -> 0x4B37.
std::uint16_t PayloadCrc16(const std::uint8_t* bytes, std::int32_t count);

// Sum of the bytes modulo 256; 0 for no bytes. Check value: "123456789" -> 0xDD.
std::uint8_t ByteSum8(const std::uint8_t* bytes, std::uint16_t count);

}  // namespace korbex
