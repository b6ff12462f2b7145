#include "bench/BenchDevice.h"
#include "hid/hidapi/HidapiChannel.h"

namespace korbex::bench {

std::unique_ptr<ReportChannel> OpenBenchDevice(const std::string& path, std::string& error) {
  auto channel = std::make_unique<HidapiChannel>();
  if (channel->Open(path, error) != HidOpenStatus::Ok) return nullptr;
  return channel;
}

}  // namespace korbex::bench
