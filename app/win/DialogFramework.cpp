#include "app/win/DialogFramework.h"

#include <commctrl.h>
#include <objbase.h>

namespace {
CWinApp* theApplication = nullptr;
bool comInitialized = false;
}  // namespace

CWinApp::CWinApp() { theApplication = this; }

CWinApp::~CWinApp() {
  if (theApplication == this) theApplication = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

CWinApp* AfxGetApp() { return theApplication; }

HINSTANCE AfxGetResourceHandle() {
  if (theApplication && theApplication->m_hInstance) return theApplication->m_hInstance;
  return GetModuleHandleW(nullptr);
}

void AfxEnableControlContainer() {
  if (comInitialized) return;
  comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
}

// Ends what AfxEnableControlContainer started; called by the program's entry point.
void AfxTermControlContainer() {
  if (comInitialized) CoUninitialize();
  comInitialized = false;
}

CDialog::CDialog(UINT templateId, HWND parent) : m_templateId(templateId), m_hParent(parent) {}

CDialog::~CDialog() = default;

const MessageMap* CDialog::GetThisMessageMap() {
  static const MessageMapEntry entries[] = {{0, 0, 0, 0, false, nullptr}};
  static const MessageMap map = {nullptr, entries};
  return &map;
}

INT_PTR CDialog::DoModal() {
  // The template holds a progress bar: its window class must exist before creation.
  static const bool classesRegistered = [] {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    return InitCommonControlsEx(&controls) != FALSE;
  }();
  (void)classesRegistered;
  return DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_templateId), m_hParent, &CDialog::DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

void CDialog::EndDialog(INT_PTR result) {
  if (m_hWnd) ::EndDialog(m_hWnd, result);
}

HWND CDialog::GetDlgItem(int id) const {
  // Compared through GetDlgCtrlID so that id -1 (a static without id) is found too.
  for (HWND child = GetWindow(m_hWnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (GetDlgCtrlID(child) == id) return child;
  }
  return nullptr;
}

BOOL CDialog::OnInitDialog() {
  DoDataExchange();
  return TRUE;
}

LRESULT CDialog::Default() {
  m_useDefault = true;
  return 0;
}

HBRUSH CDialog::OnCtlColor(HDC, HWND, UINT) {
  // The dialog manager hands colour requests to the default window procedure.
  return reinterpret_cast<HBRUSH>(DefWindowProcW(m_hWnd, m_currentMessage, m_currentWParam, m_currentLParam));
}

bool CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& answer) {
  for (const MessageMap* map = GetMessageMap(); map; map = map->base ? map->base() : nullptr) {
    for (const MessageMapEntry* entry = map->entries; entry->handler; ++entry) {
      if (message < entry->firstMessage || message > entry->lastMessage) continue;
      if (message == WM_COMMAND && (LOWORD(wParam) != entry->commandId || HIWORD(wParam) != entry->notifyCode)) {
        continue;
      }
      // Handlers may run nested message loops (message boxes): keep the outer
      // message's state for their Default() and restore it afterwards.
      const UINT savedMessage = m_currentMessage;
      const WPARAM savedWParam = m_currentWParam;
      const LPARAM savedLParam = m_currentLParam;
      const bool savedUseDefault = m_useDefault;
      m_currentMessage = message;
      m_currentWParam = wParam;
      m_currentLParam = lParam;
      m_useDefault = false;
      LRESULT result = 0;
      const bool handled = entry->handler(*this, wParam, lParam, result) && !m_useDefault;
      m_currentMessage = savedMessage;
      m_currentWParam = savedWParam;
      m_currentLParam = savedLParam;
      m_useDefault = savedUseDefault;
      if (!handled) return false;
      if (entry->directResult) {
        answer = static_cast<INT_PTR>(result);
      } else {
        if (m_hWnd) SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, result);
        answer = TRUE;
      }
      return true;
    }
  }
  return false;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CDialog*>(lParam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->m_hWnd = hwnd;
    return self->OnInitDialog();
  }
  auto* self = reinterpret_cast<CDialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  if (!self) return FALSE;
  INT_PTR answer = FALSE;
  if (self->Dispatch(message, wParam, lParam, answer)) return answer;
  if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
    switch (LOWORD(wParam)) {
      case IDOK:
        self->OnOK();
        return TRUE;
      case IDCANCEL:  // Esc and the close box
        self->OnCancel();
        return TRUE;
      default:
        break;
    }
  }
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    self->m_hWnd = nullptr;
  }
  return FALSE;
}
