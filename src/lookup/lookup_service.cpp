#include "lookup/lookup_service.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <thread>

#include "lookup/item_page.h"
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
  std::string path = "index.php/Getinfo/get?tid=" + itemId + "&_=" +
                     NumberText(static_cast<double>(r1) * static_cast<double>(r2));
  HttpReport report;
  const std::string answer = ServiceGet(path, &report);
  row.failures[RequestPart::Lookup] = report.failure;
  JsonReader reader;
  reader.load("data", answer);
  row.listedAt = ServiceTimeCellText(reader.getText("data.data.sjsj"));
  row.delistAt = ServiceTimeCellText(reader.getText("data.data.xjsj"));
  // The delisting time is UTC+8 wall-clock time, so now is taken the same way
  // whatever zone the computer is set to.
  row.hoursLeft = HoursLeft(row.delistAt, NowUtc8());
}

void FillResultRow(ResultsTable& table, int32_t row, Host& host) {
  // Taken before the requests: a clear during them must not let this item's cells
  // land on a row appended after the clear.
  const uint64_t epoch = table.epoch();
  const std::string address = table.cellText(row, ResultColumn::Link);
  const ResultRow r = AnalyseItemPage(address, false);

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
  // The failures go with the cells: a row filled again without them is whole again.
  const bool written = table.writeColumns(row, cells, 0, 12, epoch, r.failures);

  host.setRowCountLabel(RowCountLabelText(table.rowCount()));

  if (!written || r.itemId.empty()) return;
  const auto monitored = MonitoredItemIds();
  if (!monitored) return;
  for (const std::string& id : *monitored) {
    if (id == r.itemId) {
      cells[13] = MONITORED_MARK;
      table.writeColumns(row, cells, 13, 13, epoch);
      break;  // every further match writes the same mark
    }
  }
}

void RetryFailedRows(ResultsTable& table, Host& host) {
  const int32_t n = table.rowCount();
  for (int32_t i = 0; i < n; ++i) {
    host.processEvents();
    if (host.stopRequested()) return;
    // Besides the rows without a time, every row one of whose requests failed:
    // its cells may look complete ("0" sales) and still be wrong.
    if (table.cellText(i, ResultColumn::ListedAt) == NO_TIME_TEXT || table.failures(i).any())
      FillResultRow(table, i, host);
  }
}

}  // namespace kelvora
