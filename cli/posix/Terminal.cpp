#include "cli/Terminal.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace korbex::cli {
namespace {
std::atomic<bool>* interruptFlag = nullptr;

void OnInterrupt(int) {
  if (interruptFlag && !interruptFlag->load()) {
    interruptFlag->store(true);
    return;
  }
  signal(SIGINT, SIG_DFL);
  raise(SIGINT);
}
}  // namespace

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

int TerminalWidth(std::FILE* stream) {
  winsize ws{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

void PrepareConsole() {}

bool ConsoleShowsEscapes() { return true; }

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }

void StopOnInterrupt(std::atomic<bool>& flag) {
  interruptFlag = &flag;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

std::uint16_t SystemUiLanguage() { return 0; }

}  // namespace korbex::cli
