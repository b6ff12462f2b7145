#include "app/win/Win32Files.h"

#include <algorithm>
#include <vector>

std::unique_ptr<Win32FirmwareSource> Win32FirmwareSource::Open(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) {
    CloseHandle(file);
    return nullptr;
  }
  return std::unique_ptr<Win32FirmwareSource>(new Win32FirmwareSource(file, static_cast<std::uint64_t>(size.QuadPart)));
}

Win32FirmwareSource::~Win32FirmwareSource() { CloseHandle(file_); }

std::size_t Win32FirmwareSource::ReadAt(std::uint64_t offset, void* dst, std::size_t count) {
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(file_, position, nullptr, FILE_BEGIN)) return 0;
  std::size_t done = 0;
  auto* out = static_cast<std::uint8_t*>(dst);
  while (done < count) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 20));
    if (!ReadFile(file_, out + done, want, &got, nullptr) || got == 0) break;
    done += got;
  }
  return done;
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
