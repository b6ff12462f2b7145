#include "web/PageTexts.h"

#include <cstdio>

#include "cli/CliTexts.h"
#include "text/Texts.h"

namespace korbex::web {
namespace {

using cli::Msg;

struct PageRow {
  const char* name;
  const char* english;
  const char* chinese;
};

// What only the page says.
constexpr PageRow kPageRows[] = {
    {"connect", "Connect adapter", "连接接收器"},
    {"reconnect", "Reconnect", "重新连接"},
    {"chooseFile", "Firmware file (.dat)", "固件文件（.dat）"},
    {"dropHere", "or drop the .dat file here", "或将 .dat 文件拖放到此处"},
    {"confirmOk", "OK", "确定"},
    {"confirmCancel", "Cancel", "取消"},
    {"logTitle", "Operation log (1.txt)", "操作日志（1.txt）"},
    {"logDownload", "Download 1.txt", "下载 1.txt"},
    {"noAdapterOpen", "no adapter open: plug it in and press Connect adapter",
     "未打开接收器：请插入接收器并点击“连接接收器”"},
    {"adapterOpen", "adapter open: {}", "已打开接收器：{}"},
    {"adapterUnplugged", "the adapter was unplugged", "接收器已拔出"},
    {"cannotOpen",
     "cannot open the adapter ({}) — on Linux install packaging/linux/70-korbex-adapter.rules (the .deb installs "
     "it), then plug the adapter in again",
     "无法打开接收器（{}）— 在 Linux 上请安装 packaging/linux/70-korbex-adapter.rules（.deb 会安装它），然后重新插入接收器"},
    {"notBack",
     "the adapter did not come back within {} s — press Reconnect and choose it (the update itself was verified)",
     "接收器在 {} 秒内没有重新出现 — 请点击“重新连接”并选择它（固件本身已校验）"},
    {"progressBlock", "section {} · block {} of {}", "第 {} 段 · 第 {} 块，共 {} 块"},
    {"noFile", "no firmware file chosen", "未选择固件文件"},
    {"readingFile", "cannot read the file", "无法读取文件"},
    {"unsupported",
     "This browser cannot reach USB devices (WebHID is missing, or the page is not on https or localhost). Use "
     "Chrome, Edge or Opera on Windows, macOS, Linux or ChromeOS, and open the page over https or from localhost.",
     "此浏览器无法访问 USB 设备（缺少 WebHID，或页面不是通过 https 或 localhost 打开）。请在 Windows、macOS、Linux "
     "或 ChromeOS 上使用 Chrome、Edge 或 Opera，并通过 https 或 localhost 打开本页。"},
    {"firmwareLabel", "firmware in the file: {}", "文件中的固件：{}"},
};

// Command-line messages the page says the same way.
struct ReusedRow {
  const char* name;
  Msg id;
};
constexpr ReusedRow kReusedRows[] = {
    {"adapterGone", Msg::AdapterGone},
    {"fileAccepted", Msg::FileAccepted},
    {"fileRefused", Msg::FileRefused},
    {"cannotOpenFile", Msg::CannotOpenFile},
    {"versionNoReply", Msg::VersionNoReply},
    {"waitingForRestart", Msg::WaitingForRestart},
    {"adapterBack", Msg::AdapterBack},
    {"cancelled", Msg::Cancelled},
    {"loaderSilent", Msg::LoaderSilent},
};

// Texts that stay the same whatever the language.
struct FixedRow {
  const char* name;
  std::u16string_view text;
};
constexpr FixedRow kFixedRows[] = {
    {"updatedSuccessful", kUpdatedSuccessful},
    {"updatedFailed", kUpdatedFailed},
    {"fileMismatch", kFileMismatch},
};

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string PageText(const char* name, std::uint16_t language, std::initializer_list<std::string_view> args) {
  for (const auto& row : kPageRows) {
    if (std::string_view(row.name) == name) {
      return cli::Format(language == kLanguageChineseSimplified ? row.chinese : row.english, args);
    }
  }
  return {};
}

std::string PageTextsJson(std::uint16_t language) {
  std::string out = "{";
  auto add = [&](std::string_view name, std::string_view text) {
    if (out.size() > 1) out += ",";
    out += JsonString(name) + ":" + JsonString(text);
  };
  for (const auto& row : kPageRows) add(row.name, language == kLanguageChineseSimplified ? row.chinese : row.english);
  for (const auto& row : kReusedRows) add(row.name, cli::Text(row.id, language));
  for (const auto& row : kFixedRows) add(row.name, ToUtf8(row.text));
  for (int i = 0; i < kTextCount; ++i) add("table" + std::to_string(i), ToUtf8(LocalizedText(i, language)));
  return out + "}";
}

}  // namespace korbex::web
