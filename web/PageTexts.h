#pragma once
// The page's texts in the two languages, by name. Texts the other front ends already
// have come from their tables (text/Texts.h, cli/CliTexts.h); only what the page alone
// says is written here. The page asks for all of them once, by name, so it holds no
// text of its own.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace korbex::web {

// All page texts for the language as one JSON object {name: text}: the rows of the
// page table, the command-line messages the page reuses, the fixed texts, and the
// 17-entry table as "table0".."table16".
std::string PageTextsJson(std::uint16_t language);

// One row of the page table by name, "{}" placeholders filled in order; empty for an
// unknown name.
std::string PageText(const char* name, std::uint16_t language, std::initializer_list<std::string_view> args = {});

// A JSON string literal of text (quotes included).
std::string JsonString(std::string_view text);

}  // namespace korbex::web
