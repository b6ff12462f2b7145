#pragma once
// The adapter korbex-bench --device measures: a real HID device (hidapi), or none in a
// build without hidapi.
#include <memory>
#include <string>

#include "hid/ReportChannel.h"

namespace korbex::bench {

// Opens the HID device at path; null with error when it cannot (or this build has no
// device support).
std::unique_ptr<ReportChannel> OpenBenchDevice(const std::string& path, std::string& error);

}  // namespace korbex::bench
