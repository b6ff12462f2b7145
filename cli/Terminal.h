#pragma once
// The little the tool needs from the console and the process, per platform
// (posix/Terminal.cpp, win/Terminal.cpp; CMake picks one).
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korbex::cli {

// True when the stream is an interactive terminal.
bool IsTerminal(std::FILE* stream);
// Columns of the terminal behind stream; 80 when unknown.
int TerminalWidth(std::FILE* stream);
// Makes the console print UTF-8 (a no-op where it already does) and turns on colour
// escapes where the console needs that; on POSIX ignores SIGPIPE, so a closed pipe
// fails a write instead of ending the process. Call once, first.
void PrepareConsole();
// False when the console cannot show colour escapes (an old Windows console).
bool ConsoleShowsEscapes();
// The command line as UTF-8 (Windows hands argv over in the ANSI code page).
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// Ctrl-C (SIGINT, SIGTERM), a closed terminal (SIGHUP; on Windows the console's close,
// logoff and shutdown events) set flag instead of killing the process, so an update
// stops between two exchanges; a second Ctrl-C or SIGTERM ends the process at once.
void StopOnInterrupt(std::atomic<bool>& flag);
// The user's UI language as a Windows language id when the system has one
// (Windows), 0 otherwise; consulted only when no locale variable is set.
std::uint16_t SystemUiLanguage();

}  // namespace korbex::cli
