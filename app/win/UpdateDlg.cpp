#include "app/win/UpdateDlg.h"

#include <commctrl.h>
#include <dbt.h>

#include "app/win/LocalizedText.h"
#include "identity/VersionQuery.h"
#include "resources/resource.h"

CUpdateDlg* theDialog = nullptr;
HWND updateButton = nullptr;
HWND progressBar = nullptr;
HWND resultLabel = nullptr;
HWND instructionsLabel = nullptr;
korbex::UpdateSession updateSession;
korbex::DeviceFamily deviceFamily;
korbex::FirmwareImage firmwareImage;
korbex::OperationLog operationLog;

namespace {

void TraceToDebugger(std::u16string_view line) { OutputDebugStringW(Wide(line).c_str()); }

}  // namespace

BEGIN_MESSAGE_MAP(CUpdateDlg, CDialog)
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_WM_DEVICECHANGE()
ON_WM_CTLCOLOR()
ON_BN_CLICKED(IDC_USB_UPDATE, &CUpdateDlg::OnUsbUpdate)
ON_MESSAGE(kMsgEnableButton, &CUpdateDlg::OnWorkerEnableButton)
ON_MESSAGE(kMsgProgress, &CUpdateDlg::OnWorkerProgress)
ON_MESSAGE(kMsgShowResultLabel, &CUpdateDlg::OnWorkerShowResult)
ON_MESSAGE(kMsgAskUser, &CUpdateDlg::OnWorkerAsk)
ON_MESSAGE(kMsgWorkerDone, &CUpdateDlg::OnWorkerDone)
ON_MESSAGE(kMsgApplyCaption, &CUpdateDlg::OnApplyCaption)
END_MESSAGE_MAP()

CUpdateDlg::CUpdateDlg(HWND parent)
    : CDialog(IDD_KORBEXUPDATE_DIALOG, parent),
      hid(deviceFamily, updateSession.updateRunning),
      link(hid, korbex::SystemClock()),
      fileChooser_(&ChooseFirmwareFile) {
  m_hIcon = LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME));
  // Closing during an erase wait then acts within one read instead of the whole wait.
  link.SetStopFlag(&stopRequested_);
  theDialog = this;
}

CUpdateDlg::~CUpdateDlg() {
  // Normally the worker has ended before the dialog closed; if the window went away
  // some other way, stop it now: its requests to a window that is gone are answered
  // "no" at once, so this wait ends.
  stopRequested_ = true;
  WaitForWorker(false);
  if (captionThread_) {
    WaitForSingleObject(captionThread_, INFINITE);
    CloseHandle(captionThread_);
  }
  if (theDialog == this) theDialog = nullptr;
}

BOOL CUpdateDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

  updateButton = GetDlgItem(IDC_USB_UPDATE);
  progressBar = GetDlgItem(IDC_PROGRESS);
  resultLabel = GetDlgItem(IDC_STATIC);
  instructionsLabel = GetDlgItem(IDC_INSTRUCTIONS);

  if (GetUserDefaultUILanguage() != korbex::kLanguageChineseSimplified) {
    SetWindowTextW(instructionsLabel, LoadLocalizedText(korbex::kTextInstructions).c_str());
  } else {
    SetWindowTextW(resultLabel, Wide(korbex::kResultLabelChinese).c_str());
  }
  ShowWindow(resultLabel, SW_HIDE);

  SendMessageW(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendMessageW(progressBar, PBM_SETPOS, 0, 0);

  hid.m_hOwnerWnd = m_hWnd;
  updateSession.deviceVersion = korbex::kVersionNotRead;
  if (hid.Detect()) {
    QueryDeviceVersion();
    if (updateSession.updateRunning == 0 && updateSession.deviceVersion != korbex::kVersionNotRead) {
      EnableWindow(updateButton, TRUE);
    }
  } else {
    EnableWindow(updateButton, FALSE);
  }
  SetWindowTextW(m_hWnd, LoadLocalizedText(korbex::kTextTitle).c_str());
  return TRUE;
}

void CUpdateDlg::OnPaint() {
  if (!IsIconic(m_hWnd)) {
    Default();
    return;
  }
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(m_hWnd, &paint);
  SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int iconWidth = GetSystemMetrics(SM_CXICON);
  const int iconHeight = GetSystemMetrics(SM_CYICON);
  RECT client;
  GetClientRect(m_hWnd, &client);
  const int x = (client.right - client.left - iconWidth + 1) / 2;
  const int y = (client.bottom - client.top - iconHeight + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(m_hWnd, &paint);
}

HCURSOR CUpdateDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

HBRUSH CUpdateDlg::OnCtlColor(HDC dc, HWND control, UINT kind) {
  HBRUSH brush = CDialog::OnCtlColor(dc, control, kind);
  if (kind == CTLCOLOR_STATIC && GetDlgCtrlID(control) == IDC_USB_UPDATE) {
    SetTextColor(dc, RGB(0, 0, 255));
    SetBkColor(dc, RGB(255, 255, 255));
    // A stock brush: nothing to free, however often the control asks.
    return static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  }
  return brush;
}

BOOL CUpdateDlg::OnDeviceChange(UINT eventType, DWORD_PTR) {
  const int found = hid.Detect();
  switch (eventType & 0xFFFF) {
    case DBT_DEVNODES_CHANGED:
      if (found) {
        // The button stays disabled while a worker exists, even one whose device
        // arrival already cleared updateRunning.
        if (updateSession.updateRunning == 0 && updateSession.deviceVersion != korbex::kVersionNotRead &&
            !WorkerAlive()) {
          EnableWindow(updateButton, TRUE);
        }
      } else {
        EnableWindow(updateButton, FALSE);
        SetWindowTextW(m_hWnd, LoadLocalizedText(korbex::kTextTitle).c_str());
      }
      break;
    case DBT_DEVICEARRIVAL:
      if (found) {
        updateSession.updateRunning = 0;
        QueryDeviceVersion();
      }
      break;
    case DBT_DEVICEREMOVECOMPLETE:
      if (!found) {
        EnableWindow(updateButton, FALSE);
        const std::wstring title = LoadLocalizedText(korbex::kTextTitle);
        OutputDebugStringW(title.c_str());
        SetWindowTextW(m_hWnd, title.c_str());
      }
      break;
    default:
      break;
  }
  return TRUE;
}

void CUpdateDlg::QueryDeviceVersion() {
  if (updateSession.updateRunning == 1) return;
  if (WorkerAlive()) {
    // Reopening the channel or reading replies now would pull the adapter away from
    // the update; ask again when the worker has ended.
    versionQueryOwed_ = true;
    return;
  }
  updateSession.deviceVersion = korbex::kVersionNotRead;
  if (!hid.Open()) return;
  if (!deviceFamily.TwoStage) return;
  // Another program of ours is updating this adapter: ask it nothing. The version
  // stays unread and the caption the title, as when the adapter does not answer.
  korbex::AdapterLock adapter;
  if (TakeAdapter(adapter, hid.m_DevicePath) != korbex::AdapterLockStatus::Held) return;
  HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  std::u16string caption;
  const std::wstring title = LoadLocalizedText(korbex::kTextTitle);
  const korbex::VersionQueryResult result = korbex::QueryTwoStageVersion(
      link, updateSession, std::u16string_view(reinterpret_cast<const char16_t*>(title.data()), title.size()), caption,
      &TraceToDebugger);
  SetCursor(previous);
  if (result != korbex::VersionQueryResult::Read) return;  // version stays unread
  deviceCaption = Wide(caption);
  EnableWindow(updateButton, TRUE);
  StartCaptionThread();
}

void CUpdateDlg::StartCaptionThread() {
  if (captionThread_) {  // the previous one only posted a message: it is over or nearly
    WaitForSingleObject(captionThread_, INFINITE);
    CloseHandle(captionThread_);
  }
  captionThread_ = CreateThread(nullptr, 0, &DeviceCaptionThread, nullptr, 0, nullptr);
}

DWORD WINAPI DeviceCaptionThread(LPVOID) {
  // The caption is set by the dialog's thread when it next takes messages, after
  // the handler that ran the query has returned.
  if (theDialog && theDialog->m_hWnd) PostMessageW(theDialog->m_hWnd, kMsgApplyCaption, 0, 0);
  return 0;
}

LRESULT CUpdateDlg::OnApplyCaption(WPARAM, LPARAM) {
  ApplyDeviceCaption();
  return 0;
}

void CUpdateDlg::ApplyDeviceCaption() {
  // The caption text ends in a line feed; a title bar would draw it as a box after the
  // version, so the window gets the text without its line ending.
  std::wstring title = deviceCaption;
  while (!title.empty() && (title.back() == L'\n' || title.back() == L'\r')) title.pop_back();
  SetWindowTextW(m_hWnd, title.c_str());
}

bool CUpdateDlg::WorkerAlive() const { return worker_ && WaitForSingleObject(worker_, 0) == WAIT_TIMEOUT; }

void CUpdateDlg::OnOK() { CloseDialog(IDOK); }

void CUpdateDlg::OnCancel() { CloseDialog(IDCANCEL); }

void CUpdateDlg::CloseDialog(INT_PTR result) {
  if (closing_) return;  // a second Esc while the question is up
  if (WorkerAlive()) {
    closing_ = true;
    const std::wstring question = LoadLocalizedText(korbex::kTextAskStop);
    const std::wstring title = LoadLocalizedText(korbex::kTextTitle);
    const int answer = MessageBoxW(m_hWnd, question.c_str(), title.c_str(), MB_YESNO | MB_ICONWARNING);
    if (answer != IDYES) {
      closing_ = false;
      return;
    }
    stopRequested_ = true;
    WaitForWorker(true);
    closing_ = false;
  }
  EndDialog(result);
}

void CUpdateDlg::WaitForWorker(bool pumpMessages) {
  while (worker_) {
    if (pumpMessages && MsgWaitForMultipleObjects(1, &worker_, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
      MSG message;
      while (worker_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
          // Keep it for the loop that owns it, and wait without taking messages.
          PostQuitMessage(static_cast<int>(message.wParam));
          pumpMessages = false;
          break;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      continue;
    }
    if (!worker_) break;
    WaitForSingleObject(worker_, INFINITE);
    CloseHandle(worker_);
    worker_ = nullptr;
  }
}

LRESULT CUpdateDlg::OnWorkerDone(WPARAM threadId, LPARAM) {
  if (worker_ && GetThreadId(worker_) == static_cast<DWORD>(threadId)) {
    WaitForSingleObject(worker_, INFINITE);  // it posts this as its last act
    CloseHandle(worker_);
    worker_ = nullptr;
  }
  if (versionQueryOwed_ && !closing_ && !stopRequested_) {
    versionQueryOwed_ = false;
    QueryDeviceVersion();
  }
  return 0;
}
