#include "ui/item_history_window.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <cstdio>
#include <memory>
#include <optional>

#include "net/codec.h"
#include "ui/desktop_history_qt.h"

namespace kelvora {
namespace {

QString Utf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// The first number of a cell ("59.50", "39.00-59.00", "1200"), or none.
std::optional<double> FirstNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && !(text[i] >= '0' && text[i] <= '9')) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return std::nullopt;  // a failure text
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  double value = 0, scale = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      if (scale > 0) {
        value += (c - '0') / scale;
        scale *= 10;
      } else {
        value = value * 10 + (c - '0');
      }
    } else if (c == '.' && scale == 0) {
      scale = 10;
    } else {
      break;
    }
  }
  return value;
}

std::string JsonNumber(const std::optional<double>& v) {
  if (!v) return "null";
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.2f", *v);
  std::string s = buffer;
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

// Keeps what the chart page writes to its console as an error.
class ChartPage : public QWebEnginePage {
 public:
  ChartPage(QObject* parent, QStringList* errors) : QWebEnginePage(parent), errors_(errors) {}

 protected:
  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int line,
                                const QString& source) override {
    if (level != ErrorMessageLevel) return;
    errors_->append(QStringLiteral("%1:%2: %3").arg(source).arg(line).arg(message));
    qWarning("item history page: %s", qPrintable(errors_->last()));
  }

 private:
  QStringList* errors_;
};

}  // namespace

std::string ItemHistoryChartJson(const std::vector<history::StoredRow>& rows) {
  auto cell = [](const history::StoredRow& r, ResultColumn c) -> const std::string& {
    return r.cells[static_cast<size_t>(c)];
  };
  std::string json = "{\"points\":[";
  for (size_t i = 0; i < rows.size(); ++i) {
    const history::StoredRow& r = rows[i];
    if (i) json += ',';
    // The time is digits, dashes, colons and a blank: nothing to escape.
    json += "{\"t\":\"" + history::TimeText(r.observed) + "\"";
    json += ",\"price\":" + JsonNumber(FirstNumber(cell(r, ResultColumn::Price)));
    json += ",\"sales\":" + JsonNumber(FirstNumber(cell(r, ResultColumn::Sales)));
    json += ",\"stock\":" + JsonNumber(FirstNumber(cell(r, ResultColumn::Stock)));
    json += '}';
  }
  return json + "]}";
}

ItemHistoryWindow::ItemHistoryWindow(DesktopHistory& history, const std::string& itemIdGbk, bool web, QWidget* parent)
    : QDialog(parent) {
  setAttribute(Qt::WA_DeleteOnClose);
  setObjectName(QStringLiteral("ItemHistoryWindow"));
  const QString id = QString::fromStdString(GbkToUtf8(itemIdGbk));
  setWindowTitle(QStringLiteral("商品历史：") + id);
  setWindowFlag(Qt::WindowMaximizeButtonHint, true);
  resize(900, 620);

  heading_ = new QLabel(QStringLiteral("itemID %1：正在读取记录。。。").arg(id), this);
  heading_->setObjectName(QStringLiteral("商品标题"));
  heading_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  table_ = new QTableWidget(0, 8, this);
  table_->setObjectName(QStringLiteral("观察记录"));
  table_->setHorizontalHeaderLabels({QStringLiteral("记录时间"), QStringLiteral("记录编号"), QStringLiteral("售价"),
                                     QStringLiteral("当前销量"), QStringLiteral("当前库存"), QStringLiteral("上架时间"),
                                     QStringLiteral("下架时间"), QStringLiteral("标题")});
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setWordWrap(false);
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setDefaultSectionSize(20);
  // Wide enough for what each column holds at its widest usual.
  const QString samples[] = {QStringLiteral("2026-12-31 23:59:59"),
                             QStringLiteral("记录编号"),
                             QStringLiteral("999.00-999.00"),
                             QStringLiteral("当前销量"),
                             QStringLiteral("当前库存"),
                             QStringLiteral("2026年12月31日23时59分59秒"),
                             QStringLiteral("2026年12月31日23时59分59秒")};
  for (int c = 0; c < 7; ++c) table_->setColumnWidth(c, table_->fontMetrics().horizontalAdvance(samples[c]) + 16);
  table_->setColumnWidth(7, 300);
  table_->horizontalHeader()->setStretchLastSection(true);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(heading_);
  if (web) {
    view_ = new QWebEngineView(this);
    view_->setObjectName(QStringLiteral("历史图表"));
    view_->setPage(new ChartPage(view_, &pageErrors_));
    view_->setMinimumHeight(300);
    connect(view_, &QWebEngineView::loadFinished, this, [this](bool ok) {
      pageReady_ = ok;
      callPage();
    });
    view_->load(QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + "/res/item_history.html"));
    layout->addWidget(view_, 3);
  }
  layout->addWidget(table_, 2);

  const std::string idUtf8 = GbkToUtf8(itemIdGbk);
  history.read(this, [this, &history, idUtf8](history::HistoryFile* file) -> std::function<void()> {
    history.flush();  // the rows of a search still under way count too
    auto rows = std::make_shared<std::vector<history::StoredRow>>();
    if (file) *rows = file->rowsOfItem(idUtf8);
    return [this, rows] { showRows(std::move(*rows)); };
  });
}

void ItemHistoryWindow::showRows(std::vector<history::StoredRow> rows) {
  rows_ = std::move(rows);
  rowsRead_ = true;
  auto cell = [](const history::StoredRow& r, ResultColumn c) { return Utf8(r.cells[static_cast<size_t>(c)]); };
  const QString id = windowTitle().section(QStringLiteral("："), 1);
  if (rows_.empty()) {
    heading_->setText(QStringLiteral("itemID %1：还没有这个商品的记录").arg(id));
  } else {
    heading_->setText(QStringLiteral("itemID %1  %2  （%3 次记录）")
                          .arg(id, cell(rows_.back(), ResultColumn::Title))
                          .arg(rows_.size()));
  }
  table_->setRowCount(static_cast<int>(rows_.size()));
  const ResultColumn columns[] = {ResultColumn::Price,    ResultColumn::Sales,    ResultColumn::Stock,
                                  ResultColumn::ListedAt, ResultColumn::DelistAt, ResultColumn::Title};
  for (int r = 0; r < static_cast<int>(rows_.size()); ++r) {
    const history::StoredRow& row = rows_[static_cast<size_t>(r)];
    auto put = [&](int c, const QString& text) {
      auto* item = new QTableWidgetItem(text);
      item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
      table_->setItem(r, c, item);
    };
    put(0, QString::fromStdString(history::TimeText(row.observed)));
    put(1, QString::number(row.run));
    for (int c = 0; c < 6; ++c) put(2 + c, cell(row, columns[c]));
  }
  table_->scrollToBottom();
  callPage();
  emit loaded();
}

void ItemHistoryWindow::callPage() {
  if (!view_ || !pageReady_ || !rowsRead_) return;
  // The text holds times and numbers only: no quote or backslash to escape.
  view_->page()->runJavaScript(
      QStringLiteral("showHistory('%1');").arg(QString::fromStdString(ItemHistoryChartJson(rows_))));
}

}  // namespace kelvora
