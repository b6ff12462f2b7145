#include "cli/AllAdapters.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/CliTexts.h"
#include "cli/ExitCodes.h"
#include "cli/JsonViews.h"
#include "cli/Terminal.h"
#include "hid/DeviceFamily.h"
#include "update/UpdateEngine.h"

namespace korbex::cli {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// How often the command's thread passes a Ctrl-C on to the adapters' threads.
constexpr auto kStopPoll = std::chrono::milliseconds(50);

int Rank(int code) {
  int rank = 0;
  for (int c : kExitSeverity) {
    if (c == code) return static_cast<int>(std::size(kExitSeverity)) - rank;
    ++rank;
  }
  return static_cast<int>(std::size(kExitSeverity)) + 1;
}

std::string Named(const AdapterEntry& e) {
  std::string s = e.path + " (" + FamilyName(e.vendorId, e.productId);
  if (!e.serial.empty()) s += ", serial " + e.serial;
  return s + ")";
}

// The adapters' list, --wait included. Empty after reporting why.
std::vector<AdapterEntry> FindAdapters(Tool& tool, AdapterBackend& backend) {
  Output& out = tool.out;
  if (!backend.Supported()) {
    out.Error(kExitNoAdapter, Text(Msg::NoHardwareSupport, out.Language()));
    return {};
  }
  // Watch from here on, so every adapter's restart after Finish is seen.
  backend.Watch();
  auto entries = backend.Enumerate();
  if (entries.empty() && tool.options.waitSeconds > 0) {
    const std::string seconds = std::to_string(tool.options.waitSeconds);
    out.Info(Text(Msg::WaitingForAdapter, out.Language(), {seconds}));
    if (!backend.AwaitAdapter({}, tool.options.waitSeconds * 1000, tool.stop)) {
      out.Error(kExitNoAdapter, Text(tool.stop ? Msg::Cancelled : Msg::NoAdapterInTime, out.Language(), {seconds}));
      return {};
    }
    entries = backend.Enumerate();
  }
  if (entries.empty()) out.Error(kExitNoAdapter, Text(Msg::NoAdapter, out.Language()));
  return entries;
}

// One question for every adapter that is to be written. True when it was answered OK
// (or -y); otherwise says why not.
bool ConfirmAll(Tool& tool, const std::vector<AdapterJob*>& ready) {
  Output& out = tool.out;
  std::string list;
  for (const AdapterJob* j : ready) list += "\n  " + Named(j->entry) + ": " + j->confirmation;
  if (tool.options.yes) {
    out.Info(Text(Msg::ConfirmAllAdapters, out.Language(), {std::to_string(ready.size())}) + list + "\n(" +
             Text(Msg::ConfirmedByYes, out.Language()) + ")");
    return true;
  }
  if (out.Json() || !IsTerminal(stdin)) {
    out.Error(kExitCancelled,
              Text(Msg::ConfirmNeedsYes, out.Language(),
                   {Text(Msg::ConfirmAllAdapters, out.Language(), {std::to_string(ready.size())}) + list}));
    return false;
  }
  out.Result(Text(Msg::ConfirmAllAdapters, out.Language(), {std::to_string(ready.size())}) + list);
  if (out.Ask(Text(Msg::ConfirmPrompt, out.Language()))) return true;
  out.Error(kExitCancelled, Text(Msg::Cancelled, out.Language()));
  return false;
}

void PrintSummary(Output& out, const std::vector<std::unique_ptr<AdapterJob>>& jobs) {
  std::size_t width = 7;
  for (const auto& j : jobs) width = std::max(width, j->entry.path.size());
  char line[512];
  std::snprintf(line, sizeof line, "%-*s  %-11s  %-13s  %-24s  %s", static_cast<int>(width), "adapter", "family",
                "result", "blocks", "seconds");
  out.Result(line);
  for (const auto& j : jobs) {
    std::snprintf(line, sizeof line, "%-*s  %-11s  %-13s  %-24s  %.1f", static_cast<int>(width), j->entry.path.c_str(),
                  FamilyName(j->entry.vendorId, j->entry.productId), ExitName(j->code), j->blocks.empty() ? "-" : j->blocks.c_str(), j->seconds);
    out.Result(line);
  }
}

}  // namespace

int WorseExit(int a, int b) { return Rank(b) > Rank(a) ? b : a; }

int RunOnAllAdapters(Tool& tool, AdapterBackend& backend, const AllAdaptersCommand& command) {
  Output& out = tool.out;
  json& doc = out.Doc();
  doc["all"] = true;
  doc["adapters"] = json::array();
  const auto entries = FindAdapters(tool, backend);
  if (entries.empty()) return kExitNoAdapter;
  if (tool.options.simulate) out.Info(Text(Msg::UsingSimulator, out.Language()));

  std::vector<std::string> labels;
  for (const auto& e : entries) labels.push_back(e.path);
  out.BeginAdapterLines(labels);
  std::vector<std::unique_ptr<AdapterJob>> jobs;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    auto job = std::make_unique<AdapterJob>();
    job->index = i;
    job->entry = entries[i];
    job->out = std::make_unique<Output>(out, i);
    job->tool.reset(new Tool{*job->out, tool.options, {}});
    jobs.push_back(std::move(job));
  }

  // Opened and identified one after another (a version query takes milliseconds);
  // an adapter that cannot be goes no further, the others go on.
  std::vector<AdapterJob*> ready;
  for (auto& j : jobs) {
    j->code = tool.stop ? kExitFailed : command.prepare(*j, backend);
    if (j->code == kExitOk) ready.push_back(j.get());
  }
  const bool confirmed = ready.empty() || !command.confirms || tool.stop || ConfirmAll(tool, ready);
  if (!confirmed) {
    for (AdapterJob* j : ready) j->code = kExitCancelled;  // nothing was written to any
    ready.clear();
  }

  // One thread each. A Ctrl-C reaches each adapter's exchanges through its own stop
  // flag, set from here.
  std::vector<std::thread> threads;
  for (AdapterJob* j : ready) {
    threads.emplace_back([j, &backend, &command] {
      const auto start = Clock::now();
      j->code = command.run(*j, backend);
      j->seconds = std::chrono::duration<double>(Clock::now() - start).count();
      j->done = true;
    });
  }
  for (bool running = !threads.empty(); running;) {
    std::this_thread::sleep_for(kStopPoll);
    running = false;
    for (AdapterJob* j : ready) {
      if (tool.stop) j->tool->stop = true;
      running |= !j->done;
    }
  }
  for (auto& t : threads) t.join();
  out.EndAdapterLines();

  int code = kExitOk;
  json list = json::array();
  for (auto& j : jobs) {
    code = WorseExit(code, j->code);
    json d = j->out->Doc();
    if (!d.contains("adapter")) d["adapter"] = json::object();
    d["path"] = j->entry.path;
    d["exitCode"] = j->code;
    d["exitName"] = ExitName(j->code);
    d["ok"] = j->code == kExitOk;
    d["seconds"] = j->seconds;
    list.push_back(std::move(d));
  }
  doc["adapters"] = list;
  if (!out.Json()) PrintSummary(out, jobs);
  if (code != kExitOk && out.Json() && !doc.contains("error")) {
    // The document's error names the worst adapter's; each adapter's own is in its object.
    for (auto& j : jobs) {
      if (j->code != code) continue;
      const json& d = j->out->Doc();
      const std::string why = d.contains("error") ? d["error"]["message"].get<std::string>() : ExitName(code);
      out.Error(code, j->entry.path + ": " + why);
      break;
    }
  }
  return code;
}

int RunOnAllAdapters(Tool& tool, const std::string& file, bool flash) {
  Output& out = tool.out;
  out.Doc()["file"] = {{"path", file}};
  OpenedFile f;
  if (const int code = OpenAndCheckFile(tool, file, f, true, true); code != kExitOk) return code;
  // Read once; each adapter's engine gets its own image of these bytes (an engine
  // closes its image when it ends).
  std::vector<std::uint8_t> bytes(f.image.Size());
  f.image.Read(0, bytes.data(), bytes.size());
  auto backend = MakeBackend(tool, &f.headers);

  struct State {
    OpenedFile f;
    Connection c;
    DeviceFamily family;
    UpdateSession session;
  };
  AllAdaptersCommand command;
  command.name = flash ? "flash" : "verify";
  command.confirms = flash;
  command.prepare = [&](AdapterJob& j, AdapterBackend& b) {
    auto st = std::make_shared<State>();
    j.state = st;
    st->f.opened = st->f.image.Open(std::make_unique<MemoryFirmwareSource>(bytes));
    st->f.headers = f.headers;
    st->f.sets[0] = f.sets[0];
    st->f.sets[1] = f.sets[1];
    st->f.check = f.check;
    st->f.refusedSet = f.refusedSet;
    if (const int code = OpenEntry(*j.tool, b, j.entry, st->c); code != kExitOk) return code;
    j.out->Doc()["adapter"] = ToJson(st->c.entry);
    const int code = IdentifyForFile(*j.tool, st->f, st->c, st->family, st->session);
    j.confirmation = Utf8(ConfirmationText(st->f.headers, st->session.singleNumberVersion != 0));
    return code;
  };
  command.run = [&](AdapterJob& j, AdapterBackend& b) {
    auto& st = *static_cast<State*>(j.state.get());
    j.tool->options.confirmedForAll = true;
    const json& d = j.out->Doc();
    if (flash) {
      const int code = FlashOpened(*j.tool, st.f, b, st.c, st.family, st.session);
      if (d.contains("blocks"))
        j.blocks = std::to_string(d["blocks"]["written"].get<unsigned>()) + " written, " +
                   std::to_string(d["blocks"]["skipped"].get<unsigned>()) + " skipped";
      return code;
    }
    const int code = VerifyOpened(*j.tool, st.f, st.c, st.session);
    if (d.contains("equal"))
      j.blocks = std::to_string(d["equal"].get<unsigned>()) + " equal, " +
                 std::to_string(d["differing"].get<unsigned>()) + " differ";
    return code;
  };
  const int code = RunOnAllAdapters(tool, *backend, command);
  return SaveSimulatedFlash(tool, backend.get(), code);
}

}  // namespace korbex::cli
