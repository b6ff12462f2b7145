#include "bench/BenchDevice.h"

namespace korbex::bench {

std::unique_ptr<ReportChannel> OpenBenchDevice(const std::string&, std::string& error) {
  error = "this build has no HID device support";
  return nullptr;
}

}  // namespace korbex::bench
