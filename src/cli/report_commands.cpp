// report: the delisting report of a rows file, printed as the texts the report
// page receives, with our listing advice, and optionally as a standalone page.
#include <functional>

#include "analysis/analysis_db.h"
#include "analysis/listing_advice.h"
#include "analysis/report.h"
#include "analysis/report_page.h"
#include "cli/common.h"
#include "net/codec.h"
#include "net/settings.h"

namespace kelvora::cli {
namespace {

constexpr int kExitFailed = 1;

void AddSection(std::string& out, const char* name, const std::string& utf8) {
  out += std::string("== ") + name + " ==\n";
  out += utf8;
  if (utf8.empty() || utf8.back() != '\n') out += '\n';
}

}  // namespace

int RunReport(const Options& o, CliHost& host) {
  std::optional<std::string> source, htmlOut;
  for (size_t i = 0; i < o.arguments.size(); ++i) {
    const std::string& arg = o.arguments[i];
    if (arg == "--html" || arg.rfind("--html=", 0) == 0) {
      if (arg == "--html") {
        if (i + 1 >= o.arguments.size()) {
          ErrorLine("report: --html needs a file name");
          return kExitUsage;
        }
        htmlOut = o.arguments[++i];
      } else {
        htmlOut = arg.substr(7);
      }
      if (htmlOut->empty()) {
        ErrorLine("report: --html needs a file name");
        return kExitUsage;
      }
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      ErrorLine("report: unknown option " + arg);
      return kExitUsage;
    } else if (source) {
      ErrorLine("report: one rows file at most");
      return kExitUsage;
    } else {
      source = arg;
    }
  }

  // The page and its chart library come from the program's res folder.
  std::string page, library;
  if (htmlOut) {
    const std::string res = o.programDir + "/res/";
    std::string error;
    if (!ReadSmallFile(res + "b.html", page, error) || !ReadSmallFile(res + "echarts.min.js", library, error)) {
      ErrorLine("report: the report page is missing from " + res + " (" + error + ")");
      return kExitFailed;
    }
  }

  // Rows go into the database as they are read: only the five cells the report
  // uses are converted, and nothing else of the table is kept. A database that
  // failed is reported after the reading, so that bad input is still refused first.
  std::string error;
  AnalysisDb db;
  RowsIntoAnalysis intoDb(db, CliStopToken());
  switch (ReadRows(source.value_or("-"), std::ref(intoDb), error, {CliStopToken()})) {
    case RowsRead::Ok:
      break;
    case RowsRead::Stopped:
      return ExitCodeAfterRun();
    case RowsRead::Refused:
    case RowsRead::TooManyRows:
      ErrorLine("report: " + error);
      return kExitUsage;
  }
  const AnalysisLoadStatus status = intoDb.finish();

  // A stop ends the report wherever it is; the page that was there stays.
  const auto stopped = [&] { return CliStopToken().stop_requested(); };
  if (status == AnalysisLoadStatus::Stopped || stopped()) return ExitCodeAfterRun();
  if (status != AnalysisLoadStatus::Ok) {
    host.message(AnalysisLoadMessage(status));
    return kExitFailed;
  }
  const DateTime today = TodayUtc8();
  const AnalysisReport report = BuildAnalysisReport(db, today);
  db.close();
  if (stopped()) return ExitCodeAfterRun();
  const ShopHours shop = CurrentShopHours();
  const std::vector<DayAdvice> advice = RecommendListingHours(report.counts, NowUtc8(), shop);

  std::string text;
  AddSection(text, "asd", GbkToUtf8(report.hourSeries));
  AddSection(text, "fgh", GbkToUtf8(report.weekdaySeries));
  AddSection(text, "nr1", GbkToUtf8(report.tables));
  AddSection(text, "\xe6\x8e\xa8\xe8\x8d\x90", GbkToUtf8(AdviceLines(advice)));  // 推荐
  WriteOut(text);

  if (htmlOut) {
    const std::string calls =
        PageFunctionCall("asd", report.hourSeries) + "\n" + PageFunctionCall("fgh", report.weekdaySeries) + "\n" +
        PageFunctionCall("nr1", report.tables) + "\n" + PageFunctionCall("tj", AdviceSeries(advice, shop));
    std::string standalone;
    if (!BuildStandaloneReportPage(page, library, calls, standalone, error)) {
      ErrorLine("report: " + error);
      return kExitFailed;
    }
    // A file that cannot be written is refused output, as for export.
    if (!WriteFileReplacing(*htmlOut, standalone, error, CliStopToken())) {
      if (stopped()) return ExitCodeAfterRun();
      ErrorLine("report: " + error);
      return kExitUsage;
    }
  }
  return ExitCodeAfterRun();
}

}  // namespace kelvora::cli
