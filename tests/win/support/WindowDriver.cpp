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

HWND Control(HWND dialog, int id) {
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (GetDlgCtrlID(child) == id) return child;
  }
  return nullptr;
}

HWND WaitForBox(DWORD threadId, HWND owner, const std::wstring& message, std::chrono::milliseconds timeout) {
  HWND box = nullptr;
  WaitUntil(
      [&] {
        box = FindOwnedBox(threadId, owner);
        return box && BoxMessage(box) == message;
      },
      timeout);
  return box && BoxMessage(box) == message ? box : nullptr;
}

HWND FindVisibleChild(HWND parent, const wchar_t* className) {
  struct Search {
    const wchar_t* className;
    HWND found;
  } search{className, nullptr};
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        if (_wcsicmp(ClassName(child).c_str(), s->className) != 0 || !IsWindowVisible(child)) return TRUE;
        s->found = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::vector<std::uint8_t> LogFileBytes(std::initializer_list<std::u16string_view> lines) {
  std::vector<std::uint8_t> bytes{0xFF, 0xFE};
  for (auto line : lines) {
    for (char16_t unit : line) {
      bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
      bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
  }
  return bytes;
}

std::optional<std::vector<std::uint8_t>> ReadFileBytes(const std::wstring& path) {
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got) bytes.insert(bytes.end(), chunk, chunk + got);
  CloseHandle(file);
  return bytes;
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
