// The simulated adapter's device: parses each report, carries out its command on the
// flash image (with the configured faults), and queues the reply.
#include "sim/AdapterModel.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "sim/LoaderTables.h"
#include "sim/ModelChecksums.h"

namespace korbex::sim {

using namespace detail;

namespace {
constexpr unsigned Bit(FaultKind k) { return 1u << static_cast<unsigned>(k); }
}  // namespace

// One received report, taken apart. `faultCode` is the code faults and stats count it
// under; `data` the 64 report bytes after the report id (missing ones 0).
struct AdapterModel::Command {
  enum class Type { Version, ShortCommand, Record, Boot, Unknown } type;
  std::uint16_t code;
  std::uint16_t faultCode;
  const std::uint8_t* data;
  std::uint16_t flags() const { return Get16(data + 3); }
  std::uint16_t payloadLength() const { return Get16(data + 5); }
  std::uint16_t payloadCrc() const { return Get16(data + 7); }
  std::uint32_t value() const { return Get32(data + 9); }
  std::uint32_t address() const { return Get32(data + 13); }
  const std::uint8_t* payload() const { return data + 17; }
};

std::string AdapterModel::CheckConfig(const AdapterConfig& config) {
  if (config.beta > 0x0F) {
    return "beta " + Hex(config.beta) + " does not fit the version reply's low nibble (0 or an odd 0x1..0xF)";
  }
  if (config.beta != 0 && (config.beta & 1u) == 0) {
    return "beta " + Hex(config.beta) +
           " is even: the version reply marks a beta by bit 0, so a beta is odd (or 0 for a release)";
  }
  if (config.flashSize == 0) return "flashSize is 0";
  if (config.initialFlash.size() > config.flashSize) {
    return "initialFlash holds " + std::to_string(config.initialFlash.size()) + " bytes, more than flashSize " +
           std::to_string(config.flashSize);
  }
  for (std::size_t i = 0; i < config.faults.size(); ++i) {
    if (config.faults[i].nth == 0)
      return "fault " + std::to_string(i + 1) + " (" + FormatFault(config.faults[i]) +
             "): nth is 0, exchanges count from 1";
  }
  return {};
}

namespace {
const AdapterConfig& Validated(const AdapterConfig& config) {
  const std::string problem = AdapterModel::CheckConfig(config);
  if (!problem.empty()) throw std::invalid_argument("simulated adapter: " + problem);
  return config;
}
}  // namespace

AdapterModel::AdapterModel(AdapterConfig config)
    : config_(Validated(config)), productId_(config_.productId), faultSeen_(config_.faults.size(), 0) {
  flash_.assign(config_.flashSize, 0xFF);
  std::copy(config_.initialFlash.begin(), config_.initialFlash.end(), flash_.begin());
  headBegin_ = std::min(config_.headAddress, config_.flashSize);
  headEnd_ = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(static_cast<std::uint64_t>(config_.headAddress) + kHeadSize, config_.flashSize));
  staged_.assign(flash_.begin() + headBegin_, flash_.begin() + headEnd_);
  imageInfo_.reserve(kMaxPayload);  // so a SetImageInfo exchange never allocates
}

unsigned AdapterModel::ActiveFaults(std::uint16_t code) {
  unsigned active = 0;
  for (std::size_t i = 0; i < config_.faults.size(); ++i) {
    const FaultSpec& f = config_.faults[i];
    if (f.command && *f.command != code) continue;
    const std::uint32_t k = ++faultSeen_[i];
    if (k >= f.nth && (f.count == 0 || k - f.nth < f.count)) active |= Bit(f.kind);
  }
  return active;
}

std::uint8_t* AdapterModel::Cell(std::uint32_t address) {
  if (config_.stagedHead && address >= headBegin_ && address < headEnd_) return &staged_[address - headBegin_];
  return &flash_[address];
}

std::uint16_t AdapterModel::FlashCrc(std::uint32_t address) const {
  std::uint16_t crc = 0xFFFF;
  for (std::uint64_t a = address; a < static_cast<std::uint64_t>(address) + kBlockSize; ++a) {
    crc = Crc16Step(crc, a < flash_.size() ? flash_[static_cast<std::size_t>(a)] : 0xFF);
  }
  return crc;
}

void AdapterModel::BuildVersionReply(std::uint8_t* d) const {
  // Two-number form: major, minor, flags with the high nibble 0. Single-number form:
  // number in byte 6, flags 0x8_. A beta sets bit 0 through its (odd) low nibble.
  if (config_.singleNumberVersion) {
    d[6] = config_.versionNumber;
    d[7] = static_cast<std::uint8_t>(0x80 | config_.beta);
  } else {
    d[4] = config_.versionMajor;
    d[5] = config_.versionMinor;
    d[7] = config_.beta;
  }
}

std::uint16_t AdapterModel::Execute(const Command& c, unsigned faults, std::uint8_t* d) {
  constexpr std::uint16_t kOk = 0, kRefused = 1;
  const bool corrupt = (faults & Bit(FaultKind::Corrupt)) != 0;
  const std::uint64_t end = static_cast<std::uint64_t>(c.address()) + c.payloadLength();
  switch (c.code) {
    case kWriteData: {
      const std::uint16_t n = c.payloadLength();
      if (c.flags() != 0 || n == 0 || n > kMaxPayload || end > flash_.size()) return kRefused;
      if (Crc16(c.payload(), n) != c.payloadCrc()) return kRefused;
      for (std::uint16_t i = 0; i < n; ++i) {
        const std::uint8_t b = (corrupt && i == 0) ? static_cast<std::uint8_t>(~c.payload()[i]) : c.payload()[i];
        *Cell(c.address() + i) &= b;
      }
      haveRecordBase_ = true;
      recordBase_ = c.address();
      return kOk;
    }
    case kWriteRecord: {
      const std::uint8_t index = c.data[2];
      const std::uint8_t* record = c.data + 4;
      if (!haveRecordBase_ || index >= kRecordsPerBlock) return kRefused;
      const std::uint64_t at = static_cast<std::uint64_t>(recordBase_) + kLeadingPiece + kRecordSize * index;
      if (at + kRecordSize > flash_.size()) return kRefused;
      if (Sum8(record, kRecordSize) != c.data[3]) return kRefused;
      for (std::uint32_t i = 0; i < kRecordSize; ++i) {
        const std::uint8_t b = (corrupt && i == 0) ? static_cast<std::uint8_t>(~record[i]) : record[i];
        *Cell(static_cast<std::uint32_t>(at) + i) &= b;
      }
      return kOk;
    }
    case kErase: {
      // value = length, address = start; no payload, so the CRC field holds the CRC of
      // no bytes.
      const std::uint64_t last = static_cast<std::uint64_t>(c.address()) + c.value();
      if (c.flags() != 0 || c.payloadLength() != 0 || c.payloadCrc() != 0xFFFF || last > flash_.size()) {
        return kRefused;
      }
      for (std::uint64_t a = c.address(); a < last; ++a) *Cell(static_cast<std::uint32_t>(a)) = 0xFF;
      return kOk;
    }
    case kCheckBlock: {
      const std::uint8_t* p = c.payload();
      if (c.flags() != 0 || c.payloadLength() != 12 || c.payloadCrc() != 0 || Get32(p) != c.address() ||
          Get32(p + 4) != kBlockSize || Get32(p + 8) != 0) {
        return kRefused;
      }
      std::uint16_t crc = FlashCrc(c.address());
      if (faults & Bit(FaultKind::WrongCrc)) crc = static_cast<std::uint16_t>(crc + 1);
      Put16(d + 18, crc);
      return kOk;
    }
    case kQueryLoader:
    case kSaveHead:
    case kFinish:
      if (c.flags() != 0 || c.payloadLength() != 0 || c.payloadCrc() != 0 || c.value() != 0 || c.address() != 0) {
        return kRefused;
      }
      if (c.code == kQueryLoader) {
        Put32(d + 18, config_.loaderSize);
        Put32(d + 18 + 12, config_.eraseUnitSize);
      } else if (c.code == kSaveHead) {
        // A loader without staging wrote the head at once: there is nothing to save, and
        // its staged copy is only the head it powered up with.
        if (config_.stagedHead) std::copy(staged_.begin(), staged_.end(), flash_.begin() + headBegin_);
      } else {
        // The adapter restarts: what the loader held and did not save is gone.
        PowerUpLocked();
        finished_ = true;
        ++restarts_;
        if (config_.productAfterFinish != 0) productId_ = config_.productAfterFinish;
      }
      return kOk;
    case kSetImageInfo: {
      const std::uint16_t n = c.payloadLength();
      if (c.flags() != 0 || n == 0 || n > kMaxPayload || c.value() != n || c.address() != 0 ||
          Crc16(c.payload(), n) != c.payloadCrc()) {
        return kRefused;
      }
      imageInfo_.assign(c.payload(), c.payload() + n);
      return kOk;
    }
    default:
      return kRefused;
  }
}

void AdapterModel::HandleOutputReport(const std::uint8_t* bytes, std::size_t count, std::uint64_t readyAtMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (disconnected_.load() || bytes == nullptr || count == 0) return;
  // The adapter's only report id is 0; anything else never reaches its firmware.
  if (bytes[0] != 0) return;
  std::uint8_t data[kReportDataSize] = {};
  std::memcpy(data, bytes + 1, std::min(count - 1, kReportDataSize));

  Command c{Command::Type::Unknown, Get16(data + 1), Get16(data + 1), data};
  if (data[0] == kKind) {
    if (data[1] == kWriteRecord) {
      c.type = Command::Type::Record;  // the record report's code is one byte
      c.code = c.faultCode = kWriteRecord;
    } else if (data[1] == 0x00 && data[2] == 0x1D && data[3] == 0x01 && data[4] == 0x00 && data[5] == 0x00) {
      c.type = Command::Type::ShortCommand;
      c.faultCode = kVersionCommand;
    } else if (c.code == kVersionCommand) {
      c.type = Command::Type::Version;
    } else {
      c.type = Command::Type::Boot;
    }
  }

  ++stats_.exchanges;
  switch (c.type) {
    case Command::Type::Version:
      ++stats_.versionRequests;
      break;
    case Command::Type::ShortCommand:
      ++stats_.shortCommands;
      break;
    case Command::Type::Record:
      ++stats_.records;
      break;
    case Command::Type::Unknown:
      ++stats_.unknown;
      break;
    case Command::Type::Boot:
      switch (c.code) {
        case kWriteData:
          ++stats_.dataPackets;
          break;
        case kErase:
          ++stats_.erases;
          break;
        case kFinish:
          ++stats_.finishes;
          break;
        case kQueryLoader:
          ++stats_.queries;
          break;
        case kSaveHead:
          ++stats_.saveHeads;
          break;
        case kCheckBlock:
          ++stats_.checks;
          break;
        case kSetImageInfo:
          ++stats_.imageInfos;
          break;
        default:
          ++stats_.unknown;
          break;
      }
      break;
  }

  const unsigned faults = ActiveFaults(c.faultCode);
  if (faults & (Bit(FaultKind::Disconnect) | Bit(FaultKind::Unplug))) {
    unplugged_ = (faults & Bit(FaultKind::Disconnect)) == 0;
    disconnected_.store(true);
    return;
  }
  if (faults & Bit(FaultKind::Stale)) replies_.Push(lastReply_, readyAtMs);
  if (faults & Bit(FaultKind::Ignore)) return;

  std::uint8_t reply[kReportSize] = {};  // report id 0, then the 64 data bytes
  std::uint8_t* d = reply + 1;
  const bool isVersion = c.type == Command::Type::Version || c.type == Command::Type::ShortCommand;
  std::uint16_t status = 1;
  if (!(faults & Bit(FaultKind::Nak))) {
    if (isVersion) {
      BuildVersionReply(d);
      status = 0;
    } else if (c.type == Command::Type::Record || c.type == Command::Type::Boot) {
      status = Execute(c, faults, d);
    }
  }
  if (status != 0 || !isVersion) {
    // The loader's reply layout (a refused version request gets one too).
    if (status != 0) std::memset(d, 0, kReportDataSize);
    d[1] = kKind;
    Put16(d + 2, status);
    std::uint16_t echo = c.code;
    if (status == 0 && (faults & Bit(FaultKind::WrongEcho))) echo ^= 0x8000;
    Put16(d + 4, echo);
    if (c.type != Command::Type::Record) Put32(d + 14, Get32(data + 13));
  }
  if (status != 0) ++stats_.naks;
  std::memcpy(lastReply_, reply, kReportSize);
  if (faults & Bit(FaultKind::Drop)) return;
  replies_.Push(reply, readyAtMs);
}

bool AdapterModel::PopInputReport(std::uint8_t (&report)[kReportSize]) {
  std::lock_guard<std::mutex> lock(mutex_);
  return replies_.Pop(report);
}

bool AdapterModel::NextReplyReadyAt(std::uint64_t& readyAtMs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return replies_.NextReadyAt(readyAtMs);
}

AdapterStats AdapterModel::StatsSnapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

std::vector<std::uint8_t> AdapterModel::ReadFlash(std::uint32_t address, std::uint32_t count) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::uint8_t> out(count, 0xFF);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t a = static_cast<std::uint64_t>(address) + i;
    if (a < flash_.size()) out[i] = flash_[static_cast<std::size_t>(a)];
  }
  return out;
}

std::uint16_t AdapterModel::CurrentProductId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return productId_;
}

bool AdapterModel::Finished() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

std::uint32_t AdapterModel::Restarts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return restarts_;
}

void AdapterModel::PowerUpLocked() {
  std::copy(flash_.begin() + headBegin_, flash_.begin() + headEnd_, staged_.begin());
  haveRecordBase_ = false;
}

bool AdapterModel::Replug() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!disconnected_.load() || !unplugged_) return false;
  PowerUpLocked();
  replies_.Clear();
  unplugged_ = false;
  disconnected_.store(false);
  return true;
}

}  // namespace korbex::sim
