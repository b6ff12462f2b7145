#include "app/win/Win32Files.h"

#include <algorithm>
#include <vector>

std::unique_ptr<Win32FirmwareSource> Win32FirmwareSource::Open(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<Win32FirmwareSource>(new Win32FirmwareSource(file));
}

Win32FirmwareSource::~Win32FirmwareSource() { CloseHandle(file_); }

bool Win32FirmwareSource::ReadAll(std::uint64_t maxBytes, std::vector<std::uint8_t>& out) {
  out.clear();
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file_, &size) || static_cast<std::uint64_t>(size.QuadPart) > maxBytes) return false;
  out.resize(static_cast<std::size_t>(size.QuadPart));
  std::size_t done = 0;
  while (done < out.size()) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - done, 1u << 20));
    if (!ReadFile(file_, out.data() + done, want, &got, nullptr)) return false;
    if (got == 0) return false;  // shorter than its size said: not read whole
    done += got;
  }
  return true;
}

std::unique_ptr<Win32OutputFile> Win32OutputFile::Create(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<Win32OutputFile>(new Win32OutputFile(file));
}

Win32OutputFile::~Win32OutputFile() { CloseHandle(file_); }

bool Win32OutputFile::Write(const void* data, std::size_t size) {
  DWORD written = 0;
  return WriteFile(file_, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

std::wstring OperationLogPath() {
  // MAX_PATH is enough for most installs; a deeper folder still gets its log.
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return L"\\1.txt";
    if (length < buffer.size()) {
      std::wstring path(buffer.data(), length);
      const std::size_t slash = path.rfind(L'\\');
      return (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash)) + L"\\1.txt";
    }
    if (buffer.size() >= 32768) return L"\\1.txt";
    buffer.resize(buffer.size() * 2);
  }
}
