#include "cli/common.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
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

void ErrorLine(const std::string& utf8) {
  std::fprintf(stderr, "kelvora-cli: %s\n", utf8.c_str());
  std::fflush(stderr);
}

// Message texts of the core are GBK with CR LF breaks; the terminal wants UTF-8 lines.
std::string TerminalText(const std::string& gbk) {
  std::string text = ReplaceAll(GbkToUtf8(gbk), "\r\n", "\n");
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

void CliHost::message(const std::string& text) {
  std::fprintf(stderr, "%s\n", TerminalText(text).c_str());
  std::fflush(stderr);
}

void CliHost::pause(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopRequested()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) break;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        until - now, std::chrono::milliseconds(20)));
  }
}

void CliHost::progress(const std::string& text) {
  if (quiet_) return;
  std::fprintf(stderr, "%s\n", TerminalText(text).c_str());
  std::fflush(stderr);
}

bool ReadSmallFile(const std::string& path, std::string& out, std::string& error) {
  const FileReadResult read = ReadInputFile(path, kSmallFileLimit, out);
  if (!read.ok()) error = read.error;
  return read.ok();
}

bool WriteOut(const std::string& bytes) {
  std::fflush(stdout);  // whatever went through stdio first stays first
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void PrintRow(const RowCells& cells, RowFormat format, const RowFailures& failures) {
  WriteOut(FormatRow(cells, format, failures) + "\n");
}

void PrintCaptionIfTsv(RowFormat format) {
  if (format != RowFormat::Tsv) return;
  WriteOut(CaptionLine() + "\n");
}

void ReportFailedRequests(const CliHost& host, int32_t index, const RowFailures& failures) {
  if (host.quiet() || !failures.any()) return;
  std::string text;
  for (int p = 0; p < kRequestPartCount; ++p) {
    const FailureKind kind = failures.parts[static_cast<size_t>(p)];
    if (kind == FailureKind::None) continue;
    if (!text.empty()) text += ", ";
    text += std::string(RequestPartName(static_cast<RequestPart>(p))) + " (" + FailureKindName(kind) + ")";
  }
  ErrorLine("row " + std::to_string(index) + ": " + text + " failed");
}

}  // namespace kelvora::cli
