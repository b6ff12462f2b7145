#pragma once
// Driving windows from a test thread the way a person would: find a window, read
// its texts, press its buttons, wait for something to show.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korbex::wintest {

// Polls predicate every 20 ms until it holds or timeout passes; returns the last result.
bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(20));

std::wstring WindowText(HWND window);
std::wstring ClassName(HWND window);

// Visible top-level dialog windows (class #32770) of a thread or a process.
std::vector<HWND> ThreadDialogs(DWORD threadId);
std::vector<HWND> ProcessDialogs(DWORD processId);

// A visible message box (a #32770 window) owned by owner, or null.
HWND FindOwnedBox(DWORD threadId, HWND owner);
// The message of a message box: its longest static text.
std::wstring BoxMessage(HWND box);
// Clicks the button with this id in a dialog (posted, as a click would be).
void PressButton(HWND dialog, int id);
// The child control with this id (-1 for the dialog's unnamed static), or null.
HWND Control(HWND dialog, int id);
// A message box owned by owner on threadId whose message is message, once it shows
// (null when none does within timeout).
HWND WaitForBox(DWORD threadId, HWND owner, const std::wstring& message,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));
// The first visible child window of this class (L"Edit", L"ComboBox"…), or null.
HWND FindVisibleChild(HWND parent, const wchar_t* className);
// The operation log as the program should write it: FF FE, then the lines' UTF-16LE
// code units.
std::vector<std::uint8_t> LogFileBytes(std::initializer_list<std::u16string_view> lines);
// The whole file, or nothing when it cannot be opened.
std::optional<std::vector<std::uint8_t>> ReadFileBytes(const std::wstring& path);

// Asks run-with-xvfb for a screenshot named name and waits for it (up to 20 s).
// Returns false when no screenshot directory was given or none came.
bool Screenshot(const std::string& name);

}  // namespace korbex::wintest
