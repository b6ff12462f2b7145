#pragma once
// Builds firmware files of our own from parts: for tests, the demo, the benchmark
// and the fuzz seeds. Never a vendor file.
#include <cstdint>
#include <vector>

namespace korbex::sim {

struct SectionSpec {
  std::uint16_t version = 1;
  std::uint16_t beta = 0;
  std::uint32_t loadAddress = 0;
  std::uint32_t pid = 0x4B50;
  std::uint8_t fileMark = 0xE1;
  std::vector<std::uint8_t> data;
  // When set, written into the header instead of data.size() (to make bad files).
  bool overrideLength = false;
  std::uint32_t length = 0;
};

// Header bytes for one section (28 bytes, little-endian fields).
std::vector<std::uint8_t> EncodeHeader(const SectionSpec& s);

// The sections one after another, each header followed by its data.
std::vector<std::uint8_t> BuildFirmwareFile(const std::vector<SectionSpec>& sections);

// Deterministic pseudo-random bytes (a seed per section keeps blocks distinct).
std::vector<std::uint8_t> PatternBytes(std::size_t count, std::uint32_t seed);

// A typical three-section file: section 1 of s1 bytes (loader part included),
// section 2 of s2 bytes at load address a2, section 3 of s3 bytes at a3.
std::vector<std::uint8_t> MakeStandardFile(std::uint32_t s1, std::uint32_t s2, std::uint32_t s3,
                                           std::uint32_t a2 = 0x40000, std::uint32_t a3 = 0x1000,
                                           std::uint32_t seed = 1);

}  // namespace korbex::sim
