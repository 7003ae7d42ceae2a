#pragma once
// What the commands of kelvora-cli share: the parsed options, the host that turns
// the core's progress into stderr lines, and the row printers.
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "app/host.h"
#include "app/results_table.h"
#include "cli/rows.h"

namespace kelvora::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitLogin = 3;

// Set by the interrupt handler; the running command ends after the current row.
extern std::atomic<bool> g_stop;
// The signal that set g_stop (SIGINT or SIGTERM), 0 before any.
extern std::atomic<int> g_stopSignal;
// 0, or 128 + the signal that stopped the command (130 after Ctrl-C, 143 after SIGTERM).
int ExitCodeAfterRun();

struct Options {
  std::string config;
  std::optional<std::string> login;
  std::optional<std::string> serviceCookie;
  std::optional<std::string> marketCookie;
  std::optional<std::string> marketCookieFile;
  std::optional<std::string> monitor;
  int delayMs = 200;
  std::optional<std::string> now;
  RowFormat format = RowFormat::Tsv;
  bool quiet = false;
  bool help = false;
  std::string command;
  std::vector<std::string> arguments;
  std::string programDir;
};

// "kelvora-cli: TEXT" on stderr (UTF-8).
void ErrorLine(const std::string& utf8);
// A GBK message of the core as UTF-8 terminal lines.
std::string TerminalText(const std::string& gbk);

class CliHost : public Host {
 public:
  explicit CliHost(bool quiet) : quiet_(quiet) {}
  void setStatus(const std::string& text) override { progress(text); }
  void setRowCountLabel(const std::string& text) override { progress(text); }
  void message(const std::string& text) override;
  void pause(int ms) override;
  bool stopRequested() const override { return g_stop.load(); }
  // One line rewritten in place, only when stderr is a terminal.
  void setProgress(int pagesDone, int pagesAsked, int itemsDone) override;
  bool quiet() const { return quiet_; }

 private:
  void progress(const std::string& text);
  void clearProgressLine();
  bool quiet_;
  bool progressShown_ = false;
  int terminal_ = -1;  // -1: not asked yet
};

bool ReadWholeFile(const std::string& path, std::string& out);
// Line breaks of a file read on any system as the CR LF of an edit box.
std::string AsEditBoxText(const std::string& text);

void PrintRow(const RowCells& cells, RowFormat format);
void PrintCaptionIfTsv(RowFormat format);

// Commands: each takes the options and the host and returns the exit code.
int RunItem(const Options& o, CliHost& host);
int RunRetry(const Options& o, CliHost& host);
int RunKeyword(const Options& o, CliHost& host);
int RunList(const Options& o, CliHost& host);
int RunCategories(const Options& o, CliHost& host);
int RunCategory(const Options& o, CliHost& host);
int RunShop(const Options& o, CliHost& host);
int RunPages(const Options& o, CliHost& host);
int RunReport(const Options& o, CliHost& host);
int RunExport(const Options& o, CliHost& host);

}  // namespace kelvora::cli
