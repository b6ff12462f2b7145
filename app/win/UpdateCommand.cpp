// The update button and the worker it starts.
#include <windows.h>
// (commctrl.h needs windows.h first)
#include <commctrl.h>

#include "app/win/LocalizedText.h"
#include "app/win/UpdateDlg.h"
#include "app/win/Win32Files.h"

namespace {

// A question or message of the worker, answered by the dialog's thread.
struct UserRequest {
  std::wstring text;
  UINT type = MB_OK;
  bool answeredOk = false;
  HANDLE answered = nullptr;
};

// How often a waiting worker looks whether the dialog window still exists.
constexpr DWORD kAnswerPollMs = 100;

std::wstring TextOf(std::u16string_view text) { return Wide(text); }

}  // namespace

void CUpdateDlg::OnUsbUpdate() {
  // One update at a time: a second file opened now would take the firmware file
  // and the log away from the worker that is using them.
  if (WorkerAlive()) return;

  FirmwareFileRequest request;
  request.owner = m_hWnd;
  request.filterName = LoadLocalizedText(korbex::kTextFileType) + L"(*.dat)";
  request.filterPattern = L"*.dat";
  request.defaultExtension = L"*.*";
  ShowWindow(resultLabel, SW_HIDE);
  wchar_t directory[256] = {};
  const DWORD length = GetCurrentDirectoryW(256, directory);
  if (length > 0 && length < 256) request.initialDirectory.assign(directory, length);

  const std::optional<std::wstring> path = fileChooser_(request);
  if (!path) return;

  // Both files are held without sharing: close what an earlier update left open
  // before opening them again.
  firmwareImage.Close();
  updateSession.fileOpened = firmwareImage.Open(Win32FirmwareSource::Open(*path)) ? 1 : 0;
  operationLog.Close();
  operationLog.Create(Win32OutputFile::Create(OperationLogPath()));
  operationLog.AppendLog(korbex::kLogOpenFile);
  if (!updateSession.fileOpened) return;
  operationLog.AppendLog(korbex::kLogOpenFileOk);

  firmwareHeaders.h1Read = firmwareImage.Read(0, firmwareHeaders.h1.bytes, korbex::kHeaderSize);
  if (firmwareHeaders.h1Read < korbex::kHeaderSize) {
    operationLog.AppendLog(korbex::kFileMismatch);
    MessageBoxW(m_hWnd, TextOf(korbex::kFileMismatch).c_str(), LoadLocalizedText(korbex::kTextTitle).c_str(), MB_OK);
    return;
  }
  operationLog.AppendLog(korbex::kLogReadCrc);

  // The worker holds the adapter from its first exchange to its last. Another program
  // of ours is updating it: nothing is sent, and the update ends as a failed one does
  // (its box, the file closed, the button as it was).
  if (TakeAdapter(workerAdapter_, hid.m_DevicePath) != korbex::AdapterLockStatus::Held) {
    firmwareImage.Close();
    MessageBoxW(m_hWnd, TextOf(korbex::kUpdatedFailed).c_str(), LoadLocalizedText(korbex::kTextTitle).c_str(), MB_OK);
    return;
  }
  stopRequested_ = false;
  if (worker_) CloseHandle(worker_);  // ended; its done message, still on its way, is ignored
  worker_ = CreateThread(nullptr, 0, &UpdateWorkerThread, nullptr, 0, nullptr);
}

DWORD WINAPI UpdateWorkerThread(LPVOID) {
  CUpdateDlg* dialog = theDialog;
  korbex::UpdateContext context{
      dialog->link, firmwareImage,           operationLog,           dialog->listener_, updateSession,
      deviceFamily, dialog->firmwareHeaders, &dialog->stopRequested_};
  korbex::FlashUpdateThread(context);
  dialog->workerAdapter_.Release();
  PostMessageW(dialog->m_hWnd, kMsgWorkerDone, GetCurrentThreadId(), 0);
  return 0;
}

// Worker side: every call becomes a message to the dialog's thread.

void DialogUpdateListener::EnableUpdateButton(bool enabled) {
  PostMessageW(dialog_.m_hWnd, kMsgEnableButton, enabled ? 1 : 0, 0);
}

void DialogUpdateListener::SetProgress(std::uint32_t position) {
  PostMessageW(dialog_.m_hWnd, kMsgProgress, position, 0);
}

void DialogUpdateListener::ShowResultLabel() { PostMessageW(dialog_.m_hWnd, kMsgShowResultLabel, 0, 0); }

bool DialogUpdateListener::ConfirmFirmware(std::u16string_view text) { return AskUser(text, MB_OKCANCEL); }

void DialogUpdateListener::ShowMessage(std::u16string_view text) { AskUser(text, MB_OK); }

std::uint16_t DialogUpdateListener::UiLanguage() { return GetUserDefaultUILanguage(); }

bool DialogUpdateListener::AskUser(std::u16string_view text, UINT type) {
  // The box belongs to the dialog and runs on its thread; the worker waits for the
  // answer as it would have waited for a box of its own.
  UserRequest request;
  request.text = TextOf(text);
  request.type = type;
  request.answered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!request.answered) return false;
  HWND window = dialog_.m_hWnd;
  bool posted = window && PostMessageW(window, kMsgAskUser, 0, reinterpret_cast<LPARAM>(&request));
  bool answered = false;
  while (posted && !answered) {
    answered = WaitForSingleObject(request.answered, kAnswerPollMs) == WAIT_OBJECT_0;
    // A window that is gone drops its queue: nobody will answer.
    if (!answered && !IsWindow(window)) posted = false;
  }
  CloseHandle(request.answered);
  return answered && request.answeredOk;
}

// Dialog side.

LRESULT CUpdateDlg::OnWorkerEnableButton(WPARAM enabled, LPARAM) {
  EnableWindow(updateButton, enabled ? TRUE : FALSE);
  return 0;
}

LRESULT CUpdateDlg::OnWorkerProgress(WPARAM position, LPARAM) {
  SendMessageW(progressBar, PBM_SETPOS, position, 0);
  return 0;
}

LRESULT CUpdateDlg::OnWorkerShowResult(WPARAM, LPARAM) {
  ShowWindow(resultLabel, SW_SHOW);
  return 0;
}

LRESULT CUpdateDlg::OnWorkerAsk(WPARAM, LPARAM lParam) {
  auto* request = reinterpret_cast<UserRequest*>(lParam);
  if (stopRequested_) {
    request->answeredOk = false;  // closing: no more questions
  } else {
    const int answer =
        MessageBoxW(m_hWnd, request->text.c_str(), LoadLocalizedText(korbex::kTextTitle).c_str(), request->type);
    request->answeredOk = answer == IDOK;
  }
  SetEvent(request->answered);  // the worker owns the request again from here on
  return 0;
}
