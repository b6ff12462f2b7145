// korbex-update list: the adapters present, one line each (and in the document).
#include "cli/CliTexts.h"
#include "cli/Commands.h"
#include "cli/Connect.h"
#include "cli/ExitCodes.h"
#include "cli/JsonViews.h"

namespace korbex::cli {

using nlohmann::json;

int RunList(Tool& tool) {
  Output& out = tool.out;
  auto backend = MakeBackend(tool);
  if (!backend->Supported()) {
    out.Doc()["adapters"] = json::array();
    out.Error(kExitNoAdapter, Text(Msg::NoHardwareSupport, out.Language()));
    return kExitNoAdapter;
  }
  const auto entries = backend->Enumerate();
  json list = json::array();
  for (const auto& e : entries) {
    list.push_back(ToJson(e));
    std::string row =
        e.path + "  " + Hex(e.vendorId, 4) + ":" + Hex(e.productId, 4) + "  " + FamilyName(e.vendorId, e.productId);
    if (e.interfaceNumber >= 0) row += "  interface " + std::to_string(e.interfaceNumber);
    if (!e.serial.empty()) row += "  serial " + e.serial;
    if (!e.product.empty()) row += "  " + e.product;
    out.Result(row);
  }
  out.Doc()["adapters"] = list;
  if (entries.empty()) {
    out.Error(kExitNoAdapter, Text(Msg::NoAdapter, out.Language()));
    return kExitNoAdapter;
  }
  return kExitOk;
}

}  // namespace korbex::cli
