// The adapter lock on Windows: a named semaphore of count one, named after the device
// interface path, taken by korbex-update.exe and KorbexUpdate.exe alike. A semaphore
// rather than a mutex: a mutex belongs to the thread that took it (the dialog takes the
// adapter on its own thread for the version query and on the worker for the update,
// and a mutex would let the same thread in twice); a semaphore is the process's. The
// object lives only while a handle is open, so a holder that crashed or was killed
// leaves nothing behind. Windows does not say who holds a semaphore.
#include "hid/AdapterLock.h"

#include <windows.h>

namespace korbex {
namespace {

std::string SystemMessage(DWORD error) {
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = text ? text : "";
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  return message + " (error " + std::to_string(error) + ")";
}

}  // namespace

AdapterLockStatus AdapterLock::Take(const std::string& path, AdapterHolder* holder, std::string* why) {
  Release();
  if (holder) *holder = {};
  const std::string name = AdapterLockName(path);  // ASCII only
  const std::wstring object(name.begin(), name.end());
  DWORD error = ERROR_SUCCESS;
  // Global: programs of every session (a service, another user) see the same object.
  // Where the global namespace is closed to us, the session's own still keeps two
  // programs of this session apart.
  for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
    HANDLE h = CreateSemaphoreW(nullptr, 1, 1, (space + object).c_str());
    if (!h) {
      error = GetLastError();
      // It exists, created by a holder of another user whose object we may not open.
      if (error == ERROR_ACCESS_DENIED) return AdapterLockStatus::Busy;
      continue;
    }
    const DWORD wait = WaitForSingleObject(h, 0);
    if (wait == WAIT_OBJECT_0) {
      handle_ = reinterpret_cast<std::intptr_t>(h);
      return AdapterLockStatus::Held;
    }
    error = GetLastError();
    CloseHandle(h);
    if (wait == WAIT_TIMEOUT) return AdapterLockStatus::Busy;
    break;
  }
  if (why) *why = SystemMessage(error);
  return AdapterLockStatus::Failed;
}

void AdapterLock::Release() {
  if (handle_ == kNone) return;
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  ReleaseSemaphore(h, 1, nullptr);
  CloseHandle(h);
  handle_ = kNone;
}

}  // namespace korbex
