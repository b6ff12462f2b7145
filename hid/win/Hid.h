#pragma once
// CHid: the Win32 report channel to the adapter, and discovery of the adapter among
// the HID interfaces that Windows reports as present.
//
// Two handles on one device path: a plain one for output reports and an overlapped
// one for input reports, so that a read can be given up after m_ReadTimeout. The
// report semantics (65-byte reports, the persistent sharedOutputReport behind short
// writes, results 0 / 258 / 128) are ReportChannel's; CHid moves whole reports.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hid/AdapterLock.h"
#include "hid/DeviceFamily.h"
#include "hid/ReportChannel.h"

// Returned by ReadReport when the device refused the read (unplugged, handle
// closed): WAIT_FAILED, never a success with stale bytes.
inline constexpr std::uint32_t kReadFailed = 0xFFFFFFFFu;

// One present HID interface as discovery sees it.
struct HidDeviceInfo {
  std::wstring path;  // device interface path, for CreateFileW / CHid::m_DevicePath
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};

// The present HID interfaces of supported adapters (vendor 0x35B2, product 0x6E41 or
// 0x2D93), in the system's enumeration order; empty when there is none or SetupAPI
// fails. Opens each interface briefly to read its attributes, as discovery does, and
// changes no discovery state (no family flags, no twoStageState).
std::vector<HidDeviceInfo> EnumerateHidDevices();

// Every present HID interface whose attributes could be read, supported or not
// (diagnostics and tests).
std::vector<HidDeviceInfo> EnumerateAllHidDevices();

// Takes the adapter at a device interface path for this process (the object
// korbex-update.exe takes for the same path: both name it from the UTF-8 path).
korbex::AdapterLockStatus TakeAdapter(korbex::AdapterLock& lock, const std::wstring& devicePath);

// Where discovery finds its devices. Empty function: the system's HID interfaces
// through SetupAPI. A test build may list its own devices (a named pipe serving the
// simulated adapter); discovery then applies the same family decision to them.
using HidDeviceSource = std::function<std::vector<HidDeviceInfo>()>;

class CHid : public korbex::ReportChannel {
 public:
  // A channel with its own family flags and no update running (a front end that only
  // opens a known path needs nothing more).
  CHid();
  // A channel whose discovery writes the program's family flags and reads its
  // updateRunning.
  CHid(korbex::DeviceFamily& family, const std::atomic<int>& updateRunning);
  // Unregisters the notification, then closes the write and the read handle.
  ~CHid() override;
  CHid(const CHid&) = delete;
  CHid& operator=(const CHid&) = delete;

  // Opens the write and the overlapped read handle on m_DevicePath and sets the read
  // time-out to 200 ms. A pair opened earlier is closed first: the channel only ever
  // uses the newest pair. Returns 1, or 0 when a CreateFileW failed (if only the
  // second did, writes work and every read answers 128). Call it only while no
  // exchange is running on this channel.
  int Open();

  // Registers m_hOwnerWnd for arrival and removal notices of HID interfaces. Returns
  // 1 when Windows gave a registration handle, else 0.
  int RegisterDeviceChangeNotification();

  // Discovery: finds the first supported device (see ScanDevices), registers for
  // device-change notices on the first call whatever the scan found, and returns 1
  // when a device was found, else 0. The device itself is opened later by Open.
  int Detect();

  // Walks the present HID interfaces and stops at the first supported device: writes
  // m_DevicePath, traces "m_DevicePath:%s\n" to the debugger and applies the family
  // decision. Returns 1 with *device open on it (INVALID_HANDLE_VALUE for a device
  // from a test source), or 0 (no device, or the decision says the device is the one
  // being updated). A scan that matches nothing changes nothing.
  int ScanDevices(HANDLE* device);

  void SetDeviceSource(HidDeviceSource source) { m_DeviceSource = std::move(source); }

  HWND m_hOwnerWnd = nullptr;
  HANDLE m_hWrite = INVALID_HANDLE_VALUE;
  HANDLE m_hRead = INVALID_HANDLE_VALUE;
  std::wstring m_DevicePath;
  DWORD m_ReadTimeout = 10;
  int m_bNotifyRegistered = 0;
  HDEVNOTIFY m_hDevNotify = nullptr;

 protected:
  int WriteRaw(const std::uint8_t* bytes, std::size_t count) override;
  std::uint32_t ReadRaw(std::uint8_t (&report)[korbex::kReportSize]) override;
  bool IsReadOpen() const override { return m_hRead != INVALID_HANDLE_VALUE; }
  bool IsWriteOpen() const override { return m_hWrite != INVALID_HANDLE_VALUE; }

 private:
  bool MatchDevice(const std::wstring& path, std::uint16_t vendor, std::uint16_t product);
  void CloseHandles();

  korbex::DeviceFamily ownFamily_;
  std::atomic<int> notRunning_{0};
  korbex::DeviceFamily* m_pFamily;
  const std::atomic<int>* m_pUpdateRunning;
  HidDeviceSource m_DeviceSource;
};
