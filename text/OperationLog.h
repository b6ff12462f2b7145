#pragma once
// The operation log "1.txt": UTF-16LE with a byte-order mark, one file per update.
// Nothing reads it back; it is for diagnosis after the fact, so a failed write never
// stops or fails an update.
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string_view>

namespace korbex {

// A file open for writing. Write returns false when not every byte was written.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual bool Write(const void* data, std::size_t size) = 0;
};

// Creates (replacing) a file for writing with the standard library; null on failure.
// The Windows program uses its own exclusive CreateFileW instead.
std::unique_ptr<OutputFile> CreateOutputFile(const std::filesystem::path& path);

class OperationLog {
 public:
  // Takes a newly created file (null when creation failed), closing any log still
  // open from an earlier update first, and writes the byte-order mark FF FE.
  void Create(std::unique_ptr<OutputFile> file);
  // Appends the text's UTF-16 code units, little-endian, no terminator. Writes
  // nothing when the log is not open. A failed write is counted, nothing more.
  void AppendLog(std::u16string_view text);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  unsigned FailedWrites() const { return failedWrites_; }

 private:
  void WriteBytes(const void* data, std::size_t size);
  std::unique_ptr<OutputFile> file_;
  unsigned failedWrites_ = 0;
};

}  // namespace korbex
