#pragma once
// Exit codes of korbex-update: scripts depend on these numbers, so they never change
// meaning. The table feeds --help, the JSON "exitName" and docs/cli.md.
namespace korbex::cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,        // the update or the verify failed (flash differs)
  kExitUsage = 2,         // bad command line; also several adapters and no --device
  kExitNoAdapter = 3,     // no supported adapter (or none at the --device path)
  kExitFileRefused = 4,   // firmware file cannot be opened or does not match
  kExitCancelled = 5,     // the confirmation was not answered with OK
  kExitCannotOpen = 6,    // the adapter is present but cannot be opened (permission)
  kExitLoaderSilent = 7,  // the adapter's loader (or version responder) does not answer
  kExitBusy = 8,          // another program holds the adapter (it is updating it); nothing was sent
  kExitOutputFailed = 9,  // the command did its work, but stdout or the --trace file could not be written
};

struct ExitCodeInfo {
  ExitCode code;
  const char* name;         // stable identifier, used in JSON
  const char* description;  // one line for --help
};

inline constexpr ExitCodeInfo kExitCodes[] = {
    {kExitOk, "ok", "success"},
    {kExitFailed, "failed", "the update or the verify failed (flash differs from the file)"},
    {kExitUsage, "usage", "usage error (unknown option, bad --simulate key, several adapters without --device)"},
    {kExitNoAdapter, "no-adapter", "no supported adapter found (or none at the --device path)"},
    {kExitFileRefused, "file-refused", "firmware file cannot be opened or does not match"},
    {kExitCancelled, "cancelled", "cancelled at the confirmation (no terminal and no -y, or answered no)"},
    {kExitCannotOpen, "cannot-open", "the adapter cannot be opened (permission: install the udev rule)"},
    {kExitLoaderSilent, "loader-silent", "the adapter's loader does not answer (not in upgrade mode?)"},
    {kExitBusy, "busy", "another program is using the adapter (an update runs on it); nothing was sent"},
    {kExitOutputFailed, "output-failed", "the command succeeded, but its output or trace file could not be written"},
};

inline const char* ExitName(int code) {
  for (const auto& e : kExitCodes)
    if (e.code == code) return e.name;
  return "unknown";
}

}  // namespace korbex::cli
