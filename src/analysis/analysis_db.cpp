#include "analysis/analysis_db.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <memory>
#include <unordered_map>

#include "net/codec.h"
#include "net/datetime.h"
#include "net/text.h"

namespace kelvora {

const char kAnalysisTableSql[] =
    "CREATE TABLE \"tab\" (\r\n"
    "\"id\"  INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,\r\n"
    "\"itemid\"  TEXT,\r\n"
    "\"title\"  TEXT,\r\n"
    "\"shangjia\"  INTEGER,\r\n"
    "\"xiajia\"  INTEGER,\r\n"
    "\"dplx\"  TEXT,\r\n"
    "\"loc\"  TEXT\r\n"
    ")\r\n"
    ";";

namespace {

constexpr size_t kInsertBatch = 50;  // rows per statement, 250 parameters

// "INSERT INTO tab (itemid, shangjia, xiajia, dplx, loc) VALUES (?, ?, ?, ?, ?)" for `rows` rows.
std::string InsertSql(size_t rows) {
  std::string sql = "INSERT INTO tab (itemid, shangjia, xiajia, dplx, loc) VALUES ";
  for (size_t i = 0; i < rows; ++i) sql += i ? ",(?, ?, ?, ?, ?)" : "(?, ?, ?, ?, ?)";
  return sql;
}

// A prepared statement released on every way out.
class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql) {
    if (db) sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

int ColumnByName(sqlite3_stmt* stmt, std::string_view name) {
  const int n = sqlite3_column_count(stmt);
  for (int i = 0; i < n; ++i)
    if (const char* c = sqlite3_column_name(stmt, i); c && name == c) return i;
  return -1;
}

// Shop types and locations repeat across thousands of rows; convert each distinct
// text once. Entries stay put while bound to a statement (no eviction).
class Utf8Cache {
 public:
  const std::string& get(const std::string& gbk) {
    auto it = map_.find(gbk);
    if (it != map_.end()) return it->second;
    return map_.emplace(gbk, GbkToUtf8(gbk)).first->second;
  }

 private:
  std::unordered_map<std::string, std::string> map_;
};

bool IsAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

std::string SqlTextLiteral(std::string_view text) { return ReplaceAll(text, "'", "''"); }

int64_t TimeTextSeconds(std::string_view gbkText) { return DateToUnix(TextToDate(gbkText)); }

std::string TimeTextToSeconds(std::string_view gbkText) { return NumberText(TimeTextSeconds(gbkText)); }

std::string AnalysisLoadMessage(AnalysisLoadStatus status) {
  switch (status) {
    case AnalysisLoadStatus::OpenFailed:
      return "\xbc\xd3\xd4\xd8\xc4\xda\xb4\xe6\xca\xfd\xbe\xdd\xbf\xe2\xca\xa7\xb0\xdc\xa3\xa1";  // 加载内存数据库失败！
    case AnalysisLoadStatus::CreateFailed:
      return "\xbd\xa8\xc1\xa2\xc4\xda\xb4\xe6\xca\xfd\xbe\xdd\xbf\xe2\xca\xa7\xb0\xdc\xa3\xa1";  // 建立内存数据库失败！
    case AnalysisLoadStatus::InsertFailed:
      return "\xbd\xa8\xc1\xa2\xc4\xda\xb4\xe6\xca\xfd\xbe\xdd\xbf\xe2\xca\xa7\xb0\xdc"
             "1\xa3\xa1";  // 建立内存数据库失败1！
    case AnalysisLoadStatus::Ok:
    case AnalysisLoadStatus::Stopped:
      break;
  }
  return {};
}

AnalysisDb::AnalysisDb() = default;
AnalysisDb::~AnalysisDb() { close(); }

void AnalysisDb::close() {
  loading_.reset();
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool AnalysisDb::open() {
  close();
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    if (db) sqlite3_close_v2(db);
    return false;
  }
  db_ = db;
  return true;
}

bool AnalysisDb::exec(std::string_view sql) {
  if (!db_) return false;
  const std::string text(sql);
  return sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Rows on their way into the table: the statement of a full batch, and the texts
// of the batch being gathered (bound when it is full).
struct AnalysisDb::Loading {
  std::unique_ptr<Statement> full;
  struct Pending {
    std::string itemId, shopType, location;
    int64_t shangjia = 0, xiajia = 0;
  };
  std::array<Pending, kInsertBatch> pending;
  size_t count = 0;
  AnalysisLoadStatus status = AnalysisLoadStatus::Ok;
};

AnalysisLoadStatus AnalysisDb::fail(AnalysisLoadStatus status) {
  if (status == AnalysisLoadStatus::InsertFailed || status == AnalysisLoadStatus::Stopped) exec("ROLLBACK TRANSACTION");
  loading_->status = status;
  loading_->full.reset();
  return status;
}

AnalysisLoadStatus AnalysisDb::begin() {
  const bool opened = open();
  loading_ = std::make_unique<Loading>();
  if (!opened) return fail(AnalysisLoadStatus::OpenFailed);
  if (!exec(kAnalysisTableSql)) return fail(AnalysisLoadStatus::CreateFailed);
  exec("BEGIN TRANSACTION");
  return AnalysisLoadStatus::Ok;
}

bool AnalysisDb::insertPending() {
  Loading& l = *loading_;
  // Rows go in by batches: one statement per row would spend most of the load on
  // the statement itself and on the AUTOINCREMENT bookkeeping.
  std::unique_ptr<Statement> tail;
  Statement* statement = nullptr;
  if (l.count == kInsertBatch) {
    if (!l.full) l.full = std::make_unique<Statement>(db_, InsertSql(kInsertBatch));
    statement = l.full.get();
  } else {
    tail = std::make_unique<Statement>(db_, InsertSql(l.count));
    statement = tail.get();
  }
  if (!*statement) return false;
  sqlite3_stmt* s = statement->get();
  sqlite3_reset(s);
  for (size_t k = 0; k < l.count; ++k) {
    const Loading::Pending& row = l.pending[k];
    const int p = static_cast<int>(k) * 5;
    sqlite3_bind_text(s, p + 1, row.itemId.data(), static_cast<int>(row.itemId.size()), SQLITE_STATIC);
    sqlite3_bind_int64(s, p + 2, row.shangjia);
    sqlite3_bind_int64(s, p + 3, row.xiajia);
    sqlite3_bind_text(s, p + 4, row.shopType.data(), static_cast<int>(row.shopType.size()), SQLITE_STATIC);
    sqlite3_bind_text(s, p + 5, row.location.data(), static_cast<int>(row.location.size()), SQLITE_STATIC);
  }
  const int rc = sqlite3_step(s);
  sqlite3_reset(s);
  l.count = 0;
  return rc == SQLITE_DONE;
}

AnalysisLoadStatus AnalysisDb::add(std::string_view itemIdUtf8, int64_t shangjia, int64_t xiajia,
                                   std::string_view shopTypeUtf8, std::string_view locationUtf8,
                                   const std::stop_token& stop) {
  if (!loading_) return AnalysisLoadStatus::InsertFailed;
  Loading& l = *loading_;
  if (l.status != AnalysisLoadStatus::Ok) return l.status;
  // A stop request is heard between batches.
  if (l.count == 0 && stop.stop_requested()) return fail(AnalysisLoadStatus::Stopped);
  Loading::Pending& row = l.pending[l.count++];
  row.itemId.assign(itemIdUtf8);
  row.shangjia = shangjia;
  row.xiajia = xiajia;
  row.shopType.assign(shopTypeUtf8);
  row.location.assign(locationUtf8);
  if (l.count == kInsertBatch && !insertPending()) return fail(AnalysisLoadStatus::InsertFailed);
  return AnalysisLoadStatus::Ok;
}

AnalysisLoadStatus AnalysisDb::finish() {
  if (!loading_) return AnalysisLoadStatus::InsertFailed;
  AnalysisLoadStatus status = loading_->status;
  if (status == AnalysisLoadStatus::Ok && loading_->count > 0 && !insertPending())
    status = fail(AnalysisLoadStatus::InsertFailed);
  loading_.reset();
  if (status == AnalysisLoadStatus::Ok) exec("COMMIT TRANSACTION");
  return status;
}

AnalysisLoadStatus AnalysisDb::load(const std::vector<RowCells>& rows, std::stop_token stop) {
  AnalysisLoadStatus status = begin();
  Utf8Cache shopTypes, locations;
  std::string itemId;
  for (size_t r = 0; status == AnalysisLoadStatus::Ok && r < rows.size(); ++r) {
    const RowCells& row = rows[r];
    const std::string& id = row[static_cast<int>(ResultColumn::ItemId)];
    status =
        add(IsAscii(id) ? id : (itemId = GbkToUtf8(id)), TimeTextSeconds(row[static_cast<int>(ResultColumn::ListedAt)]),
            TimeTextSeconds(row[static_cast<int>(ResultColumn::DelistAt)]),
            shopTypes.get(row[static_cast<int>(ResultColumn::ShopType)]),
            locations.get(row[static_cast<int>(ResultColumn::Location)]), stop);
  }
  const AnalysisLoadStatus finished = finish();
  return status != AnalysisLoadStatus::Ok ? status : finished;
}

bool AnalysisDb::select(std::string_view sql, std::vector<std::string>& columns,
                        std::vector<std::vector<SqlValue>>& rows) const {
  columns.clear();
  rows.clear();
  Statement q(db_, sql);
  if (!q) return false;
  sqlite3_stmt* s = q.get();
  const int n = sqlite3_column_count(s);
  for (int i = 0; i < n; ++i) columns.emplace_back(sqlite3_column_name(s, i));
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    std::vector<SqlValue>& row = rows.emplace_back();
    for (int i = 0; i < n; ++i) {
      switch (sqlite3_column_type(s, i)) {
        case SQLITE_INTEGER:
          row.emplace_back(static_cast<int64_t>(sqlite3_column_int64(s, i)));
          break;
        case SQLITE_FLOAT:
          row.emplace_back(sqlite3_column_double(s, i));
          break;
        case SQLITE_NULL:
          row.emplace_back(SqlNull{});
          break;
        default: {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
          row.emplace_back(std::string(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(s, i))));
        }
      }
    }
  }
  return rc == SQLITE_DONE;
}

bool AnalysisDb::forEachDelisting(const std::function<void(int64_t)>& fn) const {
  Statement q(db_, "select * from tab");
  if (!q) return false;
  const int column = ColumnByName(q.get(), "xiajia");
  if (column < 0) return false;
  int rc;
  while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) fn(sqlite3_column_int64(q.get(), column));
  return rc == SQLITE_DONE;
}

int64_t AnalysisDb::countBetween(int64_t start, int64_t end) const {
  const std::string sql =
      "select count(id) as cnt from tab where xiajia between " + std::to_string(start) + " and " + std::to_string(end);
  Statement q(db_, sql);
  if (!q || sqlite3_step(q.get()) != SQLITE_ROW) return 0;
  const int column = ColumnByName(q.get(), "cnt");
  return column < 0 ? 0 : sqlite3_column_int64(q.get(), column);
}

}  // namespace kelvora
