#include "analysis/analysis_db.h"

#include <sqlite3.h>

#include <algorithm>
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

AnalysisDb::~AnalysisDb() { close(); }

void AnalysisDb::close() {
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

AnalysisLoadStatus AnalysisDb::load(const std::vector<RowCells>& rows, std::stop_token stop) {
  if (!open()) return AnalysisLoadStatus::OpenFailed;
  if (!exec(kAnalysisTableSql)) return AnalysisLoadStatus::CreateFailed;
  exec("BEGIN TRANSACTION");
  // Rows go in by batches: one statement per row would spend most of the load on
  // the statement itself and on the AUTOINCREMENT bookkeeping.
  const size_t total = rows.size();
  const size_t fullBatch = std::min(kInsertBatch, std::max<size_t>(total, 1));
  Statement full(db_, InsertSql(fullBatch));
  std::unique_ptr<Statement> tail;
  if (total % fullBatch) tail = std::make_unique<Statement>(db_, InsertSql(total % fullBatch));
  if (!full || (tail && !*tail)) {
    exec("ROLLBACK TRANSACTION");
    return AnalysisLoadStatus::InsertFailed;
  }
  Utf8Cache shopTypes, locations;
  std::vector<std::string> itemIds(fullBatch);
  for (size_t first = 0; first < total; first += fullBatch) {
    if (stop.stop_requested()) {
      exec("ROLLBACK TRANSACTION");
      return AnalysisLoadStatus::Stopped;
    }
    const size_t count = std::min(fullBatch, total - first);
    sqlite3_stmt* s = count == fullBatch ? full.get() : tail->get();
    sqlite3_reset(s);
    for (size_t k = 0; k < count; ++k) {
      const RowCells& row = rows[first + k];
      const std::string& id = row[static_cast<int>(ResultColumn::ItemId)];
      const std::string& itemId = IsAscii(id) ? id : (itemIds[k] = GbkToUtf8(id));
      const std::string& shop = shopTypes.get(row[static_cast<int>(ResultColumn::ShopType)]);
      const std::string& loc = locations.get(row[static_cast<int>(ResultColumn::Location)]);
      const int p = static_cast<int>(k) * 5;
      sqlite3_bind_text(s, p + 1, itemId.data(), static_cast<int>(itemId.size()), SQLITE_STATIC);
      sqlite3_bind_int64(s, p + 2, TimeTextSeconds(row[static_cast<int>(ResultColumn::ListedAt)]));
      sqlite3_bind_int64(s, p + 3, TimeTextSeconds(row[static_cast<int>(ResultColumn::DelistAt)]));
      sqlite3_bind_text(s, p + 4, shop.data(), static_cast<int>(shop.size()), SQLITE_STATIC);
      sqlite3_bind_text(s, p + 5, loc.data(), static_cast<int>(loc.size()), SQLITE_STATIC);
    }
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) {
      exec("ROLLBACK TRANSACTION");
      return AnalysisLoadStatus::InsertFailed;
    }
  }
  exec("COMMIT TRANSACTION");
  return AnalysisLoadStatus::Ok;
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
