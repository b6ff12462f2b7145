#include "tests/win/support/WindowDriver.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tests/win/support/PipeAdapter.h"

namespace korbex::wintest {

bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= end) return predicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::wstring WindowText(HWND window) {
  // WM_GETTEXT through SendMessage: works across threads and processes.
  const LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const LRESULT got = SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(got));
  return text;
}

std::wstring ClassName(HWND window) {
  wchar_t name[128] = {};
  GetClassNameW(window, name, 128);
  return name;
}

namespace {

bool IsVisibleDialog(HWND window) { return IsWindowVisible(window) && ClassName(window) == L"#32770"; }

BOOL CALLBACK CollectDialog(HWND window, LPARAM list) {
  if (IsVisibleDialog(window)) reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

struct ProcessSearch {
  DWORD processId;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectProcessDialog(HWND window, LPARAM search) {
  auto* s = reinterpret_cast<ProcessSearch*>(search);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == s->processId && IsVisibleDialog(window)) s->found.push_back(window);
  return TRUE;
}

}  // namespace

std::vector<HWND> ThreadDialogs(DWORD threadId) {
  std::vector<HWND> found;
  EnumThreadWindows(threadId, &CollectDialog, reinterpret_cast<LPARAM>(&found));
  return found;
}

std::vector<HWND> ProcessDialogs(DWORD processId) {
  ProcessSearch search{processId, {}};
  EnumWindows(&CollectProcessDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FindOwnedBox(DWORD threadId, HWND owner) {
  for (HWND window : ThreadDialogs(threadId)) {
    if (GetWindow(window, GW_OWNER) == owner) return window;
  }
  return nullptr;
}

std::wstring BoxMessage(HWND box) {
  std::wstring longest;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (_wcsicmp(ClassName(child).c_str(), L"Static") != 0) continue;
    std::wstring text = WindowText(child);
    if (text.size() > longest.size()) longest = text;
  }
  return longest;
}

void PressButton(HWND dialog, int id) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

bool Screenshot(const std::string& name) {
  const char* dir = std::getenv("KORBEX_SCREENSHOT_DIR");
  if (!dir || !*dir) return false;
  const std::wstring done = WindowsPath(std::string(dir) + "/" + name + ".png.done");
  DeleteFileW(done.c_str());
  std::printf("KORBEX-SCREENSHOT %s\n", name.c_str());
  std::fflush(stdout);
  return WaitUntil([&] { return GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

}  // namespace korbex::wintest
