// The hardware backend on Linux and macOS: hidapi (hidraw on Linux).
#include "cli/Adapters.h"
#include "hid/hidapi/HidapiChannel.h"

namespace korbex::cli {
namespace {

class HidapiBackend final : public AdapterBackend {
 public:
  std::vector<AdapterEntry> Enumerate() override {
    std::vector<AdapterEntry> out;
    for (const auto& d : EnumerateHidapiDevices()) {
      AdapterEntry e;
      e.path = d.path;
      e.vendorId = d.vendorId;
      e.productId = d.productId;
      e.interfaceNumber = d.interfaceNumber;
      e.product = d.product;
      out.push_back(std::move(e));
    }
    return out;
  }

  std::unique_ptr<ReportChannel> Open(const AdapterEntry& entry, OpenStatus& status, std::string& message) override {
    auto channel = std::make_unique<HidapiChannel>();
    switch (channel->Open(entry.path, message)) {
      case HidOpenStatus::Ok:
        status = OpenStatus::Ok;
        return channel;
      case HidOpenStatus::PermissionDenied:
        status = OpenStatus::PermissionDenied;
        break;
      case HidOpenStatus::NotFound:
        status = OpenStatus::NotFound;
        break;
      case HidOpenStatus::Failed:
        status = OpenStatus::Failed;
        break;
    }
    return nullptr;
  }
};

}  // namespace

std::unique_ptr<AdapterBackend> MakeHardwareBackend() { return std::make_unique<HidapiBackend>(); }

}  // namespace korbex::cli
