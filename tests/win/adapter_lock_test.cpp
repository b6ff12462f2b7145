// The adapter lock on Windows, as korbex-update.exe and KorbexUpdate.exe take it: one
// holder per device path whatever its case, a holder in another process refuses
// korbex-update.exe (exit 8), and a holder that is killed leaves the adapter free.
//   win_adapter_lock_test <path of win_adapter_holder.exe> <path of korbex-update.exe>
#include <windows.h>
// (gtest after windows.h, as in the other Windows tests)
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "hid/AdapterLock.h"

using korbex::AdapterLock;
using korbex::AdapterLockStatus;

namespace {

std::wstring holderExe, toolExe;

// A device interface path as SetupAPI gives it, unique to this run.
std::string DevicePath(const char* serial) {
  return std::string("\\\\?\\hid#vid_35b2&pid_6e41#7&") + serial + "&" + std::to_string(GetCurrentProcessId()) +
         "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

struct Process {
  PROCESS_INFORMATION info{};
  bool started = false;
  Process(const std::wstring& exe, const std::wstring& arguments) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    started = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                             nullptr, &startup, &info) != 0;
  }
  ~Process() {
    if (!started) return;
    TerminateProcess(info.hProcess, 1);
    WaitForSingleObject(info.hProcess, 10000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  bool Running() const { return WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT; }
  DWORD ExitCode(DWORD waitMs) {
    DWORD code = 0xDEAD;
    if (WaitForSingleObject(info.hProcess, waitMs) == WAIT_OBJECT_0) GetExitCodeProcess(info.hProcess, &code);
    return code;
  }
};

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

TEST(AdapterLockWin, OneHolderPerDevicePathWhateverItsCase) {
  const std::string path = DevicePath("1a2b3c4d");
  AdapterLock first;
  ASSERT_EQ(first.Take(path), AdapterLockStatus::Held);
  for (const std::string& same : {path, Upper(path)}) {
    AdapterLock second;
    EXPECT_EQ(second.Take(same), AdapterLockStatus::Busy) << same;
    EXPECT_FALSE(second.Held());
  }
  // Another interface is another adapter.
  AdapterLock other;
  EXPECT_EQ(other.Take(DevicePath("5e6f7a8b")), AdapterLockStatus::Held);
  // Taken on one thread, let go on another: the dialog's worker does that.
  std::thread([&] { first.Release(); }).join();
  AdapterLock again;
  EXPECT_EQ(again.Take(Upper(path)), AdapterLockStatus::Held);
}

TEST(AdapterLockWin, KilledHolderInAnotherProcessLeavesTheAdapterFree) {
  const std::string path = DevicePath("9c0d1e2f");
  Process holder(holderExe, Wide("\"" + path + "\""));
  ASSERT_TRUE(holder.started) << GetLastError();
  // The holder has it once our own try is refused.
  AdapterLock lock;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  AdapterLockStatus status = AdapterLockStatus::Held;
  while (std::chrono::steady_clock::now() < deadline && holder.Running()) {
    status = lock.Take(path);
    if (status == AdapterLockStatus::Busy) break;
    lock.Release();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(status, AdapterLockStatus::Busy) << "the holder never took the adapter (exit " << holder.ExitCode(0) << ")";

  // korbex-update.exe takes the same object for the same path: refused, exit 8.
  {
    Process tool(toolExe, Wide("--simulate=lock-path=" + Upper(path) + " info"));
    ASSERT_TRUE(tool.started);
    EXPECT_EQ(tool.ExitCode(60000), 8u);
  }

  ASSERT_TRUE(TerminateProcess(holder.info.hProcess, 9));
  ASSERT_EQ(WaitForSingleObject(holder.info.hProcess, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(lock.Take(path), AdapterLockStatus::Held);
  lock.Release();
  Process tool(toolExe, Wide("--simulate=lock-path=" + path + " info"));
  ASSERT_TRUE(tool.started);
  EXPECT_EQ(tool.ExitCode(60000), 0u);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc != 3) {
    fprintf(stderr, "usage: win_adapter_lock_test HOLDER.exe korbex-update.exe\n");
    return 2;
  }
  holderExe = Wide(argv[1]);
  toolExe = Wide(argv[2]);
  return RUN_ALL_TESTS();
}
