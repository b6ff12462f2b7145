#pragma once
// A thin dialog framework of our own, in the shape the program needs: an application
// object with InitInstance, a modal dialog from a resource template, and a message
// map binding window messages to handlers. Everything a map does not handle keeps
// the dialog manager's default behaviour (Esc and the close box end the dialog
// through OnCancel, IDOK through OnOK).
#include <windows.h>

class CDialog;

// One entry of a message map. The handler returns true when it handled the message
// and put its answer in result; false sends the message on to the default handling.
struct MessageMapEntry {
  UINT firstMessage;
  UINT lastMessage;   // a range, for the WM_CTLCOLOR… family
  UINT commandId;     // WM_COMMAND entries: control id …
  UINT notifyCode;    // … and notification code
  bool directResult;  // the dialog procedure returns the result itself (brushes, icons)
  bool (*handler)(CDialog& dialog, WPARAM wParam, LPARAM lParam, LRESULT& result);
};

struct MessageMap {
  const MessageMap* (*base)();
  const MessageMapEntry* entries;  // ends with an entry whose handler is null
};

class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();
  // Runs the program; its result tells whether a message loop of the application
  // follows (this program returns FALSE: the dialog is the whole program).
  virtual BOOL InitInstance();

  HINSTANCE m_hInstance = nullptr;
  CDialog* m_pMainWnd = nullptr;
};

// The one application object of the process.
CWinApp* AfxGetApp();
// Where templates, strings and icons come from: the executable.
HINSTANCE AfxGetResourceHandle();
// Prepares the UI thread to host COM-based controls and dialogs (the file-open
// dialog is one): apartment-threaded COM, undone at program end.
void AfxEnableControlContainer();
void AfxTermControlContainer();

class CDialog {
 public:
  explicit CDialog(UINT templateId, HWND parent = nullptr);
  virtual ~CDialog();
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Creates the dialog from its template and runs it modally; returns what
  // EndDialog was given, or -1 when the dialog could not be created.
  INT_PTR DoModal();
  void EndDialog(INT_PTR result);
  HWND GetSafeHwnd() const { return m_hWnd; }
  HWND GetDlgItem(int id) const;
  // The message being dispatched now.
  UINT CurrentMessage() const { return m_currentMessage; }

  HWND m_hWnd = nullptr;

  static const MessageMap* GetThisMessageMap();
  virtual const MessageMap* GetMessageMap() const { return GetThisMessageMap(); }

 protected:
  virtual BOOL OnInitDialog();
  virtual void DoDataExchange() {}
  virtual void OnOK() { EndDialog(IDOK); }
  virtual void OnCancel() { EndDialog(IDCANCEL); }

  // The default answer to the message being handled (the window's own procedure).
  LRESULT Default();
  // The default colours of a control: what the dialog would answer without a handler.
  HBRUSH OnCtlColor(HDC dc, HWND control, UINT kind);

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  bool Dispatch(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& answer);

  UINT m_templateId;
  HWND m_hParent;
  bool m_useDefault = false;
  // The message being dispatched, for Default().
  UINT m_currentMessage = 0;
  WPARAM m_currentWParam = 0;
  LPARAM m_currentLParam = 0;
};

// CTLCOLOR_… kinds as OnCtlColor receives them (WM_CTLCOLORMSGBOX + kind).
#ifndef CTLCOLOR_MSGBOX
#define CTLCOLOR_MSGBOX 0
#define CTLCOLOR_EDIT 1
#define CTLCOLOR_LISTBOX 2
#define CTLCOLOR_BTN 3
#define CTLCOLOR_DLG 4
#define CTLCOLOR_SCROLLBAR 5
#define CTLCOLOR_STATIC 6
#endif

// Message-map macros, named after the toolkit's. In the class body:
//   DECLARE_MESSAGE_MAP()
// In the source:
//   BEGIN_MESSAGE_MAP(CMyDlg, CDialog)
//     ON_WM_PAINT()
//     ON_BN_CLICKED(1009, &CMyDlg::OnButton)
//   END_MESSAGE_MAP()
#define DECLARE_MESSAGE_MAP()                   \
 public:                                        \
  static const MessageMap* GetThisMessageMap(); \
  const MessageMap* GetMessageMap() const override { return GetThisMessageMap(); }

#define BEGIN_MESSAGE_MAP(theClass, baseClass)      \
  const MessageMap* theClass::GetThisMessageMap() { \
    using ThisClass = theClass;                     \
    using TheBaseClass = baseClass;                 \
    static const MessageMapEntry entries[] = {
#define END_MESSAGE_MAP()                                                    \
  { 0, 0, 0, 0, false, nullptr }                                             \
  }                                                                          \
  ;                                                                          \
  static const MessageMap map = {&TheBaseClass::GetThisMessageMap, entries}; \
  return &map;                                                               \
  }

#define KORBEX_MAP_ENTRY(first, last, id, code, direct, body)                                                  \
  {first, last, id, code, direct, [](CDialog& dialog, WPARAM wParam, LPARAM lParam, LRESULT& result) -> bool { \
     auto& self = static_cast<ThisClass&>(dialog);                                                             \
     (void)self;                                                                                               \
     (void)wParam;                                                                                             \
     (void)lParam;                                                                                             \
     body                                                                                                      \
   }},

// void OnPaint()
#define ON_WM_PAINT() KORBEX_MAP_ENTRY(WM_PAINT, WM_PAINT, 0, 0, false, self.OnPaint(); result = 0; return true;)
// HCURSOR OnQueryDragIcon()
#define ON_WM_QUERYDRAGICON()                                                  \
  KORBEX_MAP_ENTRY(WM_QUERYDRAGICON, WM_QUERYDRAGICON, 0, 0, true,             \
                   result = reinterpret_cast<LRESULT>(self.OnQueryDragIcon()); \
                   return true;)
// BOOL OnDeviceChange(UINT eventType, DWORD_PTR data)
#define ON_WM_DEVICECHANGE()                                                                                \
  KORBEX_MAP_ENTRY(WM_DEVICECHANGE, WM_DEVICECHANGE, 0, 0, false,                                           \
                   result = self.OnDeviceChange(static_cast<UINT>(wParam), static_cast<DWORD_PTR>(lParam)); \
                   return true;)
// HBRUSH OnCtlColor(HDC dc, HWND control, UINT kind): every colour request of the dialog.
#define ON_WM_CTLCOLOR()                                                                                      \
  KORBEX_MAP_ENTRY(WM_CTLCOLORMSGBOX, WM_CTLCOLORSTATIC, 0, 0, true,                                          \
                   result = reinterpret_cast<LRESULT>(self.OnCtlColor(                                        \
                       reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), KORBEX_CTLCOLOR_KIND)); \
                   return true;)
#define KORBEX_CTLCOLOR_KIND (dialog.CurrentMessage() - WM_CTLCOLORMSGBOX)
// void handler() for BN_CLICKED of control id
#define ON_BN_CLICKED(id, handler) \
  KORBEX_MAP_ENTRY(WM_COMMAND, WM_COMMAND, id, BN_CLICKED, false, (self.*(handler))(); result = 0; return true;)
// LRESULT handler(WPARAM, LPARAM) for a message of the program's own
#define ON_MESSAGE(message, handler) \
  KORBEX_MAP_ENTRY(message, message, 0, 0, false, result = (self.*(handler))(wParam, lParam); return true;)
