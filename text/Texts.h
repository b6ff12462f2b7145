#pragma once
// The program's texts: the 17-entry table shown in two languages, and the fixed
// texts that stay the same whatever the language. Held as UTF-16 literals so they
// read correctly on every system and code page.
#include <cstdint>
#include <string>
#include <string_view>

namespace korbex {

// Index into the text table, 0..16.
using TextId = int;

inline constexpr int kTextCount = 17;
inline constexpr std::uint16_t kLanguageChineseSimplified = 2052;
// String-table ids of the Windows program: Chinese 129 + i, English 238 + i.
inline constexpr unsigned kChineseStringBase = 129;
inline constexpr unsigned kEnglishStringBase = 238;

// Named uses of the table.
inline constexpr TextId kTextAskStop = 2;       // closing during an update
inline constexpr TextId kTextFileType = 3;      // file dialog filter label
inline constexpr TextId kTextTitle = 6;         // window caption, message box caption
inline constexpr TextId kTextBootMode = 11;     // loader does not answer
inline constexpr TextId kTextInstructions = 14; // instructions label

struct TextEntry {
  std::u16string_view chinese;
  std::u16string_view english;  // empty where the program has no English string
  bool hasEnglish;
};

// The whole table, index = TextId.
const TextEntry (&TextTable())[kTextCount];

// The text of id in the language: 2052 gives Chinese, any other language English.
// An id outside the table or a missing text gives an empty string, never an error.
std::u16string_view LocalizedText(TextId id, std::uint16_t languageId);

// Fixed texts.
inline constexpr std::u16string_view kFileMismatch = u"文件不匹配";
inline constexpr std::u16string_view kLogOpenFile = u"打开文件\r\n";
inline constexpr std::u16string_view kLogOpenFileOk = u"打开文件成功\r\n";
inline constexpr std::u16string_view kLogReadCrc = u"读取crc\r\n";
inline constexpr std::u16string_view kResultLabelChinese = u"更新成功！";
inline constexpr std::u16string_view kUpdatedSuccessful = u"Updated successful!";
inline constexpr std::u16string_view kUpdatedFailed = u"Updated failed!";
inline constexpr std::u16string_view kUpdateButtonText = u"USB_Update";

// UTF-16 <-> UTF-8 for the console front end and traces. Unpaired surrogates
// become U+FFFD; invalid UTF-8 bytes become U+FFFD.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);
// Appends one code point as UTF-8 (U+FFFD for a surrogate or a value past U+10FFFF).
void AppendUtf8(std::string& out, char32_t codePoint);

}  // namespace korbex
