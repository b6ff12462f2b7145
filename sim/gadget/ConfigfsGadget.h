#pragma once
// A USB HID gadget made through configfs (libcomposite + usb_f_hid): one configuration,
// one HID function with 64-byte reports. Binding it to a USB device controller (UDC)
// puts it on the bus; unbinding takes it off, as unplugging a cable would.
#include <cstdint>
#include <string>
#include <vector>

namespace korbex::gadget {

// Vendor-defined page 0xFF00, one application collection, a 64-byte input report and a
// 64-byte output report, no report ids. The adapter's own descriptor is not published;
// this is the smallest one that gives a host 64-byte reports without ids.
extern const std::vector<std::uint8_t> kReportDescriptor;

struct GadgetIdentity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string manufacturer;
  std::string product;
  std::string serial;
};

class ConfigfsGadget {
 public:
  ConfigfsGadget() = default;
  ConfigfsGadget(const ConfigfsGadget&) = delete;
  ConfigfsGadget& operator=(const ConfigfsGadget&) = delete;
  ~ConfigfsGadget() { Teardown(); }

  // The UDCs of this machine (/sys/class/udc), sorted.
  static std::vector<std::string> Controllers();
  // The configfs gadget bound to udc now, or empty when none is.
  static std::string BoundGadget(const std::string& udc);

  // Makes the gadget `name` under configfs, replacing one left by an earlier run. False
  // with error when configfs or the HID function is not available.
  bool Create(const std::string& name, const GadgetIdentity& identity, std::string& error);
  // Only while unbound: the host reads the ids when the device is enumerated.
  bool SetProductId(std::uint16_t productId, std::string& error);
  // Puts the device on the bus through udc and returns the path of the function's
  // character device (/dev/hidgN; made under /tmp when nothing made the node).
  bool Bind(const std::string& udc, std::string& node, std::string& error);
  // Takes it off the bus. Harmless when unbound.
  void Unbind();
  bool Bound() const { return bound_; }
  // Unbinds and removes everything Create made. Safe to call more than once.
  void Teardown();

 private:
  std::string root_;  // /sys/kernel/config/usb_gadget/<name>; empty when not created
  std::string madeNode_;
  bool bound_ = false;
};

// A UDC held by this process for its whole life, so that gadgets run side by side never
// take each other's controller, also while one of them is off the bus for a restart.
// The hold is an flock on a file per controller: the kernel drops it when the process
// ends, however it ends, so a killed gadget never blocks the next one.
class UdcClaim {
 public:
  UdcClaim() = default;
  UdcClaim(const UdcClaim&) = delete;
  UdcClaim& operator=(const UdcClaim&) = delete;
  ~UdcClaim() { Release(); }

  // Holds udc; false when another process holds it (or the lock file cannot be made,
  // with error).
  bool Take(const std::string& udc, std::string& error);
  void Release();

 private:
  int fd_ = -1;
};

}  // namespace korbex::gadget
