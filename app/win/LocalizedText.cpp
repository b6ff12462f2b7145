#include "app/win/LocalizedText.h"

#include "app/win/DialogFramework.h"

UINT LocalizedStringId(korbex::TextId id, LANGID language) {
  const unsigned base =
      language == korbex::kLanguageChineseSimplified ? korbex::kChineseStringBase : korbex::kEnglishStringBase;
  return base + static_cast<unsigned>(id);
}

std::wstring LoadStringResource(HINSTANCE module, UINT id) {
  // With a zero length LoadStringW hands out the resource itself, whatever its size.
  const wchar_t* text = nullptr;
  const int length = LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || !text) return {};
  return std::wstring(text, static_cast<std::size_t>(length));
}

std::wstring LoadLocalizedText(korbex::TextId id) {
  return LoadStringResource(AfxGetResourceHandle(), LocalizedStringId(id, GetUserDefaultUILanguage()));
}
