// Writes the seed corpora of the fuzz targets into OUT/<target>/: firmware files built
// with the fixture (valid ones and near misses: each refusal the checks know), and
// fault scripts for the engine target.
//   korbex-fuzz-seeds OUT
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "EngineFuzzInput.h"
#include "sim/FirmwareFixture.h"

namespace {

using korbex::sim::BuildFirmwareFile;
using korbex::sim::MakeStandardFile;
using korbex::sim::PatternBytes;
using korbex::sim::SectionSpec;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

bool Save(const fs::path& dir, const std::string& name, const Bytes& bytes) {
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::vector<SectionSpec> Sections(std::uint32_t s1, std::uint32_t s2, std::uint32_t s3, std::uint32_t a2,
                                  std::uint32_t a3) {
  SectionSpec one, two, three;
  one.version = 2;
  one.data = PatternBytes(s1, 11);
  two.version = 16;
  two.loadAddress = a2;
  two.data = PatternBytes(s2, 12);
  three.version = 0x21;
  three.loadAddress = a3;
  three.data = PatternBytes(s3, 13);
  return {one, two, three};
}

void FileSeeds(const fs::path& dir, bool& ok) {
  auto save = [&](const std::string& name, const Bytes& b) { ok = Save(dir, name, b) && ok; };
  // The engine's harness reads its run setup from the unused header bytes 16..19
  // (see FileRunOracle.h); seeds vary them so both families and sets are reached.
  auto withSetup = [](Bytes b, std::uint8_t setup) {
    if (b.size() > 16) b[16] = setup;
    return b;
  };
  const Bytes standard = MakeStandardFile(4096 + 2 * 4096 + 100, 4096 + 5, 2 * 4096 + 10);
  for (std::uint8_t setup = 0; setup < 8; ++setup)
    save("standard-" + std::to_string(setup), withSetup(standard, setup));
  save("aligned", BuildFirmwareFile(Sections(3 * 4096, 2 * 4096, 4096 + 16, 0x20000, 0x3000)));
  save("one-block-head", BuildFirmwareFile(Sections(4096 + 300, 0, 50, 0x40000, 0x1000)));
  save("unaligned-address", BuildFirmwareFile(Sections(5000, 3000, 7000, 0x40001, 0x1003)));
  save("tail-garbage", [] {
    Bytes b = MakeStandardFile(6000, 100, 200);
    Bytes tail = PatternBytes(3000, 99);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
  }());
  save("section1-only", BuildFirmwareFile({Sections(9000, 0, 0, 0, 0)[0]}));
  save("two-sections",
       BuildFirmwareFile({Sections(9000, 800, 0, 0x40000, 0)[0], Sections(9000, 800, 0, 0x40000, 0)[1]}));
  {
    auto s = Sections(4096 + 500, 600, 700, 0x40000, 0x1000);
    s[2].fileMark = 0xE0;
    save("mark-low", BuildFirmwareFile(s));
    s[2].fileMark = 0xFF;
    s[0].pid = 0x4B51;
    save("pid-wrong", BuildFirmwareFile(s));
    s[0].pid = 0x4B50;
    s[1].overrideLength = true;
    s[1].length = 0xFFFFFFF0u;
    save("length-wraps", BuildFirmwareFile(s));
    s[1].overrideLength = false;
    s[2].overrideLength = true;
    s[2].length = 701;
    save("truncated", BuildFirmwareFile(s));
  }
  save("empty-sections", BuildFirmwareFile(Sections(0, 0, 0, 0, 0)));
  save("short-header", Bytes(standard.begin(), standard.begin() + 20));
}

// One engine script: setup bytes, then op bytes (see EngineFuzzInput.h).
Bytes Script(std::uint8_t setup, std::uint8_t variant, std::initializer_list<std::uint8_t> ops = {}) {
  Bytes b{setup, variant};
  b.insert(b.end(), ops.begin(), ops.end());
  return b;
}

void EngineSeeds(const fs::path& dir, bool& ok) {
  using namespace korbex::fuzzinput;
  auto save = [&](const std::string& name, const Bytes& b) { ok = Save(dir, name, b) && ok; };
  // Clean runs over every setup the first two bytes can choose.
  for (int set = 0; set < 2; ++set)
    for (int family = 0; family < 2; ++family)
      for (int flash = 0; flash < 4; ++flash)
        for (int loader = 0; loader < 4; ++loader) {
          const auto setup = static_cast<std::uint8_t>(set | family << 1 | flash << 2 | loader << 4);
          save("clean-" + std::to_string(setup), Script(setup, static_cast<std::uint8_t>(flash)));
        }
  save("odd-erase-unit", Script(0xC0, 0x40));
  save("cancel", Script(0, 4));
  save("not-staged", Script(0, 8));
  // Faults early in the run, one kind each, then faithful.
  save("drop-replies", Script(0, 0, {0, 0, 0, kReadDrop, 0, kReadDrop, 0, kReadDrop, 0, kReadDrop}));
  save("lose-writes", Script(0, 0, {kWriteLose, 0, 0, 0, kWriteLose, 0, kWriteLose, 0}));
  save("fail-writes", Script(0, 0, {0, 0, kWriteFail, 0, kWriteFail, 0}));
  save("corrupt-write", Script(0, 0, {0, 0, 0, 0, kWriteCorrupt, 20, 0x01, 0, kWriteCorrupt, 2, 0x80, 0}));
  // QueryLoader's code turned into CheckBlock on the way to the adapter.
  save("corrupt-command-code", Script(0x2D, 0xE3, {kWriteCorrupt, 2, 0x02, 0xA2, 0x02}));
  save("mutate-reply", Script(0, 0, {0, 0, 0, kReadMutate, 5, 0x01, 0, kReadMutate, 18, 0xFF}));
  save("duplicate-reply", Script(0, 0, {0, 0, 0, kReadDuplicate, 0, kReadDuplicate, 0, kReadDuplicate}));
  save("read-errors", Script(0, 0, {0, 0, 0, kReadError, 0, kReadError}));
  save("silent-early", Script(0, 0, {0, 0, 0, 0, 0, 0, 0, 0, kWriteSilent}));
  save("gone-early", Script(0, 0, {0, 0, 0, 0, 0, 0, 0, 0, kReadGone}));
  save("stop-early", Script(0, 0, {0, 0, 0, 0, 0, 0, kWriteStop}));
  {
    Bytes replace = Script(0, 0, {0, 0, 0, kReadReplace});
    Bytes ack(64, 0);
    ack[1] = 5;
    ack[4] = 0xC3;
    replace.insert(replace.end(), ack.begin(), ack.end());
    save("replace-reply", replace);
  }
  // Faults deep in the run: many faithful calls first.
  {
    Bytes deep = Script(0, 0);
    deep.insert(deep.end(), 400, 0);
    deep.push_back(kWriteSilent);
    save("silent-deep", deep);
    deep.back() = kWriteStop;
    save("stop-deep", deep);
    deep.back() = kReadDrop;
    for (int i = 0; i < 30; ++i) deep.push_back(kReadDrop);
    save("drops-deep", deep);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: korbex-fuzz-seeds OUT\n");
    return 2;
  }
  const fs::path out = argv[1];
  bool ok = true;
  const fs::path files = out / "fuzz_firmware_file", engine = out / "fuzz_update_engine";
  fs::create_directories(files);
  fs::create_directories(engine);
  FileSeeds(files, ok);
  EngineSeeds(engine, ok);
  if (!ok) {
    std::fprintf(stderr, "korbex-fuzz-seeds: could not write the seeds under %s\n", out.string().c_str());
    return 1;
  }
  return 0;
}
