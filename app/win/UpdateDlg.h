#pragma once
// The main dialog: instructions, progress bar, result label and the one button.
//
// Threads: the dialog's own (everything here), one update worker at a time (the
// portable update sequence), and a short-lived caption thread. The worker reaches
// the dialog only through messages posted to it; the message boxes it needs are
// shown by the dialog's thread and owned by the dialog.
#include <windows.h>

#include <atomic>
#include <string>

#include "app/win/DialogFramework.h"
#include "app/win/FileChooser.h"
#include "hid/DeviceFamily.h"
#include "hid/win/Hid.h"
#include "protocol/BootProtocol.h"
#include "text/OperationLog.h"
#include "update/FirmwareImage.h"
#include "update/UpdateEngine.h"

class CUpdateDlg;

// What the update worker tells the dialog, forwarded to the dialog's thread.
class DialogUpdateListener final : public korbex::UpdateListener {
 public:
  explicit DialogUpdateListener(CUpdateDlg& dialog) : dialog_(dialog) {}
  void EnableUpdateButton(bool enabled) override;
  void SetProgress(std::uint32_t position) override;
  bool ConfirmFirmware(std::u16string_view text) override;
  void ShowMessage(std::u16string_view text) override;
  void ShowResultLabel() override;
  std::uint16_t UiLanguage() override;

 private:
  bool AskUser(std::u16string_view text, UINT type);
  CUpdateDlg& dialog_;
};

class CUpdateDlg : public CDialog {
 public:
  explicit CUpdateDlg(HWND parent = nullptr);
  ~CUpdateDlg() override;

  // Opens the channel on the device discovery found and, for a TwoStage device,
  // reads its version into the caption. Skipped while an update runs; an arrival
  // during an update is answered when the worker has ended.
  void QueryDeviceVersion();
  // Sets the window caption to deviceCaption without its trailing line feed.
  void ApplyDeviceCaption();
  // The update button: file choice, firmware file, log, header 1, worker.
  void OnUsbUpdate();

  // Test seams: where discovery looks, and how the firmware file is chosen.
  void SetDeviceSource(HidDeviceSource source) { hid.SetDeviceSource(std::move(source)); }
  void SetFileChooser(FirmwareFileChooser chooser) { fileChooser_ = std::move(chooser); }
  // True while an update worker thread exists.
  bool WorkerAlive() const;

  CHid hid;
  std::wstring deviceCaption;
  HICON m_hIcon = nullptr;
  // firmwareHeader (h1), firmwareHeader2 (h2), firmwareHeader3 (h3).
  korbex::FirmwareHeaders firmwareHeaders;
  korbex::BootLink link;

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void OnPaint();
  HCURSOR OnQueryDragIcon();
  BOOL OnDeviceChange(UINT eventType, DWORD_PTR data);
  HBRUSH OnCtlColor(HDC dc, HWND control, UINT kind);
  LRESULT OnWorkerEnableButton(WPARAM enabled, LPARAM);
  LRESULT OnWorkerProgress(WPARAM position, LPARAM);
  LRESULT OnWorkerShowResult(WPARAM, LPARAM);
  LRESULT OnWorkerAsk(WPARAM, LPARAM request);
  LRESULT OnWorkerDone(WPARAM threadId, LPARAM);
  LRESULT OnApplyCaption(WPARAM, LPARAM);
  DECLARE_MESSAGE_MAP()

 private:
  friend class DialogUpdateListener;
  friend DWORD WINAPI UpdateWorkerThread(LPVOID);
  // Ends the dialog; during an update only after asking, stopping the worker and
  // waiting for it (messages keep flowing meanwhile, so the worker never waits on a
  // dialog that no longer answers).
  void CloseDialog(INT_PTR result);
  void WaitForWorker(bool pumpMessages);
  void StartCaptionThread();

  FirmwareFileChooser fileChooser_;
  DialogUpdateListener listener_{*this};
  // The adapter, held for the update worker from its start to its end.
  korbex::AdapterLock workerAdapter_;
  HANDLE worker_ = nullptr;
  HANDLE captionThread_ = nullptr;
  std::atomic<bool> stopRequested_{false};
  bool closing_ = false;
  bool versionQueryOwed_ = false;
};

// Messages of the program's own, posted to the dialog.
enum : UINT {
  kMsgEnableButton = WM_APP + 1,  // wParam: enable
  kMsgProgress,                   // wParam: position
  kMsgShowResultLabel,
  kMsgAskUser,       // lParam: UserRequest*, answered through its event
  kMsgWorkerDone,    // wParam: thread id of the update worker that has returned
  kMsgApplyCaption,  // from DeviceCaptionThread
};

// Process-wide, for the life of the process.
extern CUpdateDlg* theDialog;
extern HWND updateButton;
extern HWND progressBar;
extern HWND resultLabel;
extern HWND instructionsLabel;
extern korbex::UpdateSession updateSession;
extern korbex::DeviceFamily deviceFamily;
extern korbex::FirmwareImage firmwareImage;
extern korbex::OperationLog operationLog;

// The caption thread: applies deviceCaption of theDialog and ends.
DWORD WINAPI DeviceCaptionThread(LPVOID);
// The update worker: runs the update sequence on theDialog's headers and channel.
DWORD WINAPI UpdateWorkerThread(LPVOID);
