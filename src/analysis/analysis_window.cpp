#include "analysis/analysis_window.h"

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "analysis/analysis_db.h"
#include "analysis/grid_model.h"
#include "analysis/listing_advice.h"
#include "analysis/report.h"
#include "analysis/report_page.h"
#include "net/settings.h"
#include "ui/desktop_calls_qt.h"

namespace kelvora {
namespace {

// The grid copies its selection as tab-separated text on Ctrl+C.
class GridView : public QTableView {
 public:
  using QTableView::QTableView;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->matches(QKeySequence::Copy)) {
      if (auto* m = qobject_cast<AnalysisGridModel*>(model()); m && selectionModel())
        QApplication::clipboard()->setText(m->copyText(selectionModel()->selection()));
      event->accept();
      return;
    }
    QTableView::keyPressEvent(event);
  }
};

// Keeps what the report page writes to its console as an error.
class ReportPage : public QWebEnginePage {
 public:
  ReportPage(QObject* parent, QStringList* errors) : QWebEnginePage(parent), errors_(errors) {}

 protected:
  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int line,
                                const QString& source) override {
    if (level != ErrorMessageLevel) return;
    const QString text = QStringLiteral("%1:%2: %3").arg(source).arg(line).arg(message);
    errors_->append(text);
    qWarning("report page: %s", qPrintable(text));
  }

 private:
  QStringList* errors_;
};

}  // namespace

// The page calls of one report, ready to run, in their order.
struct AnalysisWindow::Report {
  QStringList calls;
};

AnalysisWindow::AnalysisWindow(ResultsTable& table, QWidget* parent, ReportView view) : QDialog(parent), table_(table) {
  setAttribute(Qt::WA_DeleteOnClose);
  setModal(true);
  setWindowTitle(QStringLiteral("导出/分析"));
  // Opens at its usual size; grows (and maximises) with the table and charts in it.
  setWindowFlag(Qt::WindowMaximizeButtonHint, true);
  resize(822, 592);

  exportButton_ = new QPushButton(QStringLiteral("导出数据 (excel)"), this);
  exportButton_->setObjectName(QStringLiteral("按钮1"));
  exportButton_->setMinimumSize(120, 30);
  connect(exportButton_, &QPushButton::clicked, this, &AnalysisWindow::exportRequested);
  auto* hint =
      new QLabel(QStringLiteral("如果无法直接导出（如未安装office等）可以直接在下表全选复制到wps表格等地方。"), this);
  hint->setObjectName(QStringLiteral("标签1"));
  hint->setWordWrap(true);
  hint->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(QStringLiteral("选择夹1"));

  model_ = new AnalysisGridModel(this);
  grid_ = new GridView(tabs_);
  grid_->setObjectName(QStringLiteral("高级表格1"));
  grid_->setModel(model_);
  grid_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  grid_->setSelectionBehavior(QAbstractItemView::SelectItems);
  grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid_->setWordWrap(false);
  // Fixed row heights and column widths: nothing is measured over 100 000 rows.
  grid_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  grid_->verticalHeader()->setDefaultSectionSize(22);
  grid_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  tabs_->addTab(grid_, QStringLiteral("表格"));

  auto* analysis = new QWidget(tabs_);
  auto* analysisLayout = new QVBoxLayout(analysis);
  analysisLayout->setContentsMargins(0, 4, 0, 0);
  auto* note = new QLabel(QStringLiteral("以下数据为软件通过一定算法生成。仅供参考。"), analysis);
  note->setObjectName(QStringLiteral("标签2"));
  note->setIndent(6);
  analysisLayout->addWidget(note);
  if (view == ReportView::Web) {
    view_ = new QWebEngineView(analysis);
    view_->setObjectName(QStringLiteral("超文本界面框1"));
    view_->setPage(new ReportPage(view_, &pageErrors_));
    connect(view_, &QWebEngineView::loadFinished, this, [this](bool ok) {
      pageReady_ = ok;
      callPage();
    });
    analysisLayout->addWidget(view_, 1);
  } else {
    analysisLayout->addStretch(1);
  }
  tabs_->addTab(analysis, QStringLiteral("分析"));

  auto* top = new QHBoxLayout;
  top->setContentsMargins(32, 5, 8, 0);
  top->addWidget(exportButton_);
  top->addWidget(hint, 1);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(5);
  layout->addLayout(top);
  layout->addWidget(tabs_, 1);

  loadingPanel_ = new QGroupBox(this);
  loadingPanel_->setObjectName(QStringLiteral("分组框1"));
  loadingPanel_->setFixedSize(456, 104);
  loadingPanel_->setAutoFillBackground(true);
  auto* panelLayout = new QVBoxLayout(loadingPanel_);
  loadingLine1_ = new QLabel(loadingPanel_);
  loadingLine1_->setObjectName(QStringLiteral("透明标签1"));
  loadingLine2_ = new QLabel(loadingPanel_);
  loadingLine2_->setObjectName(QStringLiteral("透明标签2"));
  for (QLabel* l : {loadingLine1_, loadingLine2_}) {
    l->setAlignment(Qt::AlignCenter);
    panelLayout->addWidget(l);
  }
  loadingPanel_->hide();

  if (view_) view_->load(QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + "/res/b.html"));
  startLoading();
}

AnalysisWindow::~AnalysisWindow() {
  worker_.request_stop();
  if (worker_.joinable()) worker_.join();
}

void AnalysisWindow::startLoading() {
  loading_ = true;
  loadingLine1_->setText(QStringLiteral("正在载入数据，请稍后。。。。。"));
  loadingLine2_->setText(QStringLiteral("载入表格数据。。。"));
  placeLoadingPanel();
  loadingPanel_->show();
  loadingPanel_->raise();

  worker_ = std::jthread([this, &table = table_](std::stop_token stop) {
    auto rows = std::make_shared<const std::vector<RowCells>>(table.snapshot());
    QMetaObject::invokeMethod(
        this, [this, rows] { showGrid(rows); }, Qt::QueuedConnection);
    if (stop.stop_requested()) return;

    AnalysisDb db;
    const AnalysisLoadStatus status = db.load(*rows, stop);
    if (status == AnalysisLoadStatus::Stopped) return;
    if (status != AnalysisLoadStatus::Ok) {
      const QString failure = FromGbk(AnalysisLoadMessage(status));
      QMetaObject::invokeMethod(
          this, [this, failure] { showReport(nullptr, failure); }, Qt::QueuedConnection);
      return;
    }
    const DateTime today = TodayUtc8();
    const AnalysisReport built = BuildAnalysisReport(db, today);
    db.close();
    const ShopHours shop = CurrentShopHours();
    const std::vector<DayAdvice> advice = RecommendListingHours(built.counts, NowUtc8(), shop);
    auto report = std::make_shared<Report>();
    for (const auto& [function, text] :
         {std::pair{"asd", &built.hourSeries}, std::pair{"fgh", &built.weekdaySeries}, std::pair{"nr1", &built.tables}})
      report->calls << QString::fromStdString(PageFunctionCall(function, *text));
    report->calls << QString::fromStdString(PageFunctionCall("tj", AdviceSeries(advice, shop)));
    std::shared_ptr<const Report> done = std::move(report);
    QMetaObject::invokeMethod(
        this, [this, done] { showReport(done, {}); }, Qt::QueuedConnection);
  });
}

void AnalysisWindow::showGrid(std::shared_ptr<const std::vector<RowCells>> rows) {
  if (closing_) return;
  model_->setRows(std::move(rows));
  // Wide enough for an item id, a title's start and a whole date-time.
  static constexpr int kWidths[kResultColumnCount] = {50, 110, 220, 220, 110, 165, 165, 80, 70, 70, 70, 90, 100, 50};
  for (int c = 0; c < kResultColumnCount; ++c) grid_->setColumnWidth(c, kWidths[c]);
  loadingLine2_->setText(QStringLiteral("载入分析图表。。。"));
}

void AnalysisWindow::showReport(std::shared_ptr<const Report> report, const QString& failure) {
  if (closing_) return;
  loading_ = false;
  loadingPanel_->hide();
  emit loadFinished();
  if (!failure.isEmpty()) {
    ShowMessage(this, failure);
    return;
  }
  report_ = std::move(report);
  callPage();
}

void AnalysisWindow::callPage() {
  if (!view_ || !pageReady_ || !report_) return;
  std::shared_ptr<const Report> report = std::move(report_);
  report_.reset();
  QWebEnginePage* page = view_->page();
  // Calls on one page run in the order they are made.
  for (int i = 0; i < report->calls.size(); ++i) {
    if (i + 1 < report->calls.size()) {
      page->runJavaScript(report->calls[i]);
    } else {
      QPointer<AnalysisWindow> self(this);
      page->runJavaScript(report->calls[i], [self](const QVariant&) {
        if (self) emit self->reportShown();
      });
    }
  }
}

void AnalysisWindow::done(int result) {
  // Closing drops the report and the grid; opening again loads everything anew.
  closing_ = true;
  worker_.request_stop();
  if (view_) view_->setUrl(QUrl(QStringLiteral("about:blank")));
  model_->clear();
  QDialog::done(result);
}

void AnalysisWindow::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  placeLoadingPanel();
}

void AnalysisWindow::placeLoadingPanel() {
  if (!loadingPanel_) return;
  loadingPanel_->move((width() - loadingPanel_->width()) / 2, (height() - loadingPanel_->height()) / 2);
}

}  // namespace kelvora
