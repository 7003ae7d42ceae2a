#include "history/history_diff.h"

#include <unordered_map>

#include "net/codec.h"
#include "net/datetime.h"

namespace kelvora::history {
namespace {

size_t Col(ResultColumn c) { return static_cast<size_t>(c); }

bool Comparable(const std::string& utf8) {
  static const std::string noTime = GbkToUtf8(NO_TIME_TEXT);
  static const std::string fetchFailed = GbkToUtf8(FETCH_FAILED_TITLE);
  return !utf8.empty() && utf8 != noTime && utf8 != fetchFailed;
}

// Index of the last row of each id; ids in the order of those last rows.
struct LastRows {
  std::unordered_map<std::string, size_t> last;
  std::vector<size_t> order;
  explicit LastRows(const std::vector<RowCells>& rows) {
    for (size_t i = 0; i < rows.size(); ++i) {
      const std::string& id = rows[i][Col(ResultColumn::ItemId)];
      if (!id.empty()) last[id] = i;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
      const std::string& id = rows[i][Col(ResultColumn::ItemId)];
      if (!id.empty() && last[id] == i) order.push_back(i);
    }
  }
};

bool DelistMoved(const std::string& oldUtf8, const std::string& newUtf8) {
  if (oldUtf8 == newUtf8) return false;
  const DateTime a = TextToDate(Utf8ToGbk(oldUtf8));
  const DateTime b = TextToDate(Utf8ToGbk(newUtf8));
  if (a <= kSmallestDate || b <= kSmallestDate) return true;  // not times: compared as texts
  const int64_t delta = DateToUnix(b) - DateToUnix(a);
  return delta % kWeekSeconds != 0;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

std::vector<DiffLine> DiffRows(const std::vector<RowCells>& a, const std::vector<RowCells>& b) {
  static const ResultColumn kFields[] = {ResultColumn::Title, ResultColumn::Price, ResultColumn::Sales,
                                         ResultColumn::Stock, ResultColumn::DelistAt};
  const LastRows inA(a), inB(b);
  std::vector<DiffLine> out;
  for (size_t i : inB.order) {
    const RowCells& now = b[i];
    const std::string& id = now[Col(ResultColumn::ItemId)];
    const auto before = inA.last.find(id);
    if (before == inA.last.end()) {
      out.push_back({DiffLine::Kind::Added, id, {}, {}, now[Col(ResultColumn::Title)]});
      continue;
    }
    const RowCells& old = a[before->second];
    for (ResultColumn field : kFields) {
      const std::string& o = old[Col(field)];
      const std::string& n = now[Col(field)];
      if (!Comparable(o) || !Comparable(n)) continue;
      const bool changed = field == ResultColumn::DelistAt ? DelistMoved(o, n) : o != n;
      if (changed) out.push_back({DiffLine::Kind::Changed, id, GbkToUtf8(ResultColumns()[Col(field)].caption), o, n});
    }
  }
  for (size_t i : inA.order) {
    const std::string& id = a[i][Col(ResultColumn::ItemId)];
    if (!inB.last.count(id)) out.push_back({DiffLine::Kind::Removed, id, {}, {}, a[i][Col(ResultColumn::Title)]});
  }
  return out;
}

std::string DiffLineText(const DiffLine& line) {
  switch (line.kind) {
    case DiffLine::Kind::Added:
      return "+\t" + Escape(line.id) + "\t" + Escape(line.newText);
    case DiffLine::Kind::Removed:
      return "-\t" + Escape(line.id) + "\t" + Escape(line.newText);
    case DiffLine::Kind::Changed:
      break;
  }
  return "~\t" + Escape(line.id) + "\t" + line.field + "\t" + Escape(line.oldText) + "\t" + Escape(line.newText);
}

}  // namespace kelvora::history
