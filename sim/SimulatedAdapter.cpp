#include "sim/SimulatedAdapter.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <type_traits>

namespace korbex::sim {
namespace {

// Command codes as the loader knows them (kept here rather than taken from the host's
// protocol headers: the model must not share the host's mistakes).
constexpr std::uint16_t kWriteData = 0x03;
constexpr std::uint16_t kErase = 0x04;
constexpr std::uint16_t kFinish = 0x07;
constexpr std::uint16_t kWriteRecord = 0x0B;
constexpr std::uint16_t kQueryLoader = 0xC1;
constexpr std::uint16_t kSaveHead = 0xC2;
constexpr std::uint16_t kCheckBlock = 0xC3;
constexpr std::uint16_t kSetImageInfo = 0xC4;

constexpr std::uint8_t kKind = 5;
constexpr std::uint32_t kBlockSize = 4096;
constexpr std::uint32_t kHeadSize = 2 * kBlockSize;
constexpr std::uint32_t kLeadingPiece = 47;
constexpr std::uint32_t kRecordSize = 60;
constexpr std::uint32_t kRecordsPerBlock = 67;
constexpr std::uint32_t kMaxPayload = 47;  // 17 + 47 = 64

struct NamedCommand {
  const char* name;
  std::uint16_t code;
};
constexpr NamedCommand kCommandNames[] = {
    {"WriteData", kWriteData},     {"Erase", kErase},
    {"Finish", kFinish},           {"WriteRecord", kWriteRecord},
    {"QueryLoader", kQueryLoader}, {"SaveHead", kSaveHead},
    {"CheckBlock", kCheckBlock},   {"SetImageInfo", kSetImageInfo},
    {"Version", kVersionCommand},
};

struct NamedKind {
  const char* name;
  FaultKind kind;
};
constexpr NamedKind kKindNames[] = {
    {"drop", FaultKind::Drop},       {"ignore", FaultKind::Ignore},         {"nak", FaultKind::Nak},
    {"stale", FaultKind::Stale},     {"wrong-echo", FaultKind::WrongEcho},  {"wrong-crc", FaultKind::WrongCrc},
    {"corrupt", FaultKind::Corrupt}, {"disconnect", FaultKind::Disconnect}, {"unplug", FaultKind::Unplug},
};

constexpr unsigned Bit(FaultKind k) { return 1u << static_cast<unsigned>(k); }

// CRC-16/MODBUS, 256-entry table: a different construction from the host's bitwise one.
struct CrcTable {
  std::uint16_t entry[256];
  constexpr CrcTable() : entry() {
    for (unsigned i = 0; i < 256; ++i) {
      std::uint16_t c = static_cast<std::uint16_t>(i);
      for (int k = 0; k < 8; ++k) c = static_cast<std::uint16_t>((c & 1u) ? (c >> 1) ^ 0xA001u : c >> 1);
      entry[i] = c;
    }
  }
};
constexpr CrcTable kCrc;

std::uint16_t Crc16Step(std::uint16_t crc, std::uint8_t b) {
  return static_cast<std::uint16_t>((crc >> 8) ^ kCrc.entry[(crc ^ b) & 0xFFu]);
}

std::uint16_t Crc16(const std::uint8_t* p, std::size_t n) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) crc = Crc16Step(crc, p[i]);
  return crc;
}

std::uint8_t Sum8(const std::uint8_t* p, std::size_t n) {
  unsigned s = 0;
  for (std::size_t i = 0; i < n; ++i) s += p[i];
  return static_cast<std::uint8_t>(s);
}

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Hex(unsigned v) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), digits[v & 0xF]);
    v >>= 4;
  } while (v);
  return "0x" + s;
}

}  // namespace

// ---------------------------------------------------------------------------------
// Fault texts

namespace {

// Reads a decimal or 0x-hex number at the front of s. False when there is none or it
// does not fit 32 bits.
bool TakeNumber(std::string_view& s, std::uint32_t& value) {
  unsigned base = 10;
  std::size_t i = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && std::isxdigit(static_cast<unsigned char>(s[2]))) {
    base = 16;
    i = 2;
  }
  std::uint64_t v = 0;
  const std::size_t start = i;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    unsigned d;
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
      d = static_cast<unsigned>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    } else {
      break;
    }
    v = v * base + d;
    if (v > 0xFFFFFFFFu) return false;
  }
  if (i == start) return false;
  value = static_cast<std::uint32_t>(v);
  s.remove_prefix(i);
  return true;
}

// The name at the front of s: the longest known name that is not followed by more of
// a word (a letter, digit or '-'), except the 'x' of a count. No name contains an 'x'.
template <typename Table>
const auto* TakeName(std::string_view& s, const Table& table) {
  const std::remove_reference_t<decltype(table[0])>* best = nullptr;
  std::size_t bestLen = 0;
  for (const auto& entry : table) {
    const std::string_view name = entry.name;
    if (name.size() > s.size() || name.size() <= bestLen) continue;
    if (!EqualsNoCase(s.substr(0, name.size()), name)) continue;
    if (name.size() < s.size()) {
      const char next = s[name.size()];
      if (next != 'x' && next != 'X' && (std::isalnum(static_cast<unsigned char>(next)) || next == '-')) continue;
    }
    best = &entry;
    bestLen = name.size();
  }
  if (best) s.remove_prefix(bestLen);
  return best;
}

// The text up to the next of the delimiters, for error messages.
std::string_view Word(std::string_view s, std::string_view delimiters) {
  return s.substr(0, std::min(s.find_first_of(delimiters), s.size()));
}

bool ParseOne(std::string_view token, FaultSpec& fault, std::string& error) {
  const std::string quoted = "\"" + std::string(token) + "\"";
  std::string_view s = token;
  const NamedKind* kind = TakeName(s, kKindNames);
  if (!kind) {
    error = "unknown fault kind \"" + std::string(Word(s, ":@")) + "\" in " + quoted +
            " (drop, ignore, nak, stale, wrong-echo, wrong-crc, corrupt, disconnect, unplug)";
    return false;
  }
  fault = FaultSpec{};
  fault.kind = kind->kind;
  if (!s.empty() && s[0] == ':') {
    s.remove_prefix(1);
    const NamedCommand* command = TakeName(s, kCommandNames);
    if (!command) {
      error = "unknown command \"" + std::string(Word(s, "@")) + "\" in " + quoted +
              " (WriteData, Erase, Finish, WriteRecord, QueryLoader, SaveHead, CheckBlock, SetImageInfo, Version)";
      return false;
    }
    fault.command = command->code;
  }
  if (!s.empty() && s[0] == '@') {
    s.remove_prefix(1);
    const std::string_view at = s;
    if (!TakeNumber(s, fault.nth) || fault.nth == 0) {
      error = "bad exchange number \"@" + std::string(Word(at, "x")) + "\" in " + quoted + " (1 or more)";
      return false;
    }
  }
  if (!s.empty() && (s[0] == 'x' || s[0] == 'X')) {
    s.remove_prefix(1);
    const std::string_view at = s;
    if (!s.empty() && s[0] == '*') {
      s.remove_prefix(1);
      fault.count = 0;
    } else if (!TakeNumber(s, fault.count) || fault.count == 0) {
      error = "bad count \"x" + std::string(at) + "\" in " + quoted + " (1 or more, or x* for ever)";
      return false;
    }
  }
  if (!s.empty()) {
    error = "unexpected \"" + std::string(s) + "\" in " + quoted + " (expected KIND[:COMMAND][@N][xCOUNT])";
    return false;
  }
  return true;
}

}  // namespace

bool ParseFaults(std::string_view text, std::vector<FaultSpec>& out, std::string& error) {
  std::vector<FaultSpec> parsed;
  if (!text.empty()) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t plus = text.find('+', start);
      const std::string_view token = text.substr(start, plus == std::string_view::npos ? text.npos : plus - start);
      FaultSpec fault;
      if (token.empty()) {
        error = "empty fault at position " + std::to_string(start + 1) + " of \"" + std::string(text) +
                "\" (a '+' with nothing on one side)";
        return false;
      }
      if (!ParseOne(token, fault, error)) return false;
      parsed.push_back(fault);
      if (plus == std::string_view::npos) break;
      start = plus + 1;
    }
  }
  out = std::move(parsed);
  return true;
}

std::string FormatFault(const FaultSpec& fault) {
  std::string s;
  for (const auto& k : kKindNames) {
    if (k.kind == fault.kind) s = k.name;
  }
  if (fault.command) {
    std::string name = Hex(*fault.command);
    for (const auto& c : kCommandNames) {
      if (c.code == *fault.command) name = c.name;
    }
    s += ":" + name;
  }
  if (fault.nth != 1) s += "@" + std::to_string(fault.nth);
  if (fault.count == 0) {
    s += "x*";
  } else if (fault.count != 1) {
    s += "x" + std::to_string(fault.count);
  }
  return s;
}

// ---------------------------------------------------------------------------------
// The adapter

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
  if (faults & Bit(FaultKind::Stale)) QueueReply(lastReply_, readyAtMs);
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
  QueueReply(reply, readyAtMs);
}

void AdapterModel::QueueReply(const std::uint8_t* report, std::uint64_t readyAtMs) {
  if (queueCount_ == kReplyQueueSize) {
    queueHead_ = (queueHead_ + 1) % kReplyQueueSize;  // the oldest unread report is lost
    --queueCount_;
  }
  Reply& r = queue_[(queueHead_ + queueCount_) % kReplyQueueSize];
  std::memcpy(r.bytes, report, kReportSize);
  r.readyAtMs = readyAtMs;
  ++queueCount_;
}

bool AdapterModel::PopInputReport(std::uint8_t (&report)[kReportSize]) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queueCount_ == 0) return false;
  std::memcpy(report, queue_[queueHead_].bytes, kReportSize);
  queueHead_ = (queueHead_ + 1) % kReplyQueueSize;
  --queueCount_;
  return true;
}

bool AdapterModel::NextReplyReadyAt(std::uint64_t& readyAtMs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queueCount_ == 0) return false;
  readyAtMs = queue_[queueHead_].readyAtMs;
  return true;
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
  queueHead_ = queueCount_ = 0;
  unplugged_ = false;
  disconnected_.store(false);
  return true;
}

// ---------------------------------------------------------------------------------
// The channel

SimulatedChannel::SimulatedChannel(AdapterModel& model, Clock& clock, LinkConfig link)
    : model_(model), clock_(clock), link_(link), virtualClock_(dynamic_cast<VirtualClock*>(&clock) != nullptr) {}

int SimulatedChannel::WriteRaw(const std::uint8_t* bytes, std::size_t count) {
  if (traceOn_) trace_.push_back({TraceEntry::Kind::Write, std::vector<std::uint8_t>(bytes, bytes + count)});
  if (model_.Disconnected()) return 0;
  model_.HandleOutputReport(bytes, count, clock_.NowMs() + link_.latencyMs);
  // A Disconnect fault on this very report: the device was gone before it arrived.
  return model_.Disconnected() ? 0 : 1;
}

void SimulatedChannel::WaitUntil(std::uint64_t deadlineMs) {
  std::uint64_t now = clock_.NowMs();
  if (now >= deadlineMs) return;
  if (virtualClock_) {
    clock_.SleepMs(static_cast<std::uint32_t>(deadlineMs - now));
    return;
  }
  // Sleep to just before the deadline, then spin: a sleep may overshoot by a timer
  // tick, and the benchmark measures the host, not the timer.
  constexpr std::uint64_t kSpinMs = 2;
  if (deadlineMs - now > kSpinMs) clock_.SleepMs(static_cast<std::uint32_t>(deadlineMs - now - kSpinMs));
  // The spin is bounded in real time: a clock of the caller's that only moves when
  // slept on would otherwise never get there.
  const auto spinEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSpinMs + 1);
  while ((now = clock_.NowMs()) < deadlineMs) {
    if (std::chrono::steady_clock::now() > spinEnd) {
      clock_.SleepMs(static_cast<std::uint32_t>(deadlineMs - now));
      return;
    }
    std::this_thread::yield();
  }
}

std::uint32_t SimulatedChannel::ReadRaw(std::uint8_t (&report)[kReportSize]) {
  if (model_.Disconnected()) {
    if (traceOn_) trace_.push_back({TraceEntry::Kind::ReadFailed, {}});
    return kReadDisconnected;
  }
  const std::uint64_t start = clock_.NowMs();
  const std::uint64_t timeoutAt = start + link_.readTimeoutMs;
  std::uint64_t readyAt = 0;
  if (model_.NextReplyReadyAt(readyAt) && readyAt <= timeoutAt) {
    WaitUntil(readyAt);
    if (model_.PopInputReport(report)) {
      if (traceOn_)
        trace_.push_back({TraceEntry::Kind::Read, std::vector<std::uint8_t>(report + 1, report + kReportSize)});
      return kReadOk;
    }
  }
  WaitUntil(timeoutAt);
  if (traceOn_) trace_.push_back({TraceEntry::Kind::ReadTimeout, {}});
  return kReadTimeout;
}

}  // namespace korbex::sim
