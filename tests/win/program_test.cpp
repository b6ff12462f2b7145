// KorbexUpdate.exe as built: started with no adapter present, and its dialog 102
// created from the executable's own resources.
//   win_program_test <path of KorbexUpdate.exe>   (run by run-with-xvfb)
#include <windows.h>
// (commctrl.h needs windows.h first)
#include <commctrl.h>
#include <gtest/gtest.h>

#include <thread>

#include "app/win/LocalizedText.h"
#include "tests/win/support/PipeAdapter.h"
#include "tests/win/support/WindowDriver.h"
#include "text/Texts.h"

using namespace korbex;
using namespace korbex::wintest;
using namespace std::chrono_literals;

namespace {

std::wstring executablePath;

TEST(Program, WithoutAnAdapterTheButtonIsDisabled) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring commandLine = L"\"" + executablePath + L"\"";
  ASSERT_TRUE(CreateProcessW(executablePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process));
  HWND window = nullptr;
  const bool shown = WaitUntil(
      [&] {
        const auto dialogs = ProcessDialogs(process.dwProcessId);
        window = dialogs.empty() ? nullptr : dialogs.front();
        return window != nullptr;
      },
      60s);
  EXPECT_TRUE(shown) << "no window";
  if (shown) {
    EXPECT_TRUE(WaitUntil([&] { return WindowText(window) == L"Korbex Update v2.16"; }));
    HWND button = Control(window, 1009);
    ASSERT_NE(button, nullptr);
    EXPECT_FALSE(IsWindowEnabled(button));
    EXPECT_EQ(SendMessageW(Control(window, 1003), PBM_GETPOS, 0, 0), 0);
    EXPECT_FALSE(IsWindowVisible(Control(window, -1)));
    EXPECT_EQ(WindowText(Control(window, 1016)), Wide(LocalizedText(kTextInstructions, GetUserDefaultUILanguage())));
    EXPECT_TRUE(Screenshot("no-adapter"));
    // The close box ends the program, with exit code 0.
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  }
  if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the program did not end";
    TerminateProcess(process.hProcess, 1);
  }
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  EXPECT_EQ(exitCode, 0u);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

INT_PTR CALLBACK PlainDialogProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

TEST(Program, Dialog102FromTheExecutableHasItsFourControls) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  HMODULE module = LoadLibraryExW(executablePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  HWND dialog = CreateDialogParamW(module, MAKEINTRESOURCEW(102), nullptr, &PlainDialogProc, 0);
  ASSERT_NE(dialog, nullptr);

  RECT client{};
  GetClientRect(dialog, &client);
  RECT templateSize{0, 0, 273, 159};
  MapDialogRect(dialog, &templateSize);
  EXPECT_EQ(client.right, templateSize.right);
  EXPECT_EQ(client.bottom, templateSize.bottom);
  EXPECT_TRUE(GetWindowLongPtrW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);

  const struct {
    int id;
    const wchar_t* windowClass;
    RECT units;  // x, y, width, height
    bool visible;
    std::wstring text;
  } expected[] = {
      {1003, L"msctls_progress32", {7, 7, 259, 14}, true, L""},
      {1016, L"Static", {7, 23, 259, 82}, true, Wide(TextTable()[kTextInstructions].chinese)},
      {-1, L"Static", {99, 113, 85, 12}, false, Wide(kUpdatedSuccessful)},
      {1009, L"Button", {7, 128, 259, 23}, true, Wide(kUpdateButtonText)},
  };
  int count = 0;
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) ++count;
  EXPECT_EQ(count, 4);
  for (const auto& e : expected) {
    SCOPED_TRACE(e.id);
    HWND control = Control(dialog, e.id);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(_wcsicmp(ClassName(control).c_str(), e.windowClass), 0) << std::wstring(ClassName(control)).size();
    // The dialog manager maps position and size separately.
    RECT pixels = e.units;
    MapDialogRect(dialog, &pixels);
    pixels.right += pixels.left;
    pixels.bottom += pixels.top;
    RECT actual{};
    GetWindowRect(control, &actual);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
    EXPECT_EQ(actual.left, pixels.left);
    EXPECT_EQ(actual.top, pixels.top);
    EXPECT_EQ(actual.right, pixels.right);
    EXPECT_EQ(actual.bottom, pixels.bottom);
    EXPECT_EQ((GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE) != 0, e.visible);
    EXPECT_TRUE(IsWindowEnabled(control));
    EXPECT_EQ(WindowText(control), e.text);
  }
  EXPECT_EQ(GetWindowLongPtrW(Control(dialog, 1009), GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON);
  DestroyWindow(dialog);
  FreeLibrary(module);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <KorbexUpdate.exe>\n", argv[0]);
    return 2;
  }
  executablePath = WindowsPath(argv[1]);
  return RUN_ALL_TESTS();
}
