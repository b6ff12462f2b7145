#pragma once
// The commands of korbex-update. Each returns its exit code (cli/ExitCodes.h) and
// reports through Output; none of them prints on its own. Each lives in its own file
// (cli/ListCommand.cpp, InfoCommand, InspectCommand, VerifyCommand, FlashCommand,
// MakeDemoFirmwareCommand); the step they share is in cli/Connect.h.
#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/Output.h"
#include "sim/SimulateOptions.h"

namespace korbex::cli {

struct ToolOptions {
  std::string device;                            // --device PATH
  bool yes = false;                              // -y
  std::optional<sim::SimulateOptions> simulate;  // --simulate, parsed (the first, when repeated)
  std::FILE* trace = nullptr;                    // --trace FILE, header written
  std::uint32_t waitSeconds = 0;                 // --wait[=SECONDS] of info, verify, flash; 0: no wait

  // The second and later --simulate: one more simulated adapter each.
  std::vector<sim::SimulateOptions> moreSimulated;
  // --all of verify and flash: every adapter at once.
  bool all = false;
  // --all: the one confirmation for all adapters was answered OK.
  bool confirmedForAll = false;
};

struct Tool {
  Output& out;
  ToolOptions options;
  std::atomic<bool> stop{false};  // Ctrl-C
};

int RunList(Tool& tool);
int RunInfo(Tool& tool);
int RunInspect(Tool& tool, const std::string& file);
int RunVerify(Tool& tool, const std::string& file);
int RunFlash(Tool& tool, const std::string& file);

// Writes a firmware file of our own making (never a vendor image) for the demo and
// for trying the tool: three sections of pseudo-random bytes, model code 0x4B50.
struct DemoFileSpec {
  std::uint32_t section1 = 6 * 4096 + 1000;
  std::uint32_t section2 = 2 * 4096;
  std::uint32_t section3 = 3 * 4096;
  std::uint32_t seed = 1;
};
int RunMakeDemoFirmware(Tool& tool, const std::string& file, const DemoFileSpec& demo);

}  // namespace korbex::cli
