#pragma once
// The localized texts of the program, from its string table.
#include <windows.h>

#include <string>
#include <string_view>

#include "text/Texts.h"

// Text id in the user's UI language, asked at every call: Simplified Chinese (2052)
// gives string 129 + id, every other language string 238 + id. A missing string
// gives an empty text.
std::wstring LoadLocalizedText(korbex::TextId id);

// The string resource id of a text in a language (the rule above).
UINT LocalizedStringId(korbex::TextId id, LANGID language);

// A string resource of the program as it stands; empty when there is none.
std::wstring LoadStringResource(HINSTANCE module, UINT id);

// The program's UTF-16 texts as Windows wide strings.
inline std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
