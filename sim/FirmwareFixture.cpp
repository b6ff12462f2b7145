#include "sim/FirmwareFixture.h"

namespace korbex::sim {
namespace {
void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
}  // namespace

std::vector<std::uint8_t> EncodeHeader(const SectionSpec& s) {
  std::vector<std::uint8_t> h(28, 0);
  Put16(h, 0, s.version);
  Put16(h, 2, s.beta);
  Put32(h, 4, s.loadAddress);
  Put32(h, 8, s.overrideLength ? s.length : static_cast<std::uint32_t>(s.data.size()));
  Put32(h, 12, s.pid);
  h[20] = s.fileMark;
  return h;
}

std::vector<std::uint8_t> BuildFirmwareFile(const std::vector<SectionSpec>& sections) {
  std::vector<std::uint8_t> file;
  for (const auto& s : sections) {
    auto h = EncodeHeader(s);
    file.insert(file.end(), h.begin(), h.end());
    file.insert(file.end(), s.data.begin(), s.data.end());
  }
  return file;
}

std::vector<std::uint8_t> PatternBytes(std::size_t count, std::uint32_t seed) {
  std::vector<std::uint8_t> out(count);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return out;
}

std::vector<std::uint8_t> MakeStandardFile(std::uint32_t s1, std::uint32_t s2, std::uint32_t s3, std::uint32_t a2,
                                           std::uint32_t a3, std::uint32_t seed) {
  SectionSpec one, two, three;
  one.version = 2;
  one.data = PatternBytes(s1, seed);
  two.version = 16;
  two.loadAddress = a2;
  two.data = PatternBytes(s2, seed + 1);
  three.version = 0x21;
  three.loadAddress = a3;
  three.data = PatternBytes(s3, seed + 2);
  return BuildFirmwareFile({one, two, three});
}

}  // namespace korbex::sim
