#pragma once
// Report bytes for driving the simulated adapter in tests, written out from the loader's
// report tables (not with the host's builders), so the model is checked against the
// tables and not against the code it is meant to catch.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "sim/SimulatedAdapter.h"

namespace korbex::sim::testing {

using Bytes = std::vector<std::uint8_t>;
using Report = std::array<std::uint8_t, 65>;  // report id 0, then the 64 report bytes

// CRC-16/MODBUS bit by bit, written out once more for the tests.
inline std::uint16_t RefCrc(const std::uint8_t* p, std::size_t n) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}
inline std::uint16_t RefCrc(const Bytes& b) { return RefCrc(b.data(), b.size()); }

inline void Le(std::uint8_t* p, std::uint32_t v, int width) {
  for (int i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// CommandReport: kind 5, code u16 @1, flags u16 @3, payloadLength u16 @5, payloadCrc
// u16 @7, value u32 @9, address u32 @13, payload @17 (offsets after the report id).
inline Report Command(std::uint16_t code, std::uint32_t value, std::uint32_t address, const Bytes& payload = {},
                      std::uint16_t crc = 0) {
  Report r{};
  std::uint8_t* d = r.data() + 1;
  d[0] = 5;
  Le(d + 1, code, 2);
  Le(d + 5, static_cast<std::uint32_t>(payload.size()), 2);
  Le(d + 7, crc, 2);
  Le(d + 9, value, 4);
  Le(d + 13, address, 4);
  std::copy(payload.begin(), payload.end(), d + 17);
  return r;
}
inline Report QueryLoader() { return Command(0xC1, 0, 0); }
inline Report CheckBlock(std::uint32_t address) {
  Bytes p(12, 0);
  Le(p.data(), address, 4);
  Le(p.data() + 4, 4096, 4);
  return Command(0xC3, 4096, address, p);
}
inline Report Erase(std::uint32_t address, std::uint32_t length = 4096) {
  return Command(0x04, length, address, {}, 0xFFFF);
}
inline Report WriteData(std::uint32_t address, const std::uint8_t* bytes, std::size_t n, std::uint32_t value = 4096) {
  Bytes p(bytes, bytes + n);
  return Command(0x03, value, address, p, RefCrc(p));
}
inline Report WriteData(std::uint32_t address, const Bytes& data) {
  return WriteData(address, data.data(), data.size());
}
// RecordReport: 5, 0x0B, index, sum, 60 bytes.
inline Report Record(std::uint8_t index, const std::uint8_t* bytes) {
  Report r{};
  std::uint8_t* d = r.data() + 1;
  d[0] = 5;
  d[1] = 0x0B;
  d[2] = index;
  unsigned sum = 0;
  for (int i = 0; i < 60; ++i) sum += bytes[i];
  d[3] = static_cast<std::uint8_t>(sum);
  std::copy(bytes, bytes + 60, d + 4);
  return r;
}
inline Report Record(std::uint8_t index, const Bytes& bytes) { return Record(index, bytes.data()); }
inline Report VersionRequest() {
  Report r{};
  r[1] = 0x05;
  r[2] = 0x21;
  return r;
}

// One reply: the 64 data bytes after the input report id.
struct Reply {
  std::array<std::uint8_t, 64> d;
  std::uint16_t Status() const { return static_cast<std::uint16_t>(d[2] | d[3] << 8); }
  std::uint16_t Echo() const { return static_cast<std::uint16_t>(d[4] | d[5] << 8); }
  std::uint32_t EchoAddress() const {
    return d[14] | d[15] << 8 | d[16] << 16 | static_cast<std::uint32_t>(d[17]) << 24;
  }
  std::uint16_t Crc() const { return static_cast<std::uint16_t>(d[18] | d[19] << 8); }
  bool Ack(std::uint16_t code) const { return d[0] == 0 && d[1] == 5 && Status() == 0 && Echo() == code; }
};

// Hands one report to the model and takes every reply it queued.
inline std::vector<Reply> Send(AdapterModel& m, const Report& r, std::size_t count = 65) {
  m.HandleOutputReport(r.data(), count);
  std::vector<Reply> replies;
  std::uint8_t in[65];
  while (m.PopInputReport(in)) {
    EXPECT_EQ(in[0], 0) << "input report id";
    Reply rep;
    std::copy(in + 1, in + 65, rep.d.begin());
    replies.push_back(rep);
  }
  return replies;
}

}  // namespace korbex::sim::testing
