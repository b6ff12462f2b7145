// The simulated adapter as a small WebAssembly module for the page's tests: the fake
// navigator.hid in tests/web/fake-hid.js drives an AdapterModel through these C
// exports. Test code only; it never goes into the shipped site.
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hid/DeviceFamily.h"
#include "sim/AdapterModel.h"
#include "sim/FirmwareFixture.h"
#include "sim/SimulateOptions.h"
#include "update/FirmwareImage.h"

using namespace korbex;

namespace {

struct Adapter {
  std::unique_ptr<sim::AdapterModel> model;
  sim::SimulateOptions options;
};

std::map<int, Adapter> adapters;
int nextHandle = 1;
std::string lastError;

sim::AdapterModel* Find(int handle) {
  const auto it = adapters.find(handle);
  return it == adapters.end() ? nullptr : it->second.model.get();
}

// The set of sections an update writes to this adapter: section 3 alone for a
// TwoStage adapter reporting a single-number version, else sections 1 and 2.
WrittenSet SetFor(const sim::AdapterConfig& c) {
  const bool twoStage =
      DecideFamily(c.vendorId, c.productId, kStateNoSighting, false).flag == FamilyFlag::TwoStage;
  return twoStage && c.singleNumberVersion ? WrittenSet::Section3 : WrittenSet::Sections1And2;
}

}  // namespace

extern "C" {

// Creates an adapter from the settings korbex-update --simulate takes (KEY=VALUE,…).
// Returns its handle, or 0 with sim_last_error() saying why.
EMSCRIPTEN_KEEPALIVE int sim_create(const char* settings) {
  sim::SimulateOptions options;
  if (!sim::ParseSimulateOptions(settings ? settings : "", options, lastError)) return 0;
  try {
    auto model = std::make_unique<sim::AdapterModel>(options.adapter);
    const int handle = nextHandle++;
    adapters[handle] = Adapter{std::move(model), std::move(options)};
    return handle;
  } catch (const std::exception& e) {
    lastError = e.what();
    return 0;
  }
}

EMSCRIPTEN_KEEPALIVE const char* sim_last_error() { return lastError.c_str(); }

EMSCRIPTEN_KEEPALIVE void sim_destroy(int handle) { adapters.erase(handle); }

// The latency-ms setting, for the transport that delivers replies.
EMSCRIPTEN_KEEPALIVE int sim_latency_ms(int handle) {
  const auto it = adapters.find(handle);
  return it == adapters.end() ? -1 : static_cast<int>(it->second.options.link.latencyMs);
}

// One output report, report id first (65 bytes for a 64-byte report). readyAt is the
// transport's own time stamp for its replies (carried through untouched).
EMSCRIPTEN_KEEPALIVE void sim_handle_output(int handle, const std::uint8_t* bytes, int count, double readyAt) {
  if (auto* m = Find(handle)) m->HandleOutputReport(bytes, static_cast<std::size_t>(count), static_cast<std::uint64_t>(readyAt));
}

// The ready time of the next queued input report, or -1 when none is queued.
EMSCRIPTEN_KEEPALIVE double sim_next_ready(int handle) {
  std::uint64_t at = 0;
  auto* m = Find(handle);
  return m && m->NextReplyReadyAt(at) ? static_cast<double>(at) : -1.0;
}

// Takes the next input report (65 bytes, report id first) into out; 0 when none.
EMSCRIPTEN_KEEPALIVE int sim_pop_input(int handle, std::uint8_t* out) {
  auto* m = Find(handle);
  if (!m) return 0;
  std::uint8_t report[kReportSize];
  if (!m->PopInputReport(report)) return 0;
  std::memcpy(out, report, kReportSize);
  return 1;
}

EMSCRIPTEN_KEEPALIVE int sim_disconnected(int handle) {
  auto* m = Find(handle);
  return !m || m->Disconnected();
}

EMSCRIPTEN_KEEPALIVE int sim_product_id(int handle) {
  auto* m = Find(handle);
  return m ? m->CurrentProductId() : 0;
}

EMSCRIPTEN_KEEPALIVE int sim_restarts(int handle) {
  auto* m = Find(handle);
  return m ? static_cast<int>(m->Restarts()) : 0;
}

EMSCRIPTEN_KEEPALIVE int sim_replug(int handle) {
  auto* m = Find(handle);
  return m && m->Replug();
}

// What the adapter received, by command, into out[11]: exchanges, erases,
// dataPackets, records, checks, saveHeads, imageInfos, finishes, queries,
// versionRequests, naks.
EMSCRIPTEN_KEEPALIVE void sim_stats(int handle, std::uint32_t* out) {
  auto* m = Find(handle);
  const sim::AdapterStats s = m ? m->StatsSnapshot() : sim::AdapterStats{};
  const std::uint32_t v[] = {s.exchanges, s.erases, s.dataPackets, s.records,        s.checks, s.saveHeads,
                             s.imageInfos, s.finishes, s.queries,  s.versionRequests, s.naks};
  std::memcpy(out, v, sizeof v);
}

EMSCRIPTEN_KEEPALIVE void sim_read_flash(int handle, std::uint32_t address, std::uint32_t count, std::uint8_t* out) {
  auto* m = Find(handle);
  if (!m) return;
  const auto bytes = m->ReadFlash(address, count);
  std::memcpy(out, bytes.data(), bytes.size());
}

// Whether the adapter's flash holds every block an update writes from this file
// (the blocks of its written set, the loader's leading bytes left out, bytes past
// the end of the file as 0xFF): 1 yes, 0 no, -1 when the file has nothing the
// adapter could be given.
EMSCRIPTEN_KEEPALIVE int sim_flash_holds_file(int handle, const std::uint8_t* file, int count) {
  auto* m = Find(handle);
  if (!m || !file || count <= 0) return -1;
  FirmwareImage image;
  if (!image.Open(std::make_unique<MemoryFirmwareSource>(std::vector<std::uint8_t>(file, file + count)))) return -1;
  FirmwareHeaders h;
  h.h1Read = image.Read(0, h.h1.bytes, kHeaderSize);
  ReadSectionHeaders(image, h);
  WritePlan plan;
  if (!PlanWrite(h, SetFor(m->Config()), m->Config().loaderSize, plan).ok()) return -1;
  std::vector<std::uint8_t> expected(kBlockSize);
  for (int s = 0; s < plan.count; ++s) {
    const SectionPlan& p = plan.plans[s];
    for (std::uint32_t b = 0; b < BlockCount(p.writtenLength, kBlockSize); ++b) {
      image.ReadPadded(p.firstSentOffset + b * kBlockSize, expected.data(), kBlockSize);
      if (m->ReadFlash(p.firstAddress + b * kBlockSize, kBlockSize) != expected) return 0;
    }
  }
  return 1;
}

// A generated three-section firmware file (the same maker as korbex-update
// make-demo-firmware): a malloc'd buffer the caller frees, its size in *size.
EMSCRIPTEN_KEEPALIVE std::uint8_t* sim_make_file(std::uint32_t s1, std::uint32_t s2, std::uint32_t s3,
                                                 std::uint32_t seed, std::uint32_t* size) {
  const auto bytes = sim::MakeStandardFile(s1, s2, s3, 0x40000, 0x1000, seed);
  auto* out = static_cast<std::uint8_t*>(std::malloc(bytes.size()));
  std::memcpy(out, bytes.data(), bytes.size());
  *size = static_cast<std::uint32_t>(bytes.size());
  return out;
}

}  // extern "C"
