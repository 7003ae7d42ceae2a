// keyword, list, categories, category and shop: the search modes without windows.
#include <cstdio>
#include <map>
#include <optional>
#include <set>

#include "cli/common.h"
#include "net/codec.h"
#include "net/text.h"
#include "search/category_search.h"
#include "search/keyword_search.h"
#include "search/list_search.h"
#include "search/search_run.h"
#include "search/shop_search.h"

namespace kelvora::cli {
namespace {

// A command's own options ("--name value" or "--name=value") and its other arguments.
struct CommandArgs {
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;
};

bool ParseCommandArgs(const std::string& command, const std::vector<std::string>& args,
                      const std::set<std::string>& known, CommandArgs& out) {
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      if (arg == "--" && !optionsEnded)
        optionsEnded = true;
      else
        out.positional.push_back(arg);
      continue;
    }
    std::string name = arg, value;
    if (const size_t eq = arg.find('='); eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      ErrorLine(command + ": " + name + " needs a value");
      return false;
    }
    if (!known.count(name)) {
      ErrorLine(command + ": unknown option " + name);
      return false;
    }
    out.options[name] = value;
  }
  return true;
}

std::optional<std::string> Option(const CommandArgs& a, const std::string& name) {
  const auto it = a.options.find(name);
  if (it == a.options.end()) return std::nullopt;
  return it->second;
}

// A category id as the drop-down's item value: a whole number.
bool ParseCategoryId(const std::string& text, int32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  const long long v = std::stoll(text);
  if (v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int32_t>(v);
  return true;
}

// Runs one search with its rows printed as the per-item driver completes them.
class SearchPrinter {
 public:
  SearchPrinter(const Options& o, CliHost& host) : run_(table_, host) {
    run_.grabDelayText = [delay = NumberText(static_cast<int64_t>(o.delayMs))] { return delay; };
    run_.rowDone = [this, format = o.format, &host](int32_t row) {
      const RowFailures failures = table_.failures(row);
      PrintRow(table_.row(row), format, failures);
      ReportFailedRequests(host, row, failures);
    };
    // Always shown, also with --quiet: the rows printed lack this page's items.
    run_.pageFailed = [&host](const FailedPage& page) {
      host.errorLine(TerminalText(Utf8ToGbk("结果页获取失败：") + FailedPageText(page)));
    };
    BeginRecordedRun();
    PrintCaptionIfTsv(o.format);
  }
  SearchRun& run() { return run_; }

 private:
  ResultsTable table_;
  SearchRun run_;
};

int Finish(CliHost& host) {
  if (host.stopRequested()) host.errorLine("interrupted; the rows above are complete");
  return ExitCodeAfterRun();
}

int Refuse(CliHost& host, const std::string& message) {
  host.message(message);
  return kExitUsage;
}

}  // namespace

int RunKeyword(const Options& o, CliHost& host) {
  CommandArgs a;
  if (!ParseCommandArgs("keyword", o.arguments, {"--pages"}, a)) return kExitUsage;
  if (a.positional.size() != 1) {
    ErrorLine("keyword: give one KEYWORD");
    return kExitUsage;
  }
  const std::string keyword = Utf8ToGbk(a.positional[0]);
  if (const std::string refusal = KeywordRefusal(keyword); !refusal.empty()) return Refuse(host, refusal);
  SearchPrinter printer(o, host);
  KeywordSearchWorker(printer.run(), keyword, Utf8ToGbk(Option(a, "--pages").value_or("3")));
  return Finish(host);
}

int RunList(const Options& o, CliHost& host) {
  CommandArgs a;
  if (!ParseCommandArgs("list", o.arguments, {"--mode"}, a)) return kExitUsage;
  const std::string mode = Option(a, "--mode").value_or("list");
  if (mode != "list" && mode != "item") {
    ErrorLine("list: --mode is list or item, not \"" + mode + "\"");
    return kExitUsage;
  }
  if (a.positional.size() > 1) {
    ErrorLine("list: one FILE at most");
    return kExitUsage;
  }
  std::string input, error;
  const std::string source = a.positional.empty() ? std::string("-") : a.positional[0];
  if (!ReadSmallInput(source, input, error)) {
    ErrorLine("list: " + error);
    return kExitUsage;
  }
  const std::string text = Utf8ToGbk(AsEditBoxText(input));
  if (text.empty()) return Refuse(host, SearchText(SearchTextId::NoAddress));
  SearchPrinter printer(o, host);
  ListAddressSearch(printer.run(), text, mode == "list" ? LIST_MODE_LIST_PAGES : LIST_MODE_ITEM_PAGES);
  return Finish(host);
}

int RunCategories(const Options& o, CliHost& host) {
  CommandArgs a;
  if (!ParseCommandArgs("categories", o.arguments, {"--cat"}, a)) return kExitUsage;
  if (!a.positional.empty()) {
    ErrorLine("categories: unexpected argument " + a.positional[0]);
    return kExitUsage;
  }
  std::vector<CategoryEntry> entries;
  if (const auto cat = Option(a, "--cat")) {
    int32_t value = 0;
    if (!ParseCategoryId(*cat, value)) {
      ErrorLine("categories: --cat wants a category id, not \"" + *cat + "\"");
      return kExitUsage;
    }
    entries = LoadSubCategories(host, value);
  } else {
    entries = LoadTopCategories(host);
  }
  for (const CategoryEntry& e : entries) WriteOut(std::to_string(e.value) + "\t" + GbkToUtf8(e.name) + "\n");
  return ExitCodeAfterRun();
}

int RunCategory(const Options& o, CliHost& host) {
  CommandArgs a;
  if (!ParseCommandArgs("category", o.arguments, {"--cat", "--sub", "--keyword", "--pages"}, a)) return kExitUsage;
  if (!a.positional.empty()) {
    ErrorLine("category: unexpected argument " + a.positional[0]);
    return kExitUsage;
  }
  CategoryQuery query;
  const auto cat = Option(a, "--cat");
  if (cat && !ParseCategoryId(*cat, query.topValue)) {
    ErrorLine("category: --cat wants a category id, not \"" + *cat + "\"");
    return kExitUsage;
  }
  // Without a first-level category (or with the placeholder's 0) the query button refuses.
  if (const std::string refusal = CategoryRefusal(cat && query.topValue != 0 ? 1 : 0); !refusal.empty())
    return Refuse(host, refusal);
  if (const auto sub = Option(a, "--sub")) {
    int32_t value = 0;
    if (!ParseCategoryId(*sub, value)) {
      ErrorLine("category: --sub wants a category id, not \"" + *sub + "\"");
      return kExitUsage;
    }
    query.subValue = value;
  }
  query.keyword = Utf8ToGbk(Option(a, "--keyword").value_or(""));
  query.pagesText = Utf8ToGbk(Option(a, "--pages").value_or("3"));
  SearchPrinter printer(o, host);
  CategorySearchWorker(printer.run(), query);
  return Finish(host);
}

int RunShop(const Options& o, CliHost& host) {
  CommandArgs a;
  if (!ParseCommandArgs("shop", o.arguments, {"--pages"}, a)) return kExitUsage;
  if (a.positional.size() != 1) {
    ErrorLine("shop: give one NICKNAME");
    return kExitUsage;
  }
  const std::string nickname = Utf8ToGbk(a.positional[0]);
  if (const std::string refusal = ShopRefusal(nickname); !refusal.empty()) return Refuse(host, refusal);
  SearchPrinter printer(o, host);
  ShopSearch(printer.run(), nickname, Utf8ToGbk(Option(a, "--pages").value_or("5")));
  return Finish(host);
}

}  // namespace kelvora::cli
