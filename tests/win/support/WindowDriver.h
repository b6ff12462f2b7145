#pragma once
// Driving windows from a test thread the way a person would: find a window, read
// its texts, press its buttons, wait for something to show.
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
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

// Asks run-with-xvfb for a screenshot named name and waits for it (up to 20 s).
// Returns false when no screenshot directory was given or none came.
bool Screenshot(const std::string& name);

}  // namespace korbex::wintest
