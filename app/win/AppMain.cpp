// The program's entry point: hands over to the one application object. The command
// line is not read.
#include "app/win/DialogFramework.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  CWinApp* app = AfxGetApp();
  if (!app) return 1;
  app->m_hInstance = instance;
  app->InitInstance();
  AfxTermControlContainer();
  return 0;
}
