// korbex-update verify FILE: compares the adapter's flash with the file, block by block,
// by the loader's checksums; writes nothing.
#include <string>
#include <vector>

#include "cli/AllAdapters.h"
#include "cli/CliTexts.h"
#include "cli/Commands.h"
#include "cli/Connect.h"
#include "cli/ExitCodes.h"
#include "cli/JsonViews.h"
#include "text/Texts.h"
#include "update/FlashCompare.h"

namespace korbex::cli {
namespace {

using nlohmann::json;

}  // namespace

// The comparison on one opened adapter, identified for the file; reports its outcome
// and returns the exit code.
int VerifyOpened(Tool& tool, OpenedFile& f, Connection& c, const UpdateSession& session) {
  Output& out = tool.out;
  int code = kExitFailed;
  const WrittenSet set = session.singleNumberVersion ? WrittenSet::Section3 : WrittenSet::Sections1And2;

  json blocks = json::array();
  std::vector<std::string> differing;
  const auto result = CompareFlash(
      *c.link, f.image, f.headers, set,
      [&](const BlockComparison& b) {
        json j = {{"section", b.section}, {"block", b.block},       {"address", b.address},
                  {"equal", b.equal},     {"answered", b.answered}, {"fileCrc", b.fileCrc}};
        if (b.answered) j["deviceCrc"] = b.deviceCrc;
        blocks.push_back(j);
        std::string line = Text(Msg::BlockDiffersLine, out.Language(),
                                {std::to_string(b.section), std::to_string(b.block), Hex(b.address, 8)});
        out.Progress(b.blockCount ? (b.block + 1) * 100 / b.blockCount : 100,
                     "section " + std::to_string(b.section) + " block " + std::to_string(b.block + 1) + "/" +
                         std::to_string(b.blockCount));
        if (!b.equal) {
          line += b.answered ? "  (file crc " + Hex(b.fileCrc, 4) + ", adapter crc " + Hex(b.deviceCrc, 4) + ")"
                             : std::string("  (no answer)");
          differing.push_back(line);
        }
        out.Detail(line + (b.equal ? "  equal" : ""));
      },
      &tool.stop);
  out.EndProgress();
  json& doc = out.Doc();
  doc["loader"] = {{"loaderSize", result.loader.loaderSize}, {"eraseUnitSize", result.loader.eraseUnitSize}};
  doc["blocks"] = blocks;
  doc["equal"] = result.equal;
  doc["differing"] = result.differing;
  doc["unanswered"] = result.unanswered;
  // An adapter that left answers nothing: that is not a flash that differs.
  const bool adapterGone = result.status == FlashCompareResult::Status::AdapterGone || c.channel->ReadErrors() > 0 ||
                           c.channel->WriteErrors() > 0;
  doc["adapterGone"] = adapterGone;
  if (adapterGone && result.status != FlashCompareResult::Status::LoaderSilent) {
    out.Error(kExitFailed,
              Text(Msg::VerifyAdapterGone, out.Language(), {std::to_string(result.equal + result.differing)}));
    return kExitFailed;
  }
  switch (result.status) {
    case FlashCompareResult::Status::LoaderSilent:
      out.Error(kExitLoaderSilent,
                Text(Msg::LoaderSilent, out.Language()) + ": " + Utf8(LocalizedText(kTextBootMode, out.Language())));
      code = kExitLoaderSilent;
      break;
    case FlashCompareResult::Status::FileRefused:
      out.Error(kExitFileRefused,
                Text(Msg::FileRefused, out.Language(), {Utf8(kFileMismatch), result.fileCheck.Describe()}));
      code = kExitFileRefused;
      break;
    case FlashCompareResult::Status::Stopped:
      // verify writes nothing: the flash is as it was.
      out.Error(kExitFailed, Text(Msg::VerifyStopped, out.Language()));
      code = kExitFailed;
      break;
    case FlashCompareResult::Status::AdapterGone:  // reported above
    case FlashCompareResult::Status::Compared:
      doc["matches"] = result.Matches();
      if (result.Matches()) {
        out.Outcome(Text(Msg::VerifyEqual, out.Language(), {std::to_string(result.blocks)}), true);
        code = kExitOk;
      } else {
        const std::string differs = std::to_string(result.differing), unanswered = std::to_string(result.unanswered),
                          blocks = std::to_string(result.blocks);
        std::string message =
            result.unanswered == 0 ? Text(Msg::VerifyDiffers, out.Language(), {differs, blocks})
            : result.differing == 0
                ? Text(Msg::VerifyUnanswered, out.Language(), {unanswered, blocks})
                : Text(Msg::VerifyDiffersAndUnanswered, out.Language(), {differs, blocks, unanswered});
        for (const auto& d : differing) message += "\n" + d;
        out.Outcome(message, false);
        if (out.Json()) out.Error(kExitFailed, message);
        code = kExitFailed;
      }
      break;
  }
  return code;
}

int RunVerify(Tool& tool, const std::string& file) {
  if (tool.options.all) return RunOnAllAdapters(tool, file, false);
  OpenedFile f;
  std::unique_ptr<AdapterBackend> backend;
  Connection c;
  DeviceFamily family;
  UpdateSession session;
  int code = OpenFileAndAdapter(tool, file, f, backend, c, family, session);
  if (code == kExitOk) code = VerifyOpened(tool, f, c, session);
  return SaveSimulatedFlash(tool, backend.get(), code);
}

}  // namespace korbex::cli
