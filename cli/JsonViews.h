#pragma once
// How the commands show adapters, versions and file verdicts: the one-line text for a
// person and the objects of the --json document, so that every command says them alike.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "cli/Adapters.h"
#include "identity/UpdateSession.h"
#include "update/FirmwareImage.h"

namespace korbex::cli {

// value in lower-case hex, zero-padded to at least width digits.
std::string Hex(std::uint64_t value, int width = 0);

// "PATH (vvvv:pppp, FAMILY[, interface N])".
std::string Describe(const AdapterEntry& e);

// The adapter object of the JSON document (path, ids, family, simulated, and the
// interface, product name, serial number and USB port when known).
nlohmann::json ToJson(const AdapterEntry& e);

std::string Utf8(std::u16string_view text);

// The caption without its line feed.
std::string CaptionLine(const std::u16string& caption);

// The version object: form, beta, caption and the number(s) the session holds.
nlohmann::json VersionJson(const UpdateSession& session, const std::u16string& caption);

// {"ok": true}, or the refused field with its actual and expected values and the reason.
nlohmann::json FileCheckJson(const FileCheckResult& c);

}  // namespace korbex::cli
