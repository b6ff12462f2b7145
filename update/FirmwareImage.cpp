#include "update/FirmwareImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace korbex {
namespace {

class StreamFirmwareSource final : public FirmwareSource {
 public:
  explicit StreamFirmwareSource(std::ifstream in) : in_(std::move(in)) {}
  bool ReadAll(std::uint64_t maxBytes, std::vector<std::uint8_t>& out) override {
    out.clear();
    char chunk[64 * 1024];
    for (;;) {
      in_.read(chunk, sizeof chunk);
      const auto got = static_cast<std::size_t>(in_.gcount());
      if (out.size() + got > maxBytes) return false;
      out.insert(out.end(), chunk, chunk + got);
      if (in_.eof()) return !in_.bad();
      if (!in_) return false;  // a read error before the end
    }
  }

 private:
  std::ifstream in_;
};

}  // namespace

bool MemoryFirmwareSource::ReadAll(std::uint64_t maxBytes, std::vector<std::uint8_t>& out) {
  if (bytes_.size() > maxBytes) return false;
  out = bytes_;
  return true;
}

std::unique_ptr<FirmwareSource> OpenFirmwareFile(const std::filesystem::path& path, std::error_code& ec) {
  ec.clear();
  if (std::filesystem::is_directory(path, ec)) {
    ec = std::make_error_code(std::errc::is_a_directory);
    return nullptr;
  }
  // Only a regular file: a device node or a pipe is no firmware file and might never end.
  const std::uint64_t size = std::filesystem::file_size(path, ec);
  if (ec) return nullptr;
  if (size > kMaxFirmwareFileSize) {
    ec = std::make_error_code(std::errc::file_too_large);
    return nullptr;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) {
    ec = std::make_error_code(std::errc::permission_denied);
    return nullptr;
  }
  return std::make_unique<StreamFirmwareSource>(std::move(in));
}

bool FirmwareImage::Open(std::unique_ptr<FirmwareSource> source) {
  Close();
  if (source == nullptr || !source->ReadAll(kMaxFirmwareFileSize, bytes_)) {
    bytes_.clear();
    return false;
  }
  source_ = std::move(source);
  return true;
}

void FirmwareImage::Close() {
  source_.reset();
  bytes_.clear();
  bytes_.shrink_to_fit();
}

std::size_t FirmwareImage::Read(std::uint32_t offset, std::uint8_t* dst, std::size_t count) const {
  if (offset >= bytes_.size()) return 0;
  const std::size_t n = std::min<std::size_t>(count, bytes_.size() - offset);
  std::memcpy(dst, bytes_.data() + offset, n);
  return n;
}

std::size_t FirmwareImage::ReadPadded(std::uint32_t offset, std::uint8_t* dst, std::size_t count) const {
  std::size_t got = Read(offset, dst, count);
  std::memset(dst + got, kErasedByte, count - got);
  return got;
}

const char* FileCheckResult::field() const {
  switch (check) {
    case FileCheck::Ok: return "";
    case FileCheck::Header1Short: return "section 1 header";
    case FileCheck::Header2Short: return "section 2 header";
    case FileCheck::Header3Short: return "section 3 header";
    case FileCheck::FileMarkLow: return "section 3 fileMark";
    case FileCheck::ModelCodeWrong: return "section 1 pid";
    case FileCheck::OffsetWraps: return "section length";
    case FileCheck::Section1OutsideFile: return "section 1 length";
    case FileCheck::Section2OutsideFile: return "section 2 length";
    case FileCheck::Section3OutsideFile: return "section 3 length";
    case FileCheck::SectionShorterThanLoader: return "section length";
    case FileCheck::NothingToWrite: return "section length";
    case FileCheck::AddressWraps: return "section loadAddress";
  }
  return "";
}

std::string FileCheckResult::Describe() const {
  auto hex = [](std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return std::string(buf);
  };
  std::string f = field();
  switch (check) {
    case FileCheck::Ok: return "file fits";
    case FileCheck::Header1Short:
    case FileCheck::Header2Short:
    case FileCheck::Header3Short:
      return f + ": only " + std::to_string(actual) + " of 28 bytes present at offset " + std::to_string(expected);
    case FileCheck::FileMarkLow: return f + " is " + hex(actual) + ", must be 0xE1 or more";
    case FileCheck::ModelCodeWrong: return f + " (model code) is " + hex(actual) + ", must be " + hex(expected);
    case FileCheck::OffsetWraps:
      return f + ": the sections end at " + std::to_string(actual) + ", beyond 32-bit file offsets";
    case FileCheck::Section1OutsideFile:
    case FileCheck::Section2OutsideFile:
    case FileCheck::Section3OutsideFile:
      return f + ": data ends at offset " + std::to_string(actual) + " but the file has only " +
             std::to_string(expected) + " bytes (truncated?)";
    case FileCheck::SectionShorterThanLoader:
      return f + " " + std::to_string(actual) + " is shorter than the loader size " + std::to_string(expected);
    case FileCheck::NothingToWrite: return f + ": the sections to write hold no data";
    case FileCheck::AddressWraps:
      return f + ": the section's blocks end at device address " + hex(actual) + ", beyond 32-bit addresses";
  }
  return f;
}

void ReadSectionHeaders(FirmwareImage& image, FirmwareHeaders& headers) {
  headers.h2 = {};
  headers.h3 = {};
  headers.h2Read = headers.h3Read = 0;
  const std::uint32_t l1 = headers.h1.length();
  headers.h2Read = image.Read(kHeaderSize + l1, headers.h2.bytes, kHeaderSize);
  if (headers.h2Read > 0) {
    headers.h3Read = image.Read(2 * kHeaderSize + l1 + headers.h2.length(), headers.h3.bytes, kHeaderSize);
  }
}

FileCheckResult CheckFileStructure(const FirmwareHeaders& headers, std::uint64_t fileSize) {
  const std::uint64_t l1 = headers.h1.length(), l2 = headers.h2.length(), l3 = headers.h3.length();
  if (headers.h1Read < kHeaderSize) return {FileCheck::Header1Short, headers.h1Read, 0};
  // Positions in 64 bits: the 32-bit arithmetic of the reads must not wrap.
  const std::uint64_t h2At = kHeaderSize + l1, h3At = 2 * kHeaderSize + l1 + l2, end = 3 * kHeaderSize + l1 + l2 + l3;
  if (h2At + kHeaderSize > 0xFFFFFFFFull) return {FileCheck::OffsetWraps, h2At + kHeaderSize, 0xFFFFFFFFull};
  if (h2At > fileSize) return {FileCheck::Section1OutsideFile, h2At, fileSize};
  if (headers.h2Read < kHeaderSize) return {FileCheck::Header2Short, headers.h2Read, h2At};
  if (h3At + kHeaderSize > 0xFFFFFFFFull) return {FileCheck::OffsetWraps, h3At + kHeaderSize, 0xFFFFFFFFull};
  if (h3At > fileSize) return {FileCheck::Section2OutsideFile, h3At, fileSize};
  if (headers.h3Read < kHeaderSize) return {FileCheck::Header3Short, headers.h3Read, h3At};
  if (headers.h3.fileMark() < kMinFileMark) return {FileCheck::FileMarkLow, headers.h3.fileMark(), kMinFileMark};
  if (end > 0xFFFFFFFFull) return {FileCheck::OffsetWraps, end, 0xFFFFFFFFull};
  if (end > fileSize) return {FileCheck::Section3OutsideFile, end, fileSize};
  return {};
}

FileCheckResult CheckModelCode(const qv_firmware_header& h1) {
  if (h1.pid() != kModelCode) return {FileCheck::ModelCodeWrong, h1.pid(), kModelCode};
  return {};
}

FileCheckResult PlanWrite(const FirmwareHeaders& headers, WrittenSet set, std::uint32_t loaderSize, WritePlan& plan) {
  plan = {};
  const std::uint32_t l1 = headers.h1.length(), l2 = headers.h2.length(), l3 = headers.h3.length();
  if (set == WrittenSet::Sections1And2) {
    if (l1 == 0) return {FileCheck::NothingToWrite, 0, 0};
    if (l1 < loaderSize) return {FileCheck::SectionShorterThanLoader, l1, loaderSize};
    const std::uint32_t written1 = l1 - loaderSize;
    if (written1 == 0 && l2 == 0) return {FileCheck::NothingToWrite, 0, 0};
    plan.plans[0] = {1, kHeaderSize + loaderSize, written1, 0, written1, written1};
    plan.count = 1;
    if (l2 != 0) {
      // The trailing pieces of section 2 carry section 1's written length: the
      // loader was made that way, so it is kept.
      plan.plans[1] = {2, 2 * kHeaderSize + l1, l2, headers.h2.loadAddress(), l2, written1};
      plan.count = 2;
    }
  } else {
    if (l3 == 0) return {FileCheck::NothingToWrite, 0, 0};
    if (l3 < loaderSize) return {FileCheck::SectionShorterThanLoader, l3, loaderSize};
    const std::uint32_t written3 = l3 - loaderSize;
    if (written3 == 0) return {FileCheck::NothingToWrite, 0, 0};
    plan.plans[0] = {3, 3 * kHeaderSize + l1 + l2 + loaderSize, written3, headers.h3.loadAddress(), written3, written3};
    plan.count = 1;
  }
  // Block addresses are 32-bit on the wire: a section that would wrap to address 0
  // would write over the start of flash.
  for (int i = 0; i < plan.count; ++i) {
    const SectionPlan& p = plan.plans[i];
    const std::uint64_t end = static_cast<std::uint64_t>(p.firstAddress) +
                              static_cast<std::uint64_t>(BlockCount(p.writtenLength, kBlockSize)) * kBlockSize;
    if (end > 0x100000000ull) {
      plan = {};
      return {FileCheck::AddressWraps, end, 0x100000000ull};
    }
  }
  return {};
}

FileCheckResult CheckFirmwareFile(const FirmwareHeaders& headers, std::uint64_t fileSize, WrittenSet set) {
  if (FileCheckResult r = CheckFileStructure(headers, fileSize); !r.ok()) return r;
  if (FileCheckResult r = CheckModelCode(headers.h1); !r.ok()) return r;
  WritePlan plan;
  return PlanWrite(headers, set, 0, plan);
}

const char* WrittenSetName(WrittenSet set) { return set == WrittenSet::Section3 ? "section 3" : "sections 1 and 2"; }

bool DependsOnWrittenSet(FileCheck check) {
  return check == FileCheck::NothingToWrite || check == FileCheck::AddressWraps ||
         check == FileCheck::SectionShorterThanLoader;
}

FileVerdict JudgeFirmwareFile(const FirmwareHeaders& headers, std::uint64_t fileSize) {
  FileVerdict v;
  for (int i = 0; i < 2; ++i) {
    v.sets[i] = CheckFirmwareFile(headers, fileSize, kWrittenSets[i]);
    if (!v.sets[i].ok() && v.check.ok()) {
      v.check = v.sets[i];
      v.refusedSet = kWrittenSets[i];
    }
  }
  return v;
}

std::string DescribeRefusal(const FileCheckResult& check, WrittenSet set) {
  if (!DependsOnWrittenSet(check.check)) return check.Describe();
  return std::string("written set ") + WrittenSetName(set) + ": " + check.Describe();
}

std::uint32_t BlockCount(std::uint32_t length, std::uint32_t unit) {
  if (unit == 0) return 0;
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(length) + unit - 1) / unit);
}

}  // namespace korbex
