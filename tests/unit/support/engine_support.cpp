#include "support/engine_support.h"

#include <algorithm>
#include <cstring>

#include "text/Texts.h"

namespace korbex::test {
namespace {

std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

Reply64 LoaderReply(std::uint16_t echoCode, std::uint16_t status, std::uint32_t echoAddress, const Bytes& data) {
  Reply64 r{};
  r[1] = 5;
  r[2] = static_cast<std::uint8_t>(status);
  r[3] = static_cast<std::uint8_t>(status >> 8);
  r[4] = static_cast<std::uint8_t>(echoCode);
  r[5] = static_cast<std::uint8_t>(echoCode >> 8);
  for (int i = 0; i < 4; ++i) r[14 + i] = static_cast<std::uint8_t>(echoAddress >> (8 * i));
  std::copy_n(data.begin(), std::min<std::size_t>(data.size(), 46), r.begin() + 18);
  return r;
}

int ScriptedChannel::WriteRaw(const std::uint8_t* bytes, std::size_t count) {
  writes.emplace_back(bytes, bytes + count);
  if (onWrite) onWrite(writes.back());
  return writeResult;
}

std::uint32_t ScriptedChannel::ReadRaw(std::uint8_t (&report)[kReportSize]) {
  ++readCalls;
  Read next{kReadTimeout, {}};
  if (!script.empty()) {
    next = script.front();
    script.pop_front();
  }
  if (next.status != kReadOk) {
    if (clock_ != nullptr && next.status == kReadTimeout) clock_->SleepMs(200);
    return next.status;
  }
  report[0] = 0;
  std::copy(next.data.begin(), next.data.end(), report + 1);
  return kReadOk;
}

bool MemoryOutputFile::Write(const void* data, std::size_t size) {
  auto p = static_cast<const std::uint8_t*>(data);
  bytes->insert(bytes->end(), p, p + size);
  return true;
}

void RecordingListener::EnableUpdateButton(bool enabled) { calls.push_back(enabled ? "button:1" : "button:0"); }

void RecordingListener::SetProgress(std::uint32_t position) {
  progress.push_back(position);
  calls.push_back("progress:" + std::to_string(position));
  if (onProgress) onProgress(position);
}

bool RecordingListener::ConfirmFirmware(std::u16string_view text) {
  calls.push_back("confirm:" + ToUtf8(text));
  if (onConfirm) onConfirm();
  return confirmAnswer;
}

void RecordingListener::ShowMessage(std::u16string_view text) {
  messages.emplace_back(text);
  calls.push_back("message:" + ToUtf8(text));
}

void RecordingListener::ShowResultLabel() { calls.push_back("label"); }

const UpdateEvent* RecordingListener::Ended() const {
  for (const auto& e : events) {
    if (e.kind == UpdateEvent::Kind::Ended) return &e;
  }
  return nullptr;
}

int RecordingListener::Count(UpdateEvent::Kind kind) const {
  return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const auto& e) { return e.kind == kind; }));
}

SimRig::SimRig(sim::AdapterConfig config, Bytes fileBytes) : file(std::move(fileBytes)) {
  model = std::make_unique<sim::AdapterModel>(std::move(config));
  channel = std::make_unique<sim::SimulatedChannel>(*model, clock);
  channel->EnableTrace(true);
  link = std::make_unique<BootLink>(*channel, clock);
  family.FlashLoader = model->Config().productId == kProductFlashLoader;
  family.TwoStage = model->Config().productId == kProductTwoStage;
  log.Create(std::make_unique<MemoryOutputFile>(logBytes));
  ctx = std::make_unique<UpdateContext>(UpdateContext{*link, image, log, listener, session, family, headers, &stop});
}

UpdateEnding SimRig::Run() {
  image.Open(std::make_unique<MemoryFirmwareSource>(file));
  headers.h1Read = image.Read(0, headers.h1.bytes, kHeaderSize);
  return FlashUpdateThread(*ctx);
}

std::vector<std::pair<std::uint32_t, Bytes>> ExpectedBlocks(const Bytes& file, WrittenSet set,
                                                            std::uint32_t loaderSize) {
  FirmwareImage image;
  image.Open(std::make_unique<MemoryFirmwareSource>(file));
  FirmwareHeaders h;
  h.h1Read = image.Read(0, h.h1.bytes, kHeaderSize);
  ReadSectionHeaders(image, h);
  WritePlan plan;
  std::vector<std::pair<std::uint32_t, Bytes>> out;
  if (!PlanWrite(h, set, loaderSize, plan).ok()) return out;
  for (int s = 0; s < plan.count; ++s) {
    const SectionPlan& p = plan.plans[s];
    for (std::uint32_t b = 0; b < BlockCount(p.writtenLength, kBlockSize); ++b) {
      Bytes block(kBlockSize);
      image.ReadPadded(p.firstSentOffset + b * kBlockSize, block.data(), kBlockSize);
      out.emplace_back(p.firstAddress + b * kBlockSize, std::move(block));
    }
  }
  return out;
}

Bytes FlashWith(const std::vector<std::pair<std::uint32_t, Bytes>>& blocks) {
  std::size_t size = 0;
  for (const auto& [address, bytes] : blocks) size = std::max<std::size_t>(size, address + bytes.size());
  Bytes flash(size, 0xFF);
  for (const auto& [address, bytes] : blocks) std::copy(bytes.begin(), bytes.end(), flash.begin() + address);
  return flash;
}

bool SimRig::FlashMatchesFile(WrittenSet set) const {
  const auto blocks = ExpectedBlocks(file, set, model->Config().loaderSize);
  if (blocks.empty()) return false;
  for (const auto& [address, bytes] : blocks) {
    if (model->ReadFlash(address, kBlockSize) != bytes) return false;
  }
  return true;
}

std::vector<SimRig::Sent> SimRig::SentCommands() const {
  std::vector<Sent> out;
  for (const auto& t : channel->Trace()) {
    if (t.kind != sim::TraceEntry::Kind::Write || t.bytes.size() < 18) continue;
    const std::uint8_t* d = t.bytes.data() + 1;  // after the report id
    if (d[0] != 5) continue;
    if (d[1] == 0x0B) {
      out.push_back({0x0B, d[2], 0});
      continue;
    }
    const std::uint16_t code = static_cast<std::uint16_t>(d[1] | d[2] << 8);
    if (code == 0x21 || code == 0x1D00) continue;  // version request, short command
    out.push_back({code, Get32(d + 9), Get32(d + 13)});
  }
  return out;
}

std::u16string SimRig::LogText() const {
  std::u16string text;
  for (std::size_t i = 2; i + 1 < logBytes->size(); i += 2) {
    text += static_cast<char16_t>((*logBytes)[i] | (*logBytes)[i + 1] << 8);
  }
  return text;
}

}  // namespace korbex::test
