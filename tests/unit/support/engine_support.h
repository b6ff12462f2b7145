#pragma once
// Test helpers for the protocol, the version query and the update engine: a channel
// that plays back scripted replies and keeps every report written, a listener that
// records what the engine tells its front end, an in-memory log file, and a rig that
// runs the engine against the simulated adapter.
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hid/DeviceFamily.h"
#include "hid/ReportChannel.h"
#include "protocol/BootProtocol.h"
#include "sim/FirmwareFixture.h"
#include "sim/SimulatedAdapter.h"
#include "text/OperationLog.h"
#include "update/FirmwareImage.h"
#include "update/UpdateEngine.h"

namespace korbex::test {

using Bytes = std::vector<std::uint8_t>;
using Reply64 = std::array<std::uint8_t, 64>;

// A reply of the loader: 00 05, status, echo code, echo address at 14, data from 18.
Reply64 LoaderReply(std::uint16_t echoCode, std::uint16_t status = 0, std::uint32_t echoAddress = 0,
                    const Bytes& data = {});

// A channel whose reads play back a script (a timed-out read once the script is
// spent) and whose writes are kept as they reach the wire (report id first).
class ScriptedChannel final : public ReportChannel {
 public:
  struct Read {
    std::uint32_t status = kReadOk;
    Reply64 data{};
  };
  explicit ScriptedChannel(Clock* clock = nullptr) : clock_(clock) {}

  void QueueReply(const Reply64& data) { script.push_back({kReadOk, data}); }
  void QueueFailure(std::uint32_t status = kReadTimeout) { script.push_back({status, {}}); }

  std::deque<Read> script;
  std::vector<Bytes> writes;
  int readCalls = 0;
  int writeResult = 1;  // what WriteRaw returns
  bool open = true;
  // Called after each write (the bytes as on the wire); may queue replies.
  std::function<void(const Bytes&)> onWrite;

 protected:
  int WriteRaw(const std::uint8_t* bytes, std::size_t count) override;
  std::uint32_t ReadRaw(std::uint8_t (&report)[kReportSize]) override;
  bool IsReadOpen() const override { return open; }
  bool IsWriteOpen() const override { return open; }

 private:
  Clock* clock_;  // failed reads cost the 200 ms read time-out on it
};

// An OutputFile that keeps its bytes in memory (shared, so they outlive the log's close).
struct MemoryOutputFile final : OutputFile {
  explicit MemoryOutputFile(std::shared_ptr<Bytes> sink) : bytes(std::move(sink)) {}
  bool Write(const void* data, std::size_t size) override;
  std::shared_ptr<Bytes> bytes;
};

// What the engine told its front end, in order ("button:0", "progress:49",
// "confirm:firmware V2.16", "message:Updated successful!", "label").
class RecordingListener final : public UpdateListener {
 public:
  void EnableUpdateButton(bool enabled) override;
  void SetProgress(std::uint32_t position) override;
  bool ConfirmFirmware(std::u16string_view text) override;
  void ShowMessage(std::u16string_view text) override;
  void ShowResultLabel() override;
  std::uint16_t UiLanguage() override { return language; }
  void OnUpdateEvent(const UpdateEvent& e) override { events.push_back(e); }

  std::vector<std::string> calls;
  std::vector<std::uint32_t> progress;
  std::vector<std::u16string> messages;
  std::vector<UpdateEvent> events;
  bool confirmAnswer = true;
  std::uint16_t language = 1033;
  // Called from ConfirmFirmware (e.g. to request a stop while the box is up) and
  // after each progress position.
  std::function<void()> onConfirm;
  std::function<void(std::uint32_t)> onProgress;

  const UpdateEvent* Ended() const;
  int Count(UpdateEvent::Kind kind) const;
};

// The engine against a simulated adapter on a virtual clock.
struct SimRig {
  explicit SimRig(sim::AdapterConfig config, Bytes file);

  // Opens the file, reads header 1 as the update command does and runs the worker.
  UpdateEnding Run();
  // True when the adapter's committed flash holds every block the written set covers
  // (4096 bytes each, 0xFF past the end of the file) as the file has it.
  bool FlashMatchesFile(WrittenSet set) const;
  // Commands the adapter received as (code, value, address), boot commands only,
  // records as (0x0B, index, 0).
  struct Sent {
    std::uint16_t code;
    std::uint32_t value;
    std::uint32_t address;
    bool operator==(const Sent&) const = default;
  };
  std::vector<Sent> SentCommands() const;
  std::u16string LogText() const;  // the log's UTF-16 after its byte-order mark

  Bytes file;
  VirtualClock clock;
  std::unique_ptr<sim::AdapterModel> model;
  std::unique_ptr<sim::SimulatedChannel> channel;
  std::unique_ptr<BootLink> link;
  FirmwareImage image;
  OperationLog log;
  std::shared_ptr<Bytes> logBytes = std::make_shared<Bytes>();
  RecordingListener listener;
  UpdateSession session;
  DeviceFamily family;
  FirmwareHeaders headers;
  std::atomic<bool> stop{false};
  std::unique_ptr<UpdateContext> ctx;
};

// A flash image holding the given blocks (0xFF elsewhere), for AdapterConfig::initialFlash.
Bytes FlashWith(const std::vector<std::pair<std::uint32_t, Bytes>>& blocks);

// The blocks of a written set as the engine sends them, for comparing with flash:
// (device address, 4096 bytes).
std::vector<std::pair<std::uint32_t, Bytes>> ExpectedBlocks(const Bytes& file, WrittenSet set,
                                                            std::uint32_t loaderSize);

}  // namespace korbex::test
