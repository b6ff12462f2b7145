#include "app/win/FileChooser.h"

#include <shlobj.h>
#include <shobjidl.h>

namespace {

// Releases a COM interface at the end of a scope.
template <class T>
struct ComRelease {
  T* p = nullptr;
  ~ComRelease() {
    if (p) p->Release();
  }
};

}  // namespace

std::optional<std::wstring> ChooseFirmwareFile(const FirmwareFileRequest& request) {
  ComRelease<IFileOpenDialog> dialog;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog,
                              reinterpret_cast<void**>(&dialog.p)))) {
    return std::nullopt;
  }
  const COMDLG_FILTERSPEC filter{request.filterName.c_str(), request.filterPattern.c_str()};
  dialog.p->SetFileTypes(1, &filter);
  dialog.p->SetFileTypeIndex(1);
  dialog.p->SetDefaultExtension(request.defaultExtension.c_str());
  FILEOPENDIALOGOPTIONS options = 0;
  dialog.p->GetOptions(&options);
  // The open dialog's defaults plus what the classic flags asked for: no read-only
  // box (the modern dialog has none) and a prompt before overwriting.
  dialog.p->SetOptions(options | FOS_FORCEFILESYSTEM | FOS_OVERWRITEPROMPT);
  if (!request.initialDirectory.empty()) {
    ComRelease<IShellItem> folder;
    if (SUCCEEDED(SHCreateItemFromParsingName(request.initialDirectory.c_str(), nullptr, IID_IShellItem,
                                              reinterpret_cast<void**>(&folder.p)))) {
      dialog.p->SetFolder(folder.p);
    }
  }
  if (dialog.p->Show(request.owner) != S_OK) return std::nullopt;
  ComRelease<IShellItem> item;
  if (FAILED(dialog.p->GetResult(&item.p))) return std::nullopt;
  PWSTR path = nullptr;
  if (FAILED(item.p->GetDisplayName(SIGDN_FILESYSPATH, &path)) || !path) return std::nullopt;
  std::wstring result(path);
  CoTaskMemFree(path);
  return result;
}
