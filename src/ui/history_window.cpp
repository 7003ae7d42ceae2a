#include "ui/history_window.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "net/codec.h"
#include "ui/desktop_calls_qt.h"
#include "ui/desktop_history_qt.h"

namespace kelvora {
namespace {

const HistoryPrompts* g_prompts = nullptr;

// Where 保留 is kept: the desktop's own settings, beside the results view's columns.
constexpr const char* kKeepDaysKey = "history/keep_days";
constexpr int kMaxKeepDays = 36500;

QString Utf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// Cells are mostly ASCII (numbers, ids, addresses): the same in UTF-8 and GBK.
std::string CellGbk(const std::string& utf8) {
  for (char c : utf8)
    if (static_cast<unsigned char>(c) >= 0x80) return Utf8ToGbk(utf8);
  return utf8;
}

QTableWidgetItem* Item(const QString& text, bool number = false) {
  auto* item = new QTableWidgetItem(text);
  item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
  if (number) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return item;
}

QTableWidget* ListTable(QWidget* parent, const QStringList& captions) {
  auto* t = new QTableWidget(0, static_cast<int>(captions.size()), parent);
  t->setHorizontalHeaderLabels(captions);
  t->setSelectionBehavior(QAbstractItemView::SelectRows);
  t->setEditTriggers(QAbstractItemView::NoEditTriggers);
  t->setWordWrap(false);
  t->verticalHeader()->hide();
  t->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  t->verticalHeader()->setDefaultSectionSize(20);
  t->horizontalHeader()->setHighlightSections(false);
  return t;
}

std::optional<PutMode> AskPutMode(QWidget* parent) {
  if (g_prompts && g_prompts->putMode) return g_prompts->putMode(parent);
  QMessageBox box(QMessageBox::Question, MessageCaption(),
                  QStringLiteral("结果表中已有数据。\n替换：清空结果表后放入；追加：放在现有数据之后。"),
                  QMessageBox::NoButton, parent);
  QPushButton* replace = box.addButton(QStringLiteral("替换"), QMessageBox::AcceptRole);
  QPushButton* append = box.addButton(QStringLiteral("追加"), QMessageBox::AcceptRole);
  box.addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
  box.setDefaultButton(append);
  box.exec();
  if (box.clickedButton() == replace) return PutMode::Replace;
  if (box.clickedButton() == append) return PutMode::Append;
  return std::nullopt;
}

bool Confirm(QWidget* parent, const QString& text) {
  if (g_prompts && g_prompts->confirm) return g_prompts->confirm(parent, text);
  return QMessageBox::question(parent, MessageCaption(), text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
         QMessageBox::Yes;
}

// The table has rows: replace or append? An empty table takes the rows as they are.
std::optional<PutMode> ChoosePutMode(QWidget* parent, const ResultsTable& table) {
  if (table.rowCount() == 0) return PutMode::Append;
  return AskPutMode(parent);
}

}  // namespace

void SetHistoryPrompts(const HistoryPrompts* prompts) { g_prompts = prompts; }

QString RunKindText(const std::string& kind) {
  if (kind == "keyword") return QStringLiteral("标准搜索");
  if (kind == "list") return QStringLiteral("高级搜索");
  if (kind == "category") return QStringLiteral("分类搜索");
  if (kind == "shop") return QStringLiteral("店铺搜索");
  if (kind == "retry") return QStringLiteral("重试失败");
  if (kind == "item") return QStringLiteral("商品查询");
  if (kind == "watch") return QStringLiteral("定时监测");
  return Utf8(kind);
}

QString RunStateText(history::RunState state) {
  switch (state) {
    case history::RunState::Running:
      return QStringLiteral("进行中");
    case history::RunState::Done:
      return QStringLiteral("完成");
    case history::RunState::Stopped:
      return QStringLiteral("已停止");
    case history::RunState::Interrupted:
      return QStringLiteral("中断");
    case history::RunState::Failed:
      return QStringLiteral("失败");
  }
  return {};
}

void PutRunRows(DesktopHistory& history, ResultsTable& table, QObject* receiver, int64_t run,
                std::vector<std::string> ids, PutMode mode, std::function<void(int)> done) {
  struct Loaded {
    std::vector<RowCells> rows;
    std::vector<RowFailures> failures;
    std::vector<std::string> monitored;  // GBK ids of rows marked √
  };
  history.read(receiver,
               [&history, &table, run, ids = std::move(ids), mode,
                done = std::move(done)](history::HistoryFile* file) -> std::function<void()> {
                 auto loaded = std::make_shared<Loaded>();
                 if (file) {
                   std::unordered_set<std::string> wanted(ids.begin(), ids.end());
                   std::vector<history::StoredRow> stored = file->rowsOfRun(run);
                   loaded->rows.reserve(stored.size());
                   loaded->failures.reserve(stored.size());
                   // A list's item seen twice in the run stands by its last row, as in the comparison.
                   std::unordered_map<std::string, size_t> last;
                   if (!wanted.empty())
                     for (size_t i = 0; i < stored.size(); ++i) {
                       const std::string& id = stored[i].cells[static_cast<size_t>(ResultColumn::ItemId)];
                       if (wanted.count(id)) last[id] = i;
                     }
                   const std::string mark = GbkToUtf8(MONITORED_MARK);
                   for (size_t i = 0; i < stored.size(); ++i) {
                     history::StoredRow& r = stored[i];
                     const std::string& id = r.cells[static_cast<size_t>(ResultColumn::ItemId)];
                     if (!wanted.empty() && (!wanted.count(id) || last[id] != i)) continue;
                     RowCells cells;
                     for (size_t c = 0; c < cells.size(); ++c) cells[c] = CellGbk(r.cells[c]);
                     if (r.cells[static_cast<size_t>(ResultColumn::Monitored)] == mark && !id.empty())
                       loaded->monitored.push_back(cells[static_cast<size_t>(ResultColumn::ItemId)]);
                     loaded->rows.push_back(std::move(cells));
                     loaded->failures.push_back(r.failures);
                   }
                 }
                 return [&history, &table, run, mode, loaded, done] {
                   const int count = static_cast<int>(loaded->rows.size());
                   if (mode == PutMode::Replace) table.clearRows();
                   table.appendRows(std::move(loaded->rows), std::move(loaded->failures));
                   // Monitored rows say whether their delisting time moved since before this run.
                   history.lookUpDelistBefore(std::move(loaded->monitored), run, true);
                   if (done) done(count);
                 };
               });
}

int HistoryWindow::SavedKeepDays(int fallback) {
  const QVariant kept = QSettings(QStringLiteral("Dunmar"), QStringLiteral("pormiq")).value(kKeepDaysKey);
  bool ok = false;
  const int days = kept.toInt(&ok);
  return kept.isValid() && ok && days >= 0 && days <= kMaxKeepDays ? days : fallback;
}

HistoryWindow::HistoryWindow(DesktopHistory& history, ResultsTable& table, std::function<bool()> busy, QWidget* parent)
    : QDialog(parent), history_(history), table_(table), busy_(std::move(busy)) {
  setAttribute(Qt::WA_DeleteOnClose);
  setObjectName(QStringLiteral("HistoryWindow"));
  setWindowTitle(QStringLiteral("历史记录"));
  setWindowFlag(Qt::WindowMaximizeButtonHint, true);
  resize(860, 480);

  runs_ =
      ListTable(this, {QStringLiteral("编号"), QStringLiteral("时间"), QStringLiteral("类型"), QStringLiteral("查询"),
                       QStringLiteral("行数"), QStringLiteral("失败"), QStringLiteral("状态")});
  runs_->setObjectName(QStringLiteral("运行列表"));
  runs_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  const int widths[] = {50, 140, 72, 380, 60, 50, 60};
  for (int c = 0; c < 7; ++c) runs_->setColumnWidth(c, widths[c]);
  runs_->horizontalHeader()->setStretchLastSection(true);
  connect(runs_, &QTableWidget::cellDoubleClicked, this, [this] { openSelected(); });

  auto button = [this](const char* name, const char* caption, const char* tip) {
    auto* b = new QPushButton(QString::fromUtf8(caption), this);
    b->setObjectName(QString::fromUtf8(name));
    b->setToolTip(QString::fromUtf8(tip));
    return b;
  };
  auto* open = button("打开", "打开", "把选中记录的数据放入结果表（替换或追加）");
  auto* compare = button("对比", "对比", "选中两次记录，看新增、消失、重新上架和价格、销量、库存、标题的变化");
  auto* remove = button("删除", "删除", "删除选中的记录");
  auto* reload = button("刷新", "刷新", "");
  connect(open, &QPushButton::clicked, this, &HistoryWindow::openSelected);
  connect(compare, &QPushButton::clicked, this, &HistoryWindow::compareSelected);
  connect(remove, &QPushButton::clicked, this, &HistoryWindow::deleteSelected);
  connect(reload, &QPushButton::clicked, this, &HistoryWindow::refresh);

  keepDays_ = new QSpinBox(this);
  keepDays_->setObjectName(QStringLiteral("保留天数"));
  keepDays_->setRange(0, kMaxKeepDays);
  keepDays_->setSpecialValueText(QStringLiteral("全部"));
  keepDays_->setSuffix(QStringLiteral(" 天"));
  keepDays_->setValue(SavedKeepDays(0));
  auto* keep = button("保留", "保留", "只保留最近这些天的记录，更早的删除（0：全部保留）");
  connect(keep, &QPushButton::clicked, this, [this] { applyKeepDays(keepDays_->value()); });

  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("历史状态"));
  status_->setText(QString::fromStdString(history_.path()));
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* buttons = new QHBoxLayout;
  for (QPushButton* b : {open, compare, remove, reload}) buttons->addWidget(b);
  buttons->addStretch(1);
  buttons->addWidget(new QLabel(QStringLiteral("保留最近"), this));
  buttons->addWidget(keepDays_);
  buttons->addWidget(keep);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(buttons);
  layout->addWidget(runs_, 1);
  layout->addWidget(status_);

  connect(&history_, &DesktopHistory::runEnded, this, &HistoryWindow::refresh);
  connect(&history_, &DesktopHistory::opened, this, &HistoryWindow::refresh);
  // The settings' keep_days was applied when the file was opened; the window
  // applies what 保留 saved each time it opens.
  const int days = SavedKeepDays(0);
  if (days > 0) {
    history_.read(this, [days](history::HistoryFile* file) -> std::function<void()> {
      if (file) file->pruneStartedBefore(history::NowSeconds() - int64_t{days} * 86400);
      return {};
    });
  }
  refresh();
}

void HistoryWindow::refresh() {
  history_.read(this, [this](history::HistoryFile* file) -> std::function<void()> {
    auto runs = std::make_shared<std::vector<history::RunInfo>>();
    if (file) *runs = file->runs();
    return [this, runs] { showRuns(std::move(*runs)); };
  });
}

void HistoryWindow::showRuns(std::vector<history::RunInfo> runs) {
  std::vector<int64_t> keep = wantSelected_.empty() ? selectedIds() : wantSelected_;
  wantSelected_.clear();
  shown_ = std::move(runs);
  runs_->setRowCount(0);
  runs_->setRowCount(static_cast<int>(shown_.size()));
  for (int r = 0; r < static_cast<int>(shown_.size()); ++r) {
    const history::RunInfo& run = shown_[static_cast<size_t>(r)];
    runs_->setItem(r, 0, Item(QString::number(run.id), true));
    runs_->setItem(r, 1, Item(QString::fromStdString(history::TimeText(run.started))));
    runs_->setItem(r, 2, Item(RunKindText(run.kind)));
    auto* query = Item(Utf8(run.query));
    query->setToolTip(Utf8(run.query));
    runs_->setItem(r, 3, query);
    runs_->setItem(r, 4, Item(QString::number(run.rows), true));
    runs_->setItem(r, 5, Item(QString::number(run.failed), true));
    runs_->setItem(r, 6, Item(RunStateText(run.state)));
  }
  selectRuns(keep);
  if (!history_.enabled())
    status_->setText(QStringLiteral("历史记录不可用：") + QString::fromStdString(history_.path()));
  else
    status_->setText(QStringLiteral("共 %1 次记录  ").arg(shown_.size()) + QString::fromStdString(history_.path()));
  emit runsShown();
}

void HistoryWindow::selectRuns(const std::vector<int64_t>& ids) {
  runs_->clearSelection();
  for (int r = 0; r < static_cast<int>(shown_.size()); ++r)
    if (std::find(ids.begin(), ids.end(), shown_[static_cast<size_t>(r)].id) != ids.end())
      runs_->selectionModel()->select(runs_->model()->index(r, 0),
                                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

std::vector<int64_t> HistoryWindow::selectedIds() const {
  std::vector<int64_t> ids;
  for (const QModelIndex& index : runs_->selectionModel()->selectedRows())
    if (index.row() < static_cast<int>(shown_.size())) ids.push_back(shown_[static_cast<size_t>(index.row())].id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::optional<PutMode> HistoryWindow::askPutMode() { return ChoosePutMode(this, table_); }

void HistoryWindow::openSelected() {
  const std::vector<int64_t> ids = selectedIds();
  if (ids.size() != 1) {
    ShowMessage(this, QStringLiteral("请选中一次记录再打开。"));
    return;
  }
  if (busy_ && busy_()) {
    ShowMessage(this, QStringLiteral("正在查询，请在结束或停止后再打开。"));
    return;
  }
  const auto mode = askPutMode();
  if (mode) openRun(ids.front(), *mode);
}

void HistoryWindow::openRun(int64_t id, PutMode mode) {
  status_->setText(QStringLiteral("正在打开第 %1 次记录。。。").arg(id));
  PutRunRows(history_, table_, this, id, {}, mode, [this, id](int count) {
    status_->setText(QStringLiteral("已放入结果表：第 %1 次记录，%2 行").arg(id).arg(count));
    emit rowsPut(count);
  });
}

void HistoryWindow::compareSelected() {
  const std::vector<int64_t> ids = selectedIds();
  if (ids.size() != 2) {
    ShowMessage(this, QStringLiteral("请选中两次记录再对比（按住 Ctrl 点选）。"));
    return;
  }
  status_->setText(QStringLiteral("正在对比。。。"));
  const int64_t a = ids[0], b = ids[1];
  history_.read(this, [this, a, b](history::HistoryFile* file) -> std::function<void()> {
    if (!file) return {};
    auto runA = file->run(a), runB = file->run(b);
    if (!runA || !runB) return [this] { refresh(); };
    auto lines = std::make_shared<std::vector<history::DiffLine>>(
        history::DiffRows(file->diffRowsOfRun(a), file->diffRowsOfRun(b)));
    return [this, ra = *runA, rb = *runB, lines] {
      status_->setText(QStringLiteral("第 %1 次与第 %2 次记录：%3 处变化").arg(ra.id).arg(rb.id).arg(lines->size()));
      auto* window = new RunComparisonWindow(history_, table_, busy_, ra, rb, std::move(*lines), this);
      connect(window, &RunComparisonWindow::rowsPut, this, &HistoryWindow::rowsPut);
      window->show();
    };
  });
}

void HistoryWindow::deleteSelected() {
  // A run still being recorded stays: its rows are still coming.
  std::vector<int64_t> ids;
  for (int64_t id : selectedIds())
    for (const history::RunInfo& run : shown_)
      if (run.id == id && run.state != history::RunState::Running) ids.push_back(id);
  if (ids.empty()) return;
  if (!Confirm(this, QStringLiteral("删除选中的 %1 次记录及其数据？删除后不能恢复。").arg(ids.size()))) return;
  history_.read(this, [this, ids](history::HistoryFile* file) -> std::function<void()> {
    bool ok = file != nullptr;
    for (int64_t id : ids) ok = file && file->deleteRun(id) && ok;
    return [this, ok] {
      refresh();
      if (!ok) ShowMessage(this, QStringLiteral("有记录未能删除。"));
    };
  });
}

void HistoryWindow::applyKeepDays(int days) {
  days = std::clamp(days, 0, kMaxKeepDays);
  if (days > 0 && !Confirm(this, QStringLiteral("删除 %1 天以前的记录，以后每次打开时也自动删除？").arg(days))) return;
  QSettings(QStringLiteral("Dunmar"), QStringLiteral("pormiq")).setValue(kKeepDaysKey, days);
  keepDays_->setValue(days);
  if (days == 0) return;
  history_.read(this, [this, days](history::HistoryFile* file) -> std::function<void()> {
    const int64_t removed = file ? file->pruneStartedBefore(history::NowSeconds() - int64_t{days} * 86400) : -1;
    return [this, removed] {
      refresh();
      if (removed >= 0) status_->setText(QStringLiteral("已删除 %1 次较早的记录").arg(removed));
    };
  });
}

RunComparisonWindow::RunComparisonWindow(DesktopHistory& history, ResultsTable& table, std::function<bool()> busy,
                                         const history::RunInfo& a, const history::RunInfo& b,
                                         std::vector<history::DiffLine> lines, QWidget* parent)
    : QDialog(parent), history_(history), table_(table), busy_(std::move(busy)) {
  setAttribute(Qt::WA_DeleteOnClose);
  setObjectName(QStringLiteral("RunComparisonWindow"));
  setWindowTitle(QStringLiteral("对比：第 %1 次 → 第 %2 次").arg(a.id).arg(b.id));
  resize(760, 460);

  using history::DiffLine;
  struct Spec {
    const char* caption;
    DiffLine::Kind kind;
    const char* field;  // Changed lines: the field
    bool fromA;
  };
  const Spec specs[] = {
      {"新增商品", DiffLine::Kind::Added, "", false},
      {"消失商品", DiffLine::Kind::Removed, "", true},
      {"重新上架", DiffLine::Kind::Changed, "下架时间", false},
      {"价格变化", DiffLine::Kind::Changed, "售价", false},
      {"销量变化", DiffLine::Kind::Changed, "当前销量", false},
      {"库存变化", DiffLine::Kind::Changed, "当前库存", false},
      {"标题变化", DiffLine::Kind::Changed, "标题", false},
  };
  for (const Spec& spec : specs) {
    List list;
    list.run = spec.fromA ? a.id : b.id;
    for (const DiffLine& line : lines)
      if (line.kind == spec.kind && (spec.kind != DiffLine::Kind::Changed || line.field == spec.field))
        list.lines.push_back(line);
    list.caption = QStringLiteral("%1 (%2)").arg(QString::fromUtf8(spec.caption)).arg(list.lines.size());
    lists_.push_back(std::move(list));
  }

  auto* heading = new QLabel(this);
  heading->setWordWrap(true);
  heading->setText(QStringLiteral("第 %1 次（%2，%3 %4，%5 行）→ 第 %6 次（%7，%8 %9，%10 行）")
                       .arg(a.id)
                       .arg(QString::fromStdString(history::TimeText(a.started)), RunKindText(a.kind), Utf8(a.query))
                       .arg(a.rows)
                       .arg(b.id)
                       .arg(QString::fromStdString(history::TimeText(b.started)), RunKindText(b.kind), Utf8(b.query))
                       .arg(b.rows));
  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(QStringLiteral("对比列表"));
  for (int i = 0; i < static_cast<int>(lists_.size()); ++i) {
    const List& list = lists_[static_cast<size_t>(i)];
    const bool changed = specs[i].kind == DiffLine::Kind::Changed;
    auto* page = new QWidget(tabs_);
    auto* table =
        ListTable(page, changed ? QStringList{QStringLiteral("itemID"), QStringLiteral("原来"), QStringLiteral("现在")}
                                : QStringList{QStringLiteral("itemID"), QStringLiteral("标题")});
    table->setRowCount(static_cast<int>(list.lines.size()));
    for (int r = 0; r < static_cast<int>(list.lines.size()); ++r) {
      const DiffLine& line = list.lines[static_cast<size_t>(r)];
      table->setItem(r, 0, Item(Utf8(line.id)));
      if (changed) {
        table->setItem(r, 1, Item(Utf8(line.oldText)));
        table->setItem(r, 2, Item(Utf8(line.newText)));
      } else {
        table->setItem(r, 1, Item(Utf8(line.newText)));
      }
    }
    table->setColumnWidth(0, 130);
    table->setColumnWidth(1, changed ? 260 : 520);
    table->horizontalHeader()->setStretchLastSection(true);
    auto* put = new QPushButton(QStringLiteral("放入结果表"), page);
    put->setObjectName(QStringLiteral("放入结果表"));
    put->setEnabled(!list.lines.empty());
    put->setToolTip(specs[i].fromA ? QStringLiteral("这些商品在第 %1 次记录中的数据").arg(a.id)
                                   : QStringLiteral("这些商品在第 %1 次记录中的数据").arg(b.id));
    connect(put, &QPushButton::clicked, this, [this, i] { putList(i); });
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(table, 1);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(put);
    layout->addLayout(row);
    tabs_->addTab(page, list.caption);
  }
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(heading);
  layout->addWidget(tabs_, 1);
}

void RunComparisonWindow::putList(int index) {
  if (busy_ && busy_()) {
    ShowMessage(this, QStringLiteral("正在查询，请在结束或停止后再放入。"));
    return;
  }
  if (const auto mode = ChoosePutMode(this, table_)) putList(index, *mode);
}

void RunComparisonWindow::putList(int index, PutMode mode) {
  if (index < 0 || index >= static_cast<int>(lists_.size())) return;
  const List& list = lists_[static_cast<size_t>(index)];
  if (list.lines.empty()) return;
  std::vector<std::string> ids;
  ids.reserve(list.lines.size());
  for (const history::DiffLine& line : list.lines) ids.push_back(line.id);
  PutRunRows(history_, table_, this, list.run, std::move(ids), mode, [this](int count) { emit rowsPut(count); });
}

}  // namespace kelvora
