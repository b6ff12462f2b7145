#include "hid/win/Hid.h"

#include <dbt.h>
#include <setupapi.h>

#include <cstring>

#include "hid/win/InterfaceWalk.h"

// MinGW's hidsdi.h declares the hid.dll functions without C linkage.
extern "C" {
#include <hidsdi.h>
}

namespace {

constexpr DWORD kOpenedReadTimeoutMs = 200;

// SetupAPI behind the walk of InterfaceWalk.h.
struct SetupApiInterfaces {
  HDEVINFO set;
  GUID guid;
  SP_DEVICE_INTERFACE_DATA data{};

  bool Enumerate(std::uint32_t index) {
    data = {};
    data.cbSize = sizeof data;
    return SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data) != FALSE;
  }
  std::uint32_t RequiredSize(std::uint32_t) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
    return size >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ? size : 0;
  }
  bool Detail(std::uint32_t, std::vector<std::uint8_t>& buffer) {
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);  // the fixed part only
    DWORD size = static_cast<DWORD>(buffer.size());
    return SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, &size, nullptr) != FALSE;
  }
};

// Walks the present HID interfaces in the system's order, opening each one to read
// its attributes. stop(path, attributes) decides whether the walk ends at this
// device; its handle is then returned open, every other handle is closed.
template <class Stop>
HANDLE WalkHidInterfaces(Stop&& stop) {
  GUID guid;
  HidD_GetHidGuid(&guid);
  HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  SetupApiInterfaces api{set, guid};
  HANDLE kept = INVALID_HANDLE_VALUE;
  korbex::win::WalkInterfaceDetails(api, [&](std::uint32_t, std::vector<std::uint8_t>& buffer) {
    const wchar_t* path = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data())->DevicePath;
    HANDLE device = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (HidD_GetAttributes(device, &attributes) && stop(path, attributes)) {
      kept = device;
      return true;
    }
    CloseHandle(device);
    return false;
  });
  SetupDiDestroyDeviceInfoList(set);
  return kept;
}

std::vector<HidDeviceInfo> Enumerate(bool supportedOnly) {
  std::vector<HidDeviceInfo> devices;
  WalkHidInterfaces([&](const wchar_t* path, const HIDD_ATTRIBUTES& attributes) {
    if (!supportedOnly || korbex::IsSupportedDevice(attributes.VendorID, attributes.ProductID)) {
      devices.push_back({path, attributes.VendorID, attributes.ProductID});
    }
    return false;
  });
  return devices;
}

}  // namespace

korbex::AdapterLockStatus TakeAdapter(korbex::AdapterLock& lock, const std::wstring& devicePath) {
  std::string path;
  if (!devicePath.empty()) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, devicePath.data(), static_cast<int>(devicePath.size()), nullptr, 0,
                                      nullptr, nullptr);
    path.resize(static_cast<std::size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, devicePath.data(), static_cast<int>(devicePath.size()), path.data(), n, nullptr,
                        nullptr);
  }
  return lock.Take(path);
}

std::vector<HidDeviceInfo> EnumerateHidDevices() { return Enumerate(true); }
std::vector<HidDeviceInfo> EnumerateAllHidDevices() { return Enumerate(false); }

CHid::CHid() : m_pFamily(&ownFamily_), m_pUpdateRunning(&notRunning_) {}

CHid::CHid(korbex::DeviceFamily& family, const std::atomic<int>& updateRunning)
    : m_pFamily(&family), m_pUpdateRunning(&updateRunning) {}

CHid::~CHid() {
  if (m_hDevNotify) {
    UnregisterDeviceNotification(m_hDevNotify);
    m_hDevNotify = nullptr;
  }
  CloseHandles();
  m_DevicePath.clear();
}

void CHid::CloseHandles() {
  if (m_hWrite != INVALID_HANDLE_VALUE) {
    CloseHandle(m_hWrite);
    m_hWrite = INVALID_HANDLE_VALUE;
  }
  if (m_hRead != INVALID_HANDLE_VALUE) {
    CloseHandle(m_hRead);
    m_hRead = INVALID_HANDLE_VALUE;
  }
}

int CHid::Open() {
  // Each device arrival opens the channel anew; the pair it replaces would otherwise
  // stay open for the life of the program.
  CloseHandles();
  m_hWrite = CreateFileW(m_DevicePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (m_hWrite == INVALID_HANDLE_VALUE) return 0;
  m_hRead = CreateFileW(m_DevicePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
  if (m_hRead == INVALID_HANDLE_VALUE) return 0;
  m_ReadTimeout = kOpenedReadTimeoutMs;
  return 1;
}

int CHid::WriteRaw(const std::uint8_t* bytes, std::size_t count) {
  DWORD written = 0;
  const BOOL ok = WriteFile(m_hWrite, bytes, static_cast<DWORD>(count), &written, nullptr);
  return ok && written == count ? 1 : 0;
}

std::uint32_t CHid::ReadRaw(std::uint8_t (&report)[korbex::kReportSize]) {
  // One event per read, created signalled; ReadFile resets it when the read starts.
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  if (!event) return kReadFailed;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  std::uint8_t buffer[korbex::kReportSize] = {};
  DWORD received = 0;
  std::uint32_t status;
  if (!ReadFile(m_hRead, buffer, sizeof buffer, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
    // Refused at once (device gone): the event is still signalled from its creation,
    // so waiting on it would pass the empty buffer off as a report.
    status = kReadFailed;
  } else {
    status = WaitForSingleObject(event, m_ReadTimeout);
    if (status != WAIT_OBJECT_0) CancelIo(m_hRead);
    // The read must be over, cancelled or not, before its buffer, record and event go
    // away: a late completion would otherwise write into a dead stack frame.
    const BOOL completed = GetOverlappedResult(m_hRead, &overlapped, &received, TRUE);
    if (status == WAIT_OBJECT_0 && !completed) status = kReadFailed;
  }
  CloseHandle(event);
  if (status == WAIT_OBJECT_0) std::memcpy(report, buffer, sizeof buffer);
  return status;
}

int CHid::RegisterDeviceChangeNotification() {
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_reserved = 0;
  HidD_GetHidGuid(&filter.dbcc_classguid);
  m_hDevNotify = RegisterDeviceNotificationW(m_hOwnerWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  return m_hDevNotify ? 1 : 0;
}

int CHid::Detect() {
  HANDLE device = INVALID_HANDLE_VALUE;
  const int found = ScanDevices(&device);
  if (!m_bNotifyRegistered) {
    RegisterDeviceChangeNotification();
    m_bNotifyRegistered = 1;  // attempted once, whatever it gave
  }
  if (!found) return 0;
  if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
  return 1;
}

bool CHid::MatchDevice(const std::wstring& path, std::uint16_t vendor, std::uint16_t product) {
  m_pFamily->FlashLoader = 0;
  m_DevicePath = path;
  const std::wstring trace = L"m_DevicePath:" + m_DevicePath + L"\n";
  OutputDebugStringW(trace.c_str());
  return korbex::ApplyFamilyMatch(*m_pFamily, vendor, product, m_pUpdateRunning->load() == 1);
}

int CHid::ScanDevices(HANDLE* device) {
  *device = INVALID_HANDLE_VALUE;
  if (m_DeviceSource) {
    for (const HidDeviceInfo& entry : m_DeviceSource()) {
      if (korbex::IsSupportedDevice(entry.vendorId, entry.productId)) {
        return MatchDevice(entry.path, entry.vendorId, entry.productId) ? 1 : 0;
      }
    }
    return 0;
  }
  std::wstring path;
  HIDD_ATTRIBUTES matched{};
  HANDLE handle = WalkHidInterfaces([&](const wchar_t* candidate, const HIDD_ATTRIBUTES& attributes) {
    if (!korbex::IsSupportedDevice(attributes.VendorID, attributes.ProductID)) return false;
    path = candidate;
    matched = attributes;
    return true;
  });
  if (handle == INVALID_HANDLE_VALUE) return 0;
  if (!MatchDevice(path, matched.VendorID, matched.ProductID)) {
    CloseHandle(handle);
    return 0;
  }
  *device = handle;
  return 1;
}
