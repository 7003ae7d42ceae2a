#include "history/history_diff.h"

#include <iterator>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "net/codec.h"
#include "net/datetime.h"
#include "net/text.h"

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
  std::unordered_map<std::string_view, size_t> last;
  std::vector<size_t> order;
  explicit LastRows(const std::vector<DiffRow>& rows) {
    last.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i)
      if (!rows[i].id.empty()) last[rows[i].id] = i;
    for (size_t i = 0; i < rows.size(); ++i)
      if (!rows[i].id.empty() && last[rows[i].id] == i) order.push_back(i);
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

}  // namespace

bool DelistMoved(const std::string& oldUtf8, const std::string& newUtf8) {
  if (oldUtf8 == newUtf8) return false;
  const auto a = TimeSeconds(oldUtf8), b = TimeSeconds(newUtf8);
  if (!a || !b) return true;  // not times: compared as texts
  return (*b - *a) % kWeekSeconds != 0;
}

DiffRow DiffRowOf(const RowCells& c) {
  return {c[Col(ResultColumn::ItemId)], c[Col(ResultColumn::Title)], c[Col(ResultColumn::Price)],
          c[Col(ResultColumn::Sales)],  c[Col(ResultColumn::Stock)], c[Col(ResultColumn::DelistAt)]};
}

std::vector<DiffLine> DiffRows(const std::vector<RowCells>& a, const std::vector<RowCells>& b) {
  std::vector<DiffRow> slimA, slimB;
  for (const RowCells& c : a) slimA.push_back(DiffRowOf(c));
  for (const RowCells& c : b) slimB.push_back(DiffRowOf(c));
  return DiffRows(slimA, slimB);
}

std::vector<DiffLine> DiffRows(const std::vector<DiffRow>& a, const std::vector<DiffRow>& b) {
  // The fields in the order their lines come, with their captions.
  static const std::pair<std::string DiffRow::*, std::string> kFields[] = {
      {&DiffRow::title, GbkToUtf8(ResultColumns()[Col(ResultColumn::Title)].caption)},
      {&DiffRow::price, GbkToUtf8(ResultColumns()[Col(ResultColumn::Price)].caption)},
      {&DiffRow::sales, GbkToUtf8(ResultColumns()[Col(ResultColumn::Sales)].caption)},
      {&DiffRow::stock, GbkToUtf8(ResultColumns()[Col(ResultColumn::Stock)].caption)},
      {&DiffRow::delist, GbkToUtf8(ResultColumns()[Col(ResultColumn::DelistAt)].caption)},
  };
  const LastRows inA(a), inB(b);
  std::vector<DiffLine> out;
  out.reserve(b.size());
  for (size_t i : inB.order) {
    const DiffRow& now = b[i];
    const auto before = inA.last.find(now.id);
    if (before == inA.last.end()) {
      out.push_back({DiffLine::Kind::Added, now.id, {}, {}, now.title});
      continue;
    }
    const DiffRow& old = a[before->second];
    for (const auto& [member, caption] : kFields) {
      const std::string& o = old.*member;
      const std::string& n = now.*member;
      if (!Comparable(o) || !Comparable(n)) continue;
      const bool changed = member == &DiffRow::delist ? DelistMoved(o, n) : o != n;
      if (changed) out.push_back({DiffLine::Kind::Changed, now.id, caption, o, n});
    }
  }
  for (size_t i : inA.order)
    if (!inB.last.count(a[i].id)) out.push_back({DiffLine::Kind::Removed, a[i].id, {}, {}, a[i].title});
  return out;
}

std::string DiffLineText(const DiffLine& line) {
  switch (line.kind) {
    case DiffLine::Kind::Added:
      return "+\t" + EscapeTsvCell(line.id) + "\t" + EscapeTsvCell(line.newText);
    case DiffLine::Kind::Removed:
      return "-\t" + EscapeTsvCell(line.id) + "\t" + EscapeTsvCell(line.newText);
    case DiffLine::Kind::Changed:
      break;
  }
  return "~\t" + EscapeTsvCell(line.id) + "\t" + line.field + "\t" + EscapeTsvCell(line.oldText) + "\t" +
         EscapeTsvCell(line.newText);
}

}  // namespace kelvora::history
