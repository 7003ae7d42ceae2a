// kelvora-cli: the core without windows, for batch runs, scripts and tests.
#include <fcntl.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/common.h"
#include "history/history_file.h"
#include "history/history_recorder.h"
#include "kelvora_version.h"
#include "lookup/lookup_service.h"
#include "net/codec.h"
#include "net/datetime.h"
#include "net/http.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "net/text.h"
#include "results/host.h"
#include "results/results_table.h"
#include "search/monitored.h"
#include "session/cookie_text.h"
#include "session/login.h"

namespace kelvora::cli {
namespace {

std::atomic<int> gWakeFd{-1};  // write end of the watcher's pipe

// Only async-signal-safe work here: the flags, and a byte that wakes the watcher.
extern "C" void OnStopSignal(int sig) {
  const int savedErrno = errno;
  int none = 0;
  g_stopSignal.compare_exchange_strong(none, sig);
  g_stop.store(true);
  if (const int fd = gWakeFd.load(); fd >= 0) {
    const char one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, 1);
  }
  errno = savedErrno;
}

// Turns a stop signal into a stop of CliStopToken, which aborts the request in
// flight; a handler itself may not touch a stop_source.
class StopWatcher {
 public:
  StopWatcher() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) return;
    gWakeFd = fds_[1];
    // The watcher never takes the signals itself: they reach the thread doing the
    // work, whose interrupted calls must cope (and do: writes resume, curl retries).
    sigset_t stopSignals, old;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &old);
    thread_ = std::thread([this] {
      for (;;) {
        char c = 0;
        const ssize_t n = ::read(fds_[0], &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == 0) return;
        RequestCliStop();
      }
    });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
  ~StopWatcher() {
    if (!thread_.joinable()) return;
    gWakeFd = -1;
    const char zero = 0;
    [[maybe_unused]] const ssize_t n = ::write(fds_[1], &zero, 1);
    thread_.join();
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  StopWatcher(const StopWatcher&) = delete;
  StopWatcher& operator=(const StopWatcher&) = delete;

 private:
  int fds_[2] = {-1, -1};
  std::thread thread_;
};

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted writes resume, so a row being printed is finished; a second
  // signal ends the program at once.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

const char kUsage[] =
    "usage: kelvora-cli [global options] COMMAND [arguments]\n"
    "\n"
    "global options:\n"
    "  --config FILE              settings file (default: kelvora.ini beside the program)\n"
    "  --login USER[:PASSWORD]    sign in to the lookup service first; without the password it\n"
    "                             comes from KELVORA_PASSWORD, else from the terminal\n"
    "  --login-file FILE          the same, USER:PASSWORD read from the first line of FILE\n"
    "  --service-cookie TEXT      lookup-service session cookie instead of signing in\n"
    "  --service-cookie-file FILE the same, read from FILE\n"
    "  --market-cookie TEXT       marketplace cookie text\n"
    "  --market-cookie-file FILE  marketplace cookie text read from FILE\n"
    "  --monitor FILE             monitored item ids (default: cfg_jsid.txt beside the program, or in\n"
    "                             ~/.local/share/kelvora/ when that folder cannot be written)\n"
    "  --delay MS                 grab delay between items in milliseconds (default 200)\n"
    "  --now \"YYYY-MM-DD HH:MM:SS\" UTC+8 time taken as now\n"
    "  --format tsv|jsonl         how rows are printed (default tsv)\n"
    "  --history FILE             record every run and its rows into the history file FILE\n"
    "                             (also when [history] enabled=1 in the settings)\n"
    "  --quiet                    no progress lines on stderr\n"
    "  --help                     this text\n"
    "  --version                  the program's version (and the git commit it was built from)\n"
    "\n"
    "A command line can be read by other users of the machine: give passwords and cookies\n"
    "through --login-file, KELVORA_PASSWORD, the terminal or the *-file options.\n"
    "\n"
    "commands:\n"
    "  item ADDRESS...            one row per item page address\n"
    "  retry [FILE]               re-run the rows whose listing time is missing or\n"
    "                             whose requests failed\n"
    "  keyword KEYWORD [--pages N]  keyword search (N: page-count box text, default 3)\n"
    "  list [--mode list|item] [FILE]  list-page or item-page addresses, one a line (stdin without FILE)\n"
    "  categories [--cat ID]      first-level categories, or the second-level ones of ID\n"
    "  category --cat ID [--sub ID] [--keyword TEXT] [--pages N]  category search (N default 3)\n"
    "  shop NICKNAME [--pages N]  a seller's items (N default 5)\n"
    "  pages --first TEXT --last TEXT ADDRESS  one list-page address a page\n"
    "  report [FILE] [--html OUT] delisting counts by hour and quarter hour, the weekday\n"
    "                             series and the listing advice; --html writes the page\n"
    "  export --out PATH [FILE]   write rows to an Excel workbook (.xls or .xlsx by PATH)\n"
    "  history runs               the recorded runs, newest first\n"
    "  history show RUN           a run's rows, as the command printed them\n"
    "  history item ID            every recorded row of an item, oldest first\n"
    "  history diff RUN_A RUN_B   new (+), changed (~) and gone (-) items from run A to run B\n"
    "  history prune --keep-days N  remove the runs started more than N days ago\n"
    "  watch [--shop NICKNAME [--pages N]]  look up the monitored items again (and the shop),\n"
    "                             record the run and print what changed since the last watch;\n"
    "                             exit 0 when nothing changed, 1 when something did\n"
    "\n"
    "Ctrl-C (or SIGTERM) stops after the current item, aborting its request in flight;\n"
    "every printed row is whole and the exit code is 130 (SIGTERM: 143). export and\n"
    "report stop at once and leave the file at their output path as it was.\n"
    "\n"
    "A row whose requests failed gets a line on stderr, and in jsonl a fifteenth\n"
    "element {\"failed\":[...]}; retry runs it again. Example settings file:\n"
    "  [http]\n"
    "  retries=2            ; send a GET that got no whole answer again, twice at most\n"
    "  total_timeout=120    ; seconds for one request\n";

std::string ProgramDirectory(const char* argv0) {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::string path = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string(argv0);
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool ParseDelay(const std::string& text, int& ms) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  ms = std::stoi(text);
  return true;
}

bool ParseNow(const std::string& text, DateTime& value) {
  int y, mo, d, h, mi, s, consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &consumed) != 6 ||
      static_cast<size_t>(consumed) != text.size())
    return false;
  if (y < 100 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || h < 0 || mi < 0 || s < 0)
    return false;
  value = MakeDateTime(y, mo, d, h, mi, s);
  const DateParts back = SplitDateTime(value);
  return back.year == y && back.month == mo && back.day == d;  // refuses 2月30日 and the like
}

// The first line of a text, without its CR LF or LF.
std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// A password typed at the terminal, without echo.
bool ReadPasswordFromTerminal(std::string& password) {
  termios old{};
  if (::tcgetattr(STDIN_FILENO, &old) != 0) return false;
  termios quiet = old;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  std::fputs("password: ", stderr);
  std::fflush(stderr);
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  char buffer[1024];
  const bool got = std::fgets(buffer, sizeof buffer, stdin) != nullptr;
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
  std::fputs("\n", stderr);
  if (!got) return false;
  password = FirstLine(buffer);
  std::memset(buffer, 0, sizeof buffer);
  return true;
}

// User and password of --login USER:PASSWORD, --login-file FILE, or --login USER with
// the password from KELVORA_PASSWORD or the terminal. True with both empty when no
// sign-in was asked for.
bool Credentials(const Options& o, std::string& user, std::string& password, std::string& error) {
  std::string given;
  if (o.loginFile) {
    std::string text;
    if (!ReadSmallFile(*o.loginFile, text, error)) {
      error = "--login-file: " + error;
      return false;
    }
    given = FirstLine(text);
    if (given.find(':') == std::string::npos) {
      error = "--login-file: the first line must be USER:PASSWORD";
      return false;
    }
  } else if (o.login) {
    given = *o.login;
  } else {
    return true;
  }
  const size_t colon = given.find(':');
  user = given.substr(0, colon);
  if (colon != std::string::npos) {
    password = given.substr(colon + 1);
  } else if (const char* env = std::getenv("KELVORA_PASSWORD")) {
    password = env;
  } else if (!::isatty(STDIN_FILENO) || !ReadPasswordFromTerminal(password)) {
    error = "--login " + user + ": no password (give USER:PASSWORD, set KELVORA_PASSWORD or type it at a terminal)";
    return false;
  }
  return true;
}

// Parses the global options and the command; false with `error` set on a usage error.
bool ParseCommandLine(int argc, char** argv, Options& o, std::string& error) {
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) break;
    std::string name = arg, value;
    bool hasValue = false;
    if (const size_t eq = arg.find('='); eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasValue = true;
    }
    // Where the value sits in argv, so that a secret can be wiped from it.
    char* valueBytes = hasValue ? argv[i] + (arg.find('=') + 1) : nullptr;
    auto takeValue = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= argc) {
        error = name + " needs a value";
        return false;
      }
      valueBytes = argv[++i];
      value = valueBytes;
      return true;
    };
    // Other users of the machine can read a command line for as long as the process
    // runs: once copied, a secret is overwritten there.
    auto wipeValue = [&] {
      if (valueBytes) std::memset(valueBytes, 'x', std::strlen(valueBytes));
    };
    if (name == "--help") {
      o.help = true;
    } else if (name == "--version") {
      o.version = true;
    } else if (name == "--quiet") {
      o.quiet = true;
    } else if (name == "--config") {
      if (!takeValue()) return false;
      o.config = value;
    } else if (name == "--login") {
      if (!takeValue()) return false;
      o.login = value;
      // The user name stays readable; only what follows the colon is a secret.
      if (const size_t colon = value.find(':'); colon != std::string::npos && valueBytes)
        std::memset(valueBytes + colon + 1, 'x', value.size() - colon - 1);
    } else if (name == "--login-file") {
      if (!takeValue()) return false;
      o.loginFile = value;
    } else if (name == "--service-cookie") {
      if (!takeValue()) return false;
      o.serviceCookie = value;
      wipeValue();
    } else if (name == "--service-cookie-file") {
      if (!takeValue()) return false;
      o.serviceCookieFile = value;
    } else if (name == "--market-cookie") {
      if (!takeValue()) return false;
      o.marketCookie = value;
      wipeValue();
    } else if (name == "--market-cookie-file") {
      if (!takeValue()) return false;
      o.marketCookieFile = value;
    } else if (name == "--monitor") {
      if (!takeValue()) return false;
      o.monitor = value;
    } else if (name == "--history") {
      if (!takeValue()) return false;
      if (value.empty()) {
        error = "--history needs a file name";
        return false;
      }
      o.history = value;
    } else if (name == "--delay") {
      if (!takeValue()) return false;
      if (!ParseDelay(value, o.delayMs)) {
        error = "--delay wants a number of milliseconds, not \"" + value + "\"";
        return false;
      }
    } else if (name == "--now") {
      if (!takeValue()) return false;
      o.now = value;
    } else if (name == "--format") {
      if (!takeValue()) return false;
      if (value == "tsv")
        o.format = RowFormat::Tsv;
      else if (value == "jsonl")
        o.format = RowFormat::Jsonl;
      else {
        error = "--format is tsv or jsonl, not \"" + value + "\"";
        return false;
      }
    } else {
      error = "unknown option " + name;
      return false;
    }
  }
  if (o.help || o.version) return true;
  if (i >= argc) {
    error = "no command given (try --help)";
    return false;
  }
  o.command = argv[i++];
  for (; i < argc; ++i) o.arguments.push_back(argv[i]);
  if ((o.login.has_value() + o.loginFile.has_value() + o.serviceCookie.has_value() + o.serviceCookieFile.has_value()) >
      1) {
    error = "--login, --login-file, --service-cookie and --service-cookie-file exclude each other";
    return false;
  }
  if (o.marketCookie && o.marketCookieFile) {
    error = "--market-cookie and --market-cookie-file exclude each other";
    return false;
  }
  return true;
}

using CommandFn = int (*)(const Options&, CliHost&);
struct Command {
  const char* name;
  CommandFn run;  // null: not built yet
};

// One line per command; a command group lives in its own file.
constexpr Command kCommands[] = {
    {"item", RunItem},   {"retry", RunRetry},           {"keyword", RunKeyword},
    {"list", RunList},   {"categories", RunCategories}, {"category", RunCategory},
    {"shop", RunShop},   {"report", RunReport},         {"export", RunExport},
    {"pages", RunPages}, {"history", RunHistory},       {"watch", RunWatch},
};

// The commands that produce rows, each recorded as one run when a history file is in use.
bool RecordsRuns(const std::string& command) {
  for (const char* name : {"item", "retry", "keyword", "list", "category", "shop", "watch"})
    if (command == name) return true;
  return false;
}

// The history file a command uses, "" for none (see Options::historyPath).
std::string HistoryPathOf(const Options& o, const Settings& settings) {
  if (o.history) return *o.history;
  const HistorySettings& h = settings.history;
  if (h.enabled.value_or(false)) return h.file.empty() ? DefaultHistoryPath() : h.file;
  if ((o.command == "history" || o.command == "watch") && !h.file.empty()) return h.file;
  return {};
}

// Opens the history file for recording, says what happened to it on stderr, and
// removes the runs older than [history] keep_days. Null (with the reason said)
// when it cannot be used.
std::unique_ptr<history::HistoryFile> OpenHistoryForRecording(const Options& o, const Settings& settings) {
  std::string error;
  std::vector<std::string> notes;
  auto file = history::HistoryFile::open(o.historyPath, error, &notes);
  for (const std::string& note : notes) ErrorLine("history: " + note);
  if (!file) {
    ErrorLine("history: " + error);
    return nullptr;
  }
  if (const int keep = o.historyKeepDays; keep > 0)
    file->pruneStartedBefore(history::NowSeconds() - int64_t{keep} * 86400);
  return file;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

int Run(int argc, char** argv) {
  Options o;
  std::string error;
  if (!ParseCommandLine(argc, argv, o, error)) {
    ErrorLine(error);
    return kExitUsage;
  }
  if (o.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (o.version) {
    std::fputs("kelvora-cli " KELVORA_VERSION_TEXT "\n", stdout);
    return kExitOk;
  }
  o.programDir = ProgramDirectory(argv[0]);
  const std::string& programDir = o.programDir;

  Settings settings;
  if (!LoadProgramSettings(o.config, programDir, settings, error) || !ApplySettings(settings, error)) {
    ErrorLine(error);
    return kExitUsage;
  }

  const Command* command = FindCommand(o.command);
  if (!command || !command->run) {
    ErrorLine(command ? o.command + ": not yet available" : "unknown command " + o.command + " (try --help)");
    return kExitUsage;
  }

  if (o.now) {
    DateTime now;
    if (!ParseNow(*o.now, now)) {
      ErrorLine("--now wants \"YYYY-MM-DD HH:MM:SS\", not \"" + *o.now + "\"");
      return kExitUsage;
    }
    SetNowOverride(now);
  }

  if (o.marketCookie || o.marketCookieFile) {
    std::string pasted;
    if (o.marketCookieFile) {
      if (!ReadSmallFile(*o.marketCookieFile, pasted, error)) {
        ErrorLine("--market-cookie-file: " + error);
        return kExitUsage;
      }
    } else {
      pasted = *o.marketCookie;
    }
    const CookieTextResult cookie = NormalizeCookieText(Utf8ToGbk(AsEditBoxText(pasted)));
    if (!cookie.accepted) {
      std::fprintf(stderr, "%s\n", TerminalText(cookie.refusal).c_str());
      return kExitUsage;
    }
    SetMarketCookie(cookie.cookie);
  }

  CliHost host(o.quiet);
  // An unreadable id file is an empty list, as a missing one is; the status says why.
  std::string monitorStatus;
  LoadMonitoredItems(o.monitor ? *o.monitor : MonitoredFilePath(programDir), &monitorStatus);
  if (!monitorStatus.empty()) host.setStatus(monitorStatus);

  StopWatcher watcher;
  InstallStopHandlers();
  // A file-size limit makes writes fail (the history says so once) instead of ending the program.
  std::signal(SIGXFSZ, SIG_IGN);
  SetThreadStopToken(CliStopToken());

  if (o.serviceCookie) SetServiceCookie(Utf8ToGbk(*o.serviceCookie));
  if (o.serviceCookieFile) {
    std::string text;
    if (!ReadSmallFile(*o.serviceCookieFile, text, error)) {
      ErrorLine("--service-cookie-file: " + error);
      return kExitUsage;
    }
    SetServiceCookie(Utf8ToGbk(FirstLine(text)));
  }
  std::string user, password;
  if (!Credentials(o, user, password, error)) {
    ErrorLine(error);
    return kExitUsage;
  }
  if (o.login || o.loginFile) {
    const LoginResult login = ServiceLogin(Utf8ToGbk(user), Utf8ToGbk(password));
    if (login.outcome != LoginOutcome::Success) {
      if (g_stopSignal.load()) return ExitCodeAfterRun(kExitLogin);
      if (login.message.empty())
        ErrorLine("sign-in refused by the lookup service");
      else
        std::fprintf(stderr, "%s\n", TerminalText(login.message).c_str());
      return kExitLogin;
    }
    if (login.cookie.empty()) {
      ErrorLine("sign-in answer carried no session cookie");
      return kExitLogin;
    }
    if (!o.quiet) std::fprintf(stderr, "%s\n", TerminalText(login.message).c_str());
  }

  std::unique_ptr<history::HistoryRecorder> recorder;
  o.historyPath = HistoryPathOf(o, settings);
  o.historyKeepDays = settings.history.keepDays;
  if (!o.historyPath.empty() && RecordsRuns(o.command)) {
    auto file = OpenHistoryForRecording(o, settings);
    // Asked for a history that cannot be kept: nothing has run yet, so say no now.
    if (!file) return kExitUsage;
    recorder =
        std::make_unique<history::HistoryRecorder>(std::move(file), [](const std::string& text) { ErrorLine(text); });
    std::string query;
    for (size_t i = 0; i < o.arguments.size(); ++i) query += (i ? " " : "") + o.arguments[i];
    SetRunRecorder(recorder.get(), o.command, query);
  }

  const int code = command->run(o, host);
  if (recorder) {
    using history::RunState;
    const bool done = code == kExitOk || (o.command == "watch" && code == 1);
    recorder->endRun(g_stopSignal.load() ? RunState::Stopped : done ? RunState::Done : RunState::Failed);
    SetRunRecorder(nullptr, {}, {});
    recorder.reset();  // writes what is queued
  }
  return ExitCodeAfterRun(code);
}

}  // namespace
}  // namespace kelvora::cli

int main(int argc, char** argv) { return kelvora::cli::Run(argc, argv); }
