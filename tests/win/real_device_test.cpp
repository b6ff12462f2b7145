// KorbexUpdate.exe as built, driven as a person would drive it, against a real HID
// device: the USB gadget serving the simulated adapter, reached through Wine's HID
// stack (SetupAPI, hidclass, winebus over hidraw). Run by tests/e2e inside the VM;
// it needs the gadget, so CTest does not run it.
//   win_real_device_test <KorbexUpdate.exe> <firmware.dat> update|unplug   (under run-with-xvfb)
//   win_real_device_test <KorbexUpdate.exe> <firmware.dat> held <korbex-update.exe> <other.dat>
// update: a TwoStage adapter with version 1.2, from the button to "Updated successful!",
//         then the adapter's restart as the dialog sees it.
// unplug: the same adapter leaves the bus in the middle of the write pass and comes
//         back; the dialog says "Updated failed!", stays usable, and a second update
//         succeeds.
// held:   one program per adapter across the two programs, in one Wine session: while
//         the dialog's update writes, `korbex-update.exe info` exits 8; while
//         `korbex-update.exe flash other.dat` writes, the dialog's update ends in
//         "Updated failed!" and the dialog stays usable. The tool's traces go beside
//         the firmware (info-trace.txt, flash-trace.txt) for the e2e case to check.
#include <windows.h>
// (commctrl.h needs windows.h first)
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/win/LocalizedText.h"
#include "hid/win/Hid.h"
#include "tests/win/support/PipeAdapter.h"
#include "tests/win/support/WindowDriver.h"
#include "text/Texts.h"

using namespace korbex;
using namespace korbex::wintest;
using namespace std::chrono_literals;

namespace {

std::wstring executablePath, firmwarePath, toolPath, otherFirmwarePath;
std::string scenario;

const std::wstring kTitle = L"Korbex Update v2.16";
const std::wstring kVersionCaption = kTitle + L" (Device: v1.2)";
// The captions of an adapter that leaves (the title alone) and comes back.
const std::vector<std::wstring> kLeftAndBack = {kVersionCaption, kTitle, kVersionCaption};

LRESULT Progress(HWND dialog) { return SendMessageW(Control(dialog, 1003), PBM_GETPOS, 0, 0); }

// Wine publishes the adapter's HID interface some seconds after its session starts;
// the program is started once SetupAPI lists it, as a user plugs in before starting.
bool AdapterListed() {
  const auto start = std::chrono::steady_clock::now();
  const bool listed = WaitUntil([] { return !EnumerateHidDevices().empty(); }, 120s);
  std::printf("adapter listed by SetupAPI after %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  std::fflush(stdout);
  return listed;
}

// A program started from here (in this Wine session); ended by force if still running
// when the test is done with it.
class ChildProcess {
 public:
  ChildProcess(const std::wstring& path, const std::wstring& arguments) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + path + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    started_ =
        CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process_);
  }
  ~ChildProcess() {
    if (!started_) return;
    if (Running()) TerminateProcess(process_.hProcess, 1);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  bool Started() const { return started_; }
  bool Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }
  // The exit code, or -1 when it has not ended within timeout.
  long Wait(std::chrono::milliseconds timeout) {
    if (WaitForSingleObject(process_.hProcess, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return -1;
    DWORD code = 1;
    GetExitCodeProcess(process_.hProcess, &code);
    return static_cast<long>(code);
  }
  DWORD ProcessId() const { return process_.dwProcessId; }

 private:
  PROCESS_INFORMATION process_{};
  bool started_ = false;
};

// The program, started as from Explorer; ends it (close box, or by force) when done.
class Program : public ChildProcess {
 public:
  Program() : ChildProcess(executablePath, L"") {}

  // The main dialog (the one without an owner), once it shows.
  HWND Window(std::chrono::milliseconds timeout = 60s) {
    HWND window = nullptr;
    WaitUntil(
        [&] {
          for (HWND h : ProcessDialogs(ProcessId())) {
            if (!GetWindow(h, GW_OWNER)) window = h;
          }
          return window != nullptr;
        },
        timeout);
    if (window) uiThread_ = GetWindowThreadProcessId(window, nullptr);
    return window;
  }
  DWORD UiThread() const { return uiThread_; }

  // Closes the dialog with its close box; the exit code, or -1 when it did not end.
  long Close(HWND window) {
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    return Wait(20s);
  }

 private:
  DWORD uiThread_ = 0;
};

// Every caption the window shows, in order, sampled every 20 ms on a thread of its own:
// a caption that holds only while a message box is up is not missed.
class CaptionLog {
 public:
  explicit CaptionLog(HWND window)
      : thread_([this, window] {
          while (!stop_) {
            const std::wstring caption = WindowText(window);
            {
              std::lock_guard<std::mutex> lock(mutex_);
              if (captions_.empty() || captions_.back() != caption) captions_.push_back(caption);
            }
            std::this_thread::sleep_for(20ms);
          }
        }) {}
  ~CaptionLog() {
    stop_ = true;
    thread_.join();
  }
  // True once the captions, in order, include these ones (others may come between).
  bool Showed(const std::vector<std::wstring>& wanted) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t next = 0;
    for (const auto& caption : captions_) {
      if (next < wanted.size() && caption == wanted[next]) ++next;
    }
    return next == wanted.size();
  }
  // The captions so far, one per line, for a failure message.
  std::wstring History() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::wstring all;
    for (const auto& caption : captions_) all += L"\n  [" + caption + L"]";
    return all;
  }

 private:
  std::mutex mutex_;
  std::vector<std::wstring> captions_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The real file chooser of the program: types the firmware's path and presses Open.
bool ChooseFirmware(Program& program, HWND window) {
  HWND chooser = nullptr;
  WaitUntil([&] {
    chooser = FindOwnedBox(program.UiThread(), window);
    return chooser && FindVisibleChild(chooser, L"Edit");
  });
  HWND name = chooser ? FindVisibleChild(chooser, L"Edit") : nullptr;
  if (!name) return false;
  SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(firmwarePath.c_str()));
  PressButton(chooser, IDOK);
  return WaitUntil([&] { return !IsWindow(chooser); }, 10s);
}

// From the button to the confirmation answered with OK.
void StartUpdate(Program& program, HWND window, const char* screenshot) {
  HWND button = Control(window, 1009);
  ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(button); }, 30s)) << "the button never became usable";
  PostMessageW(button, BM_CLICK, 0, 0);
  ASSERT_TRUE(ChooseFirmware(program, window)) << "no file chooser, or it did not take the file";
  HWND box = WaitForBox(program.UiThread(), window, L"firmware V2.16", 30s);
  ASSERT_NE(box, nullptr) << "no confirmation";
  if (screenshot) {
    EXPECT_TRUE(Screenshot(screenshot));
  }
  PressButton(box, IDOK);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box); }, 10s)) << "the confirmation stayed";
}

// Watches the bar until a message box owned by the dialog shows; returns it, with the
// highest position seen. A screenshot is taken once the bar is past a third.
HWND WatchUpdate(Program& program, HWND window, LRESULT& highest, const char* screenshot) {
  highest = 0;
  HWND box = nullptr;
  bool shot = screenshot == nullptr;
  WaitUntil(
      [&] {
        highest = std::max(highest, Progress(window));
        if (!shot && highest >= 33) shot = Screenshot(screenshot) || true;
        box = FindOwnedBox(program.UiThread(), window);
        return box != nullptr && !BoxMessage(box).empty();
      },
      180s);
  return box;
}

TEST(RealDevice, UpdateFromButtonToResultAndRestart) {
  if (scenario != "update") GTEST_SKIP() << "scenario " << scenario;
  const std::wstring log = executablePath.substr(0, executablePath.rfind(L'\\')) + L"\\1.txt";
  DeleteFileW(log.c_str());
  ASSERT_TRUE(AdapterListed());
  Program program;
  ASSERT_TRUE(program.Started());
  HWND window = program.Window();
  ASSERT_NE(window, nullptr) << "no dialog";
  // Discovery found the adapter through SetupAPI and the version was read through
  // overlapped I/O on its interface.
  ASSERT_TRUE(WaitUntil([&] { return WindowText(window) == kVersionCaption; }, 30s))
      << "caption: " << WindowText(window).size() << " characters";
  EXPECT_TRUE(Screenshot("real-device-idle"));

  CaptionLog captions(window);
  StartUpdate(program, window, "real-device-confirm");
  LRESULT highest = 0;
  HWND box = WatchUpdate(program, window, highest, "real-device-progress");
  ASSERT_NE(box, nullptr) << "no result";
  EXPECT_EQ(BoxMessage(box), Wide(kUpdatedSuccessful));
  EXPECT_EQ(highest, 100) << "the bar's highest position";
  EXPECT_EQ(Progress(window), 0) << "the bar is reset before the message";
  EXPECT_TRUE(Screenshot("real-device-success"));
  PressButton(box, IDOK);
  EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(Control(window, -1)); }));

  // The adapter restarts: its removal resets the caption to the title, its arrival
  // brings the version back and the button with it.
  EXPECT_TRUE(WaitUntil([&] { return captions.Showed(kLeftAndBack); }, 40s))
      << "the dialog did not see the adapter leave and come back; captions:" << captions.History();
  EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(Control(window, 1009)); }, 10s));
  EXPECT_TRUE(Screenshot("real-device-after-restart"));
  EXPECT_EQ(program.Close(window), 0);
  EXPECT_EQ(ReadFileBytes(log), LogFileBytes({kLogOpenFile, kLogOpenFileOk, kLogReadCrc}));
}

TEST(RealDevice, UnplugMidUpdateFailsAndTheDialogStaysUsable) {
  if (scenario != "unplug") GTEST_SKIP() << "scenario " << scenario;
  ASSERT_TRUE(AdapterListed());
  Program program;
  ASSERT_TRUE(program.Started());
  HWND window = program.Window();
  ASSERT_NE(window, nullptr) << "no dialog";
  ASSERT_TRUE(WaitUntil([&] { return WindowText(window) == kVersionCaption; }, 30s));

  CaptionLog captions(window);
  StartUpdate(program, window, nullptr);
  LRESULT highest = 0;
  HWND box = WatchUpdate(program, window, highest, nullptr);
  ASSERT_NE(box, nullptr) << "no result";
  EXPECT_EQ(BoxMessage(box), Wide(kUpdatedFailed));
  EXPECT_TRUE(Screenshot("real-device-unplugged"));
  PressButton(box, IDOK);

  // Plugged in again (the gadget comes back by itself): found, asked for its version,
  // and the same file goes in this time.
  ASSERT_TRUE(WaitUntil([&] { return captions.Showed(kLeftAndBack); }, 60s))
      << "the dialog did not see the adapter leave and come back; captions:" << captions.History();
  StartUpdate(program, window, nullptr);
  box = WatchUpdate(program, window, highest, nullptr);
  ASSERT_NE(box, nullptr) << "no result of the second update";
  EXPECT_EQ(BoxMessage(box), Wide(kUpdatedSuccessful));
  PressButton(box, IDOK);
  EXPECT_EQ(program.Close(window), 0);
}

// korbex-update.exe started from here, so that it runs in the dialog's Wine session
// (one wineserver: the named objects of both programs are the same ones).
class Tool : public ChildProcess {
 public:
  explicit Tool(const std::wstring& arguments) : ChildProcess(toolPath, arguments) {}
};

// How many lines of a trace file start with prefix (the file as written so far).
std::size_t TraceLines(const std::wstring& path, const std::string& prefix) {
  const auto bytes = ReadFileBytes(path);
  if (!bytes) return 0;
  const std::string text = "\n" + std::string(bytes->begin(), bytes->end());
  std::size_t count = 0;
  for (std::size_t at = text.find("\n" + prefix); at != std::string::npos; at = text.find("\n" + prefix, at + 1)) {
    ++count;
  }
  return count;
}

TEST(RealDevice, OneProgramPerAdapterAcrossDialogAndTool) {
  if (scenario != "held") GTEST_SKIP() << "scenario " << scenario;
  const std::wstring folder = firmwarePath.substr(0, firmwarePath.rfind(L'\\'));
  const std::wstring infoTrace = folder + L"\\info-trace.txt", flashTrace = folder + L"\\flash-trace.txt";
  ASSERT_TRUE(AdapterListed());
  Program program;
  ASSERT_TRUE(program.Started());
  HWND window = program.Window();
  ASSERT_NE(window, nullptr) << "no dialog";
  ASSERT_TRUE(WaitUntil([&] { return WindowText(window) == kVersionCaption; }, 30s));
  HWND button = Control(window, 1009);

  // The dialog updates; once its worker is writing, the tool asks the adapter's version.
  CaptionLog captions(window);
  StartUpdate(program, window, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return Progress(window) > 0 || FindOwnedBox(program.UiThread(), window); }, 60s));
  ASSERT_EQ(FindOwnedBox(program.UiThread(), window), nullptr) << "the update ended before it was seen writing";
  {
    Tool info(L"--trace \"" + infoTrace + L"\" info");
    ASSERT_TRUE(info.Started());
    EXPECT_EQ(info.Wait(120s), 8) << "korbex-update.exe info while the dialog updates";
  }
  LRESULT highest = 0;
  HWND box = WatchUpdate(program, window, highest, nullptr);
  ASSERT_NE(box, nullptr) << "no result";
  EXPECT_EQ(BoxMessage(box), Wide(kUpdatedSuccessful));
  PressButton(box, IDOK);
  ASSERT_TRUE(WaitUntil([&] { return captions.Showed(kLeftAndBack) && IsWindowEnabled(button); }, 40s))
      << "the dialog did not find the restarted adapter; captions:" << captions.History();

  // The other way round: the tool flashes another file; once it is writing records,
  // the dialog's update is refused before it sends anything.
  Tool flash(L"--trace \"" + flashTrace + L"\" -y flash \"" + otherFirmwarePath + L"\"");
  ASSERT_TRUE(flash.Started());
  ASSERT_TRUE(WaitUntil([&] { return TraceLines(flashTrace, "W 00 05 0b") >= 20 || !flash.Running(); }, 180s));
  ASSERT_TRUE(flash.Running()) << "the tool's flash ended before the dialog was tried";
  PostMessageW(button, BM_CLICK, 0, 0);
  ASSERT_TRUE(ChooseFirmware(program, window)) << "no file chooser, or it did not take the file";
  box = WaitForBox(program.UiThread(), window, Wide(kUpdatedFailed), 30s);
  ASSERT_NE(box, nullptr) << "no \"Updated failed!\" box";
  EXPECT_TRUE(flash.Running()) << "the refusal came after the tool's flash had ended";
  PressButton(box, IDOK);
  // Still usable: the box gone, the caption and the button as they were.
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box) && IsWindowEnabled(button); }, 10s));
  EXPECT_EQ(WindowText(window), kVersionCaption);
  EXPECT_EQ(flash.Wait(300s), 0) << "korbex-update.exe flash while the dialog was refused";
  EXPECT_EQ(program.Close(window), 0);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc < 4 || (std::string(argv[3]) == "held" && argc < 6)) {
    std::fprintf(stderr,
                 "usage: %s <KorbexUpdate.exe> <firmware.dat> update|unplug\n"
                 "       %s <KorbexUpdate.exe> <firmware.dat> held <korbex-update.exe> <other.dat>\n",
                 argv[0], argv[0]);
    return 2;
  }
  executablePath = WindowsPath(argv[1]);
  firmwarePath = WindowsPath(argv[2]);
  scenario = argv[3];
  if (scenario == "held") {
    toolPath = WindowsPath(argv[4]);
    otherFirmwarePath = WindowsPath(argv[5]);
  }
  return RUN_ALL_TESTS();
}
