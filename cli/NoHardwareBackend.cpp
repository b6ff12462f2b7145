// The hardware backend of a build without an adapter channel: finds nothing and says
// why, so --simulate and inspect still work.
#include "cli/Adapters.h"

namespace korbex::cli {
namespace {

class NoHardwareBackend final : public AdapterBackend {
 public:
  bool Supported() const override { return false; }
  std::vector<AdapterEntry> Enumerate() override { return {}; }
  std::unique_ptr<ReportChannel> Open(const AdapterEntry&, OpenStatus& status, std::string& message) override {
    status = OpenStatus::Failed;
    message = "no adapter support in this build";
    return nullptr;
  }
};

}  // namespace

std::unique_ptr<AdapterBackend> MakeHardwareBackend() { return std::make_unique<NoHardwareBackend>(); }

}  // namespace korbex::cli
