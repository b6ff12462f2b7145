#pragma once
// Which supported adapters are present, and which come and go. On Linux both come from
// udev (the hidraw subsystem): its enumeration reads sysfs entry by entry and skips a
// node that vanishes during the walk, and its monitor reports a node only once udev has
// processed it, so the node's permissions (the uaccess ACL of the udev rule) are in
// place when it is opened. Elsewhere the list comes from hidapi and there is no watch.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korbex {

// One HID interface of a supported adapter, as the operating system lists it.
struct HidDeviceEntry {
  std::string path;  // what HidapiChannel::Open takes (/dev/hidrawN on Linux)
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  int interfaceNumber = -1;  // -1 when the system does not say
  std::string product;       // USB product string, UTF-8; may be empty
  std::string serial;        // USB serial number string; empty when the device has none
  // Where on the bus: the USB device's port path (Linux "3-1", "1-1.2"); the same after
  // the adapter restarts on the same port. Empty when the system does not say.
  std::string port;
};

// Every present HID interface whose vendor and product ids are supported, in the
// system's order. Empty when the system cannot be asked.
std::vector<HidDeviceEntry> EnumerateHidDevices();

struct HidDeviceEvent {
  enum class Kind { Added, Removed } kind;
  // Added: a supported adapter, whole. Removed: only path is known (the device is
  // gone, and with it what it was); it may be any HID device.
  HidDeviceEntry entry;
};

class HidDeviceWatch {
 public:
  virtual ~HidDeviceWatch() = default;
  // The next event since the watch began, waiting at most timeoutMs; nothing on
  // time-out (or when interrupted by a signal).
  virtual std::optional<HidDeviceEvent> Next(int timeoutMs) = 0;
};

// Starts watching. Null where the system has no watch (callers then poll
// EnumerateHidDevices) or the watch cannot be set up.
std::unique_ptr<HidDeviceWatch> WatchHidDevices();

}  // namespace korbex
