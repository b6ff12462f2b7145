#pragma once
// The report channel and device enumeration on Linux (hidraw) and macOS, over hidapi.
// hidapi's own header stays inside the .cpp so callers see only the ReportChannel
// contract.
#include <cstdint>
#include <string>
#include <vector>

#include "hid/ReportChannel.h"
#include "hid/hidapi/HidDevices.h"

struct hid_device_;

namespace korbex {

// The loader answers within a few milliseconds; the Windows channel waits the same.
inline constexpr int kHidapiReadTimeoutMs = 200;

// Every present HID interface whose vendor and product ids are supported, in the
// order hidapi lists them. Returns an empty list when hidapi cannot enumerate. Not for
// Linux: Debian's hidapi 0.13.1 dereferences a null string when a hidraw node goes away
// during the walk, which every adapter restart risks; EnumerateHidDevices asks udev.
std::vector<HidDeviceEntry> EnumerateHidapiDevices();

enum class HidOpenStatus {
  Ok,
  PermissionDenied,  // the device node exists but this user may not open it
  NotFound,          // no such device (unplugged, or a wrong path)
  Failed,            // any other error; see the message
};

class HidapiChannel final : public ReportChannel {
 public:
  HidapiChannel();
  ~HidapiChannel() override;
  HidapiChannel(const HidapiChannel&) = delete;
  HidapiChannel& operator=(const HidapiChannel&) = delete;

  // Opens the interface at path (closing an earlier one). On failure message holds
  // hidapi's or the system's reason.
  HidOpenStatus Open(const std::string& path, std::string& message);
  void Close();

 protected:
  // hid_write with the report id first; non-zero when every byte was accepted.
  int WriteRaw(const std::uint8_t* bytes, std::size_t count) override;
  // hid_read_timeout with kHidapiReadTimeoutMs. hidapi drops the report id of a device
  // without numbered reports, so the report comes back with id 0 in front, the way
  // Windows delivers it. 0 bytes read is a time-out; an error (unplugged device) is
  // kReadHidapiError and leaves report untouched.
  std::uint32_t ReadRaw(std::uint8_t (&report)[kReportSize]) override;
  bool IsReadOpen() const override { return device_ != nullptr; }
  bool IsWriteOpen() const override { return device_ != nullptr; }

 private:
  hid_device_* device_ = nullptr;
};

// The status a read answers when hidapi reports an error (the device went away).
inline constexpr std::uint32_t kReadHidapiError = 0xFFFFFFFF;

}  // namespace korbex
