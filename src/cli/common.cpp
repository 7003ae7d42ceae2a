#include "cli/common.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "net/codec.h"
#include "net/file_input.h"
#include "net/text.h"

namespace kelvora::cli {

std::atomic<bool> g_stop{false};
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

namespace {
std::stop_source& StopSource() {
  static std::stop_source source;
  return source;
}
}  // namespace

std::stop_token CliStopToken() { return StopSource().get_token(); }
void RequestCliStop() { StopSource().request_stop(); }

int ExitCodeAfterRun(int code) {
  const int signal = g_stopSignal.load();
  return signal > 0 ? 128 + signal : code;
}

void ErrorLine(const std::string& utf8) {
  std::fprintf(stderr, "kelvora-cli: %s\n", utf8.c_str());
  std::fflush(stderr);
}

// Message texts of the core are GBK with CR LF breaks; the terminal wants UTF-8 lines.
std::string TerminalText(const std::string& gbk) {
  // Line breaks go while the text is still GBK: the GBK-aware replace would misread UTF-8.
  std::string text = GbkToUtf8(ReplaceAll(gbk, "\r\n", "\n"));
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

namespace {
// The host whose progress line a row printed to the same terminal must step around.
CliHost* g_progressHost = nullptr;
}  // namespace

CliHost::CliHost(bool quiet) : quiet_(quiet), terminal_(!quiet && ::isatty(STDERR_FILENO)) {
  if (terminal_ && ::isatty(STDOUT_FILENO)) g_progressHost = this;
}

CliHost::~CliHost() {
  if (g_progressHost == this) g_progressHost = nullptr;
  if (progressShown_) std::fputs("\n", stderr);
}

void CliHost::message(const std::string& text) {
  clearProgressLine();
  std::fprintf(stderr, "%s\n", TerminalText(text).c_str());
  drawProgressLine();
}

void CliHost::pause(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopRequested()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) break;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(until - now, std::chrono::milliseconds(20)));
  }
}

namespace {
std::string Clock(double seconds) {
  const long s = std::lround(std::max(seconds, 0.0));
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}
}  // namespace

std::string ProgressLineText(const Progress& p, double seconds) {
  std::string line;
  double fraction = -1;  // of the whole run, when a total is known
  if (p.pagesAsked > 0) {
    // The page being read, the last one once all are done.
    line = "page " + std::to_string(std::min(p.pagesDone + 1, p.pagesAsked)) + " / " + std::to_string(p.pagesAsked) +
           ", " + std::to_string(p.itemsDone) + " items";
    fraction = static_cast<double>(p.pagesDone) / p.pagesAsked;
  } else if (p.itemsAsked > 0) {
    line = std::to_string(std::min(p.itemsDone, p.itemsAsked)) + " / " + std::to_string(p.itemsAsked) + " items";
    fraction = static_cast<double>(p.itemsDone) / p.itemsAsked;
  } else {
    line = std::to_string(p.itemsDone) + " items";
  }
  if (seconds >= 1 && p.itemsDone > 0) {
    char rate[32];
    std::snprintf(rate, sizeof rate, ", %.1f/s", p.itemsDone / seconds);
    line += rate;
  }
  if (fraction > 0 && fraction < 1 && seconds >= 1) line += ", " + Clock(seconds / fraction - seconds) + " left";
  return line;
}

void CliHost::setProgress(const Progress& p) {
  if (!terminal_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!startedSet_) {
    started_ = now;
    startedSet_ = true;
  }
  progressLine_ = ProgressLineText(p, std::chrono::duration<double>(now - started_).count());
  drawProgressLine();
}

void CliHost::setRowCountLabel(const std::string& text) {
  // On a terminal the progress line counts the rows.
  if (!terminal_) progress(text);
}

void CliHost::drawProgressLine() {
  if (terminal_ && !progressLine_.empty()) {
    std::fprintf(stderr, "\r\x1b[K%s", progressLine_.c_str());
    progressShown_ = true;
  }
  std::fflush(stderr);
}

void CliHost::clearProgressLine() {
  if (!progressShown_) return;
  std::fputs("\r\x1b[K", stderr);
  progressShown_ = false;
}

void CliHost::errorLine(const std::string& utf8) {
  clearProgressLine();
  ErrorLine(utf8);
  drawProgressLine();
}

void CliHost::progress(const std::string& text) {
  if (quiet_) return;
  clearProgressLine();
  std::fprintf(stderr, "%s\n", TerminalText(text).c_str());
  drawProgressLine();
}

bool ReadSmallFile(const std::string& path, std::string& out, std::string& error) {
  const FileReadResult read = ReadInputFile(path, kSmallFileLimit, out);
  if (!read.ok()) error = read.error;
  return read.ok();
}

std::string AsEditBoxText(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (text[i] == '\n') {
      out += "\r\n";
    } else {
      out += text[i];
    }
  }
  return out;
}

bool ReadSmallInput(const std::string& source, std::string& out, std::string& error) {
  if (source != "-") return ReadSmallFile(source, out, error);
  out.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = std::string("stdin: cannot be read: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) return true;
    if (out.size() + static_cast<size_t>(n) > kSmallFileLimit) {
      out.clear();
      error = "stdin: larger than " + std::to_string(kSmallFileLimit >> 20) + " MiB";
      return false;
    }
    out.append(buffer, static_cast<size_t>(n));
  }
}

bool WriteOut(const std::string& bytes) {
  std::fflush(stdout);  // whatever went through stdio first stays first
  if (g_progressHost) g_progressHost->clearProgressLine();
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (g_progressHost) g_progressHost->drawProgressLine();
  return true;
}

namespace {
struct Recording {
  history::HistoryRecorder* recorder = nullptr;
  std::string kind, query;
  bool begun = false;
};
Recording& TheRecording() {
  static Recording r;
  return r;
}
}  // namespace

void SetRunRecorder(history::HistoryRecorder* recorder, std::string kind, std::string query) {
  Recording& r = TheRecording();
  r.recorder = recorder;
  r.kind = std::move(kind);
  r.query = std::move(query);
  r.begun = false;
}

history::HistoryRecorder* RunRecorder() { return TheRecording().recorder; }

void BeginRecordedRun() { BeginRecordedRun(TheRecording().query); }

void BeginRecordedRun(const std::string& query) {
  Recording& r = TheRecording();
  if (!r.recorder || r.begun) return;
  r.begun = true;
  r.recorder->beginRun(r.kind, query);
}

void RecordRow(const RowCells& cells, const RowFailures& failures) {
  Recording& r = TheRecording();
  if (r.recorder && r.begun) r.recorder->addRow(cells, failures);
}

void PrintRow(const RowCells& cells, RowFormat format, const RowFailures& failures) {
  // Recorded first: a row on the screen is never ahead of its record by more than the queue.
  RecordRow(cells, failures);
  WriteOut(FormatRow(cells, format, failures) + "\n");
}

void PrintCaptionIfTsv(RowFormat format) {
  if (format != RowFormat::Tsv) return;
  WriteOut(CaptionLine() + "\n");
}

void ReportFailedRequests(CliHost& host, int32_t index, const RowFailures& failures) {
  if (host.quiet() || !failures.any()) return;
  std::string text;
  for (int p = 0; p < kRequestPartCount; ++p) {
    const FailureKind kind = failures.parts[static_cast<size_t>(p)];
    if (kind == FailureKind::None) continue;
    if (!text.empty()) text += ", ";
    text += std::string(RequestPartName(static_cast<RequestPart>(p))) + " (" + FailureKindName(kind) + ")";
  }
  host.errorLine("row " + std::to_string(index) + ": " + text + " failed");
}

}  // namespace kelvora::cli
