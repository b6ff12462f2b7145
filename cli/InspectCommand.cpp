// korbex-update inspect FILE: the file's section headers, what each kind of adapter
// would be sent from it, and the verdict; touches no adapter.
#include <cstdio>

#include "cli/CliTexts.h"
#include "cli/Commands.h"
#include "cli/Connect.h"
#include "cli/ExitCodes.h"
#include "cli/JsonViews.h"
#include "text/Texts.h"
#include "update/UpdateEngine.h"

namespace korbex::cli {

using nlohmann::json;

int RunInspect(Tool& tool, const std::string& file) {
  Output& out = tool.out;
  OpenedFile f;
  out.Doc()["file"] = {{"path", file}};
  OpenAndCheckFile(tool, file, f, false, false);
  if (!f.opened) return kExitFileRefused;  // could not be opened at all; already reported
  json& doc = out.Doc();
  doc["file"]["size"] = f.image.Size();
  out.Info("file: " + file + " (" + std::to_string(f.image.Size()) + " bytes)");

  const qv_firmware_header* headers[3] = {&f.headers.h1, &f.headers.h2, &f.headers.h3};
  const std::size_t read[3] = {f.headers.h1Read, f.headers.h2Read, f.headers.h3Read};
  json sections = json::array();
  out.Result("section  version  beta  load address  length      model code");
  for (int i = 0; i < 3; ++i) {
    if (read[i] < kHeaderSize) {
      out.Result(std::to_string(i + 1) + "        (header missing: " + std::to_string(read[i]) + " of 28 bytes)");
      sections.push_back({{"section", i + 1}, {"headerBytes", read[i]}});
      continue;
    }
    const auto& h = *headers[i];
    char row[160];
    std::snprintf(row, sizeof row, "%-8d %-8u %-5x 0x%08x    %-10u  0x%04x", i + 1, h.version(), h.beta(),
                  h.loadAddress(), h.length(), h.pid());
    out.Result(row);
    sections.push_back({{"section", i + 1},
                        {"version", h.version()},
                        {"beta", h.beta()},
                        {"loadAddress", h.loadAddress()},
                        {"length", h.length()},
                        {"modelCode", h.pid()}});
  }
  doc["sections"] = sections;
  if (read[2] >= kHeaderSize) {
    out.Result("file mark (section 3): 0x" + Hex(f.headers.h3.fileMark(), 2));
    doc["fileMark"] = f.headers.h3.fileMark();
  }

  // What each kind of adapter would get from this file; the loader size is the
  // adapter's, so lengths here count the loader part too.
  if (read[2] >= kHeaderSize) {
    const std::uint64_t set12 = std::uint64_t{f.headers.h1.length()} + f.headers.h2.length();
    const std::uint32_t set3 = f.headers.h3.length();
    json sets = json::array();
    auto setLine = [&](int i, const char* adapters, std::uint64_t bytes, bool single) {
      const char* name = WrittenSetName(kWrittenSets[i]);
      const FileCheckResult& verdict = f.sets[i];
      const std::string confirm = bytes ? Utf8(ConfirmationText(f.headers, single)) : std::string();
      out.Result(std::string("written set ") + name + " (" + adapters + "): " +
                 (bytes ? std::to_string(bytes) + " bytes, confirmation \"" + confirm + "\"" : std::string("empty")) +
                 (verdict.ok() ? std::string() : "; refused: " + verdict.Describe()));
      sets.push_back({{"set", name},
                      {"adapters", adapters},
                      {"bytes", bytes},
                      {"confirmation", confirm},
                      {"verdict", FileCheckJson(verdict)}});
    };
    setLine(0, "two-number version", set12, false);
    setLine(1, "single-number version", set3, true);
    doc["writtenSets"] = sets;
  }

  doc["verdict"] = FileCheckJson(f.check);
  if (f.check.ok()) {
    out.Outcome("verdict: " + Text(Msg::FileAccepted, out.Language()), true);
    return kExitOk;
  }
  if (DependsOnWrittenSet(f.check.check)) doc["verdict"]["writtenSet"] = WrittenSetName(f.refusedSet);
  const std::string refused = Text(Msg::FileRefused, out.Language(), {Utf8(kFileMismatch), RefusalReason(f)});
  out.Outcome("verdict: " + refused, false);
  out.Error(kExitFileRefused, refused);
  return kExitFileRefused;
}

}  // namespace korbex::cli
