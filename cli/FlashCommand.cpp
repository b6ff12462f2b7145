// korbex-update flash FILE: the update itself, run by the engine the dialog runs, with
// the console as its listener (progress, the confirmation, what became of each block),
// then the wait for the restarted adapter and its new version. One concern, kept whole:
// the listener gathers what the outcome and the document report.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/AllAdapters.h"
#include "cli/CliTexts.h"
#include "cli/Commands.h"
#include "cli/Connect.h"
#include "cli/ExitCodes.h"
#include "cli/JsonViews.h"
#include "cli/Terminal.h"
#include "identity/VersionQuery.h"
#include "text/OperationLog.h"
#include "text/Texts.h"
#include "update/UpdateEngine.h"

namespace korbex::cli {
namespace {

using nlohmann::json;

const char* PhaseName(UpdatePhase p) {
  switch (p) {
    case UpdatePhase::Checking:
      return "checking the file";
    case UpdatePhase::QueryLoader:
      return "asking the loader";
    case UpdatePhase::Confirm:
      return "confirmation";
    case UpdatePhase::WritePass:
      return "write pass";
    case UpdatePhase::CheckPass:
      return "check pass";
    case UpdatePhase::SaveHead:
      return "saving the head";
    case UpdatePhase::HeadCheck:
      return "head check";
    case UpdatePhase::ImageInfo:
      return "image information";
    case UpdatePhase::Finish:
      return "starting the new firmware";
  }
  return "?";
}

// The console side of the update: progress, the confirmation, and what happened to
// every block, for the summary and the JSON document.
class ConsoleListener final : public UpdateListener {
 public:
  ConsoleListener(Tool& tool, bool canAsk) : tool_(tool), out_(tool.out), canAsk_(canAsk) {}

  void EnableUpdateButton(bool) override {}
  void ShowResultLabel() override {}
  std::uint16_t UiLanguage() override { return out_.Language(); }

  void SetProgress(std::uint32_t position) override {
    if (position == 0) return;  // the success ending resets the bar; nothing to draw
    out_.Progress(position, label_);
  }

  bool ConfirmFirmware(std::u16string_view text) override {
    confirmation_ = Utf8(text);
    if (tool_.options.confirmedForAll) {
      confirmed_ = true;  // the one question for all adapters was answered
    } else if (tool_.options.yes) {
      out_.Info(confirmation_ + "  (" + Text(Msg::ConfirmedByYes, out_.Language()) + ")");
      confirmed_ = true;
    } else if (!canAsk_) {
      needsYes_ = true;
      confirmed_ = false;
    } else {
      out_.Result(confirmation_);
      confirmed_ = out_.Ask(Text(Msg::ConfirmPrompt, out_.Language()));
    }
    return confirmed_;
  }

  void ShowMessage(std::u16string_view text) override { messages_.push_back(Utf8(text)); }

  void OnUpdateEvent(const UpdateEvent& e) override {
    using K = UpdateEvent::Kind;
    const std::string where = Hex(e.address, 8);
    switch (e.kind) {
      case K::Phase:
        if (e.phase == UpdatePhase::WritePass || e.phase == UpdatePhase::CheckPass ||
            e.phase == UpdatePhase::HeadCheck) {
          out_.Detail(std::string(PhaseName(e.phase)) + ", section " + std::to_string(e.section));
        } else {
          out_.Detail(PhaseName(e.phase));
        }
        return;
      case K::BlockSkipped:
        ++skipped_;
        label_ = "section " + std::to_string(e.section) + " block " + std::to_string(e.block + 1) + "/" +
                 std::to_string(e.blockCount);
        out_.Detail("  section " + std::to_string(e.section) + " block " + std::to_string(e.block) + " at 0x" + where +
                    ": already equal");
        return;
      case K::BlockWritten:
        ++written_;
        label_ = "section " + std::to_string(e.section) + " block " + std::to_string(e.block + 1) + "/" +
                 std::to_string(e.blockCount);
        out_.Detail("  section " + std::to_string(e.section) + " block " + std::to_string(e.block) + " at 0x" + where +
                    ": written");
        return;
      case K::BlockNotWritten: {
        const std::string line =
            Text(Msg::BlockNotWritten, out_.Language(),
                 {std::to_string(e.section), std::to_string(e.block), where, CauseText(e.cause, out_.Language())});
        notWritten_.push_back(
            {{"section", e.section}, {"block", e.block}, {"address", e.address}, {"cause", FailureCauseName(e.cause)}});
        notWrittenLines_.push_back(line);
        writeFailures_.push_back({e.section, e.block, e.cause, line});
        out_.Detail("  " + line);
        return;
      }
      case K::BlockVerified:
        ++verified_;
        out_.Detail("  section " + std::to_string(e.section) + " block " + std::to_string(e.block) + " at 0x" + where +
                    ": verified");
        return;
      case K::BlockDiffers:
      case K::BlockUnanswered: {
        const bool head = e.phase == UpdatePhase::HeadCheck;
        const std::string block =
            "  section " + std::to_string(e.section) + " block " + std::to_string(e.block) + " at 0x" + where + ": ";
        // A block the write pass never wrote is reported as such, whatever its check said.
        if (const WriteFailure* w = UnwrittenBy(e.section, e.block)) {
          failNotWritten_ = true;
          failCause_ = w->cause;
          failLine_ = w->block == e.block
                          ? w->line
                          : Text(Msg::BlockNotWritten, out_.Language(),
                                 {std::to_string(e.section), std::to_string(e.block), where,
                                  Text(Msg::CausePassStopped, out_.Language(),
                                       {std::to_string(w->block), CauseText(w->cause, out_.Language())})});
          out_.Detail(block + "not written");
          return;
        }
        const json j = {{"section", e.section},
                        {"block", e.block},
                        {"address", e.address},
                        {"phase", head ? "head check" : "check pass"}};
        const std::string section = std::to_string(e.section), index = std::to_string(e.block);
        if (e.kind == K::BlockDiffers) {
          differing_.push_back(j);
          failLine_ = CheckFailedText(true, head, out_.Language(), section, index, where);
          out_.Detail(block + "differs");
        } else {
          unanswered_.push_back(j);
          failLine_ = CheckFailedText(false, head, out_.Language(), section, index, where);
          out_.Detail(block + "no answer to its check");
        }
        return;
      }
      case K::Ended:
        ending_ = e.ending;
        cause_ = e.cause;
        fileCheck_ = e.fileCheck;
        return;
    }
  }

  UpdateEnding ending_ = UpdateEnding::NotRun;
  FailureCause cause_ = FailureCause::None;
  FileCheckResult fileCheck_;
  std::string confirmation_;
  bool confirmed_ = false;
  bool needsYes_ = false;
  std::vector<std::string> messages_;
  std::vector<std::string> notWrittenLines_;
  // The block whose check ended the run: what to say about it, and whether the write
  // pass had left it unwritten (then failCause_ says why).
  std::string failLine_;
  bool failNotWritten_ = false;
  FailureCause failCause_ = FailureCause::None;
  json notWritten_ = json::array();
  json differing_ = json::array();
  json unanswered_ = json::array();
  unsigned skipped_ = 0, written_ = 0, verified_ = 0;

 private:
  struct WriteFailure {
    int section;
    std::uint32_t block;
    FailureCause cause;
    std::string line;
  };
  // The write failure that left block b of the section unwritten, if any. A refused
  // leading piece skips only its block; any other failure stops the section's pass,
  // so the blocks after it were never sent either.
  const WriteFailure* UnwrittenBy(int section, std::uint32_t b) const {
    for (const auto& w : writeFailures_) {
      if (w.section != section) continue;
      if (w.block == b || (w.cause != FailureCause::LeadingPieceFailed && b > w.block)) return &w;
    }
    return nullptr;
  }

  std::vector<WriteFailure> writeFailures_;
  Tool& tool_;
  Output& out_;
  bool canAsk_;
  std::string label_;
};

// After Finish: the adapter restarts; wait for it and show what it reports.
void ReportRestart(Tool& tool, AdapterBackend& backend, const AdapterEntry& before, DeviceFamily& family,
                   UpdateSession& session) {
  Output& out = tool.out;
  out.Info(Text(Msg::WaitingForRestart, out.Language()));
  json after = {{"returned", false}};
  // The wait may end before its bound (a stop, a backend that knows at once): say how
  // long it really was.
  const auto started = std::chrono::steady_clock::now();
  const auto back = backend.AwaitRestart(before, tool.stop);
  const auto waitedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  after["waitedMs"] = waitedMs;
  if (!back) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(waitedMs) / 1000.0);
    out.Info(Text(tool.stop ? Msg::RestartWaitStopped : Msg::AdapterNotBack, out.Language(), {seconds}));
    out.Doc()["afterRestart"] = after;
    return;
  }
  after["returned"] = true;
  after["adapter"] = ToJson(*back);
  out.Info(Text(Msg::AdapterBack, out.Language(), {Describe(*back)}));
  // The family flags carry over from the first sighting, as in the dialog: an adapter
  // seen as TwoStage is asked for its version under either product id.
  if (ApplyFamilyMatch(family, back->vendorId, back->productId, false) && family.TwoStage) {
    Connection c;
    if (OpenEntry(tool, backend, *back, c) == kExitOk) {
      std::u16string caption;
      session.deviceVersion = kVersionNotRead;
      if (QueryTwoStageVersion(*c.link, session, LocalizedText(kTextTitle, out.Language()), caption) ==
          VersionQueryResult::Read) {
        after["version"] = VersionJson(session, caption);
        out.Result(CaptionLine(caption));
      } else {
        out.Info(Text(Msg::VersionNoReply, out.Language()));
      }
    }
  }
  out.Doc()["afterRestart"] = after;
}

}  // namespace

// The update on one opened adapter, identified for the file: runs it, reports its
// outcome (and, on success, the restart) and returns the exit code.
int FlashOpened(Tool& tool, OpenedFile& f, AdapterBackend& backend, Connection& c, DeviceFamily& family,
                UpdateSession& session) {
  Output& out = tool.out;
  int code = kExitFailed;
  // The operation log is the dialog's; the console keeps its record in --trace.
  OperationLog log;
  const bool canAsk = !out.Json() && IsTerminal(stdin);
  ConsoleListener listener(tool, canAsk);
  UpdateContext ctx{*c.link, f.image, log, listener, session, family, f.headers, &tool.stop};
  const UpdateEnding ending = FlashUpdateThread(ctx);
  out.EndProgress();

  json& doc = out.Doc();
  doc["confirmation"] = {{"text", listener.confirmation_}, {"confirmed", listener.confirmed_}};
  doc["ending"] = UpdateEndingName(ending);
  doc["cause"] = FailureCauseName(listener.cause_);
  doc["messages"] = listener.messages_;
  doc["blocks"] = {{"skipped", listener.skipped_},     {"written", listener.written_},
                   {"verified", listener.verified_},   {"notWritten", listener.notWritten_},
                   {"differing", listener.differing_}, {"unanswered", listener.unanswered_}};
  // The engine names the check that failed; a block the write pass never wrote failed
  // for the reason it was not written.
  if (listener.failNotWritten_) doc["cause"] = FailureCauseName(listener.failCause_);
  const std::string engineMessage = listener.messages_.empty() ? std::string() : listener.messages_.back();
  const bool deviceGone = c.channel->ReadErrors() > 0 || c.channel->WriteErrors() > 0;

  switch (ending) {
    case UpdateEnding::Success:
      out.Outcome(engineMessage, true);
      out.Info(Text(
          Msg::WrittenSummary, out.Language(),
          {std::to_string(listener.written_), std::to_string(listener.skipped_), std::to_string(listener.verified_)}));
      code = kExitOk;
      {
        // The adapter restarts: let go of it before looking for it again.
        const AdapterEntry before = c.entry;
        c.link.reset();
        c.channel.reset();
        c.device.reset();
        ReportRestart(tool, backend, before, family, session);
      }
      break;
    case UpdateEnding::Failure: {
      out.Outcome(engineMessage, false);
      std::string message;
      if (listener.cause_ == FailureCause::EraseUnitUnsupported) {
        // The engine ended before the first erase; the loader's unit says why.
        message = Text(Msg::EraseUnitUnsupported, out.Language());
      } else {
        // One line: the block that failed its check (or was never written) and, first,
        // why blocks were not written.
        message = listener.failLine_;
        const auto& notWritten = listener.notWrittenLines_;
        if (listener.failNotWritten_) {
          if (notWritten.size() > 1) {
            message += Text(Msg::AndMore, out.Language(), {std::to_string(notWritten.size() - 1)});
          }
          if (!out.Verbose())
            for (const auto& l : notWritten) out.Info(l);
        } else if (!notWritten.empty()) {
          message += " (" + notWritten.front();
          if (notWritten.size() > 1) {
            message += Text(Msg::AndMore, out.Language(), {std::to_string(notWritten.size() - 1)});
          }
          message += ")";
          // The rest for the reader of the log; -v showed them as they happened.
          if (!out.Verbose())
            for (const auto& l : notWritten) out.Info(l);
        }
      }
      if (deviceGone) message += "; " + Text(Msg::AdapterGone, out.Language());
      out.Error(kExitFailed, message);
      code = kExitFailed;
      break;
    }
    case UpdateEnding::Quiet:
      if (listener.cause_ == FailureCause::LoaderSilent) {
        out.Error(kExitLoaderSilent, Text(Msg::LoaderSilent, out.Language()) + ": " + engineMessage);
        code = kExitLoaderSilent;
      } else {
        out.Error(kExitFileRefused, engineMessage);
        code = kExitFileRefused;
      }
      break;
    case UpdateEnding::Cancelled:
      if (listener.needsYes_) {
        out.Error(kExitCancelled, Text(Msg::ConfirmNeedsYes, out.Language(), {listener.confirmation_}));
      } else {
        out.Error(kExitCancelled, Text(Msg::Cancelled, out.Language()));
      }
      code = kExitCancelled;
      break;
    case UpdateEnding::FileRefused:
      out.Error(kExitFileRefused,
                Text(Msg::FileRefused, out.Language(), {Utf8(kFileMismatch), listener.fileCheck_.Describe()}));
      code = kExitFileRefused;
      break;
    case UpdateEnding::Stopped:
      out.Error(kExitFailed, Text(Msg::Stopped, out.Language()));
      code = kExitFailed;
      break;
    case UpdateEnding::NoDevice:
      out.Error(kExitNoAdapter, Text(Msg::NoAdapter, out.Language()));
      code = kExitNoAdapter;
      break;
    case UpdateEnding::NotRun:
      out.Error(kExitFailed, "another update is running");
      code = kExitFailed;
      break;
  }
  return code;
}

int RunFlash(Tool& tool, const std::string& file) {
  if (tool.options.all) return RunOnAllAdapters(tool, file, true);
  OpenedFile f;
  std::unique_ptr<AdapterBackend> backend;
  Connection c;
  DeviceFamily family;
  UpdateSession session;
  int code = OpenFileAndAdapter(tool, file, f, backend, c, family, session);
  if (code == kExitOk) code = FlashOpened(tool, f, *backend, c, family, session);
  return SaveSimulatedFlash(tool, backend.get(), code);
}

}  // namespace korbex::cli
