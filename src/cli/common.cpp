#include "cli/common.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include <unistd.h>

#include "net/codec.h"
#include "net/text.h"

namespace kelvora::cli {

std::atomic<bool> g_stop{false};
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

int ExitCodeAfterRun() {
  const int signal = g_stopSignal.load();
  return signal > 0 ? 128 + signal : kExitOk;
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

void CliHost::message(const std::string& text) {
  clearProgressLine();
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

void CliHost::setProgress(int pagesDone, int pagesAsked, int itemsDone) {
  if (quiet_) return;
  if (terminal_ < 0) terminal_ = ::isatty(STDERR_FILENO) ? 1 : 0;
  if (!terminal_) return;
  if (pagesAsked > 0)
    std::fprintf(stderr, "\r\x1b[Kpages %d/%d, items %d", pagesDone, pagesAsked, itemsDone);
  else
    std::fprintf(stderr, "\r\x1b[Kitems %d", itemsDone);
  std::fflush(stderr);
  progressShown_ = true;
}

void CliHost::clearProgressLine() {
  if (!progressShown_) return;
  std::fputs("\r\x1b[K", stderr);
  progressShown_ = false;
}

void CliHost::progress(const std::string& text) {
  if (quiet_) return;
  clearProgressLine();
  std::fprintf(stderr, "%s\n", TerminalText(text).c_str());
  std::fflush(stderr);
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
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

void PrintRow(const RowCells& cells, RowFormat format) {
  const std::string line = FormatRow(cells, format);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void PrintCaptionIfTsv(RowFormat format) {
  if (format != RowFormat::Tsv) return;
  const std::string line = CaptionLine();
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace kelvora::cli
