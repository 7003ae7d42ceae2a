#include "app/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSettings>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <algorithm>
#include <mutex>
#include <set>

#include "analysis/analysis_window.h"
#include "analysis/export_qt.h"
#include "lookup/lookup_service.h"
#include "net/codec.h"
#include "net/endpoints.h"
#include "net/network_probe.h"
#include "net/request_stop.h"
#include "net/text.h"
#include "search/monitored.h"
#include "search/monitored_ids_editor_window.h"
#include "search/search_tabs_qt.h"
#include "session/login.h"
#include "session/session_qt.h"
#include "ui/browser_pane_qt.h"
#include "ui/desktop_calls_qt.h"
#include "ui/desktop_history_qt.h"
#include "ui/desktop_host_qt.h"
#include "ui/history_window.h"
#include "ui/item_history_window.h"
#include "ui/results_model.h"
#include "ui/results_sort_model.h"
#include "ui/results_view_qt.h"
#include "wizard/search_wizard_window.h"

namespace kelvora {

namespace {

const char* const kQueryButtons[] = {"按钮1", "按钮8", "按钮9", "按钮10", "按钮13"};

template <typename W>
W* Named(W* widget, const char* name, QRect geometry) {
  widget->setObjectName(QString::fromUtf8(name));
  widget->setGeometry(geometry);
  return widget;
}

QLabel* Label(QWidget* parent, const char* name, const char* text, QRect geometry) {
  return Named(new QLabel(QString::fromUtf8(text), parent), name, geometry);
}

QPushButton* Button(QWidget* parent, const char* name, const char* text, QRect geometry) {
  return Named(new QPushButton(QString::fromUtf8(text), parent), name, geometry);
}

QLineEdit* Edit(QWidget* parent, const char* name, const char* text, QRect geometry) {
  return Named(new QLineEdit(QString::fromUtf8(text), parent), name, geometry);
}

QComboBox* Combo(QWidget* parent, const char* name, QRect geometry) {
  return Named(new QComboBox(parent), name, geometry);
}

// The form's integer boxes take a minus sign and the ASCII digits only, so what
// a search reads is what the box shows.
QLineEdit* IntegerEdit(QLineEdit* edit, int maxLength) {
  static const QRegularExpression kInteger(QStringLiteral("-?[0-9]*"));
  edit->setValidator(new QRegularExpressionValidator(kInteger, edit));
  edit->setMaxLength(maxLength);
  return edit;
}

QLineEdit* PageCountEdit(QLineEdit* edit) {
  edit->setAlignment(Qt::AlignCenter);
  return IntegerEdit(edit, 2);
}

// Enter in a query box runs its tab's query, as in any search box.
void SubmitOnEnter(QWidget* tab, const char* editName, QPushButton* button) {
  auto* edit = tab->findChild<QLineEdit*>(QString::fromUtf8(editName));
  QObject::connect(edit, &QLineEdit::returnPressed, button, [button] {
    if (button->isEnabled()) button->click();
  });
}

class CompactTabStyle : public QProxyStyle {
 public:
  int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
    if (metric == PM_TabBarTabHSpace) return 12;
    return QProxyStyle::pixelMetric(metric, option, widget);
  }
};

// The results view's column widths and order, beside the version stamp.
constexpr const char* kHeaderStateKey = "results/header";

QString VendorAddress(const char* path) { return FromGbk(CurrentEndpoints()->VENDOR_SITE + path); }

}  // namespace

MainWindow::MainWindow(MainWindowOptions options, QWidget* parent) : QWidget(parent), options_(std::move(options)) {
  programDir_ = options_.programDir.isEmpty() ? QCoreApplication::applicationDirPath() : options_.programDir;
  setObjectName(QStringLiteral("MainWindow"));
  // The layout is in pixels of a 12-pixel font. The window opens at its usual size
  // and may grow: the results take the extra room, the search area keeps its place.
  QFont f = font();
  f.setPixelSize(12);
  setFont(f);
  setMinimumSize(930, 480);
  resize(930, 661);
  move(50, 50);

  buildControls();
  host_ = std::make_unique<DesktopHost>(
      DesktopHost::Controls{this, statusLabel_, countLabel_, accountLabel_, progress_, progressText_});
  host_->setAccountTextSource(&AccountLabelText);
  connect(stopButton_, &QPushButton::clicked, this, [this] { host_->requestStop(); });

  // The search tabs run their own worker; the window's running state (query
  // buttons, 停止, the progress bar) follows it as it follows a retry.
  searchTabs_ = new SearchTabsController(this, table_, *host_, [this](bool running) {
    if (running) {
      beginOperation();
    } else {
      endOperation();
    }
  });
  searchTabs_->setMonitoredFilePath(MonitoredFilePath(programDir_));
  connect(this, &MainWindow::closing, searchTabs_, &SearchTabsController::stop);
  if (!options_.historyPath.empty()) {
    history_ = std::make_unique<DesktopHistory>();
    connect(history_.get(), &DesktopHistory::notice, this, [this](const QString& text) {
      host_->setStatus(ToGbk(text));
      ShowNotice(text);
    });
    connect(history_.get(), &DesktopHistory::delistBeforeChanged, this,
            [this] { model_->setDelistBefore(history_->delistBefore()); });
    history_->start(options_.historyPath, HistoryWindow::SavedKeepDays(options_.historyKeepDays));
    searchTabs_->setHistory(history_.get());
  } else {
    historyButton_->setEnabled(false);
    historyButton_->setToolTip(QStringLiteral("历史记录已在设置中关闭（[history] enabled=0）"));
    rowMenu_->removeAction(itemHistoryAction_);
  }
  // 按钮14: the wizard fills 编辑框2 and 组合框1 of the list tab; 按钮8 then searches.
  if (auto* wizard = findChild<QPushButton*>(QStringLiteral("按钮14")))
    connect(wizard, &QPushButton::clicked, this, [this] { OpenSearchWizard(this); });
}

MainWindow::~MainWindow() {
  host_->setClosing();
  worker_.request_stop();
  probe_.request_stop();
  // Joins the search workers while the host and the table they use still exist.
  delete searchTabs_;
  searchTabs_ = nullptr;
  // An analysis window still open reads table_ while it loads.
  qDeleteAll(findChildren<AnalysisWindow*>(Qt::FindDirectChildrenOnly));
  if (worker_.joinable()) worker_.join();
  if (probe_.joinable()) probe_.join();
  // Its windows read through it; the runs still open end as stopped.
  qDeleteAll(findChildren<HistoryWindow*>(Qt::FindDirectChildrenOnly));
  qDeleteAll(findChildren<ItemHistoryWindow*>(Qt::FindDirectChildrenOnly));
  history_.reset();
  // The model listens to table_, which goes before the window's children do.
  view_->setModel(nullptr);
  delete model_;
  host_.reset();
}

void MainWindow::buildControls() {
  // The search area's controls sit inside the group box, placed relative to it.
  auto* group = Named(new QGroupBox(QStringLiteral(" 搜索模式选择 "), this), "分组框1", {2, 3, 904, 165});

  auto* tabs = Named(new QTabWidget(group), "选择夹1", {7, 15, 445, 123});
  // Six captions in 445 pixels: narrower tab margins than the style's own.
  auto* compact = new CompactTabStyle;
  compact->setParent(tabs);
  tabs->tabBar()->setStyle(compact);

  // 标准搜索: keyword search.
  auto* keyword = new QWidget;
  Label(keyword, "透明标签1", "关键词", {10, 12, 45, 20});
  Edit(keyword, "编辑框1", "", {60, 10, 270, 22});
  auto* keywordQuery = Button(keyword, "按钮1", "查 询", {345, 8, 80, 26});
  Label(keyword, "透明标签5", "页数", {10, 44, 45, 20});
  PageCountEdit(Edit(keyword, "编辑框3", "3", {60, 42, 50, 22}));
  SubmitOnEnter(keyword, "编辑框1", keywordQuery);
  SubmitOnEnter(keyword, "编辑框3", keywordQuery);
  Button(keyword, "按钮6", "选择热门词", {125, 40, 95, 26});
  Button(keyword, "按钮7", "选择排序和属性", {230, 40, 115, 26});
  Label(keyword, "标签2", "", {10, 74, 300, 18})->hide();
  tabs->addTab(keyword, QStringLiteral("标准搜索"));

  // 高级搜索: list-address search.
  auto* list = new QWidget;
  Label(list, "透明标签2", "抓取网页", {6, 8, 52, 20});
  Named(new QPlainTextEdit(list), "编辑框2", {60, 5, 275, 88});
  auto* kind = Combo(list, "组合框1", {345, 5, 85, 22});
  kind->addItems({QStringLiteral("列表页"), QStringLiteral("商品页")});
  Button(list, "按钮8", "查 询", {345, 34, 85, 26});
  Button(list, "按钮14", "使用向导", {345, 66, 85, 26});
  tabs->addTab(list, QStringLiteral("高级搜索"));

  // 分类搜索: category search.
  auto* category = new QWidget;
  Label(category, "透明标签8", "一级分类", {6, 10, 52, 20});
  Combo(category, "组合框3", {60, 8, 140, 22});
  Label(category, "透明标签9", "二级分类", {212, 10, 52, 20});
  Combo(category, "组合框4", {266, 8, 160, 22});
  Label(category, "透明标签3", "关键词：", {6, 44, 52, 20});
  Edit(category, "编辑框4", "", {60, 42, 140, 22});
  Label(category, "透明标签6", "页数", {212, 44, 40, 20});
  PageCountEdit(Edit(category, "编辑框5", "3", {266, 42, 50, 22}));
  auto* categoryQuery = Button(category, "按钮9", "查 询", {336, 40, 90, 26});
  SubmitOnEnter(category, "编辑框4", categoryQuery);
  SubmitOnEnter(category, "编辑框5", categoryQuery);
  tabs->addTab(category, QStringLiteral("分类搜索"));

  // 店铺搜索: shop search.
  auto* shop = new QWidget;
  Label(shop, "透明标签4", "卖家昵称", {10, 12, 55, 20});
  Edit(shop, "编辑框7", "", {70, 10, 240, 22});
  Label(shop, "透明标签7", "页数", {10, 44, 55, 20});
  PageCountEdit(Edit(shop, "编辑框6", "5", {70, 42, 50, 22}));
  auto* shopQuery = Button(shop, "按钮10", "查询", {330, 8, 90, 26});
  SubmitOnEnter(shop, "编辑框7", shopQuery);
  SubmitOnEnter(shop, "编辑框6", shopQuery);
  tabs->addTab(shop, QStringLiteral("店铺搜索"));

  auto* tools = new QWidget;
  Label(tools, "标签3", "暂时还没有工具", {15, 12, 300, 20});
  tabs->addTab(tools, QStringLiteral("小工具"));

  auto* help = new QWidget;
  Named(new QLabel(VendorAddress("/softdir/vandel/help.htm"), help), "标签1", QRect{15, 8, 408, 18})
      ->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* openHelp = Button(help, "按钮11", "点击打开", {15, 30, 408, 48});
  connect(openHelp, &QPushButton::clicked, this,
          [] { OpenWebAddress(VendorAddress("/softdir/vandel/help.htm?ver=3.3")); });
  tabs->addTab(help, QStringLiteral("# 教程与互助 #"));

  // Right of the tabs.
  Button(group, "按钮3", "系统设置", {457, 15, 88, 26})->hide();
  // One column of full-width buttons, 停止 last: a caption is never cut, also
  // with the wider glyphs of other fonts. 历史记录 sits under 清空结果.
  auto* analysis = Button(group, "按钮4", "导出数据/分析", {457, 15, 88, 20});
  connect(analysis, &QPushButton::clicked, this, &MainWindow::openAnalysis);
  Button(group, "按钮2", "列表监测", {457, 35, 88, 20});
  auto* clear = Button(group, "按钮12", "清空结果", {457, 55, 88, 20});
  connect(clear, &QPushButton::clicked, this, [this] {
    table_.clearRows();
    if (history_) history_->clearDelistBefore();
  });
  historyButton_ = Button(group, "按钮历史", "历史记录", {457, 75, 88, 20});
  historyButton_->setToolTip(QStringLiteral("以前的查询结果：打开、对比、删除"));
  connect(historyButton_, &QPushButton::clicked, this, &MainWindow::openHistory);
  retryButton_ = Button(group, "按钮13", "重试失败", {457, 95, 88, 20});
  connect(retryButton_, &QPushButton::clicked, this, &MainWindow::retryFailed);
  stopButton_ = Button(group, "按钮停止", "停止", {457, 115, 88, 20});
  stopButton_->setEnabled(false);
  stopButton_->setToolTip(QStringLiteral("当前条目完成后停止"));

  Named(new QCheckBox(QStringLiteral("添加到查询模版"), group), "选择框1", QRect{341, 119, 110, 18})->hide();

  auto* cookies = Button(group, "按钮15", "更改COOKIES", {550, 141, 110, 22});
  connect(cookies, &QPushButton::clicked, this, [this] { OpenCookieWindow(this); });
  auto* delayLabel = Label(group, "标签4", "抓取延时         毫秒。太低可能出错", {678, 141, 220, 22});
  // A half-width blank as wide as half a character keeps the edit box in its gap.
  QFont mono(QStringLiteral("Noto Sans Mono CJK SC"));
  mono.setPixelSize(12);
  delayLabel->setFont(mono);
  IntegerEdit(Edit(group, "编辑框8", "200", {731, 142, 44, 20}), 4);

  statusLabel_ = Label(group, "透明标签10", "如需使用各种排序以及属性等请用高级搜索", {13, 144, 310, 16});
  countLabel_ = Label(group, "透明标签13", "", {328, 144, 150, 16});
  progress_ = Named(new QProgressBar(group), "进度条", QRect{13, 160, 310, 4});
  progress_->setTextVisible(false);
  progress_->hide();
  // The bar is a line: how far it got stands in the gap after the row count.
  progressText_ = Label(group, "标签_进度", "", {478, 144, 70, 16});
  progressText_->hide();

  view_ = Named(new ResultsTableView(this), "超级列表框1", QRect{1, 168, 904, 440});
  model_ = new ResultsModel(table_);
  sortModel_ = new ResultsSortModel(table_, this);
  sortModel_->setSourceModel(model_);
  view_->setModel(sortModel_);
  view_->setItemDelegate(new CutCellTipDelegate(view_));
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setWordWrap(false);
  view_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  view_->verticalHeader()->hide();
  view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view_->verticalHeader()->setDefaultSectionSize(18);
  QHeaderView* header = view_->horizontalHeader();
  header->setHighlightSections(false);
  header->setSectionsMovable(true);
  const auto widths = FittingColumnWidths(view_->fontMetrics());
  for (int c = 0; c < kResultColumnCount; ++c) view_->setColumnWidth(c, widths[static_cast<size_t>(c)]);
  // A click on a caption sorts by it, a second the other way; the store's order
  // until then.
  header->setSortIndicator(-1, Qt::AscendingOrder);
  view_->setSortingEnabled(true);
  // Widths and order as the seller left them.
  const QByteArray kept =
      QSettings(QStringLiteral("Dunmar"), QStringLiteral("pormiq")).value(QLatin1String(kHeaderStateKey)).toByteArray();
  if (!kept.isEmpty()) {
    header->restoreState(kept);
    header->setSortIndicator(-1, Qt::AscendingOrder);
  }
  connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    const std::vector<int32_t> rows = selectedStoreRows();
    table_.setSelectedRow(rows.empty() ? -1 : rows.front());
  });
  connect(model_, &QAbstractItemModel::modelReset, this, [this] { table_.setSelectedRow(-1); });
  // Rows taken out leave the selection on the rows that stay; the store forgot it.
  // (Heard from the store's model: the view's model has renumbered by then.)
  connect(model_, &QAbstractItemModel::rowsRemoved, this, [this] {
    const std::vector<int32_t> rows = selectedStoreRows();
    table_.setSelectedRow(rows.empty() ? -1 : rows.front());
  });
  connect(sortModel_, &QAbstractItemModel::layoutChanged, this, [this] {
    const std::vector<int32_t> rows = selectedStoreRows();
    table_.setSelectedRow(rows.empty() ? -1 : rows.front());
  });

  auto shortcut = [this](const QKeySequence& keys, auto handler) {
    auto* action = new QAction(view_);
    action->setShortcut(keys);
    action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(action, &QAction::triggered, this, handler);
    view_->addAction(action);
    return action;
  };
  shortcut(QKeySequence::Copy, [this] { copySelectedRows(); });
  shortcut(QKeySequence(Qt::Key_Return), [this] { openSelectedItemPage(); });
  shortcut(QKeySequence(Qt::Key_Enter), [this] { openSelectedItemPage(); });
  auto* find = new QAction(this);
  find->setShortcut(QKeySequence::Find);
  find->setShortcutContext(Qt::WindowShortcut);
  connect(find, &QAction::triggered, this, &MainWindow::showFilter);
  addAction(find);
  buildFilterBar();

  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(view_, &QWidget::customContextMenuRequested, this, &MainWindow::showRowMenu);
  rowMenu_ = new QMenu(this);
  rowMenu_->setObjectName(QStringLiteral("右键"));
  auto menuItem = [this](const char* caption, auto handler) {
    QAction* action = rowMenu_->addAction(QString::fromUtf8(caption));
    action->setObjectName(QString::fromUtf8(caption));
    connect(action, &QAction::triggered, this, handler);
    return action;
  };
  menuItem("打开网页", [this] { openSelectedItemPage(); });
  menuItem("复制链接", [this] {
    const int32_t row = table_.selectedRow();
    if (row >= 0) QGuiApplication::clipboard()->setText(FromGbk(table_.cellText(row, ResultColumn::Link)));
  });
  menuItem("复制行", [this] { copySelectedRows(); });
  menuItem("复制单元格", [this] {
    if (menuCell_.isValid()) QGuiApplication::clipboard()->setText(menuCell_.data(Qt::DisplayRole).toString());
  });
  menuItem("加入监测", [this] { monitorSelectedItems(); });
  itemHistoryAction_ = menuItem("历史", [this] { openItemHistory(); });
  rowMenu_->addSeparator();
  // Taking rows out moves the rows after them: not while a search or retry fills rows.
  removeAction_ = menuItem("删除行", [this] { removeSelectedRows(); });
  dedupeAction_ = menuItem("去除重复", [this] { removeDuplicateRows(); });
  removeAction_->setShortcut(QKeySequence::Delete);
  removeAction_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  view_->addAction(removeAction_);

  // The notice page; nothing of its browsing is kept on disk.
  notice_ = new BrowserPane(QStringLiteral("超文本界面框1"), group);
  notice_->setGeometry(550, 13, 344, 128);
  notice_->ensureView();

  accountLabel_ = Label(this, "标签_yhxx", "", {424, 608, 400, 19});
  layoutResults();
}

void MainWindow::buildFilterBar() {
  filterBar_ = Named(new QWidget(this), "筛选栏", QRect{1, 168, 904, 26});
  Label(filterBar_, "筛选标签", "筛选", {4, 5, 30, 16});
  filterEdit_ = Named(new QLineEdit(filterBar_), "筛选框", QRect{36, 2, 300, 22});
  filterEdit_->setPlaceholderText(QStringLiteral("标题、卖家、itemID 或所在地中的文字"));
  filterEdit_->setClearButtonEnabled(true);
  monitoredOnly_ = Named(new QCheckBox(QStringLiteral("只看监测"), filterBar_), "只看监测", QRect{346, 4, 80, 18});
  failedOnly_ = Named(new QCheckBox(QStringLiteral("只看失败"), filterBar_), "只看失败", QRect{430, 4, 80, 18});
  filterCount_ = Label(filterBar_, "筛选条数", "", {516, 5, 250, 16});
  auto* close = Button(filterBar_, "关闭筛选", "关闭", {800, 2, 60, 22});
  connect(filterEdit_, &QLineEdit::textChanged, this, [this](const QString& text) {
    sortModel_->setFilterText(text.trimmed());
    updateFilterCount();
  });
  connect(monitoredOnly_, &QCheckBox::toggled, this, [this](bool on) {
    sortModel_->setMonitoredOnly(on);
    updateFilterCount();
  });
  connect(failedOnly_, &QCheckBox::toggled, this, [this](bool on) {
    sortModel_->setFailedOnly(on);
    updateFilterCount();
  });
  connect(close, &QPushButton::clicked, this, &MainWindow::hideFilter);
  auto* escape = new QAction(filterBar_);
  escape->setShortcut(QKeySequence(Qt::Key_Escape));
  escape->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  connect(escape, &QAction::triggered, this, &MainWindow::hideFilter);
  filterBar_->addAction(escape);
  // The count follows the rows as they arrive.
  connect(sortModel_, &QAbstractItemModel::rowsInserted, this, &MainWindow::updateFilterCount);
  connect(sortModel_, &QAbstractItemModel::rowsRemoved, this, &MainWindow::updateFilterCount);
  connect(sortModel_, &QAbstractItemModel::modelReset, this, &MainWindow::updateFilterCount);
  filterBar_->hide();
}

void MainWindow::showFilter() {
  filterBar_->show();
  layoutResults();
  updateFilterCount();
  filterEdit_->setFocus();
  filterEdit_->selectAll();
}

void MainWindow::hideFilter() {
  filterEdit_->clear();
  monitoredOnly_->setChecked(false);
  failedOnly_->setChecked(false);
  filterBar_->hide();
  layoutResults();
  view_->setFocus();
}

void MainWindow::updateFilterCount() {
  if (!filterBar_ || filterBar_->isHidden()) return;
  filterCount_->setText(QStringLiteral("显示 %1 行，共 %2 行").arg(sortModel_->rowCount()).arg(model_->rowCount()));
}

void MainWindow::layoutResults() {
  // The usual window (930 × 661) shows the results at 904 × 440 below the search area.
  const int top = 168 + (filterBar_ && !filterBar_->isHidden() ? 28 : 0);
  const int bottom = height() - 53;
  if (filterBar_) filterBar_->setGeometry(1, 168, width() - 26, 26);
  view_->setGeometry(1, top, width() - 26, std::max(60, bottom - top));
  if (accountLabel_) accountLabel_->move(424, bottom);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutResults();
}

std::vector<int32_t> MainWindow::selectedStoreRows() const {
  std::vector<int32_t> rows;
  QModelIndexList selected = view_->selectionModel()->selectedRows();
  std::sort(selected.begin(), selected.end(),
            [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  for (const QModelIndex& index : selected) rows.push_back(sortModel_->mapToSource(index).row());
  return rows;
}

void MainWindow::removeSelectedRows() {
  if (operationRunning_) return;
  const std::vector<int32_t> rows = selectedStoreRows();
  if (rows.empty()) return;
  table_.removeRows(rows);
  host_->setRowCountLabel(RowCountLabelText(table_.rowCount()));
}

void MainWindow::removeDuplicateRows() {
  if (operationRunning_) return;
  // The first row of each item id stays; rows without an id are no duplicates.
  std::vector<int32_t> later;
  std::set<std::string> seen;
  const std::vector<RowCells> rows = table_.snapshot();
  for (size_t r = 0; r < rows.size(); ++r) {
    const std::string& id = rows[r][static_cast<size_t>(ResultColumn::ItemId)];
    if (id.empty() || id == "0") continue;
    if (!seen.insert(id).second) later.push_back(static_cast<int32_t>(r));
  }
  if (!later.empty()) {
    table_.removeRows(later);
    host_->setRowCountLabel(RowCountLabelText(table_.rowCount()));
  }
  host_->setStatus(Utf8ToGbk("去除重复：删除 ") + std::to_string(later.size()) + Utf8ToGbk(" 行"));
}

void MainWindow::monitorSelectedItems() {
  const std::string path = MonitoredFilePath(programDir_).toStdString();
  std::string text = ReadMonitoredFile(path);
  const std::vector<std::string> kept = MonitoredIdsOfText(text);
  std::vector<std::string> added;
  for (int32_t row : selectedStoreRows()) {
    const std::string id = table_.cellText(row, ResultColumn::ItemId);
    if (id.empty() || id == "0") continue;
    if (std::find(kept.begin(), kept.end(), id) == kept.end() &&
        std::find(added.begin(), added.end(), id) == added.end())
      added.push_back(id);
  }
  if (added.empty()) return;
  for (const std::string& id : added) text += "\r\n" + id;
  if (!SaveMonitoredItems(path, text)) {
    ShowMessage(this, QStringLiteral("无法保存监测列表：") + QString::fromStdString(path));
    return;
  }
  // The rows of those items are marked now; later lookups mark them too.
  for (int32_t r = 0; r < table_.rowCount(); ++r) {
    const std::string id = table_.cellText(r, ResultColumn::ItemId);
    if (std::find(added.begin(), added.end(), id) != added.end())
      table_.setCell(r, ResultColumn::Monitored, MONITORED_MARK);
  }
}

void MainWindow::copySelectedRows() {
  const std::vector<int32_t> rows = selectedStoreRows();
  if (rows.empty()) return;
  std::vector<RowCells> cells;
  cells.reserve(rows.size());
  for (int32_t r : rows) cells.push_back(table_.row(r));
  // The columns in the order the seller sees them, hidden ones left out.
  std::vector<int> columns;
  const QHeaderView* header = view_->horizontalHeader();
  for (int visual = 0; visual < header->count(); ++visual) {
    const int logical = header->logicalIndex(visual);
    if (!header->isSectionHidden(logical)) columns.push_back(logical);
  }
  QGuiApplication::clipboard()->setText(RowsAsTabText(cells, columns));
}

QWebEngineView* MainWindow::noticeView() const { return notice_->view(); }

QString MainWindow::noticeAddress() const { return notice_->lastAddress(); }

StartupOutcome MainWindow::startUp(const StartupHooks& hooks) {
  // Shown first, so that the modal windows below stand in front of it.
  show();
  if (!QFileInfo(programDir_ + QStringLiteral("/res/b.html")).isFile()) {
    ShowMessage(this, QStringLiteral("您可能未解压本软件。请解压后再使用。"));
    return {false, 1};
  }
  setWindowTitle(QStringLiteral("Kelvora V3.3"));
  if (hooks.signIn && !hooks.signIn()) return {false, 0};
  if (hooks.enterCookies && !hooks.enterCookies()) return {false, 0};

  if (options_.networkProbe) {
    DesktopHost* host = host_.get();
    try {
      // Its message has no owner and blocks nothing: the program goes on either way.
      probe_ = std::jthread([host](std::stop_token stop) {
        if (MarketUnreachable(stop)) host->notice(Utf8ToGbk("您的网络质量不好或者不通畅\r\n请稍后再试"));
      });
    } catch (const std::system_error&) {
      // Without a thread the probe is skipped; it changes nothing else anyway.
    }
  }
  QCoreApplication::processEvents();
  searchTabs_->loadMonitoredItems();
  QCoreApplication::processEvents();

  notice_->navigate(VendorAddress("/softdir/vandel/xzs.htm?ver=3.3"));

  // The version stamp. "Default" is the key that QSettings maps to a registry
  // key's unnamed value on Windows; elsewhere it is a plain key of that name.
  QSettings settings(QStringLiteral("Dunmar"), QStringLiteral("pormiq"));
  settings.setValue(QStringLiteral("Default"), QStringLiteral("3.3"));
  settings.sync();

  host_->startAccountRefresh();
  return {true, 0};
}

bool MainWindow::beginOperation() {
  if (operationRunning_) return false;
  operationRunning_ = true;
  removeAction_->setEnabled(false);
  dedupeAction_->setEnabled(false);
  host_->clearStop();
  for (const char* name : kQueryButtons)
    if (auto* b = findChild<QPushButton*>(QString::fromUtf8(name))) b->setEnabled(false);
  stopButton_->setEnabled(true);
  progress_->setRange(0, 0);
  progress_->setToolTip({});
  progress_->show();
  progressText_->clear();
  progressText_->setToolTip({});
  progressText_->show();
  return true;
}

void MainWindow::endOperation() {
  if (!operationRunning_) return;
  operationRunning_ = false;
  host_->applyPending();  // the last row count the worker set, not one a frame older
  removeAction_->setEnabled(true);
  dedupeAction_->setEnabled(true);
  for (const char* name : kQueryButtons)
    if (auto* b = findChild<QPushButton*>(QString::fromUtf8(name))) b->setEnabled(true);
  stopButton_->setEnabled(false);
  progress_->hide();
  progressText_->hide();
  emit operationEnded();
}

bool MainWindow::startOperation(std::function<void(std::stop_token)> work) {
  if (host_->closing() || !beginOperation()) return false;
  // The previous worker has posted its end already; what is left of it is brief.
  if (worker_.joinable()) worker_.join();
  try {
    worker_ = std::jthread([this, work = std::move(work)](std::stop_token stop) {
      SetThreadStopToken(stop);
      try {
        work(stop);
      } catch (...) {
        // The core does not throw; should anything else, the window must not stay locked.
      }
      QMetaObject::invokeMethod(
          this, [this] { endOperation(); }, Qt::QueuedConnection);
    });
  } catch (const std::system_error&) {
    endOperation();
    return false;
  }
  return true;
}

namespace {

// Hands a retry's rows to the history as the retry finishes each: the rows the
// retry wrote since it last said how far it got.
class RetryRecording : public Host, private ResultsTable::Listener {
 public:
  RetryRecording(Host& inner, ResultsTable& table, DesktopHistory& history)
      : inner_(inner), table_(table), history_(history), worker_(std::this_thread::get_id()) {
    table_.addListener(this);
  }
  ~RetryRecording() override {
    table_.removeListener(this);
    record();
  }
  void setStatus(const std::string& text) override { inner_.setStatus(text); }
  void setRowCountLabel(const std::string& text) override { inner_.setRowCountLabel(text); }
  void message(const std::string& text) override { inner_.message(text); }
  void pause(int ms) override { inner_.pause(ms); }
  void processEvents() override { inner_.processEvents(); }
  bool stopRequested() const override { return inner_.stopRequested(); }
  void startAccountRefresh() override { inner_.startAccountRefresh(); }
  void setProgress(const Progress& progress) override {
    record();
    inner_.setProgress(progress);
  }
  void setQueryEnabled(const std::string& button, bool enabled) override { inner_.setQueryEnabled(button, enabled); }

 private:
  // Only what the retry itself writes: the seller may mark rows meanwhile.
  void rowChanged(int32_t row) override {
    if (std::this_thread::get_id() != worker_) return;
    std::lock_guard lock(mutex_);
    if (std::find(written_.begin(), written_.end(), row) == written_.end()) written_.push_back(row);
  }
  void rowsAppended(int32_t, int32_t) override {}
  void rowsCleared() override {
    std::lock_guard lock(mutex_);
    written_.clear();
  }
  void rowsRemoved(const std::vector<int32_t>&) override { rowsCleared(); }
  void record() {
    std::vector<int32_t> rows;
    {
      std::lock_guard lock(mutex_);
      rows.swap(written_);
    }
    for (int32_t row : rows)
      table_.visitRow(row,
                      [this](const RowCells& cells, const RowFailures& failures) { history_.addRow(cells, failures); });
  }

  Host& inner_;
  ResultsTable& table_;
  DesktopHistory& history_;
  std::thread::id worker_;
  std::mutex mutex_;
  std::vector<int32_t> written_;
};

}  // namespace

void MainWindow::retryFailed() {
  startOperation([this](std::stop_token) {
    host_->setStatus(Utf8ToGbk("正在重试失败的行，请稍后。。。"));
    const auto gap = [this] { return ToInt32(searchTabs_->grabDelayText()); };
    if (!history_) {
      host_->setStatus(RetrySummaryText(RetryFailedRows(table_, *host_, gap)));
      return;
    }
    history_->beginRun("retry", "");
    RetrySummary summary;
    {
      RetryRecording recording(*host_, table_, *history_);
      summary = RetryFailedRows(table_, recording, gap);
    }
    history_->endRun(summary.stopped || host_->stopRequested() ? history::RunState::Stopped : history::RunState::Done);
    host_->setStatus(RetrySummaryText(summary));
  });
}

void MainWindow::showRowMenu(const QPoint& pos) {
  // The menu is for the row under the pointer, never for one selected earlier.
  const QModelIndex at = view_->indexAt(pos);
  if (!at.isValid()) return;
  // A click into the selection keeps it, so that the rows' items act on all of it.
  if (!view_->selectionModel()->isRowSelected(at.row(), {}))
    view_->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  const int32_t row = sortModel_->mapToSource(at).row();
  table_.setSelectedRow(row);
  if (table_.selectedRow() != row) return;
  menuCell_ = at;
  rowMenu_->popup(view_->viewport()->mapToGlobal(pos) + QPoint(3, 3));
}

void MainWindow::openSelectedItemPage() {
  const int32_t row = table_.selectedRow();
  if (row < 0) return;
  // A link cell holds what a page gave us: only web addresses go to the browser.
  OpenWebAddress(FromGbk(table_.cellText(row, ResultColumn::Link)));
}

void MainWindow::openAnalysis() {
  auto* analysis = new AnalysisWindow(
      table_, this,
      BrowserPane::browsersEnabled() ? AnalysisWindow::ReportView::Web : AnalysisWindow::ReportView::None);
  connect(analysis, &AnalysisWindow::exportRequested, analysis, [this, analysis] { ExportToExcel(analysis, table_); });
  analysis->open();
}

void MainWindow::openHistory() {
  if (!history_) return;
  if (auto* open = findChild<HistoryWindow*>(QString(), Qt::FindDirectChildrenOnly)) {
    open->refresh();
    open->raise();
    open->activateWindow();
    return;
  }
  auto* window = new HistoryWindow(
      *history_, table_, [this] { return operationRunning_; }, this);
  // The count label follows the rows put in, as it follows a search's.
  connect(window, &HistoryWindow::rowsPut, this,
          [this] { host_->setRowCountLabel(RowCountLabelText(table_.rowCount())); });
  window->show();
}

void MainWindow::openItemHistory() {
  const int32_t row = table_.selectedRow();
  if (!history_ || row < 0) return;
  const std::string id = table_.cellText(row, ResultColumn::ItemId);
  if (id.empty() || id == "0") {
    ShowMessage(this, QStringLiteral("这一行没有 itemID，没有历史。"));
    return;
  }
  auto* window = new ItemHistoryWindow(*history_, id, BrowserPane::browsersEnabled(), this);
  window->show();
}

void MainWindow::quitApplicationWhenClosed(std::function<void()> quit) {
  connect(this, &MainWindow::closing, qApp, std::move(quit), Qt::QueuedConnection);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  QSettings(QStringLiteral("Dunmar"), QStringLiteral("pormiq"))
      .setValue(QLatin1String(kHeaderStateKey), view_->horizontalHeader()->saveState());
  host_->setClosing();
  worker_.request_stop();
  probe_.request_stop();
  emit closing();
  event->accept();
}

}  // namespace kelvora
