// Fuzzes the update engine's handling of the adapter's replies. The adapter is the
// simulated one, so its flash is known; between it and the engine sits FuzzChannel,
// where the fuzz bytes decide for every write and every read what happens on the way:
// delivered, lost, failed, corrupted, replaced, repeated, or the device going silent
// or away for good. What must hold for any input:
//  - the run ends within a bound derived from the engine's own read and resend
//    budgets (counted in channel calls and in virtual time);
//  - success only when every block of the written set is in the adapter's flash;
//  - nothing erased or written after a cancel; no erase of other than 4096 bytes;
//  - after a stop request no further report is sent.
//
// The adversary may do anything but lie about the flash: a forged or repeated
// CheckBlock acknowledgement never claims the file's CRC for a block (it would claim
// "equal" for whatever the flash holds, and no host can see through that), and a
// forged QueryLoader reply keeps the loader size the adapter really has (the file's
// bytes would land elsewhere, consistently, and the engine could not know). Every
// reply the adapter queues is taken by the next read, whatever that read does with
// it, so a faithful reply always answers the report just sent.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "EngineFuzzInput.h"
#include "FuzzCheck.h"
#include "Harness.h"
#include "hid/DeviceFamily.h"
#include "sim/FirmwareFixture.h"

namespace {

using namespace korbex;
using namespace korbex::fuzzinput;

// Reads the fuzz bytes front to back; 0 once they are spent (0 = faithful).
class OpStream {
 public:
  OpStream(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct BlockCrc {
  std::uint32_t address;
  std::uint16_t crc;
};

// A status no backend uses for a time-out or a closed channel: the device failed the read.
constexpr std::uint32_t kDeviceError = 31;

class FuzzChannel final : public ReportChannel {
 public:
  FuzzChannel(sim::AdapterModel& model, VirtualClock& clock, OpStream& ops, std::atomic<bool>& stop,
              std::vector<BlockCrc> fileCrcs, std::uint32_t loaderSize, std::uint64_t callCap)
      : model_(model),
        clock_(clock),
        ops_(ops),
        stop_(stop),
        fileCrcs_(std::move(fileCrcs)),
        loaderSize_(loaderSize),
        callCap_(callCap) {}

  std::uint64_t writes = 0, reads = 0, writesAfterStop = 0;
  // What the engine sent (before anything on the way changed it): the adapter's own
  // counts would include reports a corruption turned into another command.
  std::uint64_t erasesSent = 0, piecesSent = 0, checksSent = 0;

 protected:
  int WriteRaw(const std::uint8_t* bytes, std::size_t count) override {
    Count();
    ++writes;
    if (stop_) ++writesAfterStop;
    std::uint64_t readyAt;
    // Every reply was taken by a read before the next report: so a faithful reply
    // is always the answer to the report just sent.
    FUZZ_CHECK(!model_.NextReplyReadyAt(readyAt));
    // The only erase unit the sequence is sound for; checked before anything on the
    // way can change the report.
    if (count >= 14 && bytes[1] == kReportKind) {
      const std::uint16_t code = bytes[2] == static_cast<std::uint8_t>(BootCommand::WriteRecord)
                                     ? static_cast<std::uint16_t>(BootCommand::WriteRecord)
                                     : Get16(bytes + 2);
      switch (static_cast<BootCommand>(code)) {
        case BootCommand::Erase:
          ++erasesSent;
          FUZZ_CHECK(Get32(bytes + 1 + 9) == 4096);
          break;
        case BootCommand::WriteData:
        case BootCommand::WriteRecord:
          ++piecesSent;
          break;
        case BootCommand::CheckBlock:
          ++checksSent;
          break;
        default:
          break;
      }
    }
    if (mode_ == Mode::Gone) return 0;
    if (mode_ == Mode::Silent) return 1;
    switch (ops_.Next() % 16) {
      case kWriteLose:
        return 1;
      case kWriteFail:
        return 0;
      case kWriteCorrupt: {
        std::uint8_t copy[kReportSize];
        std::memcpy(copy, bytes, count);
        const std::size_t at = ops_.Next() % count;
        const std::uint8_t mask = ops_.Next();
        copy[at] ^= mask ? mask : 1;
        model_.HandleOutputReport(copy, count);
        return 1;
      }
      case kWriteSilent:
        mode_ = Mode::Silent;
        return 1;
      case kWriteGone:
        mode_ = Mode::Gone;
        return 0;
      case kWriteStop:
        stop_ = true;
        break;
      default:
        break;
    }
    model_.HandleOutputReport(bytes, count);
    return 1;
  }

  std::uint32_t ReadRaw(std::uint8_t (&report)[kReportSize]) override {
    Count();
    ++reads;
    if (mode_ == Mode::Gone) return kDeviceError;
    std::uint8_t reply[kReportSize];
    // Every read takes the queued reply, whatever it then delivers.
    const bool queued = model_.PopInputReport(reply);
    if (mode_ == Mode::Silent) return TimeOut();
    switch (ops_.Next() % 16) {
      case kReadDrop:
        return TimeOut();
      case kReadMutate: {
        if (!queued) return TimeOut();
        const std::size_t at = 1 + ops_.Next() % kReportDataSize;
        const std::uint8_t mask = ops_.Next();
        reply[at] ^= mask ? mask : 1;
        return Deliver(reply, report, true);
      }
      case kReadReplace:
        reply[0] = 0;
        for (std::size_t i = 1; i < kReportSize; ++i) reply[i] = ops_.Next();
        return Deliver(reply, report, true);
      case kReadDuplicate:
        if (!haveLast_) return TimeOut();
        std::memcpy(reply, last_, kReportSize);
        return Deliver(reply, report, true);
      case kReadError:
        return kDeviceError;
      case kReadSilent:
        mode_ = Mode::Silent;
        return TimeOut();
      case kReadGone:
        mode_ = Mode::Gone;
        return kDeviceError;
      default:
        if (!queued) return TimeOut();
        return Deliver(reply, report, false);
    }
  }

  bool IsReadOpen() const override { return true; }
  bool IsWriteOpen() const override { return true; }

 private:
  enum class Mode { Normal, Silent, Gone };

  void Count() {
    if (writes + reads >= callCap_) {
      std::fprintf(stderr, "the run did not end within %llu channel calls\n",
                   static_cast<unsigned long long>(callCap_));
      std::abort();
    }
  }

  std::uint32_t TimeOut() {
    clock_.SleepMs(200);
    return kReadTimeout;
  }

  // Keeps a made-up reply from lying about the flash (see the top of this file).
  void Sanitize(std::uint8_t* d) const {
    if (d[0] != 0 || d[1] != 5 || Get16(d + 2) != 0) return;
    const std::uint16_t echo = Get16(d + 4);
    if (echo == static_cast<std::uint16_t>(BootCommand::CheckBlock)) {
      const std::uint32_t address = Get32(d + 14);
      for (const BlockCrc& b : fileCrcs_) {
        if (b.address == address && Get16(d + 18) == b.crc) d[18] ^= 1;
      }
    } else if (echo == static_cast<std::uint16_t>(BootCommand::QueryLoader)) {
      Put32(d + 18, loaderSize_);
    }
  }

  std::uint32_t Deliver(std::uint8_t (&reply)[kReportSize], std::uint8_t (&report)[kReportSize], bool madeUp) {
    if (madeUp) Sanitize(reply + 1);
    std::memcpy(report, reply, kReportSize);
    std::memcpy(last_, reply, kReportSize);
    haveLast_ = true;
    return kReadOk;
  }

  sim::AdapterModel& model_;
  VirtualClock& clock_;
  OpStream& ops_;
  std::atomic<bool>& stop_;
  std::vector<BlockCrc> fileCrcs_;
  std::uint32_t loaderSize_;
  std::uint64_t callCap_;
  Mode mode_ = Mode::Normal;
  std::uint8_t last_[kReportSize] = {};
  bool haveLast_ = false;
};

const std::vector<std::uint8_t>& FileVariant(int v) {
  static const std::vector<std::uint8_t> files[4] = {
      sim::MakeStandardFile(4096 + 2 * 4096 + 100, 4096 + 5, 2 * 4096 + 10),
      sim::MakeStandardFile(4096 + 300, 0, 5000, 0x40000, 0x8000, 3),
      sim::MakeStandardFile(4 * 4096, 3 * 4096, 4 * 4096, 0x20000, 0x10000, 5),
      sim::MakeStandardFile(4096 + 5 * 4096 + 1, 2 * 4096, 4096, 0x10000, 0x30000,
                            7),  // section 3: only a 4096-byte loader
  };
  return files[v & 3];
}

// Every block of the files above lies below this.
constexpr std::uint32_t kFlashSize = 0x44000;

// What one file, written set and loader size give: the plan, the CRC of each block
// (for the sanitizer) and the adapter's flash for each InitialFlash (from address 0,
// as far as the blocks reach). Worked out once: the CRCs dominate a run otherwise.
struct Prepared {
  bool planOk = false;
  WritePlan plan;
  std::uint32_t blocks = 0;
  std::vector<BlockCrc> crcs;
  std::vector<std::uint8_t> flash[4];
};

const Prepared& Prepare(int variant, WrittenSet set, int loaderIndex) {
  static Prepared cache[4][2][4];
  static bool ready[4][2][4] = {};
  Prepared& p = cache[variant][set == WrittenSet::Section3][loaderIndex];
  if (ready[variant][set == WrittenSet::Section3][loaderIndex]) return p;
  const std::vector<std::uint8_t>& file = FileVariant(variant);
  FirmwareImage image;
  image.Open(std::make_unique<MemoryFirmwareSource>(file));
  FirmwareHeaders headers;
  headers.h1Read = image.Read(0, headers.h1.bytes, kHeaderSize);
  ReadSectionHeaders(image, headers);
  p.planOk = PlanWrite(headers, set, kLoaderSizes[loaderIndex], p.plan).ok();
  std::uint32_t end = 0;
  for (int s = 0; s < p.plan.count; ++s) {
    const SectionPlan& sp = p.plan.plans[s];
    const std::uint32_t n = BlockCount(sp.writtenLength, kBlockSize);
    p.blocks += n;
    if (n) end = std::max(end, sp.firstAddress + n * kBlockSize);
  }
  FUZZ_CHECK(end <= kFlashSize);
  for (auto& f : p.flash) f.assign(end, 0xFF);
  std::uint8_t block[kBlockSize];
  for (int s = 0; s < p.plan.count; ++s) {
    const SectionPlan& sp = p.plan.plans[s];
    for (std::uint32_t b = 0; b < BlockCount(sp.writtenLength, kBlockSize); ++b) {
      fuzzsupport::FileBlock(file, sp, b, block);
      const std::uint32_t address = sp.firstAddress + b * kBlockSize;
      p.crcs.push_back({address, PayloadCrc16(block, kBlockSize)});
      std::memcpy(p.flash[static_cast<int>(InitialFlash::FileAlready)].data() + address, block, kBlockSize);
      if (b % 2 == 0)
        std::memcpy(p.flash[static_cast<int>(InitialFlash::HalfEqual)].data() + address, block, kBlockSize);
      const std::vector<std::uint8_t> junk = sim::PatternBytes(kBlockSize, address);
      std::memcpy(p.flash[static_cast<int>(InitialFlash::Garbage)].data() + address, junk.data(), kBlockSize);
    }
  }
  p.flash[static_cast<int>(InitialFlash::Erased)].clear();
  ready[variant][set == WrittenSet::Section3][loaderIndex] = true;
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  OpStream ops(data, size);
  const std::uint8_t setup = ops.Next(), options = ops.Next();
  const bool single = (setup & 1) != 0;
  const bool twoStage = (setup & 2) != 0;
  const auto initial = static_cast<InitialFlash>((setup >> 2) & 3);
  const std::uint32_t loaderSize = kLoaderSizes[(setup >> 4) & 3];
  const std::uint32_t eraseUnit = (setup >> 6) == 3 ? kOddEraseUnits[options >> 6] : 4096;
  const std::vector<std::uint8_t>& file = FileVariant(options & 3);
  const bool cancel = (options & 4) != 0;
  const WrittenSet set = single ? WrittenSet::Section3 : WrittenSet::Sections1And2;
  const Prepared& prep = Prepare(options & 3, set, (setup >> 4) & 3);
  // A set too short for the loader size must be refused after QueryLoader.
  const bool planOk = prep.planOk;
  const WritePlan& plan = prep.plan;
  const std::uint32_t blocks = prep.blocks;

  FirmwareImage image;
  image.Open(std::make_unique<MemoryFirmwareSource>(file));
  FirmwareHeaders headers;
  headers.h1Read = image.Read(0, headers.h1.bytes, kHeaderSize);

  sim::AdapterConfig config;
  config.productId = twoStage ? kProductTwoStage : kProductFlashLoader;
  config.loaderSize = loaderSize;
  config.eraseUnitSize = eraseUnit;
  config.flashSize = kFlashSize;
  config.initialFlash = prep.flash[static_cast<int>(initial)];
  config.stagedHead = (options & 8) == 0;
  config.headAddress = planOk ? plan.plans[0].firstAddress : 0;
  sim::AdapterModel model(std::move(config));

  // The bound: every block written with every read and resend budget spent, plus
  // the exchanges around the passes. Each read waits at most its 200 ms time-out.
  const std::uint64_t perBlockWrites = 1 + 1 + 1 + std::uint64_t{kRecordCount} * kRecordSendAttempts + 1;
  const std::uint64_t perBlockReads = 1 + kEraseReadAttempts + kAckReadBudget +
                                      std::uint64_t{kRecordCount} * kRecordSendAttempts * kAckReadBudget +
                                      kAckReadBudget;
  const std::uint64_t fixedExchanges = 2 /*QueryLoader*/ + blocks /*check pass*/ + 1 + 2 /*head*/ + 1 + 1;
  const std::uint64_t maxWrites = blocks * perBlockWrites + fixedExchanges;
  const std::uint64_t maxReads = blocks * perBlockReads + fixedExchanges;
  const std::uint64_t maxMs = maxReads * 200 + 2 * kQueryLoaderDelayMs + kFinishDelayMs;

  VirtualClock clock;
  std::atomic<bool> stop{false};
  FuzzChannel channel(model, clock, ops, stop, prep.crcs, loaderSize, maxWrites + maxReads + 1);
  BootLink link(channel, clock);
  OperationLog log;
  fuzzsupport::ConfirmingListener listener(!cancel);
  UpdateSession session;
  session.singleNumberVersion = single ? 1 : 0;
  DeviceFamily family;
  (twoStage ? family.TwoStage : family.FlashLoader) = 1;
  UpdateContext ctx{link, image, log, listener, session, family, headers, &stop};

  const UpdateEnding ending = FlashUpdateThread(ctx);

  FUZZ_CHECK(channel.writes <= maxWrites);
  FUZZ_CHECK(channel.reads <= maxReads);
  FUZZ_CHECK(clock.NowMs() <= maxMs);
  FUZZ_CHECK(session.updateRunning == 0);
  FUZZ_CHECK(listener.buttonEnabled);
  FUZZ_CHECK(channel.writesAfterStop == 0);
  const bool wrote = channel.erasesSent || channel.piecesSent;
  if (!planOk) {
    FUZZ_CHECK(ending == UpdateEnding::FileRefused || ending == UpdateEnding::Cancelled ||
               ending == UpdateEnding::Quiet || ending == UpdateEnding::Stopped);
    FUZZ_CHECK(!wrote && channel.checksSent == 0);
  }
  if (cancel) {
    FUZZ_CHECK(ending == UpdateEnding::Cancelled || ending == UpdateEnding::Stopped);
    FUZZ_CHECK(!wrote && channel.checksSent == 0);
  }
  if (ending == UpdateEnding::Success) {
    const std::string missing = fuzzsupport::FirstBlockNotOnAdapter(model, file, plan);
    if (!missing.empty()) {
      std::fprintf(stderr, "success reported, but block %s is not on the adapter\n", missing.c_str());
      std::abort();
    }
  }
  return 0;
}
