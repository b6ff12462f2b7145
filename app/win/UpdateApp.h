#pragma once
// The application object: runs the main dialog and ends when it ends.
#include "app/win/DialogFramework.h"

class CUpdateApp : public CWinApp {
 public:
  BOOL InitInstance() override;
};

extern CUpdateApp theApp;
