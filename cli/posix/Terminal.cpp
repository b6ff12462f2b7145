#include "cli/Terminal.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace korbex::cli {
namespace {
std::atomic<bool>* interruptFlag = nullptr;

void OnInterrupt(int signo) {
  if (interruptFlag && !interruptFlag->load()) {
    interruptFlag->store(true);
    return;
  }
  // A closed terminal can send SIGHUP more than once: it only ever asks for the stop.
  if (signo == SIGHUP) return;
  // A second Ctrl-C (or SIGTERM) ends the process at once, as the signal itself would.
  signal(signo, SIG_DFL);
  raise(signo);
}
}  // namespace

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

int TerminalWidth(std::FILE* stream) {
  winsize ws{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

void PrepareConsole() {
  // A reader that went away (`… | head -1`) makes a write fail with EPIPE instead of
  // killing the process in the middle of a block; Output notes the failed write and
  // the run goes on to its end.
  signal(SIGPIPE, SIG_IGN);
}

bool ConsoleShowsEscapes() { return true; }

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }

void StopOnInterrupt(std::atomic<bool>& flag) {
  interruptFlag = &flag;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: a prompt waiting on the terminal returns, and its answer is Cancel.
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A closed terminal or a dropped ssh session stops the run like Ctrl-C does; under
  // nohup (SIGHUP ignored when we start) it stays ignored and the run goes on.
  struct sigaction old {};
  if (sigaction(SIGHUP, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaction(SIGHUP, &sa, nullptr);
}

std::uint16_t SystemUiLanguage() { return 0; }

}  // namespace korbex::cli
