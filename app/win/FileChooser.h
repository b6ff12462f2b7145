#pragma once
// Choosing the firmware file.
#include <windows.h>

#include <functional>
#include <optional>
#include <string>

struct FirmwareFileRequest {
  HWND owner = nullptr;
  std::wstring filterName;        // shown name of the one filter, e.g. "File type(*.dat)"
  std::wstring filterPattern;     // "*.dat"
  std::wstring defaultExtension;  // "*.*"
  std::wstring initialDirectory;  // the process's current directory
};

// Returns the chosen path, or nothing when the user did not confirm with OK.
using FirmwareFileChooser = std::function<std::optional<std::wstring>(const FirmwareFileRequest&)>;

// The common file-open dialog in its modern (Vista) form, parented to the owner.
std::optional<std::wstring> ChooseFirmwareFile(const FirmwareFileRequest& request);
