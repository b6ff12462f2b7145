#include "cli/Terminal.h"

#include <io.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

namespace korbex::cli {
namespace {
std::atomic<bool>* interruptFlag = nullptr;
bool escapesShown = false;

// Time the run gets to reach its next safe point when the console window is closed:
// Windows ends the process about 5 s after the close event whatever the handler does.
constexpr DWORD kCloseGraceMs = 4000;

BOOL WINAPI OnConsoleCtrl(DWORD type) {
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    // The console is going away (the closed terminal of POSIX): ask for the stop and
    // hold this thread, so the run stops between two exchanges and writes its trace
    // and exit code before the system ends the process. main returning ends it sooner.
    if (interruptFlag) interruptFlag->store(true);
    Sleep(kCloseGraceMs);
    return TRUE;
  }
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  if (interruptFlag && !interruptFlag->load()) {
    interruptFlag->store(true);
    return TRUE;
  }
  return FALSE;  // second Ctrl-C: the default handler ends the process
}

std::string ToUtf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<std::size_t>(size - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return out;
}
}  // namespace

bool IsTerminal(std::FILE* stream) {
  // _isatty also says yes for NUL and other character devices; only a console has a
  // console mode.
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

int TerminalWidth(std::FILE* stream) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (h != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(h, &info)) {
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    if (width > 0) return width;
  }
  return 80;
}

void PrepareConsole() {
  // Our texts are UTF-8; the console shows them only in its UTF-8 code page.
  SetConsoleOutputCP(CP_UTF8);
  SetConsoleCP(CP_UTF8);
  // Colour escapes need virtual-terminal processing (Windows 10 and later); an older
  // console would print them as text, so colour stays off there.
  escapesShown = true;
  for (DWORD id : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    HANDLE h = GetStdHandle(id);
    DWORD mode = 0;
    if (h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) &&
        !SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
      escapesShown = false;
    }
  }
}

bool ConsoleShowsEscapes() { return escapesShown; }

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return {argv, argv + argc};
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(ToUtf8(wide[i]));
  LocalFree(wide);
  return out;
}

void StopOnInterrupt(std::atomic<bool>& flag) {
  interruptFlag = &flag;
  SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
}

std::uint16_t SystemUiLanguage() { return GetUserDefaultUILanguage(); }

}  // namespace korbex::cli
