// Fault texts: parses "KIND[:COMMAND][@N][xCOUNT]+…" into FaultSpecs and writes a
// FaultSpec back in the same form.
#include "sim/Faults.h"

#include <algorithm>
#include <cctype>
#include <type_traits>

#include "sim/LoaderTables.h"

namespace korbex::sim {

using namespace detail;

namespace {

struct NamedCommand {
  const char* name;
  std::uint16_t code;
};
constexpr NamedCommand kCommandNames[] = {
    {"WriteData", kWriteData},     {"Erase", kErase},
    {"Finish", kFinish},           {"WriteRecord", kWriteRecord},
    {"QueryLoader", kQueryLoader}, {"SaveHead", kSaveHead},
    {"CheckBlock", kCheckBlock},   {"SetImageInfo", kSetImageInfo},
    {"Version", kVersionCommand},
};

struct NamedKind {
  const char* name;
  FaultKind kind;
};
constexpr NamedKind kKindNames[] = {
    {"drop", FaultKind::Drop},       {"ignore", FaultKind::Ignore},         {"nak", FaultKind::Nak},
    {"stale", FaultKind::Stale},     {"wrong-echo", FaultKind::WrongEcho},  {"wrong-crc", FaultKind::WrongCrc},
    {"corrupt", FaultKind::Corrupt}, {"disconnect", FaultKind::Disconnect}, {"unplug", FaultKind::Unplug},
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Reads a decimal or 0x-hex number at the front of s. False when there is none or it
// does not fit 32 bits.
bool TakeNumber(std::string_view& s, std::uint32_t& value) {
  unsigned base = 10;
  std::size_t i = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && std::isxdigit(static_cast<unsigned char>(s[2]))) {
    base = 16;
    i = 2;
  }
  std::uint64_t v = 0;
  const std::size_t start = i;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    unsigned d;
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
      d = static_cast<unsigned>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    } else {
      break;
    }
    v = v * base + d;
    if (v > 0xFFFFFFFFu) return false;
  }
  if (i == start) return false;
  value = static_cast<std::uint32_t>(v);
  s.remove_prefix(i);
  return true;
}

// The name at the front of s: the longest known name that is not followed by more of
// a word (a letter, digit or '-'), except the 'x' of a count. No name contains an 'x'.
template <typename Table>
const auto* TakeName(std::string_view& s, const Table& table) {
  const std::remove_reference_t<decltype(table[0])>* best = nullptr;
  std::size_t bestLen = 0;
  for (const auto& entry : table) {
    const std::string_view name = entry.name;
    if (name.size() > s.size() || name.size() <= bestLen) continue;
    if (!EqualsNoCase(s.substr(0, name.size()), name)) continue;
    if (name.size() < s.size()) {
      const char next = s[name.size()];
      if (next != 'x' && next != 'X' && (std::isalnum(static_cast<unsigned char>(next)) || next == '-')) continue;
    }
    best = &entry;
    bestLen = name.size();
  }
  if (best) s.remove_prefix(bestLen);
  return best;
}

// The text up to the next of the delimiters, for error messages.
std::string_view Word(std::string_view s, std::string_view delimiters) {
  return s.substr(0, std::min(s.find_first_of(delimiters), s.size()));
}

bool ParseOne(std::string_view token, FaultSpec& fault, std::string& error) {
  const std::string quoted = "\"" + std::string(token) + "\"";
  std::string_view s = token;
  const NamedKind* kind = TakeName(s, kKindNames);
  if (!kind) {
    error = "unknown fault kind \"" + std::string(Word(s, ":@")) + "\" in " + quoted +
            " (drop, ignore, nak, stale, wrong-echo, wrong-crc, corrupt, disconnect, unplug)";
    return false;
  }
  fault = FaultSpec{};
  fault.kind = kind->kind;
  if (!s.empty() && s[0] == ':') {
    s.remove_prefix(1);
    const NamedCommand* command = TakeName(s, kCommandNames);
    if (!command) {
      error = "unknown command \"" + std::string(Word(s, "@")) + "\" in " + quoted +
              " (WriteData, Erase, Finish, WriteRecord, QueryLoader, SaveHead, CheckBlock, SetImageInfo, Version)";
      return false;
    }
    fault.command = command->code;
  }
  if (!s.empty() && s[0] == '@') {
    s.remove_prefix(1);
    const std::string_view at = s;
    if (!TakeNumber(s, fault.nth) || fault.nth == 0) {
      error = "bad exchange number \"@" + std::string(Word(at, "x")) + "\" in " + quoted + " (1 or more)";
      return false;
    }
  }
  if (!s.empty() && (s[0] == 'x' || s[0] == 'X')) {
    s.remove_prefix(1);
    const std::string_view at = s;
    if (!s.empty() && s[0] == '*') {
      s.remove_prefix(1);
      fault.count = 0;
    } else if (!TakeNumber(s, fault.count) || fault.count == 0) {
      error = "bad count \"x" + std::string(at) + "\" in " + quoted + " (1 or more, or x* for ever)";
      return false;
    }
  }
  if (!s.empty()) {
    error = "unexpected \"" + std::string(s) + "\" in " + quoted + " (expected KIND[:COMMAND][@N][xCOUNT])";
    return false;
  }
  return true;
}

}  // namespace

bool ParseFaults(std::string_view text, std::vector<FaultSpec>& out, std::string& error) {
  std::vector<FaultSpec> parsed;
  if (!text.empty()) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t plus = text.find('+', start);
      const std::string_view token = text.substr(start, plus == std::string_view::npos ? text.npos : plus - start);
      FaultSpec fault;
      if (token.empty()) {
        error = "empty fault at position " + std::to_string(start + 1) + " of \"" + std::string(text) +
                "\" (a '+' with nothing on one side)";
        return false;
      }
      if (!ParseOne(token, fault, error)) return false;
      parsed.push_back(fault);
      if (plus == std::string_view::npos) break;
      start = plus + 1;
    }
  }
  out = std::move(parsed);
  return true;
}

std::string FormatFault(const FaultSpec& fault) {
  std::string s;
  for (const auto& k : kKindNames) {
    if (k.kind == fault.kind) s = k.name;
  }
  if (fault.command) {
    std::string name = Hex(*fault.command);
    for (const auto& c : kCommandNames) {
      if (c.code == *fault.command) name = c.name;
    }
    s += ":" + name;
  }
  if (fault.nth != 1) s += "@" + std::to_string(fault.nth);
  if (fault.count == 0) {
    s += "x*";
  } else if (fault.count != 1) {
    s += "x" + std::to_string(fault.count);
  }
  return s;
}

}  // namespace korbex::sim
