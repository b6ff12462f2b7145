// The text and JSON views of adapters, versions and file verdicts (cli/JsonViews.h).
#include "cli/JsonViews.h"

#include <cstdio>

#include "hid/DeviceFamily.h"
#include "text/Texts.h"

namespace korbex::cli {

using nlohmann::json;

std::string Hex(std::uint64_t value, int width) {
  char text[24];
  std::snprintf(text, sizeof text, "%0*llx", width, static_cast<unsigned long long>(value));
  return text;
}

std::string Describe(const AdapterEntry& e) {
  std::string s =
      e.path + " (" + Hex(e.vendorId, 4) + ":" + Hex(e.productId, 4) + ", " + FamilyName(e.vendorId, e.productId);
  if (e.interfaceNumber >= 0) s += ", interface " + std::to_string(e.interfaceNumber);
  return s + ")";
}

json ToJson(const AdapterEntry& e) {
  json j = {{"path", e.path},
            {"vendorId", e.vendorId},
            {"productId", e.productId},
            {"id", Hex(e.vendorId, 4) + ":" + Hex(e.productId, 4)},
            {"family", FamilyName(e.vendorId, e.productId)},
            {"simulated", e.simulated}};
  if (e.interfaceNumber >= 0) j["interface"] = e.interfaceNumber;
  if (!e.product.empty()) j["product"] = e.product;
  if (!e.serial.empty()) j["serial"] = e.serial;
  if (!e.port.empty()) j["port"] = e.port;
  return j;
}

std::string Utf8(std::u16string_view text) { return ToUtf8(text); }

std::string CaptionLine(const std::u16string& caption) {
  std::string s = ToUtf8(caption);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

json VersionJson(const UpdateSession& session, const std::u16string& caption) {
  const bool single = session.singleNumberVersion != 0;
  json j = {{"form", single ? "single-number" : "two-number"},
            {"beta", session.deviceBeta.load()},
            {"caption", CaptionLine(caption)}};
  if (single) {
    j["number"] = session.deviceVersion.load();
  } else {
    j["major"] = session.deviceVersion.load();
    j["minor"] = session.deviceVersionMinor.load();
  }
  return j;
}

json FileCheckJson(const FileCheckResult& c) {
  json j = {{"ok", c.ok()}};
  if (!c.ok()) {
    j["field"] = c.field();
    j["actual"] = c.actual;
    j["expected"] = c.expected;
    j["reason"] = c.Describe();
  }
  return j;
}

}  // namespace korbex::cli
