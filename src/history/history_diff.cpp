#include "history/history_diff.h"

#include <iterator>
#include <optional>
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

// Seconds of a time cell as the table writes it (2026年12月10日20时0分0秒, the
// parts after the day optional), read straight from UTF-8; else through the
// general reader. None when it holds no time.
std::optional<int64_t> TimeSeconds(const std::string& utf8) {
  static const char* const kMarks[] = {"年", "月", "日", "时", "分", "秒"};
  int parts[6] = {0, 0, 0, 0, 0, 0};
  size_t pos = 0;
  int n = 0;
  for (; n < 6 && pos < utf8.size(); ++n) {
    int v = 0, digits = 0;
    while (pos < utf8.size() && utf8[pos] >= '0' && utf8[pos] <= '9' && digits < 5)
      v = v * 10 + (utf8[pos++] - '0'), ++digits;
    if (digits == 0 || utf8.compare(pos, 3, kMarks[n]) != 0) break;
    pos += 3;
    parts[n] = v;
  }
  if (pos == utf8.size() && n >= 3) {
    const DateTime d = MakeDateTime(parts[0], parts[1], parts[2], parts[3], parts[4], parts[5]);
    const DateParts back = SplitDateTime(d);
    if (back.year == parts[0] && back.month == parts[1] && back.day == parts[2] && parts[3] < 24 && parts[4] < 60 &&
        parts[5] < 60)
      return DateToUnix(d);
  }
  const DateTime d = TextToDate(Utf8ToGbk(utf8));
  if (d <= kSmallestDate) return std::nullopt;
  return DateToUnix(d);
}

bool DelistMoved(const std::string& oldUtf8, const std::string& newUtf8) {
  if (oldUtf8 == newUtf8) return false;
  const auto a = TimeSeconds(oldUtf8), b = TimeSeconds(newUtf8);
  if (!a || !b) return true;  // not times: compared as texts
  return (*b - *a) % kWeekSeconds != 0;
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
  static const std::string kFieldNames[] = {
      GbkToUtf8(ResultColumns()[Col(ResultColumn::Title)].caption),
      GbkToUtf8(ResultColumns()[Col(ResultColumn::Price)].caption),
      GbkToUtf8(ResultColumns()[Col(ResultColumn::Sales)].caption),
      GbkToUtf8(ResultColumns()[Col(ResultColumn::Stock)].caption),
      GbkToUtf8(ResultColumns()[Col(ResultColumn::DelistAt)].caption),
  };
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
    for (size_t f = 0; f < std::size(kFields); ++f) {
      const ResultColumn field = kFields[f];
      const std::string& o = old[Col(field)];
      const std::string& n = now[Col(field)];
      if (!Comparable(o) || !Comparable(n)) continue;
      const bool changed = field == ResultColumn::DelistAt ? DelistMoved(o, n) : o != n;
      if (changed) out.push_back({DiffLine::Kind::Changed, id, kFieldNames[f], o, n});
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
