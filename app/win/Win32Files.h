#pragma once
// The firmware file and the operation log as the Windows program opens them.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "text/OperationLog.h"
#include "update/FirmwareImage.h"

// A firmware file opened read-only and without sharing: nobody can change it while
// an update runs. The image reads it whole once; the handle is held until Close.
class Win32FirmwareSource final : public korbex::FirmwareSource {
 public:
  // Null when the file does not exist or cannot be opened.
  static std::unique_ptr<Win32FirmwareSource> Open(const std::wstring& path);
  ~Win32FirmwareSource() override;
  bool ReadAll(std::uint64_t maxBytes, std::vector<std::uint8_t>& out) override;

 private:
  explicit Win32FirmwareSource(HANDLE file) : file_(file) {}
  HANDLE file_;
};

// A file created (replacing any earlier one) for writing only, without sharing.
class Win32OutputFile final : public korbex::OutputFile {
 public:
  // Null when the file cannot be created.
  static std::unique_ptr<Win32OutputFile> Create(const std::wstring& path);
  ~Win32OutputFile() override;
  bool Write(const void* data, std::size_t size) override;

 private:
  explicit Win32OutputFile(HANDLE file) : file_(file) {}
  HANDLE file_;
};

// "1.txt" in the folder of the running executable: everything before the last
// backslash of its path, then "\1.txt".
std::wstring OperationLogPath();
