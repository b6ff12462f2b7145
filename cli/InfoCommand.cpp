// korbex-update info: connects to the adapter and shows its version caption, as the
// dialog's title shows it (a FlashLoader adapter reports none).
#include "cli/CliTexts.h"
#include "cli/Commands.h"
#include "cli/Connect.h"
#include "cli/ExitCodes.h"
#include "cli/JsonViews.h"
#include "text/Texts.h"

namespace korbex::cli {

int RunInfo(Tool& tool) {
  Output& out = tool.out;
  auto backend = MakeBackend(tool);
  Connection c;
  int code = Connect(tool, *backend, c);
  if (code == kExitOk) {
    DeviceFamily family;
    ApplyFamilyMatch(family, c.entry.vendorId, c.entry.productId, false);
    if (family.TwoStage) {
      UpdateSession session;
      std::u16string caption;
      code = QueryVersion(tool, c, session, caption);
      if (code == kExitOk) {
        out.Doc()["version"] = VersionJson(session, caption);
        out.Result(CaptionLine(caption));
      }
    } else {
      // The dialog asks only TwoStage adapters; a FlashLoader's caption is the title.
      out.Doc()["version"] = nullptr;
      out.Result(Utf8(LocalizedText(kTextTitle, out.Language())) + "  (" +
                 Text(Msg::VersionNotReported, out.Language(), {"FlashLoader"}) + ")");
    }
  }
  return SaveSimulatedFlash(tool, backend.get(), code);
}

}  // namespace korbex::cli
