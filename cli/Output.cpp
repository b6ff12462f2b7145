#include "cli/Output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "cli/CliTexts.h"
#include "cli/ExitCodes.h"
#include "cli/Terminal.h"

namespace korbex::cli {
namespace {
constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kReset = "\x1b[0m";
}  // namespace

OutputSettings DetectOutputSettings(bool json, bool quiet, bool verbose) {
  OutputSettings s;
  s.json = json;
  s.verbosity = quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal;
  s.language = PickLanguage();
  s.stdoutTerminal = IsTerminal(stdout);
  const char* noColor = std::getenv("NO_COLOR");
  // https://no-color.org: any non-empty value turns colour off.
  s.color = s.stdoutTerminal && IsTerminal(stderr) && ConsoleShowsEscapes() && !(noColor && *noColor);
  return s;
}

Output::Output(OutputSettings settings) : settings_(settings) {}

Output::Output(Output& parent, std::size_t index) : settings_(parent.settings_), parent_(&parent), index_(index) {}

void Output::BeginAdapterLines(std::vector<std::string> labels) {
  EndProgress();
  lines_ = std::make_unique<AdapterLines>();
  lines_->bars.assign(labels.size(), std::string());
  lines_->lastPercent.assign(labels.size(), -1);
  lines_->labels = std::move(labels);
}

void Output::EndAdapterLines() {
  if (!lines_) return;
  std::lock_guard<std::mutex> lock(lines_->mutex);
  lines_->drawn = false;  // what is drawn stays; the next line goes below it
}

void Output::EraseAdapterBars() {
  if (!lines_->drawn) return;
  // Up to the first bar line, and clear from there to the end of the screen.
  std::fprintf(stdout, "\x1b[%zuA\r\x1b[J", lines_->bars.size());
  lines_->drawn = false;
}

void Output::DrawAdapterBars() {
  const int width = TerminalWidth(stdout);
  for (const auto& bar : lines_->bars) {
    const std::size_t shown = std::min(bar.size(), static_cast<std::size_t>(std::max(1, width - 1)));
    std::fprintf(stdout, "%.*s\n", static_cast<int>(shown), bar.data());
  }
  Flush(stdout);
  lines_->drawn = true;
}

void Output::AdapterLine(std::size_t index, std::FILE* stream, std::string_view line, const char* color, bool prefix) {
  std::lock_guard<std::mutex> lock(lines_->mutex);
  const bool bars = settings_.stdoutTerminal && lines_->drawn;
  if (bars) EraseAdapterBars();
  Flush(stdout);  // what stdout holds comes before a line on stderr
  std::string text = prefix ? lines_->labels[index] + ": " : std::string();
  text += line;
  if (color && settings_.color) {
    std::fprintf(stream, "%s%s%s\n", color, text.c_str(), kReset);
  } else {
    std::fprintf(stream, "%s\n", text.c_str());
  }
  Flush(stream);
  if (bars) DrawAdapterBars();
}

void Output::AdapterProgress(std::size_t index, std::uint32_t percent, std::string_view label) {
  std::lock_guard<std::mutex> lock(lines_->mutex);
  if (!settings_.stdoutTerminal) {
    if (static_cast<int>(percent) == lines_->lastPercent[index]) return;
    lines_->lastPercent[index] = static_cast<int>(percent);
    std::fprintf(stdout, "%s: progress %3u%% %.*s\n", lines_->labels[index].c_str(), percent,
                 static_cast<int>(label.size()), label.data());
    Flush(stdout);
    return;
  }
  // All bars are redrawn together, each on its own line, the adapters in order.
  std::size_t labelWidth = 0;
  for (const auto& l : lines_->labels) labelWidth = std::max(labelWidth, l.size());
  const int barWidth = 30;
  const int filled = static_cast<int>(percent) * barWidth / 100;
  std::string bar = lines_->labels[index];
  bar.append(labelWidth - bar.size() + 2, ' ');
  bar += "[";
  bar.append(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(barWidth - filled), '.');
  char pct[8];
  std::snprintf(pct, sizeof pct, "] %3u%% ", percent);
  bar += pct;
  bar += label;
  lines_->bars[index] = std::move(bar);
  lines_->lastPercent[index] = static_cast<int>(percent);
  EraseAdapterBars();
  DrawAdapterBars();
}

void Output::Flush(std::FILE* stream) {
  errno = 0;
  if (std::fflush(stream) == 0 && !std::ferror(stream)) return;
  const int error = errno != 0 ? errno : EIO;
  std::clearerr(stream);
  // A reader that went away (`… | head -1`) took what it wanted: not a lost output.
  if (error == EPIPE) return;
  int& first = stream == stdout ? stdoutErrno_ : stderrErrno_;
  if (first == 0) first = error;
}

void Output::OutputLost(std::string message) { lost_.push_back(std::move(message)); }

void Output::Print(std::FILE* stream, std::string_view line, const char* color) {
  if (parent_) {
    parent_->AdapterLine(index_, stream, line, color, true);
    return;
  }
  EndProgress();
  if (color && settings_.color) {
    std::fprintf(stream, "%s%.*s%s\n", color, static_cast<int>(line.size()), line.data(), kReset);
  } else {
    std::fprintf(stream, "%.*s\n", static_cast<int>(line.size()), line.data());
  }
  Flush(stream);
}

void Output::Result(std::string_view line) {
  if (!settings_.json) Print(stdout, line, nullptr);
}

void Output::Outcome(std::string_view line, bool good) {
  if (!settings_.json) Print(stdout, line, good ? kGreen : kRed);
}

void Output::Info(std::string_view line) {
  if (!settings_.json && settings_.verbosity != Verbosity::Quiet) Print(stdout, line, nullptr);
}

void Output::Detail(std::string_view line) {
  if (!settings_.json && settings_.verbosity == Verbosity::Verbose) Print(stdout, line, nullptr);
}

void Output::Error(int exitCode, std::string_view message) {
  if (settings_.json) {
    if (!errorSet_) {
      doc_["error"] = {{"kind", ExitName(exitCode)}, {"message", std::string(message)}};
      errorSet_ = true;
    } else {
      std::string& m = doc_["error"]["message"].get_ref<std::string&>();
      m += "\n";
      m += message;
    }
    return;
  }
  EndProgress();
  std::string line = "korbex-update: ";
  if (parent_) {
    line += parent_->lines_->labels[index_] + ": ";
    line += message;
    parent_->AdapterLine(index_, stderr, line, kRed, false);
    return;
  }
  line += message;
  Print(stderr, line, kRed);
}

void Output::Progress(std::uint32_t percent, std::string_view label) {
  if (settings_.json || settings_.verbosity == Verbosity::Quiet) return;
  if (percent > 100) percent = 100;
  if (parent_) {
    parent_->AdapterProgress(index_, percent, label);
    return;
  }
  if (!settings_.stdoutTerminal) {
    // Plain lines for logs and pipes: one per change, no carriage returns.
    if (static_cast<int>(percent) == lastPercent_) return;
    lastPercent_ = static_cast<int>(percent);
    std::fprintf(stdout, "progress %3u%% %.*s\n", percent, static_cast<int>(label.size()), label.data());
    Flush(stdout);
    return;
  }
  const int width = TerminalWidth(stdout);
  const int barWidth = std::max(10, std::min(50, width - 40));
  const int filled = static_cast<int>(percent) * barWidth / 100;
  std::string line = "\r[";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(barWidth - filled), '.');
  line += "] ";
  char pct[8];
  std::snprintf(pct, sizeof pct, "%3u%% ", percent);
  line += pct;
  line += label;
  // Pad over what a longer label left on the line.
  const std::size_t visible = line.size() - 1;
  if (static_cast<int>(visible) < width - 1) line.append(static_cast<std::size_t>(width - 1) - visible, ' ');
  std::fwrite(line.data(), 1, line.size(), stdout);
  Flush(stdout);
  barActive_ = true;
  lastPercent_ = static_cast<int>(percent);
}

void Output::EndProgress() {
  if (!barActive_) return;
  std::fputc('\n', stdout);
  Flush(stdout);
  barActive_ = false;
}

bool Output::Ask(std::string_view question) {
  EndProgress();
  std::fwrite(question.data(), 1, question.size(), stdout);
  Flush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::fputc('\n', stdout);
    return false;
  }
  while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES" || answer == "是";
}

int Output::Finish(int exitCode) {
  EndProgress();
  // A run that otherwise succeeded does not exit 0 when an output the user asked for
  // was lost.
  if (!lost_.empty() && exitCode == kExitOk) exitCode = kExitOutputFailed;
  if (settings_.json) {
    if (!lost_.empty()) doc_["warnings"] = lost_;
    doc_["exitCode"] = exitCode;
    doc_["exitName"] = ExitName(exitCode);
    doc_["ok"] = exitCode == kExitOk;
    std::string text = doc_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    Flush(stdout);
  } else {
    for (const auto& w : lost_) Print(stderr, "korbex-update: " + w, nullptr);
  }
  // Said last, on stderr: the lost output may be the JSON document itself.
  if (stdoutErrno_ != 0) {
    std::fprintf(stderr, "korbex-update: cannot write standard output: %s\n", std::strerror(stdoutErrno_));
    std::fflush(stderr);
  }
  if ((stdoutErrno_ != 0 || stderrErrno_ != 0) && exitCode == kExitOk) exitCode = kExitOutputFailed;
  return exitCode;
}

}  // namespace korbex::cli
