// The dialog driven from a second thread as a person would drive it, in a test build
// whose discovery finds the simulated adapter on a named pipe and whose file chooser
// returns generated files. Everything else is the program's own code: the dialog,
// its message map, CHid's overlapped I/O, the update worker, the message boxes.
//   win_dialog_test --expect-language=2052|1033   (run by run-with-xvfb)
#include <windows.h>
// (commctrl.h needs windows.h first)
#include <commctrl.h>
#include <dbt.h>
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <thread>

#include "app/win/LocalizedText.h"
#include "app/win/UpdateDlg.h"
#include "sim/FirmwareFixture.h"
#include "support/engine_support.h"
#include "tests/win/support/PipeAdapter.h"
#include "tests/win/support/WindowDriver.h"
#include "text/Texts.h"

using namespace korbex;
using namespace korbex::wintest;
using namespace std::chrono_literals;

namespace {

LANGID expectedLanguage = 0;

std::string LanguageTag() { return expectedLanguage == kLanguageChineseSimplified ? "chinese" : "english"; }

// The texts the dialog should show, straight from the table.
std::wstring Expected(TextId id) { return Wide(LocalizedText(id, GetUserDefaultUILanguage())); }

std::wstring Utf16(std::u16string_view text) { return Wide(text); }

std::wstring TempPath(const wchar_t* name) {
  wchar_t directory[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, directory);
  return std::wstring(directory) + name;
}

void WriteFileBytes(const std::wstring& path, const test::Bytes& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(written, bytes.size());
}

// 1.txt beside this executable, found here independently of the program's code.
std::wstring LogPath() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path);
  return p.substr(0, p.rfind(L'\\')) + L"\\1.txt";
}

// Six blocks of section 1, two of section 2: "firmware V2.16".
test::Bytes MakeFirmwareFile() {
  sim::SectionSpec s1, s2, s3;
  s1.version = 2;
  s1.data = sim::PatternBytes(6 * kBlockSize - 300, 11);
  s2.version = 16;
  s2.loadAddress = 0x40000;
  s2.data = sim::PatternBytes(2 * kBlockSize - 5, 12);
  s3.version = 3;
  s3.loadAddress = 0x1000;
  s3.data = sim::PatternBytes(100, 13);
  return sim::BuildFirmwareFile({s1, s2, s3});
}

LRESULT Progress(HWND dialog) { return SendMessageW(Control(dialog, 1003), PBM_GETPOS, 0, 0); }

// The simulated adapter on a pipe, the device list discovery sees, and the file the
// chooser hands out. Resets the program's process-wide state, as a new start would.
struct Rig {
  explicit Rig(std::uint16_t productId) {
    deviceFamily.FlashLoader = 0;
    deviceFamily.TwoStage = 0;
    deviceFamily.twoStageState = kStateNoSighting;
    updateSession.updateRunning = 0;
    updateSession.deviceVersion = kVersionNotRead;
    updateSession.singleNumberVersion = 0;
    firmwareImage.Close();
    operationLog.Close();
    config.productId = productId;
    config.versionMajor = 1;
    config.versionMinor = 2;
    model = std::make_unique<sim::AdapterModel>(config);
    adapter = std::make_unique<PipeAdapter>(model.get());
    Present(productId);
  }
  ~Rig() {
    firmwareImage.Close();
    operationLog.Close();
  }

  void Present(std::optional<std::uint16_t> productId) {
    std::lock_guard<std::mutex> lock(mutex);
    present.clear();
    if (productId) present.push_back({adapter->Path(), kVendorId, *productId});
  }
  void Choose(std::optional<std::wstring> path) {
    std::lock_guard<std::mutex> lock(mutex);
    chosen = std::move(path);
  }
  std::size_t Requests() {
    std::lock_guard<std::mutex> lock(mutex);
    return requests.size();
  }
  void Attach(CUpdateDlg& dialog) {
    dialog.SetDeviceSource([this] {
      std::lock_guard<std::mutex> lock(mutex);
      return present;
    });
    dialog.SetFileChooser([this](const FirmwareFileRequest& request) {
      std::lock_guard<std::mutex> lock(mutex);
      requests.push_back(request);
      return chosen;
    });
  }
  bool FlashHolds(const test::Bytes& file) {
    bool equal = true;
    adapter->WithModel([&](sim::AdapterModel& m) {
      for (const auto& [address, bytes] : test::ExpectedBlocks(file, WrittenSet::Sections1And2, 0)) {
        equal = equal && m.ReadFlash(address, kBlockSize) == bytes;
      }
    });
    return equal;
  }

  sim::AdapterConfig config;
  std::unique_ptr<sim::AdapterModel> model;
  std::unique_ptr<PipeAdapter> adapter;
  std::mutex mutex;
  std::vector<HidDeviceInfo> present;
  std::optional<std::wstring> chosen;
  std::vector<FirmwareFileRequest> requests;
};

// Answers whatever is still open and closes the dialog, so that a failed check
// never leaves the modal loop waiting for ever.
void CloseEverything(HWND window, DWORD uiThread, const std::atomic<bool>& ended) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!ended) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "the dialog did not close; giving up\n");
      std::fflush(stderr);
      TerminateProcess(GetCurrentProcess(), 3);
    }
    if (HWND box = FindOwnedBox(uiThread, window)) {
      PressButton(box, BoxMessage(box) == Expected(kTextAskStop) ? IDYES : IDOK);
    } else {
      PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    std::this_thread::sleep_for(100ms);
  }
}

// Runs the dialog modally on this thread while drive(window, uiThread) runs on
// another; returns what DoModal returned.
INT_PTR RunDialog(CUpdateDlg& dialog, const std::function<void(HWND, DWORD)>& drive) {
  const DWORD uiThread = GetCurrentThreadId();
  std::atomic<bool> ended{false};
  std::thread driver([&] {
    HWND window = nullptr;
    WaitUntil([&] {
      for (HWND h : ThreadDialogs(uiThread)) {
        if (!GetWindow(h, GW_OWNER)) window = h;
      }
      return window != nullptr;
    });
    if (!window) {
      ADD_FAILURE() << "the dialog did not show";
      std::fflush(stdout);
      TerminateProcess(GetCurrentProcess(), 3);
    }
    drive(window, uiThread);
    CloseEverything(window, uiThread, ended);
  });
  const INT_PTR result = dialog.DoModal();
  ended = true;
  driver.join();
  return result;
}

TEST(Dialog, RunsInTheLanguageAskedFor) {
  // Guards the two runs: a locale that did not reach Wine would test English twice.
  EXPECT_EQ(GetUserDefaultUILanguage(), expectedLanguage);
}

TEST(Dialog, UpdateFromButtonToResult) {
  Rig rig(kProductTwoStage);
  const test::Bytes file = MakeFirmwareFile();
  const std::wstring firmwarePath = TempPath(L"korbex-dialog-update.dat");
  WriteFileBytes(firmwarePath, file);
  rig.Choose(firmwarePath);
  DeleteFileW(LogPath().c_str());
  wchar_t currentDirectory[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, currentDirectory);

  const std::wstring title = Expected(kTextTitle);
  const std::wstring versionCaption = title + L" (Device: v1.2)";
  CUpdateDlg dialog;
  rig.Attach(dialog);
  const INT_PTR result = RunDialog(dialog, [&](HWND window, DWORD ui) {
    HWND button = Control(window, 1009);
    HWND label = Control(window, -1);
    ASSERT_TRUE(button && label && Control(window, 1016) && Control(window, 1003));
    // At start: the version read from the adapter in the caption, texts in the
    // user's language, result label hidden, bar at 0 of 0..100, button enabled.
    ASSERT_TRUE(WaitUntil([&] { return WindowText(window) == versionCaption; })) << WindowText(window).size();
    EXPECT_EQ(WindowText(Control(window, 1016)), Expected(kTextInstructions));
    EXPECT_EQ(WindowText(label),
              Utf16(expectedLanguage == kLanguageChineseSimplified ? kResultLabelChinese : kUpdatedSuccessful));
    EXPECT_FALSE(IsWindowVisible(label));
    EXPECT_TRUE(IsWindowEnabled(button));
    EXPECT_EQ(WindowText(button), Utf16(kUpdateButtonText));
    EXPECT_EQ(Progress(window), 0);
    PBRANGE range{};
    SendMessageW(Control(window, 1003), PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 100);
    EXPECT_NE(dialog.hid.m_hDevNotify, nullptr) << "registered for device-change notices";
    EXPECT_TRUE(Screenshot("idle-" + LanguageTag()));

    PostMessageW(button, BM_CLICK, 0, 0);
    HWND box = WaitForBox(ui, window, L"firmware V2.16");
    ASSERT_NE(box, nullptr) << "no confirmation";
    EXPECT_EQ(WindowText(box), title);
    EXPECT_FALSE(IsWindowEnabled(button)) << "disabled while the update runs";
    {
      std::lock_guard<std::mutex> lock(rig.mutex);
      ASSERT_EQ(rig.requests.size(), 1u);
      const FirmwareFileRequest& request = rig.requests[0];
      EXPECT_EQ(request.owner, window);
      EXPECT_EQ(request.filterName, Expected(kTextFileType) + L"(*.dat)");
      EXPECT_EQ(request.filterPattern, L"*.dat");
      EXPECT_EQ(request.defaultExtension, L"*.*");
      EXPECT_EQ(request.initialDirectory, currentDirectory);
    }
    EXPECT_TRUE(Screenshot("confirm-" + LanguageTag()));
    PressButton(box, IDOK);

    // Mid-update: slow the adapter down (each reply 120 ms late, still inside the
    // 200 ms read time-out) so the picture holds still.
    ASSERT_TRUE(WaitUntil([&] { return Progress(window) > 0; })) << "the bar never moved";
    rig.adapter->SetReplyDelay(120);
    std::this_thread::sleep_for(300ms);
    const LRESULT position = Progress(window);
    EXPECT_GT(position, 0);
    EXPECT_LT(position, 100);
    EXPECT_FALSE(IsWindowEnabled(button));
    EXPECT_FALSE(IsWindowVisible(label));
    EXPECT_TRUE(Screenshot("progress-" + LanguageTag()));
    rig.adapter->SetReplyDelay(0);

    box = WaitForBox(ui, window, Utf16(kUpdatedSuccessful), 60s);
    ASSERT_NE(box, nullptr) << "no success message";
    EXPECT_EQ(WindowText(box), title);
    EXPECT_EQ(Progress(window), 0) << "the bar is reset before the message";
    EXPECT_TRUE(Screenshot("success-" + LanguageTag()));
    PressButton(box, IDOK);
    EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(label) && IsWindowEnabled(button); }));
    EXPECT_TRUE(Screenshot("done-" + LanguageTag()));
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_TRUE(rig.FlashHolds(file));
  // The update closed its log at the end: readable now, exactly the three lines.
  EXPECT_EQ(ReadFileBytes(LogPath()), LogFileBytes({kLogOpenFile, kLogOpenFileOk, kLogReadCrc}));
}

TEST(Dialog, RefusedFilesAndTheLog) {
  const std::wstring log = LogPath();
  const test::Bytes leftOver(200, 'x');
  const test::Bytes file = MakeFirmwareFile();
  const std::wstring shortPath = TempPath(L"korbex-dialog-short.dat");
  WriteFileBytes(shortPath, test::Bytes(file.begin(), file.begin() + 27));

  struct Case {
    const char* name;
    std::optional<std::wstring> chosen;
    std::optional<std::wstring> message;  // the box expected, if any
    std::optional<test::Bytes> logAfter;  // nullopt: untouched
  } const cases[] = {
      {"cancelled", std::nullopt, std::nullopt, std::nullopt},
      {"missing file", TempPath(L"korbex-dialog-missing.dat"), std::nullopt, LogFileBytes({kLogOpenFile})},
      {"27 bytes", shortPath, Utf16(kFileMismatch), LogFileBytes({kLogOpenFile, kLogOpenFileOk, kFileMismatch})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(kProductTwoStage);
    WriteFileBytes(log, leftOver);
    rig.Choose(c.chosen);
    CUpdateDlg dialog;
    rig.Attach(dialog);
    RunDialog(dialog, [&](HWND window, DWORD ui) {
      ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(Control(window, 1009)) != FALSE; }));
      const std::size_t sentBefore = rig.adapter->ReceivedCount();
      PostMessageW(Control(window, 1009), BM_CLICK, 0, 0);
      ASSERT_TRUE(WaitUntil([&] { return rig.Requests() == 1; }));
      if (c.message) {
        HWND box = WaitForBox(ui, window, *c.message);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(WindowText(box), Expected(kTextTitle));
        PressButton(box, IDOK);
        EXPECT_TRUE(WaitUntil([&] { return FindOwnedBox(ui, window) == nullptr; }));
      } else {
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(FindOwnedBox(ui, window), nullptr) << "nothing is shown";
      }
      EXPECT_FALSE(IsWindowVisible(Control(window, -1)));
      EXPECT_TRUE(IsWindowEnabled(Control(window, 1009)));
      std::this_thread::sleep_for(200ms);
      EXPECT_EQ(rig.adapter->ReceivedCount(), sentBefore) << "no worker talked to the adapter";
    });
    operationLog.Close();  // the program keeps it open until it ends
    EXPECT_EQ(ReadFileBytes(log), c.logAfter ? *c.logAfter : leftOver);
  }
}

TEST(Dialog, ClosingDuringAnUpdateAsksFirstThenStopsTheWorker) {
  Rig rig(kProductTwoStage);
  const std::wstring firmwarePath = TempPath(L"korbex-dialog-close.dat");
  WriteFileBytes(firmwarePath, MakeFirmwareFile());
  rig.Choose(firmwarePath);
  CUpdateDlg dialog;
  rig.Attach(dialog);
  const std::wstring question = Expected(kTextAskStop);
  const INT_PTR result = RunDialog(dialog, [&](HWND window, DWORD ui) {
    ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(Control(window, 1009)) != FALSE; }));
    PostMessageW(Control(window, 1009), BM_CLICK, 0, 0);
    HWND box = WaitForBox(ui, window, L"firmware V2.16");
    ASSERT_NE(box, nullptr);
    PressButton(box, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return Progress(window) > 0; }));
    rig.adapter->SetReplyDelay(20);

    // Esc: asked first; "No" goes on with the update.
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    box = WaitForBox(ui, window, question);
    ASSERT_NE(box, nullptr) << "closing during an update must ask";
    EXPECT_EQ(WindowText(box), Expected(kTextTitle));
    PressButton(box, IDNO);
    ASSERT_TRUE(WaitUntil([&] { return FindOwnedBox(ui, window) == nullptr; }));
    const std::size_t sent = rig.adapter->ReceivedCount();
    EXPECT_TRUE(WaitUntil([&] { return rig.adapter->ReceivedCount() > sent + 5; })) << "the update goes on";
    EXPECT_TRUE(IsWindow(window));

    // The close box: "Yes" stops the worker and ends the dialog.
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    box = WaitForBox(ui, window, question);
    ASSERT_NE(box, nullptr);
    PressButton(box, IDYES);
  });
  EXPECT_EQ(result, IDCANCEL);
  // DoModal returned only after the worker ended: nothing more reaches the adapter.
  const std::size_t sent = rig.adapter->ReceivedCount();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(rig.adapter->ReceivedCount(), sent);
  EXPECT_FALSE(dialog.WorkerAlive());
  EXPECT_EQ(updateSession.updateRunning, 0);
}

TEST(Dialog, DeviceChangesFollowTheAdapter) {
  Rig rig(kProductTwoStage);
  CUpdateDlg dialog;
  rig.Attach(dialog);
  const std::wstring title = Expected(kTextTitle);
  const std::wstring versionCaption = title + L" (Device: v1.2)";
  RunDialog(dialog, [&](HWND window, DWORD) {
    HWND button = Control(window, 1009);
    ASSERT_TRUE(WaitUntil([&] { return WindowText(window) == versionCaption; }));
    auto notice = [&](WPARAM event) { return SendMessageW(window, WM_DEVICECHANGE, event, 0); };

    rig.Present(std::nullopt);
    EXPECT_EQ(notice(DBT_DEVICEREMOVECOMPLETE), TRUE);
    EXPECT_FALSE(IsWindowEnabled(button));
    EXPECT_EQ(WindowText(window), title);

    const int connections = rig.adapter->TotalConnections();
    rig.Present(kProductTwoStage);
    EXPECT_EQ(notice(DBT_DEVICEARRIVAL), TRUE);
    EXPECT_TRUE(WaitUntil([&] { return WindowText(window) == versionCaption; })) << "version read again";
    EXPECT_TRUE(IsWindowEnabled(button));
    EXPECT_EQ(rig.adapter->TotalConnections(), connections + 2) << "the channel was opened anew";

    rig.Present(std::nullopt);
    notice(DBT_DEVNODES_CHANGED);
    EXPECT_FALSE(IsWindowEnabled(button));
    EXPECT_EQ(WindowText(window), title);
    rig.Present(kProductTwoStage);
    notice(DBT_DEVNODES_CHANGED);
    EXPECT_TRUE(IsWindowEnabled(button)) << "a version is known and no update runs";
    EXPECT_EQ(WindowText(window), title);

    // Other notices run discovery and change nothing else.
    rig.Present(std::nullopt);
    notice(DBT_CONFIGCHANGED);
    EXPECT_TRUE(IsWindowEnabled(button));
    EXPECT_EQ(WindowText(window), title);
    EXPECT_EQ(rig.adapter->TotalConnections(), connections + 2);
  });
}

// The caption text keeps the line feed its format ends in; the title bar gets the
// text without it (a title bar draws a line feed as a box after the version).
TEST(Dialog, TitleBarShowsTheVersionWithoutTheCaptionsLineFeed) {
  Rig rig(kProductTwoStage);
  CUpdateDlg dialog;
  rig.Attach(dialog);
  const std::wstring versionTitle = Expected(kTextTitle) + L" (Device: v1.2)";
  RunDialog(dialog, [&](HWND window, DWORD) {
    ASSERT_TRUE(WaitUntil([&] { return WindowText(window).rfind(versionTitle, 0) == 0; }))
        << "no version in the title: " << WindowText(window).size() << " characters";
    const std::wstring shown = WindowText(window);
    EXPECT_EQ(shown, versionTitle);
    EXPECT_NE(shown.back(), L'\n');
    EXPECT_NE(shown.back(), L'\r');
    EXPECT_EQ(dialog.deviceCaption, versionTitle + L"\n") << "the built caption text itself is unchanged";
  });
}

TEST(Dialog, AnAdapterThatNeverAnswersItsVersionDoesNotHoldTheDialog) {
  std::vector<sim::FaultSpec> faults;
  std::string error;
  ASSERT_TRUE(sim::ParseFaults("Drop:Version@1x*", faults, error)) << error;
  Rig rig(kProductTwoStage);
  rig.config.faults = faults;
  rig.adapter.reset();
  rig.model = std::make_unique<sim::AdapterModel>(rig.config);
  rig.adapter = std::make_unique<PipeAdapter>(rig.model.get());
  rig.Present(kProductTwoStage);
  CUpdateDlg dialog;
  rig.Attach(dialog);
  const auto start = std::chrono::steady_clock::now();
  RunDialog(dialog, [&](HWND window, DWORD) {
    // The query gave up (each attempt one 200 ms read time-out): the dialog is up,
    // with the plain title and no version.
    const auto shownAfter = std::chrono::steady_clock::now() - start;
    EXPECT_LT(shownAfter, 10s);
    EXPECT_EQ(WindowText(window), Expected(kTextTitle));
    EXPECT_EQ(updateSession.deviceVersion, kVersionNotRead);
    std::size_t versionRequests = 0;
    for (const Report& report : rig.adapter->Received()) {
      versionRequests += report.size() == 65 && report[1] == 0x05 && report[2] == 0x21;
    }
    EXPECT_EQ(versionRequests, 1u);
  });
}

TEST(Dialog, AnAdapterAnotherProgramHoldsIsAskedNothing) {
  Rig rig(kProductTwoStage);
  const test::Bytes file = MakeFirmwareFile();
  const std::wstring firmwarePath = TempPath(L"korbex-dialog-held.dat");
  WriteFileBytes(firmwarePath, file);
  rig.Choose(firmwarePath);
  const std::wstring title = Expected(kTextTitle);
  const std::wstring versionCaption = title + L" (Device: v1.2)";
  // Another program (korbex-update, say) holds the adapter when the dialog starts.
  AdapterLock other;
  ASSERT_EQ(TakeAdapter(other, rig.adapter->Path()), AdapterLockStatus::Held);
  CUpdateDlg dialog;
  rig.Attach(dialog);
  RunDialog(dialog, [&](HWND window, DWORD ui) {
    HWND button = Control(window, 1009);
    HWND label = Control(window, -1);
    // The version query sent nothing: the plain title, as for an unread version.
    EXPECT_EQ(WindowText(window), title);
    EXPECT_EQ(updateSession.deviceVersion, kVersionNotRead);
    EXPECT_EQ(rig.adapter->ReceivedCount(), 0u);

    // The other program ends; the adapter's next arrival reads the version.
    other.Release();
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    ASSERT_TRUE(WaitUntil([&] { return WindowText(window) == versionCaption && IsWindowEnabled(button); }));

    // It takes the adapter again before the user clicks: the update fails before
    // sending anything, and the dialog stays usable.
    ASSERT_EQ(TakeAdapter(other, rig.adapter->Path()), AdapterLockStatus::Held);
    const std::size_t sentBefore = rig.adapter->ReceivedCount();
    PostMessageW(button, BM_CLICK, 0, 0);
    HWND box = WaitForBox(ui, window, Utf16(kUpdatedFailed));
    ASSERT_NE(box, nullptr) << "no failure box";
    EXPECT_EQ(WindowText(box), title);
    PressButton(box, IDOK);
    EXPECT_TRUE(WaitUntil([&] { return FindOwnedBox(ui, window) == nullptr; }));
    EXPECT_TRUE(IsWindowEnabled(button));
    EXPECT_FALSE(IsWindowVisible(label));
    EXPECT_FALSE(dialog.WorkerAlive());
    EXPECT_EQ(rig.adapter->ReceivedCount(), sentBefore) << "a refused update sent reports";

    // Let go: the same button now updates.
    other.Release();
    PostMessageW(button, BM_CLICK, 0, 0);
    box = WaitForBox(ui, window, L"firmware V2.16");
    ASSERT_NE(box, nullptr) << "no confirmation";
    PressButton(box, IDOK);
    box = WaitForBox(ui, window, Utf16(kUpdatedSuccessful), 60s);
    ASSERT_NE(box, nullptr) << "no success message";
    PressButton(box, IDOK);
  });
  EXPECT_TRUE(rig.FlashHolds(file));
}

TEST(Dialog, ArrivalDuringAnUpdateWaitsForTheWorker) {
  Rig rig(kProductTwoStage);
  const test::Bytes file = MakeFirmwareFile();
  const std::wstring firmwarePath = TempPath(L"korbex-dialog-arrival.dat");
  WriteFileBytes(firmwarePath, file);
  rig.Choose(firmwarePath);
  CUpdateDlg dialog;
  rig.Attach(dialog);
  const std::wstring versionCaption = Expected(kTextTitle) + L" (Device: v1.2)";
  RunDialog(dialog, [&](HWND window, DWORD ui) {
    HWND button = Control(window, 1009);
    ASSERT_TRUE(WaitUntil([&] { return WindowText(window) == versionCaption; }));
    PostMessageW(button, BM_CLICK, 0, 0);
    HWND box = WaitForBox(ui, window, L"firmware V2.16");
    ASSERT_NE(box, nullptr);
    PressButton(box, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return Progress(window) > 0; }));
    rig.adapter->SetReplyDelay(10);

    // The adapter shows up under its other product id mid-update: found, but the
    // channel is not reopened under the worker.
    const int connections = rig.adapter->TotalConnections();
    rig.Present(kProductFlashLoader);
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    EXPECT_EQ(rig.adapter->TotalConnections(), connections);
    EXPECT_FALSE(IsWindowEnabled(button)) << "no second update while one runs";
    // A click that still reaches the dialog does not open another file.
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(1009, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    EXPECT_EQ(rig.Requests(), 1u);
    rig.adapter->SetReplyDelay(0);

    box = WaitForBox(ui, window, Utf16(kUpdatedSuccessful), 60s);
    ASSERT_NE(box, nullptr) << "the update was disturbed";
    PressButton(box, IDOK);
    // Then the arrival is answered: channel reopened, version read.
    EXPECT_TRUE(WaitUntil([&] { return rig.adapter->TotalConnections() == connections + 2; }));
    EXPECT_TRUE(WaitUntil([&] { return WindowText(window) == versionCaption; }));
  });
  EXPECT_TRUE(rig.FlashHolds(file));
}

// The real file chooser (the modern common dialog): one filter, "*.dat", started in
// the folder given; a typed name comes back as a full path, Cancel as nothing.
TEST(Dialog, FileChooserOffersFirmwareFiles) {
  const std::wstring folder = TempPath(L"");
  const std::wstring path = TempPath(L"korbex-chooser.dat");
  WriteFileBytes(path, MakeFirmwareFile());
  FirmwareFileRequest request;
  request.filterName = Expected(kTextFileType) + L"(*.dat)";
  request.filterPattern = L"*.dat";
  request.defaultExtension = L"*.*";
  request.initialDirectory = folder.substr(0, folder.size() - 1);

  const DWORD uiThread = GetCurrentThreadId();
  for (const bool choose : {true, false}) {
    SCOPED_TRACE(choose ? "chosen" : "cancelled");
    std::thread driver([&] {
      HWND chooser = nullptr;
      const bool shown = WaitUntil([&] {
        const auto dialogs = ThreadDialogs(uiThread);
        chooser = dialogs.empty() ? nullptr : dialogs.front();
        return chooser != nullptr;
      });
      if (!shown) {
        ADD_FAILURE() << "no file dialog";
        return;
      }
      // Every text of the dialog's controls, to find the filter and the name box.
      struct Found {
        std::vector<std::wstring> texts;
        HWND nameBox = nullptr;
      } found;
      EnumChildWindows(
          chooser,
          [](HWND child, LPARAM data) -> BOOL {
            auto* f = reinterpret_cast<Found*>(data);
            const std::wstring cls = ClassName(child);
            if (_wcsicmp(cls.c_str(), L"ComboBox") == 0) {
              const LRESULT count = SendMessageW(child, CB_GETCOUNT, 0, 0);
              for (LRESULT i = 0; i < count; ++i) {
                std::wstring item(static_cast<std::size_t>(SendMessageW(child, CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
                item.resize(static_cast<std::size_t>(
                    SendMessageW(child, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()))));
                f->texts.push_back(item);
              }
            }
            if (_wcsicmp(cls.c_str(), L"Edit") == 0 && IsWindowVisible(child) && !f->nameBox) f->nameBox = child;
            return TRUE;
          },
          reinterpret_cast<LPARAM>(&found));
      bool filterShown = false;
      for (const auto& text : found.texts) filterShown |= text.find(request.filterName) != std::wstring::npos;
      EXPECT_TRUE(filterShown) << "filter \"File type(*.dat)\" not offered";
      if (choose) {
        EXPECT_TRUE(Screenshot("chooser-" + LanguageTag()));
      }
      if (choose && found.nameBox) {
        SendMessageW(found.nameBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"korbex-chooser.dat"));
        PressButton(chooser, IDOK);
      } else {
        EXPECT_TRUE(!choose || found.nameBox) << "no name box";
        PressButton(chooser, IDCANCEL);
      }
      // Whatever happened, do not leave the dialog open.
      if (!WaitUntil([&] { return !IsWindow(chooser); }, 10s)) PostMessageW(chooser, WM_CLOSE, 0, 0);
    });
    const std::optional<std::wstring> result = ChooseFirmwareFile(request);
    driver.join();
    if (choose) {
      ASSERT_TRUE(result.has_value());
      EXPECT_EQ(_wcsicmp(result->c_str(), path.c_str()), 0) << result->size();
    } else {
      EXPECT_FALSE(result.has_value());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--expect-language=", 0) == 0) expectedLanguage = static_cast<LANGID>(std::stoi(arg.substr(18)));
  }
  AfxEnableControlContainer();
  const int result = RUN_ALL_TESTS();
  AfxTermControlContainer();
  return result;
}
