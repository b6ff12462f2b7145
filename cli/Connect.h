#pragma once
// The step the adapter commands share before they do their own work: open the firmware
// file and judge it, pick and open the adapter, ask a TwoStage adapter its version, and
// judge the file again for the set that adapter takes. Each step reports its own
// failure through Output and returns the exit code (kExitOk to go on), so a command
// only returns what a step returned.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "cli/Adapters.h"
#include "cli/Commands.h"
#include "cli/TraceChannel.h"
#include "hid/DeviceFamily.h"
#include "identity/UpdateSession.h"
#include "protocol/BootProtocol.h"
#include "update/FirmwareImage.h"

namespace korbex::cli {

// A path given on the command line (UTF-8 on every system) as the system names it.
std::filesystem::path PathFromUtf8(const std::string& text);

// --- the firmware file ---------------------------------------------------------

struct OpenedFile {
  bool opened = false;
  FirmwareImage image;
  FirmwareHeaders headers;
  // The verdict for each written set (in the order of kWrittenSets), and the file's:
  // the first set that refuses it.
  FileCheckResult sets[2];
  FileCheckResult check;
  WrittenSet refusedSet = WrittenSet::Sections1And2;
};

// Why the file is refused, naming the set when the refusal depends on it.
std::string RefusalReason(const OpenedFile& f);

// Opens the file and judges it for both written sets. With setKnownLater a refusal that
// depends on the set is left to RefuseForWrittenSet; every other refusal is made here,
// before any adapter is touched. Returns kExitOk, or kExitFileRefused after reporting
// why (a refusal of a file that opened only when reportRefusal).
int OpenAndCheckFile(Tool& tool, const std::string& file, OpenedFile& f, bool reportRefusal, bool setKnownLater);

// The verdict for the set this adapter takes: kExitOk, or kExitFileRefused, reported.
int RefuseForWrittenSet(Tool& tool, OpenedFile& f, WrittenSet set);

// --- adapters ------------------------------------------------------------------

// The simulated adapters with --simulate (one per --simulate; their loader heads where
// SimHeadAddress puts them for headers, the command's file, else at 0), else the
// system's adapters.
std::unique_ptr<AdapterBackend> MakeBackend(Tool& tool, const FirmwareHeaders* headers = nullptr);

// The channel of one opened adapter, watched (and traced with --trace).
struct Connection {
  AdapterEntry entry;
  std::unique_ptr<ReportChannel> device;
  std::unique_ptr<TraceChannel> channel;
  std::unique_ptr<BootLink> link;
};

// Opens this adapter into c: kExitOk, or kExitCannotOpen / kExitNoAdapter, reported.
int OpenEntry(Tool& tool, AdapterBackend& backend, const AdapterEntry& entry, Connection& c);

// Picks the adapter (--device, or the only one present, waiting with --wait) and opens
// it; starts the backend's watch first. Reports the adapter in the document.
int Connect(Tool& tool, AdapterBackend& backend, Connection& c);

// Asks a TwoStage adapter for its version. Returns kExitOk or kExitLoaderSilent.
int QueryVersion(Tool& tool, Connection& c, UpdateSession& session, std::u16string& caption);

// For an opened adapter: its family, its version when TwoStage (reported), the written
// set that follows (in the document), and the file's verdict for that set.
int IdentifyForFile(Tool& tool, OpenedFile& f, Connection& c, DeviceFamily& family, UpdateSession& session);

// Opens and checks the file, makes the backend, connects to the adapter and identifies
// it for the file (IdentifyForFile). backend is set once made, even when a later step
// fails, for SaveSimulatedFlash.
int OpenFileAndAdapter(Tool& tool, const std::string& file, OpenedFile& f, std::unique_ptr<AdapterBackend>& backend,
                       Connection& c, DeviceFamily& family, UpdateSession& session);

// flash-out of the simulated adapter, whatever the command's result: returns code, or
// kExitUsage when the file could not be written and code was kExitOk. backend may be
// null (nothing made yet) or hardware (nothing to save).
int SaveSimulatedFlash(Tool& tool, AdapterBackend* backend, int code);

// Where the simulated loader of these options keeps its head for this file: as
// head-address says, else the section-3 load address when the simulated adapter
// reports a single-number version, else 0.
std::uint32_t SimHeadAddress(const sim::SimulateOptions& o, const FirmwareHeaders& h);

}  // namespace korbex::cli
