// The hardware backend on Windows: the dialog program's own CHid channel and
// SetupAPI enumeration, so both front ends talk to the adapter the same way.
#include <windows.h>

#include "cli/Adapters.h"
#include "hid/win/Hid.h"

namespace korbex::cli {
namespace {

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::string SystemMessage(DWORD error) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = text ? text : L"";
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  return ToUtf8(message) + " (error " + std::to_string(error) + ")";
}

class WinBackend final : public AdapterBackend {
 public:
  std::vector<AdapterEntry> Enumerate() override {
    std::vector<AdapterEntry> out;
    for (const auto& d : EnumerateHidDevices()) {
      AdapterEntry e;
      e.path = ToUtf8(d.path);
      e.vendorId = d.vendorId;
      e.productId = d.productId;
      out.push_back(std::move(e));
    }
    return out;
  }

  std::unique_ptr<ReportChannel> Open(const AdapterEntry& entry, OpenStatus& status, std::string& message) override {
    // The adapter is taken before it is opened: a second program stops here. The
    // dialog takes the same object for the same path.
    AdapterLock lock;
    status = HoldAdapter(entry.path, lock, message);
    if (status != OpenStatus::Ok) return nullptr;
    auto hid = std::make_unique<CHid>();
    hid->m_DevicePath = FromUtf8(entry.path);
    SetLastError(ERROR_SUCCESS);
    if (hid->Open()) {
      status = OpenStatus::Ok;
      return std::make_unique<HeldChannel>(std::move(lock), std::move(hid));
    }
    const DWORD error = GetLastError();
    message = SystemMessage(error);
    status = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_DEVICE_NOT_CONNECTED
                 ? OpenStatus::NotFound
                 : OpenStatus::Failed;
    return nullptr;
  }
};

}  // namespace

std::unique_ptr<AdapterBackend> MakeHardwareBackend() { return std::make_unique<WinBackend>(); }

}  // namespace korbex::cli
