#include "text/OperationLog.h"

#include <cstdint>
#include <fstream>

namespace korbex {
namespace {

class StreamOutputFile final : public OutputFile {
 public:
  explicit StreamOutputFile(const std::filesystem::path& path)
      : out_(path, std::ios::binary | std::ios::out | std::ios::trunc) {}
  bool IsOpen() const { return out_.is_open(); }
  bool Write(const void* data, std::size_t size) override {
    out_.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out_.flush();  // a crash or power loss mid-update should still leave the lines so far
    if (out_) return true;
    out_.clear();
    return false;
  }

 private:
  std::ofstream out_;
};

}  // namespace

std::unique_ptr<OutputFile> CreateOutputFile(const std::filesystem::path& path) {
  auto file = std::make_unique<StreamOutputFile>(path);
  if (!file->IsOpen()) return nullptr;
  return file;
}

void OperationLog::Create(std::unique_ptr<OutputFile> file) {
  Close();
  file_ = std::move(file);
  failedWrites_ = 0;
  static constexpr std::uint8_t kByteOrderMark[2] = {0xFF, 0xFE};
  WriteBytes(kByteOrderMark, sizeof kByteOrderMark);
}

void OperationLog::AppendLog(std::u16string_view text) {
  if (!file_) return;
  // Bounded chunks keep this allocation-free for any text length.
  std::uint8_t chunk[256];
  std::size_t used = 0;
  for (char16_t unit : text) {
    chunk[used++] = static_cast<std::uint8_t>(unit & 0xFF);
    chunk[used++] = static_cast<std::uint8_t>(unit >> 8);
    if (used == sizeof chunk) {
      WriteBytes(chunk, used);
      used = 0;
    }
  }
  if (used) WriteBytes(chunk, used);
}

void OperationLog::Close() { file_.reset(); }

void OperationLog::WriteBytes(const void* data, std::size_t size) {
  if (file_ && !file_->Write(data, size)) ++failedWrites_;
}

}  // namespace korbex
