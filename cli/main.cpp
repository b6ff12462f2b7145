// korbex-update: the command-line front end of the update engine.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
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
    std::snprintf(line, sizeof line, "  %d  %-14s %s\n", static_cast<int>(e.code), e.name, e.description);
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

std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// True when a and b name one file: the same file when both exist (hard links,
// symlinks, "./x" and "x"), else the same path once made absolute and resolved.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code ea, eb;
  if (std::filesystem::exists(a, ea) && std::filesystem::exists(b, eb)) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec);
  }
  const auto ca = std::filesystem::weakly_canonical(a, ea);
  const auto cb = std::filesystem::weakly_canonical(b, eb);
  return !ea && !eb && ca == cb;
}

// --sizes S1,S2,S3: three byte counts; false when the text is not that.
bool ParseSizes(std::string_view text, std::uint32_t (&sizes)[3]) {
  for (int i = 0; i < 3; ++i) {
    const std::size_t comma = text.find(',');
    if ((i < 2) != (comma != std::string_view::npos)) return false;
    std::uint64_t v = 0;
    if (!korbex::sim::ParseNumber(text.substr(0, comma), 0xFFFFFFFF, v, true)) return false;
    sizes[i] = static_cast<std::uint32_t>(v);
    text = i < 2 ? text.substr(comma + 1) : std::string_view{};
  }
  return true;
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
  // --json --help and --json --version print JSON too, like every other answer.
  const auto jsonAnswer = [&](const char* key, const std::string& text) {
    Output out(DetectOutputSettings(true, false, false));
    out.Doc()[key] = text;
    return out.Finish(kExitOk);
  };
  // A usage error found after parsing, reported as CLI11's own are.
  const auto usageError = [&](const std::string& message) {
    Output out(DetectOutputSettings(jsonWanted, false, false));
    out.Error(kExitUsage, message + " (see korbex-update --help)");
    return out.Finish(kExitUsage);
  };
  app.footer(ExitCodeFooter());
  // Wide enough for "--simulate [=KEY=VALUE,...]" and two spaces before its text.
  app.get_formatter()->column_width(32);
  app.fallthrough();
  // At most one command; none is reported after parsing, so that an unknown word is
  // named as such rather than as a missing command.
  app.require_subcommand(0, 1);

  std::string device, tracePath;
  std::vector<std::string> simulateTexts;
  bool yes = false, json = false, quiet = false, verbose = false;
  app.add_option("--device", device, "adapter path (from `list`); required when several are present")
      ->type_name("PATH");
  app.add_flag("-y,--yes", yes, "answer the confirmation with OK");
  app.add_flag("--json", json, "print one JSON document on stdout (errors included, never a prompt)");
  auto* traceOption =
      app.add_option("--trace", tracePath, "write every report written and read to FILE")->type_name("FILE");
  // ASCII in the names column: the help lays it out by bytes.
  app.add_option("--simulate", simulateTexts,
                 "use the simulated adapter instead of hardware, configured by KEY=VALUE,... (see below); "
                 "repeated: one simulated adapter each")
      ->type_name("[=KEY=VALUE,...]")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  // -q and -v exclude each other; checked after parsing, so that the help does not
  // push their descriptions onto a line of their own.
  app.add_flag("-q,--quiet", quiet, "print only results and errors (not with -v)");
  app.add_flag("-v,--verbose", verbose, "print every block and phase (not with -q)");

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
  std::string waitText;
  bool all = false;
  for (auto* command : {verify, flash}) {
    command->add_flag("--all", all,
                      "every supported adapter present, all at once (one confirmation for all; not with --device "
                      "or --trace)");
  }
  for (auto* command : {info, verify, flash}) {
    command
        ->add_option("--wait", waitText,
                     "when no adapter is present, wait up to SECONDS (default " + std::to_string(kDefaultWaitSeconds) +
                         ") for one to be plugged in or put into upgrade mode")
        ->type_name("[=SECONDS]");
  }
  auto* demo = app.add_subcommand("make-demo-firmware", "write a generated demo firmware file (not a vendor image)");
  demo->add_option("FILE", file, "file to write")->required();
  DemoFileSpec demoSpec;
  std::string sizesText;
  demo->add_option("--sizes", sizesText, "data bytes of sections 1,2,3")->type_name("S1,S2,S3");
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
    return jsonWanted ? jsonAnswer("help", app.help()) : app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return jsonWanted ? jsonAnswer("help", app.help("", CLI::AppFormatMode::All)) : app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return jsonWanted ? jsonAnswer("version", KORBEX_VERSION_TEXT) : app.exit(e);
  } catch (const CLI::ParseError& e) {
    OutputSettings settings = DetectOutputSettings(jsonWanted, false, false);
    Output out(settings);
    out.Error(kExitUsage, std::string(e.what()) + " (see korbex-update --help)");
    return out.Finish(kExitUsage);
  }

  if (quiet && verbose) return usageError("-q (--quiet) and -v (--verbose) exclude each other");
  std::uint32_t waitSeconds = 0;
  if (!waitText.empty()) {
    std::uint64_t v = 0;
    if (!korbex::sim::ParseNumber(waitText, 86400, v, false) || v == 0) {
      return usageError("--wait: '" + waitText + "' is not a number of seconds from 1 to 86400 (--wait=SECONDS)");
    }
    waitSeconds = static_cast<std::uint32_t>(v);
  }
  std::uint32_t sizes[3] = {};
  const bool sizesGiven = demo->count("--sizes") > 0;
  if (sizesGiven && !ParseSizes(sizesText, sizes)) {
    return usageError("--sizes: '" + sizesText +
                      "' is not three byte counts S1,S2,S3 (decimal or 0x hex, e.g. --sizes 5000,4096,100)");
  }
  if (traceOption->count() > 0 && tracePath.empty()) return usageError("--trace needs a file name");
  if (all && !device.empty()) return usageError("--all and --device exclude each other");
  // One trace file would mix the reports of every adapter.
  if (all && traceOption->count() > 0) return usageError("--all and --trace exclude each other");

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
  tool.options.all = all;
  for (const auto& settings : simulateTexts) {
    korbex::sim::SimulateOptions sim;
    std::string error;
    if (!korbex::sim::ParseSimulateOptions(settings, sim, error)) {
      out.Error(kExitUsage, error);
      return out.Finish(kExitUsage);
    }
    if (!tool.options.simulate) {
      tool.options.simulate = std::move(sim);
    } else {
      tool.options.moreSimulated.push_back(std::move(sim));
    }
  }
  // Two simulated adapters writing one flash-out would overwrite each other.
  for (std::size_t i = 0; i < tool.options.moreSimulated.size(); ++i) {
    const auto& out1 = tool.options.moreSimulated[i].flashOut;
    if (out1.empty()) continue;
    bool clash = SameFile(out1, tool.options.simulate->flashOut);
    for (std::size_t j = 0; j < i; ++j) clash |= SameFile(out1, tool.options.moreSimulated[j].flashOut);
    if (clash) {
      out.Error(kExitUsage, "two --simulate adapters name the same flash-out " + out1.string());
      return out.Finish(kExitUsage);
    }
  }
  if (sizesGiven) {
    demoSpec.section1 = sizes[0];
    demoSpec.section2 = sizes[1];
    demoSpec.section3 = sizes[2];
  }

  // inspect and make-demo-firmware talk to no adapter: the trace file is not touched.
  const bool traced = !tracePath.empty() && !inspect->parsed() && !demo->parsed();
  if (traced) {
    // Opening the trace truncates it: never when it is a file this run reads or writes.
    const std::filesystem::path tracePathFs = PathFromUtf8(tracePath);
    std::vector<std::pair<const char*, std::filesystem::path>> others;
    if (verify->parsed() || flash->parsed()) others.emplace_back("the firmware file", PathFromUtf8(file));
    if (tool.options.simulate) {
      others.emplace_back("flash-in", tool.options.simulate->flashIn);
      others.emplace_back("flash-out", tool.options.simulate->flashOut);
    }
    for (const auto& more : tool.options.moreSimulated) {
      others.emplace_back("flash-in", more.flashIn);
      others.emplace_back("flash-out", more.flashOut);
    }
    for (const auto& [what, path] : others) {
      if (!path.empty() && SameFile(tracePathFs, path)) {
        out.Error(kExitUsage, "--trace " + tracePath + " is " + what + " of this run; name another file");
        return out.Finish(kExitUsage);
      }
    }
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> trace(nullptr, &std::fclose);
  if (traced) {
    trace.reset(std::fopen(tracePath.c_str(), "w"));
    if (!trace) {
      out.Error(kExitUsage, Text(Msg::CannotWriteTrace, out.Language(), {tracePath, std::strerror(errno)}));
      return out.Finish(kExitUsage);
    }
    if (!WriteTraceHeader(trace.get())) {
      out.Error(kExitUsage, Text(Msg::CannotWriteTrace, out.Language(), {tracePath, std::strerror(TraceWriteError())}));
      return out.Finish(kExitUsage);
    }
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
  if (trace) {
    const int closed = std::fclose(trace.release());
    const int error = TraceWriteError() != 0 ? TraceWriteError() : closed != 0 ? errno : 0;
    if (error != 0) {
      out.OutputLost(Text(Msg::CannotWriteTrace, out.Language(), {tracePath, std::strerror(error)}) +
                     " (the trace is incomplete)");
    }
  }
  return out.Finish(code);
}
