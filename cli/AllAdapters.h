#pragma once
// verify --all and flash --all: every supported adapter present, all at once. Each
// adapter gets a thread, a channel and an engine of its own, and an Output of its own
// whose lines the command's Output prints prefixed with the adapter's path; one adapter
// that fails or leaves the bus does not stop the others.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/Adapters.h"
#include "cli/Commands.h"
#include "cli/Connect.h"

namespace korbex::cli {

// What a run over several adapters knows of one of them.
struct AdapterJob {
  std::size_t index = 0;
  AdapterEntry entry;
  std::unique_ptr<Output> out;  // this adapter's lines and document
  std::unique_ptr<Tool> tool;   // the command's options, with out
  int code = 0;                 // its exit code (kExitOk while it may go on)
  std::string confirmation;     // flash: the text its confirmation shows
  std::string blocks;           // for the summary: "5 written, 2 skipped", "7 equal, 0 differ"
  double seconds = 0;           // from the start of its thread to its end (restart included)
  std::shared_ptr<void> state;  // the command's own state, from prepare to run
  std::atomic<bool> done{false};
};

struct AllAdaptersCommand {
  const char* name;       // "flash" or "verify"
  bool confirms = false;  // one confirmation for all adapters before any run starts
  // On the command's thread, adapter by adapter: opens it and reads what the run and
  // the confirmation need. Returns the adapter's exit code; only kExitOk goes on.
  std::function<int(AdapterJob&, AdapterBackend&)> prepare;
  // In the adapter's own thread, once confirmed. Returns the adapter's exit code and
  // fills job.blocks.
  std::function<int(AdapterJob&, AdapterBackend&)> run;
};

// Worst first: the order by which the exit code of a run over several adapters is the
// exit code of its worst adapter. A code not listed ranks above all.
inline constexpr int kExitSeverity[] = {1, 7, 8, 6, 3, 4, 5, 9, 0};
// The worse of two exit codes by kExitSeverity.
int WorseExit(int a, int b);

// Runs command over every adapter the backend lists (after --wait, when given): the
// jobs' documents go to "adapters" of the command's JSON document, a summary table to
// the text output. Returns the worst exit code of the adapters (kExitNoAdapter when
// there is none).
int RunOnAllAdapters(Tool& tool, AdapterBackend& backend, const AllAdaptersCommand& command);

// flash --all FILE (flash true) and verify --all FILE: the file is read and judged once,
// then each adapter is opened, identified and run as flash and verify run one.
int RunOnAllAdapters(Tool& tool, const std::string& file, bool flash);

// The bodies of flash and verify on one opened adapter, identified for the file
// (cli/FlashCommand.cpp, cli/VerifyCommand.cpp). They report through tool.out and
// return the exit code; the simulated flash is saved by the caller.
int FlashOpened(Tool& tool, OpenedFile& f, AdapterBackend& backend, Connection& c, DeviceFamily& family,
                UpdateSession& session);
int VerifyOpened(Tool& tool, OpenedFile& f, Connection& c, const UpdateSession& session);

}  // namespace korbex::cli
