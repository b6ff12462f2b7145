// The engine's entry points for the page (ccall/cwrap). Every call returns UTF-8 (JSON
// where it says so) in a buffer that stays valid until the next call of the same kind.
// Calls that reach the adapter suspend (Asyncify) and must be made with {async: true};
// the page makes one call at a time.
#include <emscripten.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliTexts.h"
#include "hid/DeviceFamily.h"
#include "identity/VersionQuery.h"
#include "protocol/BootProtocol.h"
#include "text/OperationLog.h"
#include "text/Texts.h"
#include "update/FirmwareImage.h"
#include "update/UpdateEngine.h"
#include "web/PageTexts.h"
#include "web/WebHidChannel.h"

namespace korbex::web {
namespace {

// What the engine tells the page, through Module.kxHost.
// JavaScript inside: clang-format would break it.
// clang-format off
EM_JS(void, JsProgress, (int position, const char* text),
      { Module['kxHost'].onProgress(position, text ? UTF8ToString(text) : ""); });
EM_JS(void, JsMessage, (const char* text), { Module['kxHost'].onMessage(UTF8ToString(text)); });
EM_JS(void, JsUpdateButton, (int enabled), { Module['kxHost'].onUpdateButton(!!enabled); });
EM_JS(void, JsLog, (const std::uint8_t* bytes, int size),
      { Module['kxHost'].onLog(HEAPU8.slice(bytes, bytes + size)); });
// The page's confirmation dialog; resolves to true for OK.
EM_ASYNC_JS(int, JsConfirm, (const char* text), {
  const ok = await Module['kxHost'].confirm(UTF8ToString(text));
  return ok ? 1 : 0;
});
// clang-format on

// The operation log "1.txt" in memory: the page shows it and saves it as the file.
std::vector<std::uint8_t> logBytes;

class PageLogFile final : public OutputFile {
 public:
  PageLogFile() { logBytes.clear(); }
  bool Write(const void* data, std::size_t size) override {
    const auto* b = static_cast<const std::uint8_t*>(data);
    logBytes.insert(logBytes.end(), b, b + size);
    JsLog(logBytes.data(), static_cast<int>(logBytes.size()));
    return true;
  }
};

// Everything one page holds for its life, as the dialog holds it for the process's.
struct PageEngine {
  WebHidChannel channel;
  WebClock clock;
  BootLink link{channel, clock};
  DeviceFamily family;
  UpdateSession session;
  FirmwareImage image;
  OperationLog log;
  std::vector<std::uint8_t> file;  // the chosen file's bytes, as judged
  bool fileAccepted = false;
  std::uint16_t language = 1033;
};

PageEngine& Page() {
  static PageEngine page;
  return page;
}

std::string Utf8(std::u16string_view text) { return ToUtf8(text); }

// The version part of a caption "… (Device: v1.2)\n": "v1.2".
std::string VersionOf(const std::u16string& caption) {
  const std::u16string_view marker = u"(Device: ";
  const auto at = caption.find(marker);
  if (at == std::u16string::npos) return {};
  const auto from = at + marker.size();
  const auto end = caption.find(u')', from);
  return Utf8(std::u16string_view(caption).substr(from, end == std::u16string::npos ? end : end - from));
}

std::string Hex8(std::uint32_t v) {
  char buf[12];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

// The page's side of a run: the bar, the block text, the dialog, and the block whose
// failure ended the run, said the way the command-line tool says it.
class PageListener final : public UpdateListener {
 public:
  explicit PageListener(std::uint16_t language) : language_(language) {}

  void EnableUpdateButton(bool enabled) override { JsUpdateButton(enabled ? 1 : 0); }
  void SetProgress(std::uint32_t position) override {
    position_ = position;
    JsProgress(static_cast<int>(position), block_.c_str());
  }
  bool ConfirmFirmware(std::u16string_view text) override { return JsConfirm(Utf8(text).c_str()) != 0; }
  void ShowMessage(std::u16string_view text) override {
    message_ = Utf8(text);
    JsMessage(message_.c_str());
  }
  void ShowResultLabel() override {}
  std::uint16_t UiLanguage() override { return language_; }

  void OnUpdateEvent(const UpdateEvent& e) override {
    using K = UpdateEvent::Kind;
    using cli::Msg;
    const std::string section = std::to_string(e.section), index = std::to_string(e.block), where = Hex8(e.address);
    switch (e.kind) {
      case K::BlockSkipped:
      case K::BlockWritten:
      case K::BlockVerified:
        block_ =
            PageText("progressBlock", language_, {section, std::to_string(e.block + 1), std::to_string(e.blockCount)});
        JsProgress(static_cast<int>(position_), block_.c_str());
        return;
      case K::BlockNotWritten:
        if (notWritten_.empty()) {
          notWritten_ =
              cli::Text(Msg::BlockNotWritten, language_, {section, index, where, cli::CauseText(e.cause, language_)});
        }
        return;
      case K::BlockDiffers:
      case K::BlockUnanswered:
        if (!failLine_.empty()) return;
        failLine_ = cli::CheckFailedText(e.kind == K::BlockDiffers, e.phase == UpdatePhase::HeadCheck, language_,
                                         section, index, where);
        return;
      case K::Ended:
        ending_ = e.ending;
        cause_ = e.cause;
        fileCheck_ = e.fileCheck;
        return;
      case K::Phase:
        return;
    }
  }

  // The cause of an ending other than success, in words.
  std::string Cause(bool adapterGone, WrittenSet set) const {
    using cli::Msg;
    if (adapterGone) return cli::Text(Msg::AdapterGone, language_);
    switch (ending_) {
      case UpdateEnding::Failure:
        if (cause_ == FailureCause::EraseUnitUnsupported) return cli::Text(Msg::EraseUnitUnsupported, language_);
        // A block never written is why its check failed.
        if (!notWritten_.empty()) return notWritten_;
        return failLine_.empty() ? FailureCauseName(cause_) : failLine_;
      case UpdateEnding::Quiet:
        return cli::Text(Msg::LoaderSilent, language_);
      case UpdateEnding::FileRefused:
        return cli::Text(Msg::FileRefused, language_, {Utf8(kFileMismatch), DescribeRefusal(fileCheck_, set)});
      case UpdateEnding::Cancelled:
        return cli::Text(Msg::Cancelled, language_);
      case UpdateEnding::Stopped:
        return cli::Text(Msg::Stopped, language_);
      default:
        return {};
    }
  }

  UpdateEnding ending_ = UpdateEnding::NotRun;
  FailureCause cause_ = FailureCause::None;
  FileCheckResult fileCheck_;
  std::string message_;

 private:
  std::uint16_t language_;
  std::uint32_t position_ = 0;
  std::string block_;
  std::string notWritten_;
  std::string failLine_;
};

std::string returned;

const char* Return(std::string text) {
  returned = std::move(text);
  return returned.c_str();
}

}  // namespace
}  // namespace korbex::web

using namespace korbex;
using namespace korbex::web;

extern "C" {

// The page's language: 2052 (Chinese) or any other id (English).
EMSCRIPTEN_KEEPALIVE void kx_set_language(int language) { Page().language = static_cast<std::uint16_t>(language); }

// Every text the page shows, as a JSON object {name: text} in the page's language.
EMSCRIPTEN_KEEPALIVE const char* kx_texts() { return Return(PageTextsJson(Page().language)); }

// Entry index (0..16) of the text table in the language (2052 Chinese, else English).
EMSCRIPTEN_KEEPALIVE const char* kx_text(int index, int language) {
  return Return(ToUtf8(LocalizedText(index, static_cast<std::uint16_t>(language))));
}

// Takes the chosen file's bytes and judges them as inspect does: JSON {accepted,
// verdict (the words), reason, check (the field at fault), firmware (the confirmation
// text for sections 1 and 2), size}.
EMSCRIPTEN_KEEPALIVE const char* kx_check_file(const std::uint8_t* data, int size) {
  PageEngine& p = Page();
  p.file.assign(data, data + (size > 0 ? size : 0));
  FirmwareImage image;
  FirmwareHeaders headers;
  std::string json = "{";
  if (!image.Open(std::make_unique<MemoryFirmwareSource>(p.file))) {
    p.fileAccepted = false;
    return Return("{\"accepted\":false,\"verdict\":" + JsonString(PageText("readingFile", p.language)) + "}");
  }
  headers.h1Read = image.Read(0, headers.h1.bytes, kHeaderSize);
  if (headers.h1Read == kHeaderSize) ReadSectionHeaders(image, headers);
  const FileVerdict verdict = JudgeFirmwareFile(headers, image.Size());
  p.fileAccepted = verdict.check.ok();
  json += "\"accepted\":" + std::string(p.fileAccepted ? "true" : "false");
  if (p.fileAccepted) {
    json += ",\"verdict\":" + JsonString(cli::Text(cli::Msg::FileAccepted, p.language));
    json += ",\"firmware\":" + JsonString(Utf8(ConfirmationText(headers, false)));
  } else {
    const std::string reason = DescribeRefusal(verdict.check, verdict.refusedSet);
    json += ",\"verdict\":" + JsonString(cli::Text(cli::Msg::FileRefused, p.language, {Utf8(kFileMismatch), reason}));
    json += ",\"reason\":" + JsonString(reason) + ",\"check\":" + JsonString(verdict.check.field());
  }
  json += ",\"size\":" + std::to_string(image.Size()) + "}";
  return Return(json);
}

// The page has opened an adapter (vendor, product) and set kxHost.device: the family
// decision, and for a TwoStage adapter the version query. May suspend. JSON {family,
// versionRead, caption (the window caption without its line feed), version}.
EMSCRIPTEN_KEEPALIVE const char* kx_connect(int vendor, int product) {
  PageEngine& p = Page();
  std::string json = "{";
  if (!IsSupportedDevice(static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product))) {
    return Return("{\"family\":\"\"}");
  }
  ApplyFamilyMatch(p.family, static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product),
                   p.session.updateRunning != 0);
  std::u16string title(LocalizedText(kTextTitle, p.language));
  std::u16string caption = title;
  bool read = false;
  if (p.family.TwoStage && p.session.updateRunning == 0) {
    p.session.deviceVersion = kVersionNotRead;
    read = QueryTwoStageVersion(p.link, p.session, title, caption) == VersionQueryResult::Read;
  }
  // The caption format ends with a line feed that a window title does not show.
  while (!caption.empty() && (caption.back() == u'\n' || caption.back() == u'\r')) caption.pop_back();
  // The device is named by its ids, as the command-line tool names it; the flags (which
  // may hold TwoStage from an earlier sighting) decide the update, as in the dialog.
  json += "\"family\":" + JsonString(FamilyName(static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product)));
  json += ",\"twoStage\":" + std::string(p.family.TwoStage ? "true" : "false");
  json += ",\"versionRead\":" + std::string(read ? "true" : "false");
  json += ",\"caption\":" + JsonString(Utf8(caption));
  json += ",\"version\":" + JsonString(read ? VersionOf(caption) : std::string()) + "}";
  return Return(json);
}

// The update of the open adapter with the judged file, as the dialog's update button
// runs it: the log's first lines, header 1, then the worker. May suspend (the
// confirmation, every exchange). JSON {ending, cause (name), result (the engine's last
// message), causeText (the cause in words; empty on success)}.
EMSCRIPTEN_KEEPALIVE const char* kx_update() {
  PageEngine& p = Page();
  PageListener listener(p.language);
  const WrittenSet set = p.session.singleNumberVersion ? WrittenSet::Section3 : WrittenSet::Sections1And2;
  p.image.Close();
  p.session.fileOpened = p.image.Open(std::make_unique<MemoryFirmwareSource>(p.file)) ? 1 : 0;
  p.log.Close();
  p.log.Create(std::make_unique<PageLogFile>());
  p.log.AppendLog(kLogOpenFile);
  FirmwareHeaders headers;
  UpdateEnding ending = UpdateEnding::FileRefused;
  if (p.session.fileOpened) {
    p.log.AppendLog(kLogOpenFileOk);
    headers.h1Read = p.image.Read(0, headers.h1.bytes, kHeaderSize);
    if (headers.h1Read < kHeaderSize) {
      p.log.AppendLog(kFileMismatch);
      listener.ShowMessage(kFileMismatch);
      listener.fileCheck_ = {FileCheck::Header1Short, headers.h1Read, 0};
      listener.ending_ = UpdateEnding::FileRefused;
    } else {
      p.log.AppendLog(kLogReadCrc);
      p.channel.ResetFailures();
      UpdateContext ctx{p.link, p.image, p.log, listener, p.session, p.family, headers, nullptr};
      ending = FlashUpdateThread(ctx);
    }
  }
  const bool gone = ending != UpdateEnding::Success && p.channel.Failures() > 0;
  std::string json = "{\"ending\":" + JsonString(UpdateEndingName(ending));
  json += ",\"cause\":" + JsonString(FailureCauseName(listener.cause_));
  json += ",\"result\":" + JsonString(listener.message_);
  json += ",\"causeText\":" + JsonString(ending == UpdateEnding::Success ? std::string() : listener.Cause(gone, set));
  json += ",\"adapterGone\":" + std::string(gone ? "true" : "false") + "}";
  return Return(json);
}

// The operation log as 1.txt holds it (UTF-16LE with BOM).
EMSCRIPTEN_KEEPALIVE const std::uint8_t* kx_log_data() { return logBytes.data(); }
EMSCRIPTEN_KEEPALIVE int kx_log_size() { return static_cast<int>(logBytes.size()); }

}  // extern "C"
