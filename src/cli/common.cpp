#include "cli/common.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "net/codec.h"
#include "net/text.h"

namespace kelvora::cli {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

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

bool ReadWholeFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
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
