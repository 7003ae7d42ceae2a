#pragma once
// The analysis window's private in-memory SQLite database: one table of the
// results rows, loaded in one transaction and read by the delisting report.
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "results/results_table.h"

struct sqlite3;

namespace kelvora {

// The table's statement, byte for byte (CR LF breaks, two blanks before each type).
extern const char kAnalysisTableSql[];

// The value with every single quote doubled, for a statement between single quotes.
std::string SqlTextLiteral(std::string_view text);
// Seconds since 1970-01-01 08:00:00 of a displayed time text read as a date-time;
// a text that is not a date counts as 0100-01-01 00:00:00 (-59011488000).
int64_t TimeTextSeconds(std::string_view gbkText);
// The same as decimal text, with a leading minus sign when negative.
std::string TimeTextToSeconds(std::string_view gbkText);

enum class AnalysisLoadStatus { Ok, OpenFailed, CreateFailed, InsertFailed, Stopped };
// The message box text of a failed load (GBK); empty for Ok and Stopped.
std::string AnalysisLoadMessage(AnalysisLoadStatus status);

// One stored value as SQLite hands it back.
struct SqlNull {
  bool operator==(const SqlNull&) const = default;
};
using SqlValue = std::variant<SqlNull, int64_t, double, std::string>;

class AnalysisDb {
 public:
  AnalysisDb();
  ~AnalysisDb();
  AnalysisDb(const AnalysisDb&) = delete;
  AnalysisDb& operator=(const AnalysisDb&) = delete;

  // Opens ":memory:", creates the table and inserts one row per results row in
  // one transaction (rolled back when an insert fails). Values are bound, never
  // spliced into the statement; texts go in as UTF-8. A stop request between
  // rows rolls back and gives Stopped.
  AnalysisLoadStatus load(const std::vector<RowCells>& rows, std::stop_token stop = {});
  // The same load row by row, for rows that are read rather than held: begin()
  // opens the database and starts the transaction, add() takes one row (texts as
  // UTF-8 as they are stored, times as TimeTextSeconds gives them), finish()
  // commits. After a failure or a stop (heard between batches of rows) the rows
  // are rolled back and every further call gives that status again.
  AnalysisLoadStatus begin();
  AnalysisLoadStatus add(std::string_view itemIdUtf8, int64_t shangjia, int64_t xiajia, std::string_view shopTypeUtf8,
                         std::string_view locationUtf8, const std::stop_token& stop = {});
  AnalysisLoadStatus finish();

  bool isOpen() const { return db_ != nullptr; }
  void close();

  // Runs a UTF-8 statement; false when SQLite refuses it.
  bool exec(std::string_view sql);
  // Every row of a UTF-8 query with the column names; false when it fails.
  bool select(std::string_view sql, std::vector<std::string>& columns, std::vector<std::vector<SqlValue>>& rows) const;
  // Calls `fn` with each row's xiajia in the order the table returns them
  // (insertion order). False when the query fails.
  bool forEachDelisting(const std::function<void(int64_t)>& fn) const;
  // "select count(id) as cnt from tab where xiajia between START and END".
  int64_t countBetween(int64_t start, int64_t end) const;

 private:
  bool open();
  struct Loading;
  AnalysisLoadStatus fail(AnalysisLoadStatus status);
  bool insertPending();
  sqlite3* db_ = nullptr;
  std::unique_ptr<Loading> loading_;
};

}  // namespace kelvora
