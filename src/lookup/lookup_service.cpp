#include "lookup/lookup_service.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <thread>

#include "lookup/item_page.h"
#include "net/codec.h"
#include "net/datetime.h"
#include "net/http.h"
#include "net/json.h"
#include "net/shared_state.h"
#include "net/text.h"

namespace kelvora {
namespace {

unsigned SeedForThisThread() {
  try {
    return std::random_device{}();
  } catch (...) {  // no entropy source: the clock and the thread will do
    return static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
           static_cast<unsigned>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
  }
}

// 0..32767, like the C library's rand(); one generator per thread.
int CacheBusterPart() {
  thread_local std::minstd_rand engine{SeedForThisThread()};
  return std::uniform_int_distribution<int>(0, 32767)(engine);
}

}  // namespace

int32_t LookupService::HoursLeft(const std::string& delistAtText, double nowUtc8) {
  if (delistAtText == NO_TIME_TEXT) return 0;
  const DateTime d = TextToDate(delistAtText);
  // The small addend keeps a time exactly on the hour from reading one hour less.
  const double hours = std::trunc((d - nowUtc8) * 24.0 + 1.0 / 172800.0);
  if (!(hours >= 0)) return 0;
  if (hours > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(hours);
}

void LookupService::queryTimes(const std::string& itemId, ResultRow& row) {
  const int r1 = CacheBusterPart();
  const int r2 = CacheBusterPart();
  std::string path =
      "index.php/Getinfo/get?tid=" + itemId + "&_=" + NumberText(static_cast<int64_t>(r1) * static_cast<int64_t>(r2));
  HttpReport report;
  const std::string answer = ServiceGet(path, &report);
  row.failures[RequestPart::Lookup] = report.failure;
  JsonReader reader;
  const bool whole = reader.load("data", answer);
  std::string listed = reader.getText("data.data.sjsj");
  std::string delisted = reader.getText("data.data.xjsj");
  // A time is seconds or milliseconds since 1970, as text or number; an answer
  // that does not parse, or a time of another form, is not read at all.
  auto isTime = [](const std::string& t) { return t.find_first_not_of("0123456789") == std::string::npos; };
  if (report.failure == FailureKind::None && (!whole || !isTime(listed) || !isTime(delisted))) {
    row.failures[RequestPart::Lookup] = FailureKind::Malformed;
    listed.clear();
    delisted.clear();
  }
  row.listedAt = ServiceTimeCellText(listed);
  row.delistAt = ServiceTimeCellText(delisted);
  // The delisting time is UTC+8 wall-clock time, so now is taken the same way
  // whatever zone the computer is set to.
  row.hoursLeft = HoursLeft(row.delistAt, NowUtc8());
}

namespace {

RowCells CellsOf(const ResultRow& r, int32_t row) {
  RowCells cells;
  cells[0] = NumberText(static_cast<int64_t>(row));
  cells[1] = r.itemId;
  cells[2] = r.title;
  cells[3] = r.link;
  cells[4] = r.seller;
  cells[5] = r.listedAt;
  cells[6] = r.delistAt;
  cells[7] = NumberText(static_cast<int64_t>(r.hoursLeft));
  cells[8] = r.isTmall ? TMALL_SHOP_TEXT : TAOBAO_SHOP_TEXT;
  cells[9] = r.sales;
  cells[10] = r.stock;
  cells[11] = r.price;
  cells[12] = r.location;
  return cells;
}

bool IsFailureText(const std::string& cell) { return cell == NO_TIME_TEXT || cell == FETCH_FAILED_TITLE; }

constexpr int kCol(ResultColumn c) { return static_cast<int>(c); }

// Writes columns 0-12 with the failures, then the row count label and the mark.
void WriteFilledRow(ResultsTable& table, int32_t row, Host& host, uint64_t epoch, RowCells& cells,
                    const RowFailures& failures) {
  // The failures go with the cells: a row filled again without them is whole again.
  const bool written = table.writeColumns(row, cells, 0, 12, epoch, failures);

  host.setRowCountLabel(RowCountLabelText(table.rowCount()));

  const std::string& itemId = cells[kCol(ResultColumn::ItemId)];
  if (!written || itemId.empty()) return;
  const auto monitored = MonitoredItemIds();
  if (!monitored) return;
  for (const std::string& id : *monitored) {
    if (id == itemId) {
      cells[13] = MONITORED_MARK;
      table.writeColumns(row, cells, 13, 13, epoch);
      break;  // every further match writes the same mark
    }
  }
}

bool IsComplete(const RowCells& cells, const RowFailures& failures) {
  return !failures.any() && !IsFailureText(cells[kCol(ResultColumn::Title)]) &&
         cells[kCol(ResultColumn::ListedAt)] != NO_TIME_TEXT && cells[kCol(ResultColumn::DelistAt)] != NO_TIME_TEXT;
}

}  // namespace

void FillResultRow(ResultsTable& table, int32_t row, Host& host) {
  // Taken before the requests: a clear during them must not let this item's cells
  // land on a row appended after the clear.
  const uint64_t epoch = table.epoch();
  const std::string address = table.cellText(row, ResultColumn::Link);
  const ResultRow r = AnalyseItemPage(address, false);
  RowCells cells = CellsOf(r, row);
  WriteFilledRow(table, row, host, epoch, cells, r.failures);
}

RowCells MergeRetriedRow(const RowCells& before, const RowFailures& failedBefore, const ResultRow& attempt, int32_t row,
                         double nowUtc8, RowFailures& failedAfter) {
  const RowCells fresh = CellsOf(attempt, row);
  RowCells out = fresh;
  failedAfter = RowFailures{};
  const int title = kCol(ResultColumn::Title);

  // The page decides what the item is; its cells go together.
  const bool pageNew = (attempt.wasRequested(RequestPart::Page) || attempt.wasRequested(RequestPart::Alternate)) &&
                       attempt.failures[RequestPart::Page] == FailureKind::None &&
                       attempt.failures[RequestPart::Alternate] == FailureKind::None &&
                       fresh[title] != FETCH_FAILED_TITLE;
  const bool pageBefore = failedBefore[RequestPart::Page] == FailureKind::None &&
                          failedBefore[RequestPart::Alternate] == FailureKind::None &&
                          before[title] != FETCH_FAILED_TITLE;
  if (!pageNew && pageBefore) {
    // The page failed this time, so nothing behind it was asked again: the row keeps
    // every cell, and the failures that its cells still show.
    out = before;
    out[kCol(ResultColumn::Index)] = fresh[kCol(ResultColumn::Index)];
    failedAfter = failedBefore;
    out[kCol(ResultColumn::HoursLeft)] =
        NumberText(static_cast<int64_t>(LookupService::HoursLeft(out[kCol(ResultColumn::DelistAt)], nowUtc8)));
    return out;
  }
  if (!pageNew) {
    failedAfter = attempt.failures;  // failed before and now: the newest attempt stands
    return out;
  }

  // Cells behind a request that failed this time keep a value an earlier attempt got;
  // a failure text never replaces a value.
  const bool tmall = fresh[kCol(ResultColumn::ShopType)] == TMALL_SHOP_TEXT;
  auto settle = [&](RequestPart part, std::initializer_list<int> columns) {
    if (!attempt.wasRequested(part)) return;  // the page says it does not apply: the fresh cells stand
    const FailureKind now = attempt.failures[part];
    const bool goodBefore = pageBefore && failedBefore[part] == FailureKind::None;
    bool stillFailed = false;
    for (int c : columns) {
      const bool usableNew = now == FailureKind::None && !IsFailureText(fresh[c]);
      const bool usableOld = goodBefore && !IsFailureText(before[c]);
      if (!usableNew && usableOld) {
        out[c] = before[c];
      } else if (!usableNew && now != FailureKind::None) {
        stillFailed = true;
      }
    }
    if (stillFailed) failedAfter[part] = now;
  };
  if (tmall) {
    settle(RequestPart::Secondary,
           {kCol(ResultColumn::Sales), kCol(ResultColumn::Price), kCol(ResultColumn::Location)});
  } else {
    settle(RequestPart::Secondary, {kCol(ResultColumn::Sales), kCol(ResultColumn::Stock), kCol(ResultColumn::Price),
                                    kCol(ResultColumn::Location)});
  }
  settle(RequestPart::Lookup, {kCol(ResultColumn::ListedAt), kCol(ResultColumn::DelistAt)});
  out[kCol(ResultColumn::HoursLeft)] =
      NumberText(static_cast<int64_t>(LookupService::HoursLeft(out[kCol(ResultColumn::DelistAt)], nowUtc8)));
  return out;
}

namespace {
// Besides the rows without a time, every row one of whose requests failed: its
// cells may look complete ("0" sales) and still be wrong.
bool NeedsRetry(const ResultsTable& table, int32_t row) {
  return table.cellText(row, ResultColumn::ListedAt) == NO_TIME_TEXT || table.failures(row).any();
}
}  // namespace

RetrySummary RetryFailedRows(ResultsTable& table, Host& host, const std::function<int()>& gapMs) {
  RetrySummary summary;
  const int32_t n = table.rowCount();
  Progress progress;
  for (int32_t i = 0; i < n; ++i)
    if (NeedsRetry(table, i)) ++progress.itemsAsked;
  host.setProgress(progress);
  for (int32_t i = 0; i < n; ++i) {
    host.processEvents();
    if (host.stopRequested()) {
      summary.stopped = true;
      break;
    }
    if (!NeedsRetry(table, i)) continue;
    if (summary.retried > 0 && gapMs) {
      // Failed rows are often the marketplace's answer to requests too close together.
      host.pause(std::clamp(gapMs(), 0, (1 << 30) - 1) + 1);
      if (host.stopRequested()) {
        summary.stopped = true;
        break;
      }
    }
    const uint64_t epoch = table.epoch();
    const RowCells before = table.row(i);
    const RowFailures failedBefore = table.failures(i);
    const ResultRow attempt = AnalyseItemPage(before[kCol(ResultColumn::Link)], false);
    RowFailures failedAfter;
    RowCells cells = MergeRetriedRow(before, failedBefore, attempt, i, NowUtc8(), failedAfter);
    WriteFilledRow(table, i, host, epoch, cells, failedAfter);
    ++summary.retried;
    if (IsComplete(cells, failedAfter))
      ++summary.complete;
    else
      ++summary.stillFailed;
    progress.itemsDone = summary.retried;
    progress.itemsAsked = std::max(progress.itemsAsked, progress.itemsDone);
    host.setProgress(progress);
  }
  return summary;
}

std::string RetrySummaryText(const RetrySummary& s) {
  std::string text = Utf8ToGbk(s.stopped ? "重试已停止：" : "重试结束：");
  if (s.retried == 0 && !s.stopped) return text + Utf8ToGbk("没有需要重试的行");
  return text + Utf8ToGbk("重试 ") + NumberText(static_cast<int64_t>(s.retried)) + Utf8ToGbk(" 行，") +
         NumberText(static_cast<int64_t>(s.complete)) + Utf8ToGbk(" 行已完整，") +
         NumberText(static_cast<int64_t>(s.stillFailed)) + Utf8ToGbk(" 行仍失败");
}

}  // namespace kelvora
