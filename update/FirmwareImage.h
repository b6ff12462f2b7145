#pragma once
// The firmware file: up to three sections, each a 28-byte qv_firmware_header and its
// data, read by absolute position. Also the checks that decide whether a file fits,
// and the position arithmetic of the sections that are written.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace korbex {

inline constexpr std::uint32_t kHeaderSize = 28;
inline constexpr std::uint32_t kBlockSize = 4096;
inline constexpr std::uint32_t kModelCode = 0x4B50;
inline constexpr std::uint8_t kMinFileMark = 0xE1;
// Bytes past the end of the file read as erased flash.
inline constexpr std::uint8_t kErasedByte = 0xFF;

// The 28 header bytes as they stand in the file; fields decoded little-endian.
// A short read into it keeps the old bytes beyond those read.
struct qv_firmware_header {
  std::uint8_t bytes[kHeaderSize] = {};

  std::uint16_t version() const { return Le16(0); }
  std::uint16_t beta() const { return Le16(2); }
  std::uint32_t loadAddress() const { return Le32(4); }
  std::uint32_t length() const { return Le32(8); }
  std::uint32_t pid() const { return Le32(12); }
  std::uint8_t fileMark() const { return bytes[20]; }
  // Bytes 0..3 as one value: version low half, beta high half.
  std::uint32_t versionWord() const { return Le32(0); }

 private:
  std::uint16_t Le16(int at) const { return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8); }
  std::uint32_t Le32(int at) const {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
  }
};
static_assert(sizeof(qv_firmware_header) == kHeaderSize);

// The largest firmware file read. A whole file is held in memory for the length of
// an update; the adapters' flash is a few hundred KiB, so a file this large is not
// firmware for them, and the bound keeps a device node or an endless stream from
// growing memory without end.
inline constexpr std::uint64_t kMaxFirmwareFileSize = 64ull << 20;  // 64 MiB

// Where a firmware file comes from: read whole, once, when it is opened.
class FirmwareSource {
 public:
  virtual ~FirmwareSource() = default;
  // Replaces out with the whole file. False when the file cannot be read to its end
  // (a read error) or holds more than maxBytes.
  virtual bool ReadAll(std::uint64_t maxBytes, std::vector<std::uint8_t>& out) = 0;
};

// A file held in memory (tests, fuzzing, generated images).
class MemoryFirmwareSource final : public FirmwareSource {
 public:
  explicit MemoryFirmwareSource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  bool ReadAll(std::uint64_t maxBytes, std::vector<std::uint8_t>& out) override;

 private:
  std::vector<std::uint8_t> bytes_;
};

// Opens a file read-only with the standard library; null and ec set on failure.
// The Windows program opens without sharing through its own source instead.
std::unique_ptr<FirmwareSource> OpenFirmwareFile(const std::filesystem::path& path, std::error_code& ec);

// The one open firmware file of an update. Open reads the file whole; every read
// after that is served from those bytes, so what was checked and confirmed is what
// is written and verified, whatever happens to the file on disk meanwhile. The
// source stays open until Close (the Windows program holds its file unshared).
class FirmwareImage {
 public:
  // Closes an earlier file first. Returns false (and stays closed) for null or a
  // source that cannot be read whole within kMaxFirmwareFileSize.
  bool Open(std::unique_ptr<FirmwareSource> source);
  void Close();
  bool IsOpen() const { return source_ != nullptr; }
  std::uint64_t Size() const { return bytes_.size(); }

  // Reads count bytes at offset; the rest of dst keeps its old bytes when fewer
  // arrive. Returns the number read.
  std::size_t Read(std::uint32_t offset, std::uint8_t* dst, std::size_t count) const;
  // Like Read, but whatever lies past the end of the file reads as 0xFF, so a
  // block's checksum always covers exactly the bytes that are sent.
  std::size_t ReadPadded(std::uint32_t offset, std::uint8_t* dst, std::size_t count) const;

 private:
  std::unique_ptr<FirmwareSource> source_;
  std::vector<std::uint8_t> bytes_;
};

// Why a file is refused. The dialog shows one text for all of them; the
// command-line tool names the field.
enum class FileCheck {
  Ok,
  Header1Short,               // fewer than 28 bytes at offset 0
  Header2Short,               // header 2 not read whole
  Header3Short,               // header 3 not read whole
  FileMarkLow,                // section-3 fileMark below 0xE1
  ModelCodeWrong,             // section-1 pid not 0x4B50
  OffsetWraps,                // a section position does not fit 32 bits
  Section1OutsideFile,        // data of section n runs past the end of the file
  Section2OutsideFile,
  Section3OutsideFile,
  SectionShorterThanLoader,   // length below the loader size: written length would wrap
  AddressWraps,               // a section's blocks run past the 32-bit device address space
  NothingToWrite,             // the sections to be written are empty
};

struct FileCheckResult {
  FileCheck check = FileCheck::Ok;
  std::uint64_t actual = 0;    // the offending value (length, mark, model code, …)
  std::uint64_t expected = 0;  // the bound or value it should have met

  bool ok() const { return check == FileCheck::Ok; }
  // The field at fault, e.g. "section 3 fileMark"; empty when ok.
  const char* field() const;
  // One line for a person, naming the field and both values.
  std::string Describe() const;
};

// The three headers of a file as read at the start of an update.
struct FirmwareHeaders {
  qv_firmware_header h1, h2, h3;
  std::size_t h1Read = 0, h2Read = 0, h3Read = 0;
};

// Reads headers 2 and 3 (header 1 already read by the caller into headers.h1):
// header 2 at 28 + L1, and header 3 at 56 + L1 + L2 only when header 2 gave at
// least one byte. Both are cleared first, so nothing of an earlier file remains.
void ReadSectionHeaders(FirmwareImage& image, FirmwareHeaders& headers);

// Structural checks: headers whole, file mark, every section inside the file, no
// offset wrapping 32 bits. Part of CheckFirmwareFile; the update makes them first,
// before it takes the update button.
FileCheckResult CheckFileStructure(const FirmwareHeaders& headers, std::uint64_t fileSize);
FileCheckResult CheckModelCode(const qv_firmware_header& h1);

enum class WrittenSet { Sections1And2, Section3 };

// One section as the update writes it.
struct SectionPlan {
  int section = 0;                 // 1, 2 or 3
  std::uint32_t firstSentOffset = 0;  // file offset of the first byte sent
  std::uint32_t writtenLength = 0;    // bytes sent
  std::uint32_t firstAddress = 0;     // device address of the first byte sent
  std::uint32_t checkValue = 0;       // `value` of block checks and leading pieces (v)
  std::uint32_t trailValue = 0;       // `value` of trailing pieces (t)
};

// The sections of a written set, given the loader size. Refuses a section shorter
// than the loader size and a set with nothing to write. plans[1] is unused for
// Section3 (count = 1).
struct WritePlan {
  SectionPlan plans[2];
  int count = 0;
};
FileCheckResult PlanWrite(const FirmwareHeaders& headers, WrittenSet set, std::uint32_t loaderSize, WritePlan& plan);

// The verdict on a file for one written set, from everything that does not need the
// adapter: CheckFileStructure, CheckModelCode and PlanWrite as if the loader held
// back nothing. Every program judges a file by this before anything is sent. A
// larger loader size only shortens what is written, so what remains to be refused
// once the loader has answered QueryLoader is a section not longer than the loader
// size (PlanWrite with that size).
FileCheckResult CheckFirmwareFile(const FirmwareHeaders& headers, std::uint64_t fileSize, WrittenSet set);

// "sections 1 and 2" or "section 3".
const char* WrittenSetName(WrittenSet set);

// The written sets in the order a file is judged for them.
inline constexpr WrittenSet kWrittenSets[2] = {WrittenSet::Sections1And2, WrittenSet::Section3};

// Refusals that depend on which sections are written (the rest refuse both sets alike).
bool DependsOnWrittenSet(FileCheck check);

// A file judged for both written sets before any adapter is known: what inspect and the
// web page show, and what the command-line tool narrows once the adapter is identified.
struct FileVerdict {
  FileCheckResult sets[2];  // by kWrittenSets
  FileCheckResult check;    // the first set's refusal; ok when both sets accept the file
  WrittenSet refusedSet = WrittenSet::Sections1And2;
};
FileVerdict JudgeFirmwareFile(const FirmwareHeaders& headers, std::uint64_t fileSize);

// Why the file is refused: check.Describe(), prefixed with the set ("written set
// section 3: …") when the refusal depends on it.
std::string DescribeRefusal(const FileCheckResult& check, WrittenSet set);

// Ceiling of length / unit, 0 for a unit of 0.
std::uint32_t BlockCount(std::uint32_t length, std::uint32_t unit);

}  // namespace korbex
