#include "app/win/UpdateApp.h"

#include "app/win/UpdateDlg.h"

CUpdateApp theApp;

BOOL CUpdateApp::InitInstance() {
  AfxEnableControlContainer();
  {
    CUpdateDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
  }  // the dialog's channel closes its handles and unregisters its notification here
  // No message loop of the application follows: the program ends with the dialog.
  return FALSE;
}
