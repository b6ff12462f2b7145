// The shared connect-and-open step of the adapter commands (cli/Connect.h).
#include "cli/Connect.h"

#include "cli/CliTexts.h"
#include "cli/ExitCodes.h"
#include "cli/JsonViews.h"
#include "identity/VersionQuery.h"
#include "text/Texts.h"

namespace korbex::cli {

using nlohmann::json;

std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string RefusalReason(const OpenedFile& f) { return DescribeRefusal(f.check, f.refusedSet); }

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
  const FileVerdict verdict = JudgeFirmwareFile(f.headers, f.image.Size());
  f.sets[0] = verdict.sets[0];
  f.sets[1] = verdict.sets[1];
  f.check = verdict.check;
  f.refusedSet = verdict.refusedSet;
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

// --- adapters ------------------------------------------------------------------

std::unique_ptr<AdapterBackend> MakeBackend(Tool& tool, const FirmwareHeaders* headers) {
  if (!tool.options.simulate) return MakeHardwareBackend();
  std::vector<sim::SimulateOptions> adapters{*tool.options.simulate};
  adapters.insert(adapters.end(), tool.options.moreSimulated.begin(), tool.options.moreSimulated.end());
  std::vector<std::uint32_t> heads;
  for (const auto& a : adapters) heads.push_back(headers ? SimHeadAddress(a, *headers) : 0);
  return std::make_unique<SimulatedBackend>(std::move(adapters), heads);
}

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
std::uint32_t SimHeadAddress(const sim::SimulateOptions& o, const FirmwareHeaders& h) {
  if (o.headAddress) return *o.headAddress;
  const auto& a = o.adapter;
  const bool twoStage = DecideFamily(a.vendorId, a.productId, kStateNoSighting, false).flag == FamilyFlag::TwoStage;
  return twoStage && a.singleNumberVersion ? h.h3.loadAddress() : 0;
}

// Reads a TwoStage adapter's version as the dialog does at connect: the version form
// decides the written set.
int IdentifyForFile(Tool& tool, OpenedFile& f, Connection& c, DeviceFamily& family, UpdateSession& session) {
  Output& out = tool.out;
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

// A file that does not fit is refused before any adapter is touched.
int OpenFileAndAdapter(Tool& tool, const std::string& file, OpenedFile& f, std::unique_ptr<AdapterBackend>& backend,
                       Connection& c, DeviceFamily& family, UpdateSession& session) {
  tool.out.Doc()["file"] = {{"path", file}};
  if (const int code = OpenAndCheckFile(tool, file, f, true, true); code != kExitOk) return code;
  backend = MakeBackend(tool, &f.headers);
  if (const int code = Connect(tool, *backend, c); code != kExitOk) return code;
  return IdentifyForFile(tool, f, c, family, session);
}

}  // namespace korbex::cli
