#pragma once
// Everything the tool prints goes through Output: plain text for a person (progress
// bar on a terminal, plain lines otherwise, colour unless NO_COLOR), or one JSON
// document on stdout with --json (errors included, nothing else on stdout).
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace korbex::cli {

enum class Verbosity { Quiet, Normal, Verbose };

struct OutputSettings {
  bool json = false;
  Verbosity verbosity = Verbosity::Normal;
  std::uint16_t language = 1033;
  bool stdoutTerminal = false;  // progress bar instead of plain lines
  bool color = false;           // terminal and NO_COLOR not set
};

class Output {
 public:
  explicit Output(OutputSettings settings);
  // The output of one adapter in a run over several (flash --all, verify --all), used
  // by that adapter's thread alone. It keeps its own document and error; its lines go
  // to parent, which prints them prefixed with the adapter's label (or, on a terminal,
  // keeps its progress on a line of its own among the adapters' lines). Call
  // parent.BeginAdapterLines first.
  Output(Output& parent, std::size_t index);
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Starts a run over several adapters: one label (the path) per adapter, in order.
  // Lines of the adapters' outputs may come from their threads at any time until
  // EndAdapterLines.
  void BeginAdapterLines(std::vector<std::string> labels);
  // Leaves the progress lines as they are and goes on below them.
  void EndAdapterLines();

  const OutputSettings& Settings() const { return settings_; }
  bool Json() const { return settings_.json; }
  std::uint16_t Language() const { return settings_.language; }
  bool Verbose() const { return settings_.verbosity == Verbosity::Verbose; }

  // The JSON document being built (ignored in text mode).
  nlohmann::json& Doc() { return doc_; }

  // A line of the command's own result (list rows, the version, verdicts): printed
  // even with -q.
  void Result(std::string_view line);
  // Success or failure of the whole command, coloured green or red.
  void Outcome(std::string_view line, bool good);
  // Context (adapter, file, phases): not with -q.
  void Info(std::string_view line);
  // Per-block detail: only with -v.
  void Detail(std::string_view line);
  // The error that decides the exit code: stderr in text mode ("korbex-update: …"),
  // "error": {"kind", "message"} in JSON. Keeps the first kind; messages add up.
  void Error(int exitCode, std::string_view message);
  // Progress 0..100 with a short label; a bar on a terminal, else a line per change.
  void Progress(std::uint32_t percent, std::string_view label);
  // Ends a bar line so the next output starts on a fresh line.
  void EndProgress();
  // Asks a yes/no question on the terminal; false on anything but yes or on EOF.
  bool Ask(std::string_view question);

  // An output the user named (the --trace file) that could not be written whole: a
  // warning at the end, and the exit code kExitOutputFailed when nothing else failed.
  void OutputLost(std::string message);

  // Prints the JSON document with exitCode and exitName (JSON mode), and returns
  // exitCode, or kExitOutputFailed instead of kExitOk when stdout or stderr could not
  // be written (other than to a reader that went away: EPIPE) or OutputLost was called.
  int Finish(int exitCode);

 private:
  void Print(std::FILE* stream, std::string_view line, const char* color);
  // For an adapter's output: a line (prefixed with the adapter's label when prefix)
  // and a progress change, printed under lines_->mutex.
  void AdapterLine(std::size_t index, std::FILE* stream, std::string_view line, const char* color, bool prefix);
  void AdapterProgress(std::size_t index, std::uint32_t percent, std::string_view label);
  // On a terminal: takes the adapters' progress lines off the screen / draws them
  // below the cursor. Under lines_->mutex.
  void EraseAdapterBars();
  void DrawAdapterBars();
  // fflush, and notes the first failed write of stream (errno) for Finish.
  void Flush(std::FILE* stream);
  OutputSettings settings_;
  nlohmann::json doc_ = nlohmann::json::object();
  bool barActive_ = false;
  int lastPercent_ = -1;
  bool errorSet_ = false;
  int stdoutErrno_ = 0;  // first failed write to stdout, other than EPIPE
  int stderrErrno_ = 0;
  std::vector<std::string> lost_;

  Output* parent_ = nullptr;  // set for an adapter's output
  std::size_t index_ = 0;
  struct AdapterLines {
    std::mutex mutex;
    std::vector<std::string> labels;
    std::vector<std::string> bars;  // the last progress line of each adapter
    std::vector<int> lastPercent;
    bool drawn = false;  // the bars are on the screen below the cursor's line
  };
  std::unique_ptr<AdapterLines> lines_;  // set during a run over several adapters
};

// Output settings from the environment and the command-line flags.
OutputSettings DetectOutputSettings(bool json, bool quiet, bool verbose);

}  // namespace korbex::cli
