// korbex-update make-demo-firmware FILE: writes a firmware file of our own making for
// the demo and for trying the tool.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli/CliTexts.h"
#include "cli/Commands.h"
#include "cli/Connect.h"
#include "cli/ExitCodes.h"
#include "sim/FirmwareFixture.h"

namespace korbex::cli {

int RunMakeDemoFirmware(Tool& tool, const std::string& file, const DemoFileSpec& demo) {
  Output& out = tool.out;
  const auto bytes = sim::MakeStandardFile(demo.section1, demo.section2, demo.section3, 0x40000, 0x1000, demo.seed);
  out.Doc()["file"] = {{"path", file}, {"size", bytes.size()}};
  const std::filesystem::path path = PathFromUtf8(file);
  errno = 0;
  std::ofstream o(path, std::ios::binary | std::ios::trunc);
  // errno from the failed open says why (a directory, a missing folder, permission).
  int error = o ? 0 : errno;
  if (o) {
    o.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    o.close();
    if (!o) error = errno != 0 ? errno : EIO;
  }
  if (error != 0 || !o) {
    std::error_code ec;
    std::string why = error != 0 ? std::strerror(error) : "cannot write";
    if (std::filesystem::is_directory(path, ec)) {
      why = std::make_error_code(std::errc::is_a_directory).message();
    } else if (!path.parent_path().empty() && !std::filesystem::is_directory(path.parent_path(), ec)) {
      why = "no such folder " + path.parent_path().string();
    }
    out.Error(kExitUsage, Text(Msg::CannotOpenFile, out.Language(), {file, why}));
    return kExitUsage;
  }
  out.Info("wrote " + file + " (" + std::to_string(bytes.size()) + " bytes, generated demo firmware)");
  return kExitOk;
}

}  // namespace korbex::cli
