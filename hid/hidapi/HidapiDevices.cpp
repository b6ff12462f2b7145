// Adapters present, where there is no udev (macOS): hidapi's enumeration, no watch.
#include "hid/hidapi/HidDevices.h"
#include "hid/hidapi/HidapiChannel.h"

namespace korbex {

std::vector<HidDeviceEntry> EnumerateHidDevices() { return EnumerateHidapiDevices(); }

std::unique_ptr<HidDeviceWatch> WatchHidDevices() { return nullptr; }

}  // namespace korbex
