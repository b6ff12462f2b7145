#include "cli/Commands.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "cli/Adapters.h"
#include "cli/CliTexts.h"
#include "cli/ExitCodes.h"
#include "cli/Terminal.h"
#include "cli/TraceChannel.h"
#include "hid/DeviceFamily.h"
#include "identity/VersionQuery.h"
#include "protocol/BootProtocol.h"
#include "sim/FirmwareFixture.h"
#include "text/OperationLog.h"
#include "text/Texts.h"
#include "update/FirmwareImage.h"
#include "update/FlashCompare.h"
#include "update/UpdateEngine.h"

namespace korbex::cli {
namespace {

using nlohmann::json;

std::string Hex(std::uint64_t value, int width = 0) {
  char text[24];
  std::snprintf(text, sizeof text, "%0*llx", width, static_cast<unsigned long long>(value));
  return text;
}

std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

const char* FamilyName(std::uint16_t vendor, std::uint16_t product) {
  switch (DecideFamily(vendor, product, kStateNoSighting, false).flag) {
    case FamilyFlag::TwoStage:
      return "TwoStage";
    case FamilyFlag::FlashLoader:
      return "FlashLoader";
    case FamilyFlag::None:
      break;
  }
  return "unsupported";
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
  return j;
}

std::string Utf8(std::u16string_view text) { return ToUtf8(text); }

// The caption without its line feed.
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

// --- the firmware file ---------------------------------------------------------

struct OpenedFile {
  bool opened = false;
  FirmwareImage image;
  FirmwareHeaders headers;
  // The verdict for each written set (sections 1 and 2, section 3), and the file's:
  // the first set that refuses it.
  FileCheckResult sets[2];
  FileCheckResult check;
  WrittenSet refusedSet = WrittenSet::Sections1And2;
};

constexpr WrittenSet kWrittenSets[2] = {WrittenSet::Sections1And2, WrittenSet::Section3};

// Refusals that depend on which sections are written (the rest refuse both sets alike).
bool DependsOnWrittenSet(FileCheck check) {
  return check == FileCheck::NothingToWrite || check == FileCheck::AddressWraps ||
         check == FileCheck::SectionShorterThanLoader;
}

std::string RefusalReason(const OpenedFile& f) {
  if (!DependsOnWrittenSet(f.check.check)) return f.check.Describe();
  return std::string("written set ") + WrittenSetName(f.refusedSet) + ": " + f.check.Describe();
}

// Opens the file and judges it for both written sets (CheckFirmwareFile). Which set an
// adapter takes is known only once it is identified (a TwoStage adapter tells it in
// its version reply, as it does to the dialog at connect), so with setKnownLater a
// refusal that depends on the set is left to RefuseForWrittenSet; every other refusal
// is made here, before any adapter is touched. Returns kExitOk, or kExitFileRefused
// after reporting why (when reportRefusal).
int OpenAndCheckFile(Tool& tool, const std::string& file, OpenedFile& f, bool reportRefusal, bool setKnownLater) {
  Output& out = tool.out;
  std::error_code ec;
  auto source = OpenFirmwareFile(PathFromUtf8(file), ec);
  if (!source) {
    out.Error(kExitFileRefused,
              Text(Msg::CannotOpenFile, out.Language(), {file, ec ? ec.message() : std::string("cannot read")}));
    return kExitFileRefused;
  }
  // The file is read whole here, once; a file that cannot be is refused before any report.
  f.opened = f.image.Open(std::move(source));
  if (!f.opened) {
    out.Error(kExitFileRefused, Text(Msg::CannotOpenFile, out.Language(), {file, "cannot read the whole file"}));
    return kExitFileRefused;
  }
  f.headers.h1Read = f.image.Read(0, f.headers.h1.bytes, kHeaderSize);
  if (f.headers.h1Read == kHeaderSize) ReadSectionHeaders(f.image, f.headers);
  for (int i = 0; i < 2; ++i) {
    f.sets[i] = CheckFirmwareFile(f.headers, f.image.Size(), kWrittenSets[i]);
    if (!f.sets[i].ok() && f.check.ok()) {
      f.check = f.sets[i];
      f.refusedSet = kWrittenSets[i];
    }
  }
  if (f.check.ok() || (setKnownLater && DependsOnWrittenSet(f.check.check))) return kExitOk;
  if (reportRefusal) {
    out.Error(kExitFileRefused, Text(Msg::FileRefused, out.Language(), {Utf8(kFileMismatch), RefusalReason(f)}));
  }
  return kExitFileRefused;
}

// The verdict for the set this adapter takes: the same one the dialog's update reaches,
// given before any loader command.
int RefuseForWrittenSet(Tool& tool, OpenedFile& f, WrittenSet set) {
  const int i = set == WrittenSet::Section3 ? 1 : 0;
  if (f.sets[i].ok()) return kExitOk;
  f.check = f.sets[i];
  f.refusedSet = set;
  tool.out.Error(kExitFileRefused,
                 Text(Msg::FileRefused, tool.out.Language(), {Utf8(kFileMismatch), RefusalReason(f)}));
  return kExitFileRefused;
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

// --- adapters ------------------------------------------------------------------

std::unique_ptr<AdapterBackend> MakeBackend(Tool& tool, std::uint32_t headAddress = 0) {
  if (tool.options.simulate) return std::make_unique<SimulatedBackend>(*tool.options.simulate, headAddress);
  return MakeHardwareBackend();
}

// The channel of one opened adapter, watched (and traced with --trace).
struct Connection {
  AdapterEntry entry;
  std::unique_ptr<ReportChannel> device;
  std::unique_ptr<TraceChannel> channel;
  std::unique_ptr<BootLink> link;
};

int OpenEntry(Tool& tool, AdapterBackend& backend, const AdapterEntry& entry, Connection& c) {
  Output& out = tool.out;
  OpenStatus status = OpenStatus::Failed;
  std::string message;
  c.device = backend.Open(entry, status, message);
  switch (status) {
    case OpenStatus::Ok:
      break;
    case OpenStatus::PermissionDenied:
      out.Error(kExitCannotOpen, Text(Msg::PermissionDenied, out.Language(), {entry.path}));
      return kExitCannotOpen;
    case OpenStatus::NotFound:
      out.Error(kExitNoAdapter, Text(Msg::NoAdapterAt, out.Language(), {entry.path}));
      return kExitNoAdapter;
    case OpenStatus::Failed:
      out.Error(kExitCannotOpen, Text(Msg::CannotOpenAdapter, out.Language(), {entry.path, message}));
      return kExitCannotOpen;
    case OpenStatus::Busy:  // refused before anything was sent
      out.Error(kExitBusy, AdapterBusyText(out.Language(), entry.path, message));
      return kExitBusy;
  }
  c.entry = entry;
  c.channel = std::make_unique<TraceChannel>(*c.device, tool.options.trace);
  c.link = std::make_unique<BootLink>(*c.channel, SystemClock());
  c.link->SetStopFlag(&tool.stop);
  return kExitOk;
}

// Picks the adapter (--device, or the only one present) and opens it.
int Connect(Tool& tool, AdapterBackend& backend, Connection& c) {
  Output& out = tool.out;
  if (!backend.Supported()) {
    out.Error(kExitNoAdapter, Text(Msg::NoHardwareSupport, out.Language()));
    return kExitNoAdapter;
  }
  // Watch from here on, so the restart after Finish is seen however fast it is.
  backend.Watch();
  auto entries = backend.Enumerate();
  const std::string& wanted = tool.options.device;
  const auto present = [&] {
    for (const auto& e : entries)
      if (wanted.empty() || e.path == wanted) return true;
    return false;
  };
  if (!present() && tool.options.waitSeconds > 0) {
    const std::string seconds = std::to_string(tool.options.waitSeconds);
    out.Info(Text(Msg::WaitingForAdapter, out.Language(), {seconds}));
    if (!backend.AwaitAdapter(wanted, tool.options.waitSeconds * 1000, tool.stop)) {
      out.Error(kExitNoAdapter, Text(tool.stop ? Msg::Cancelled : Msg::NoAdapterInTime, out.Language(), {seconds}));
      return kExitNoAdapter;
    }
    entries = backend.Enumerate();
  }
  const AdapterEntry* chosen = nullptr;
  if (!wanted.empty()) {
    for (const auto& e : entries)
      if (e.path == wanted) chosen = &e;
    if (!chosen) {
      out.Error(kExitNoAdapter, Text(Msg::NoAdapterAt, out.Language(), {wanted}));
      return kExitNoAdapter;
    }
  } else if (entries.empty()) {
    out.Error(kExitNoAdapter, Text(Msg::NoAdapter, out.Language()));
    return kExitNoAdapter;
  } else if (entries.size() > 1) {
    std::string message = Text(Msg::SeveralAdapters, out.Language());
    json list = json::array();
    for (const auto& e : entries) {
      message += "\n  " + Describe(e);
      list.push_back(ToJson(e));
    }
    out.Doc()["adapters"] = list;
    out.Error(kExitUsage, message);
    return kExitUsage;
  } else {
    chosen = &entries.front();
  }
  if (tool.options.simulate) out.Info(Text(Msg::UsingSimulator, out.Language()));
  const int code = OpenEntry(tool, backend, *chosen, c);
  if (code != kExitOk) return code;
  out.Doc()["adapter"] = ToJson(c.entry);
  out.Info("adapter: " + Describe(c.entry));
  return kExitOk;
}

// Asks a TwoStage adapter for its version. Returns kExitOk or kExitLoaderSilent.
int QueryVersion(Tool& tool, Connection& c, UpdateSession& session, std::u16string& caption) {
  session.deviceVersion = kVersionNotRead;
  const auto result = QueryTwoStageVersion(*c.link, session, LocalizedText(kTextTitle, tool.out.Language()), caption);
  if (result != VersionQueryResult::Read) {
    tool.out.Error(kExitLoaderSilent, Text(Msg::VersionNoReply, tool.out.Language()));
    return kExitLoaderSilent;
  }
  return kExitOk;
}

// flash-out of the simulated adapter, whatever the command's result.
int SaveSimulatedFlash(Tool& tool, AdapterBackend* backend, int code) {
  auto* sim = dynamic_cast<SimulatedBackend*>(backend);
  std::string why;
  if (!sim || sim->SaveFlash(why)) return code;
  tool.out.Error(kExitUsage,
                 Text(Msg::SimFlashOutFailed, tool.out.Language(), {sim->Options().flashOut.string()}) + ": " + why);
  return code == kExitOk ? kExitUsage : code;
}

// Where the simulated loader keeps its head for this file: as head-address says, else
// the section-3 load address when the simulated adapter will report a single-number
// version.
std::uint32_t SimHeadAddress(const Tool& tool, const FirmwareHeaders& h) {
  if (!tool.options.simulate) return 0;
  if (tool.options.simulate->headAddress) return *tool.options.simulate->headAddress;
  const auto& a = tool.options.simulate->adapter;
  const bool twoStage = DecideFamily(a.vendorId, a.productId, kStateNoSighting, false).flag == FamilyFlag::TwoStage;
  return twoStage && a.singleNumberVersion ? h.h3.loadAddress() : 0;
}

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

std::string CauseText(FailureCause c, std::uint16_t language) {
  switch (c) {
    case FailureCause::EraseFailed:
      return Text(Msg::CauseEraseFailed, language);
    case FailureCause::RecordFailed:
      return Text(Msg::CauseRecordFailed, language, {std::to_string(kRecordSendAttempts)});
    case FailureCause::LeadingPieceFailed:
      return Text(Msg::CauseLeadingPieceFailed, language);
    case FailureCause::TrailingPieceFailed:
      return Text(Msg::CauseTrailingPieceFailed, language);
    default:
      return FailureCauseName(c);
  }
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
    if (tool_.options.yes) {
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
          failLine_ = head ? Text(Msg::HeadDiffersAfterWrite, out_.Language(), {index, section, where})
                           : Text(Msg::BlockDiffersAfterWrite, out_.Language(), {section, index, where});
          out_.Detail(block + "differs");
        } else {
          unanswered_.push_back(j);
          failLine_ = head ? Text(Msg::HeadUnansweredAfterWrite, out_.Language(), {index, section, where})
                           : Text(Msg::BlockUnansweredAfterWrite, out_.Language(), {section, index, where});
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

// --- list ------------------------------------------------------------------------

int RunList(Tool& tool) {
  Output& out = tool.out;
  auto backend = MakeBackend(tool);
  if (!backend->Supported()) {
    out.Doc()["adapters"] = json::array();
    out.Error(kExitNoAdapter, Text(Msg::NoHardwareSupport, out.Language()));
    return kExitNoAdapter;
  }
  const auto entries = backend->Enumerate();
  json list = json::array();
  for (const auto& e : entries) {
    list.push_back(ToJson(e));
    std::string row =
        e.path + "  " + Hex(e.vendorId, 4) + ":" + Hex(e.productId, 4) + "  " + FamilyName(e.vendorId, e.productId);
    if (e.interfaceNumber >= 0) row += "  interface " + std::to_string(e.interfaceNumber);
    if (!e.product.empty()) row += "  " + e.product;
    out.Result(row);
  }
  out.Doc()["adapters"] = list;
  if (entries.empty()) {
    out.Error(kExitNoAdapter, Text(Msg::NoAdapter, out.Language()));
    return kExitNoAdapter;
  }
  return kExitOk;
}

// --- info ------------------------------------------------------------------------

int RunInfo(Tool& tool) {
  Output& out = tool.out;
  auto backend = MakeBackend(tool);
  Connection c;
  int code = Connect(tool, *backend, c);
  if (code == kExitOk) {
    DeviceFamily family;
    ApplyFamilyMatch(family, c.entry.vendorId, c.entry.productId, false);
    if (family.TwoStage) {
      UpdateSession session;
      std::u16string caption;
      code = QueryVersion(tool, c, session, caption);
      if (code == kExitOk) {
        out.Doc()["version"] = VersionJson(session, caption);
        out.Result(CaptionLine(caption));
      }
    } else {
      // The dialog asks only TwoStage adapters; a FlashLoader's caption is the title.
      out.Doc()["version"] = nullptr;
      out.Result(Utf8(LocalizedText(kTextTitle, out.Language())) + "  (" +
                 Text(Msg::VersionNotReported, out.Language(), {"FlashLoader"}) + ")");
    }
  }
  return SaveSimulatedFlash(tool, backend.get(), code);
}

// --- inspect ---------------------------------------------------------------------

int RunInspect(Tool& tool, const std::string& file) {
  Output& out = tool.out;
  OpenedFile f;
  out.Doc()["file"] = {{"path", file}};
  OpenAndCheckFile(tool, file, f, false, false);
  if (!f.opened) return kExitFileRefused;  // could not be opened at all; already reported
  json& doc = out.Doc();
  doc["file"]["size"] = f.image.Size();
  out.Info("file: " + file + " (" + std::to_string(f.image.Size()) + " bytes)");

  const qv_firmware_header* headers[3] = {&f.headers.h1, &f.headers.h2, &f.headers.h3};
  const std::size_t read[3] = {f.headers.h1Read, f.headers.h2Read, f.headers.h3Read};
  json sections = json::array();
  out.Result("section  version  beta  load address  length      model code");
  for (int i = 0; i < 3; ++i) {
    if (read[i] < kHeaderSize) {
      out.Result(std::to_string(i + 1) + "        (header missing: " + std::to_string(read[i]) + " of 28 bytes)");
      sections.push_back({{"section", i + 1}, {"headerBytes", read[i]}});
      continue;
    }
    const auto& h = *headers[i];
    char row[160];
    std::snprintf(row, sizeof row, "%-8d %-8u %-5x 0x%08x    %-10u  0x%04x", i + 1, h.version(), h.beta(),
                  h.loadAddress(), h.length(), h.pid());
    out.Result(row);
    sections.push_back({{"section", i + 1},
                        {"version", h.version()},
                        {"beta", h.beta()},
                        {"loadAddress", h.loadAddress()},
                        {"length", h.length()},
                        {"modelCode", h.pid()}});
  }
  doc["sections"] = sections;
  if (read[2] >= kHeaderSize) {
    out.Result("file mark (section 3): 0x" + Hex(f.headers.h3.fileMark(), 2));
    doc["fileMark"] = f.headers.h3.fileMark();
  }

  // What each kind of adapter would get from this file; the loader size is the
  // adapter's, so lengths here count the loader part too.
  if (read[2] >= kHeaderSize) {
    const std::uint64_t set12 = std::uint64_t{f.headers.h1.length()} + f.headers.h2.length();
    const std::uint32_t set3 = f.headers.h3.length();
    json sets = json::array();
    auto setLine = [&](int i, const char* adapters, std::uint64_t bytes, bool single) {
      const char* name = WrittenSetName(kWrittenSets[i]);
      const FileCheckResult& verdict = f.sets[i];
      const std::string confirm = bytes ? Utf8(ConfirmationText(f.headers, single)) : std::string();
      out.Result(std::string("written set ") + name + " (" + adapters + "): " +
                 (bytes ? std::to_string(bytes) + " bytes, confirmation \"" + confirm + "\"" : std::string("empty")) +
                 (verdict.ok() ? std::string() : "; refused: " + verdict.Describe()));
      sets.push_back({{"set", name},
                      {"adapters", adapters},
                      {"bytes", bytes},
                      {"confirmation", confirm},
                      {"verdict", FileCheckJson(verdict)}});
    };
    setLine(0, "two-number version", set12, false);
    setLine(1, "single-number version", set3, true);
    doc["writtenSets"] = sets;
  }

  doc["verdict"] = FileCheckJson(f.check);
  if (f.check.ok()) {
    out.Outcome("verdict: " + Text(Msg::FileAccepted, out.Language()), true);
    return kExitOk;
  }
  if (DependsOnWrittenSet(f.check.check)) doc["verdict"]["writtenSet"] = WrittenSetName(f.refusedSet);
  const std::string refused = Text(Msg::FileRefused, out.Language(), {Utf8(kFileMismatch), RefusalReason(f)});
  out.Outcome("verdict: " + refused, false);
  out.Error(kExitFileRefused, refused);
  return kExitFileRefused;
}

// Opens and checks the file, then connects to the adapter and, for a TwoStage adapter,
// reads its version as the dialog does at connect: the version form decides the written
// set. A file that does not fit is refused before any adapter is touched.
int OpenFileAndAdapter(Tool& tool, const std::string& file, OpenedFile& f, std::unique_ptr<AdapterBackend>& backend,
                       Connection& c, DeviceFamily& family, UpdateSession& session) {
  Output& out = tool.out;
  out.Doc()["file"] = {{"path", file}};
  if (const int code = OpenAndCheckFile(tool, file, f, true, true); code != kExitOk) return code;
  backend = MakeBackend(tool, SimHeadAddress(tool, f.headers));
  if (const int code = Connect(tool, *backend, c); code != kExitOk) return code;
  ApplyFamilyMatch(family, c.entry.vendorId, c.entry.productId, false);
  if (family.TwoStage) {
    std::u16string caption;
    if (const int code = QueryVersion(tool, c, session, caption); code != kExitOk) return code;
    out.Doc()["version"] = VersionJson(session, caption);
    out.Info(CaptionLine(caption));
  }
  const WrittenSet set = session.singleNumberVersion ? WrittenSet::Section3 : WrittenSet::Sections1And2;
  out.Doc()["writtenSet"] = WrittenSetName(set);
  return RefuseForWrittenSet(tool, f, set);
}

// --- verify ----------------------------------------------------------------------

int RunVerify(Tool& tool, const std::string& file) {
  Output& out = tool.out;
  OpenedFile f;
  std::unique_ptr<AdapterBackend> backend;
  Connection c;
  DeviceFamily family;
  UpdateSession session;
  int code = OpenFileAndAdapter(tool, file, f, backend, c, family, session);
  if (code != kExitOk) return SaveSimulatedFlash(tool, backend.get(), code);
  const WrittenSet set = session.singleNumberVersion ? WrittenSet::Section3 : WrittenSet::Sections1And2;

  json blocks = json::array();
  std::vector<std::string> differing;
  const auto result = CompareFlash(
      *c.link, f.image, f.headers, set,
      [&](const BlockComparison& b) {
        json j = {{"section", b.section}, {"block", b.block},       {"address", b.address},
                  {"equal", b.equal},     {"answered", b.answered}, {"fileCrc", b.fileCrc}};
        if (b.answered) j["deviceCrc"] = b.deviceCrc;
        blocks.push_back(j);
        std::string line = Text(Msg::BlockDiffersLine, out.Language(),
                                {std::to_string(b.section), std::to_string(b.block), Hex(b.address, 8)});
        out.Progress(b.blockCount ? (b.block + 1) * 100 / b.blockCount : 100,
                     "section " + std::to_string(b.section) + " block " + std::to_string(b.block + 1) + "/" +
                         std::to_string(b.blockCount));
        if (!b.equal) {
          line += b.answered ? "  (file crc " + Hex(b.fileCrc, 4) + ", adapter crc " + Hex(b.deviceCrc, 4) + ")"
                             : std::string("  (no answer)");
          differing.push_back(line);
        }
        out.Detail(line + (b.equal ? "  equal" : ""));
      },
      &tool.stop);
  out.EndProgress();
  json& doc = out.Doc();
  doc["loader"] = {{"loaderSize", result.loader.loaderSize}, {"eraseUnitSize", result.loader.eraseUnitSize}};
  doc["blocks"] = blocks;
  doc["equal"] = result.equal;
  doc["differing"] = result.differing;
  doc["unanswered"] = result.unanswered;
  // An adapter that left answers nothing: that is not a flash that differs.
  const bool adapterGone = result.status == FlashCompareResult::Status::AdapterGone || c.channel->ReadErrors() > 0 ||
                           c.channel->WriteErrors() > 0;
  doc["adapterGone"] = adapterGone;
  if (adapterGone && result.status != FlashCompareResult::Status::LoaderSilent) {
    out.Error(kExitFailed,
              Text(Msg::VerifyAdapterGone, out.Language(), {std::to_string(result.equal + result.differing)}));
    return SaveSimulatedFlash(tool, backend.get(), kExitFailed);
  }
  switch (result.status) {
    case FlashCompareResult::Status::LoaderSilent:
      out.Error(kExitLoaderSilent,
                Text(Msg::LoaderSilent, out.Language()) + ": " + Utf8(LocalizedText(kTextBootMode, out.Language())));
      code = kExitLoaderSilent;
      break;
    case FlashCompareResult::Status::FileRefused:
      out.Error(kExitFileRefused,
                Text(Msg::FileRefused, out.Language(), {Utf8(kFileMismatch), result.fileCheck.Describe()}));
      code = kExitFileRefused;
      break;
    case FlashCompareResult::Status::Stopped:
      // verify writes nothing: the flash is as it was.
      out.Error(kExitFailed, Text(Msg::VerifyStopped, out.Language()));
      code = kExitFailed;
      break;
    case FlashCompareResult::Status::AdapterGone:  // reported above
    case FlashCompareResult::Status::Compared:
      doc["matches"] = result.Matches();
      if (result.Matches()) {
        out.Outcome(Text(Msg::VerifyEqual, out.Language(), {std::to_string(result.blocks)}), true);
        code = kExitOk;
      } else {
        const std::string differs = std::to_string(result.differing), unanswered = std::to_string(result.unanswered),
                          blocks = std::to_string(result.blocks);
        std::string message =
            result.unanswered == 0 ? Text(Msg::VerifyDiffers, out.Language(), {differs, blocks})
            : result.differing == 0
                ? Text(Msg::VerifyUnanswered, out.Language(), {unanswered, blocks})
                : Text(Msg::VerifyDiffersAndUnanswered, out.Language(), {differs, blocks, unanswered});
        for (const auto& d : differing) message += "\n" + d;
        out.Outcome(message, false);
        if (out.Json()) out.Error(kExitFailed, message);
        code = kExitFailed;
      }
      break;
  }
  return SaveSimulatedFlash(tool, backend.get(), code);
}

// --- flash -----------------------------------------------------------------------

int RunFlash(Tool& tool, const std::string& file) {
  Output& out = tool.out;
  OpenedFile f;
  std::unique_ptr<AdapterBackend> backend;
  Connection c;
  DeviceFamily family;
  UpdateSession session;
  int code = OpenFileAndAdapter(tool, file, f, backend, c, family, session);
  if (code != kExitOk) return SaveSimulatedFlash(tool, backend.get(), code);

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
        ReportRestart(tool, *backend, before, family, session);
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
  return SaveSimulatedFlash(tool, backend.get(), code);
}

// --- make-demo-firmware ----------------------------------------------------------

int RunMakeDemoFirmware(Tool& tool, const std::string& file, const DemoFileSpec& demo) {
  Output& out = tool.out;
  const auto bytes = sim::MakeStandardFile(demo.section1, demo.section2, demo.section3, 0x40000, 0x1000, demo.seed);
  out.Doc()["file"] = {{"path", file}, {"size", bytes.size()}};
  const std::filesystem::path path = PathFromUtf8(file);
  errno = 0;
  std::ofstream o(path, std::ios::binary | std::ios::trunc);
  // errno from the failed open says why (a directory, a missing folder, permission).
  int error = o ? 0 : errno;
  if (o) {
    o.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    o.close();
    if (!o) error = errno != 0 ? errno : EIO;
  }
  if (error != 0 || !o) {
    std::error_code ec;
    std::string why = error != 0 ? std::strerror(error) : "cannot write";
    if (std::filesystem::is_directory(path, ec)) {
      why = std::make_error_code(std::errc::is_a_directory).message();
    } else if (!path.parent_path().empty() && !std::filesystem::is_directory(path.parent_path(), ec)) {
      why = "no such folder " + path.parent_path().string();
    }
    out.Error(kExitUsage, Text(Msg::CannotOpenFile, out.Language(), {file, why}));
    return kExitUsage;
  }
  out.Info("wrote " + file + " (" + std::to_string(bytes.size()) + " bytes, generated demo firmware)");
  return kExitOk;
}

}  // namespace korbex::cli
