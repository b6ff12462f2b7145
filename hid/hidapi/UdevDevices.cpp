// Adapters present, and adapters coming and going, on Linux: libudev over hidraw.
// Every string libudev gives may be null when the device left a moment ago; each one is
// checked, and a device that cannot be read whole is skipped.
#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "hid/DeviceFamily.h"
#include "hid/hidapi/HidDevices.h"

namespace korbex {
namespace {

struct UdevRef {
  udev* u = udev_new();
  UdevRef() = default;
  UdevRef(const UdevRef&) = delete;
  UdevRef& operator=(const UdevRef&) = delete;
  ~UdevRef() {
    if (u) udev_unref(u);
  }
};

// HID_ID of the hid parent: "BUS:VENDOR:PRODUCT" in hex, e.g. "0003:000035B2:00002D93".
bool ParseHidId(const char* id, std::uint16_t& vendor, std::uint16_t& product) {
  unsigned bus = 0, v = 0, p = 0;
  if (!id || std::sscanf(id, "%x:%x:%x", &bus, &v, &p) != 3 || v > 0xFFFF || p > 0xFFFF) return false;
  vendor = static_cast<std::uint16_t>(v);
  product = static_cast<std::uint16_t>(p);
  return true;
}

// The entry of a hidraw device when it is a supported adapter and still readable.
std::optional<HidDeviceEntry> EntryOf(udev_device* raw) {
  if (!raw) return std::nullopt;
  const char* node = udev_device_get_devnode(raw);
  // Parents belong to raw; they are not unreferenced here.
  udev_device* hid = udev_device_get_parent_with_subsystem_devtype(raw, "hid", nullptr);
  if (!node || !hid) return std::nullopt;
  HidDeviceEntry e;
  if (!ParseHidId(udev_device_get_property_value(hid, "HID_ID"), e.vendorId, e.productId)) return std::nullopt;
  if (!IsSupportedDevice(e.vendorId, e.productId)) return std::nullopt;
  e.path = node;
  if (udev_device* intf = udev_device_get_parent_with_subsystem_devtype(raw, "usb", "usb_interface")) {
    if (const char* n = udev_device_get_sysattr_value(intf, "bInterfaceNumber")) {
      e.interfaceNumber = static_cast<int>(std::strtol(n, nullptr, 16));
    }
  }
  if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(raw, "usb", "usb_device")) {
    if (const char* product = udev_device_get_sysattr_value(usb, "product")) e.product = product;
    if (const char* serial = udev_device_get_sysattr_value(usb, "serial")) e.serial = serial;
    if (const char* port = udev_device_get_sysname(usb)) e.port = port;
  }
  return e;
}

class UdevWatch final : public HidDeviceWatch {
 public:
  bool Start() {
    if (!udev_.u) return false;
    // With udevd running, take its events: they come after the rules ran, so the node
    // has its owner and ACL. Without udevd nothing else will touch the node, and the
    // kernel's own events are the only ones there are.
    const bool udevd = ::access("/run/udev/control", F_OK) == 0;
    monitor_ = udev_monitor_new_from_netlink(udev_.u, udevd ? "udev" : "kernel");
    if (!monitor_) return false;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
      return false;
    }
    return true;
  }

  ~UdevWatch() override {
    if (monitor_) udev_monitor_unref(monitor_);
  }

  std::optional<HidDeviceEvent> Next(int timeoutMs) override {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd p{udev_monitor_get_fd(monitor_), POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) return std::nullopt;  // Ctrl-C: let the caller look
      if (ready <= 0) continue;
      udev_device* d = udev_monitor_receive_device(monitor_);
      if (!d) continue;
      std::optional<HidDeviceEvent> event;
      const char* action = udev_device_get_action(d);
      if (action && std::strcmp(action, "add") == 0) {
        if (auto e = EntryOf(d)) event = HidDeviceEvent{HidDeviceEvent::Kind::Added, std::move(*e)};
      } else if (action && std::strcmp(action, "remove") == 0) {
        if (const char* node = udev_device_get_devnode(d)) {
          HidDeviceEntry e;
          e.path = node;
          event = HidDeviceEvent{HidDeviceEvent::Kind::Removed, std::move(e)};
        }
      }
      udev_device_unref(d);
      if (event) return event;
    }
  }

 private:
  UdevRef udev_;
  udev_monitor* monitor_ = nullptr;
};

}  // namespace

std::vector<HidDeviceEntry> EnumerateHidDevices() {
  std::vector<HidDeviceEntry> out;
  UdevRef udev;
  if (!udev.u) return out;
  udev_enumerate* list = udev_enumerate_new(udev.u);
  if (!list) return out;
  if (udev_enumerate_add_match_subsystem(list, "hidraw") >= 0 && udev_enumerate_scan_devices(list) >= 0) {
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(list)) {
      const char* syspath = udev_list_entry_get_name(entry);
      if (!syspath) continue;
      // Null when the node left since the scan.
      udev_device* raw = udev_device_new_from_syspath(udev.u, syspath);
      if (!raw) continue;
      if (auto e = EntryOf(raw)) out.push_back(std::move(*e));
      udev_device_unref(raw);
    }
  }
  udev_enumerate_unref(list);
  return out;
}

std::unique_ptr<HidDeviceWatch> WatchHidDevices() {
  auto watch = std::make_unique<UdevWatch>();
  if (!watch->Start()) return nullptr;
  return watch;
}

}  // namespace korbex
