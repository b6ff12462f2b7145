// korbex-update: the command-line front end of the update engine.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "KorbexVersion.h"
#include "cli/Adapters.h"
#include "cli/CliTexts.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/Output.h"
#include "cli/Terminal.h"
#include "cli/TraceChannel.h"
#include "sim/SimulateOptions.h"

namespace {

using namespace korbex::cli;

std::string ExitCodeFooter() {
  std::string s = "Exit codes:\n";
  for (const auto& e : kExitCodes) {
    char line[160];
    std::snprintf(line, sizeof line, "  %d  %-13s %s\n", static_cast<int>(e.code), e.name, e.description);
    s += line;
  }
  s += "\n--simulate keys (comma-separated, numbers decimal or 0x hex):\n"
       "  product=0x6E41|0x2D93  product-after-finish=0x6E41|0x2D93  version=MAJ.MIN|N  beta=N\n"
       "  loader-size=N  erase-unit=N  flash-size=N  flash-in=FILE  flash-out=FILE  head=staged|direct\n"
       "  head-address=N  latency-ms=N\n"
       "  fault=KIND[:COMMAND][@N][xCOUNT][+…]   e.g. fault=nak:Erase@2x3+drop:WriteRecord@5\n"
       "\nLanguage: Chinese when LC_ALL, LC_MESSAGES or LANG (the first that is set) starts with zh_CN.\n"
       "See docs/cli.md for the trace format and the Linux udev rule.";
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareConsole();
  const std::vector<std::string> args = Utf8Arguments(argc, argv);

  // --json decides how even a usage error is reported, so look for it first.
  bool jsonWanted = false;
  for (std::size_t i = 1; i < args.size(); ++i) jsonWanted |= args[i] == "--json";

  CLI::App app{"korbex-update: re-flashes the Korbex 2.4 GHz game-controller adapter over USB HID."};
  app.name("korbex-update");
  app.set_version_flag("--version", "korbex-update " KORBEX_VERSION_TEXT);
  app.footer(ExitCodeFooter());
  app.fallthrough();
  // At most one command; none is reported after parsing, so that an unknown word is
  // named as such rather than as a missing command.
  app.require_subcommand(0, 1);

  std::string device, tracePath, simulateSpec;
  bool yes = false, json = false, quiet = false, verbose = false;
  app.add_option("--device", device, "adapter path (from `list`); required when several are present")
      ->type_name("PATH");
  app.add_flag("-y,--yes", yes, "answer the confirmation with OK");
  app.add_flag("--json", json, "print one JSON document on stdout (errors included, never a prompt)");
  app.add_option("--trace", tracePath, "write every report written and read to FILE")->type_name("FILE");
  auto* simulate =
      app.add_option("--simulate", simulateSpec,
                     "use the simulated adapter instead of hardware, configured by KEY=VALUE,… (see below)")
          ->type_name("[=KEY=VALUE,…]");
  auto* quietFlag = app.add_flag("-q,--quiet", quiet, "print only results and errors");
  app.add_flag("-v,--verbose", verbose, "print every block and phase")->excludes(quietFlag);

  std::string file;
  auto* list = app.add_subcommand("list", "list the supported adapters present: path, vendor:product, family");
  auto* info = app.add_subcommand("info", "show the adapter's firmware version as the dialog's caption shows it");
  auto* inspect = app.add_subcommand("inspect", "read and check a firmware file (no adapter needed)");
  inspect->add_option("FILE", file, "firmware file (.dat)")->required();
  auto* verify = app.add_subcommand("verify", "compare the adapter's flash with FILE block by block (writes nothing)");
  verify->add_option("FILE", file, "firmware file (.dat)")->required();
  auto* flash = app.add_subcommand("flash", "update the adapter with FILE: confirm, write, verify, restart");
  flash->add_option("FILE", file, "firmware file (.dat)")->required();
  // --wait takes its number only after '=' (like --simulate), so that a FILE after it
  // is never read as the number.
  std::uint32_t waitSeconds = 0;
  for (auto* command : {info, verify, flash}) {
    command
        ->add_option("--wait", waitSeconds,
                     "when no adapter is present, wait up to SECONDS (default " + std::to_string(kDefaultWaitSeconds) +
                         ") for one to be plugged in or put into upgrade mode")
        ->type_name("[=SECONDS]")
        ->check(CLI::Range(1u, 86400u));
  }
  auto* demo = app.add_subcommand("make-demo-firmware", "write a generated demo firmware file (not a vendor image)");
  demo->add_option("FILE", file, "file to write")->required();
  DemoFileSpec demoSpec;
  std::vector<std::uint32_t> sizes;
  demo->add_option("--sizes", sizes, "data bytes of sections 1,2,3")->delimiter(',')->expected(3);
  demo->add_option("--seed", demoSpec.seed, "pattern seed");

  // --simulate takes its value only after '=', so "--simulate flash x.dat" never reads
  // "flash" as the value. CLI11 takes an empty "=" value from the next argument, so
  // a bare --simulate (all defaults) becomes "--simulate=,": an empty key list.
  std::vector<std::string> parsed = args;
  for (std::size_t i = 1; i < parsed.size(); ++i) {
    if (parsed[i] == "--simulate" || parsed[i] == "--simulate=") parsed[i] = "--simulate=,";
    if (parsed[i] == "--wait") parsed[i] = "--wait=" + std::to_string(kDefaultWaitSeconds);
  }
  std::vector<const char*> cargv;
  for (const auto& a : parsed) cargv.push_back(a.c_str());
  try {
    app.parse(static_cast<int>(cargv.size()), cargv.data());
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    OutputSettings settings = DetectOutputSettings(jsonWanted, false, false);
    Output out(settings);
    out.Error(kExitUsage, std::string(e.what()) + " (see korbex-update --help)");
    return out.Finish(kExitUsage);
  }

  Output out(DetectOutputSettings(json, quiet, verbose));
  if (app.get_subcommands().empty()) {
    out.Error(kExitUsage, "a command is required: list, info, inspect, verify or flash (see korbex-update --help)");
    return out.Finish(kExitUsage);
  }
  const char* command = list->parsed()      ? "list"
                        : info->parsed()    ? "info"
                        : inspect->parsed() ? "inspect"
                        : verify->parsed()  ? "verify"
                        : flash->parsed()   ? "flash"
                                            : "make-demo-firmware";
  out.Doc()["command"] = command;

  Tool tool{out, {}, {}};
  tool.options.device = device;
  tool.options.yes = yes;
  tool.options.waitSeconds = waitSeconds;
  if (simulate->count() > 0) {
    korbex::sim::SimulateOptions sim;
    std::string error;
    if (!korbex::sim::ParseSimulateOptions(simulateSpec, sim, error)) {
      out.Error(kExitUsage, error);
      return out.Finish(kExitUsage);
    }
    tool.options.simulate = std::move(sim);
  }
  if (!sizes.empty()) {
    demoSpec.section1 = sizes[0];
    demoSpec.section2 = sizes[1];
    demoSpec.section3 = sizes[2];
  }

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> trace(nullptr, &std::fclose);
  if (!tracePath.empty()) {
    trace.reset(std::fopen(tracePath.c_str(), "w"));
    if (!trace) {
      out.Error(kExitUsage, Text(Msg::CannotWriteTrace, out.Language(), {tracePath, std::strerror(errno)}));
      return out.Finish(kExitUsage);
    }
    WriteTraceHeader(trace.get());
    tool.options.trace = trace.get();
  }
  StopOnInterrupt(tool.stop);

  int code = kExitUsage;
  if (list->parsed()) {
    code = RunList(tool);
  } else if (info->parsed()) {
    code = RunInfo(tool);
  } else if (inspect->parsed()) {
    code = RunInspect(tool, file);
  } else if (verify->parsed()) {
    code = RunVerify(tool, file);
  } else if (flash->parsed()) {
    code = RunFlash(tool, file);
  } else if (demo->parsed()) {
    code = RunMakeDemoFirmware(tool, file, demoSpec);
  }
  return out.Finish(code);
}
