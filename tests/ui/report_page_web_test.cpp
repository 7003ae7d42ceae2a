// The report page in the real browser engine: the built res/b.html draws its
// charts and tables from real report texts, passed through the script-string
// quoting, without a script error; and the analysis window hands it its texts.
// With KELVORA_SHOT_DIR set, the pictures are saved there as PNG files.
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <random>

#include "analysis/analysis_db.h"
#include "analysis/analysis_window.h"
#include "analysis/listing_advice.h"
#include "analysis/report.h"
#include "analysis/report_page.h"
#include "net/codec.h"
#include "support/fixtures.h"

using namespace kelvora;

namespace {

class ConsolePage : public QWebEnginePage {
 public:
  using QWebEnginePage::QWebEnginePage;
  QStringList errors;

 protected:
  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int line,
                                const QString& source) override {
    if (level == ErrorMessageLevel) errors << QStringLiteral("%1:%2: %3").arg(source).arg(line).arg(message);
  }
};

QVariant RunJs(QWebEnginePage* page, const QString& script) {
  QVariant result;
  bool done = false;
  QEventLoop loop;
  page->runJavaScript(script, [&](const QVariant& v) {
    result = v;
    done = true;
    loop.quit();
  });
  QTimer::singleShot(10000, &loop, &QEventLoop::quit);
  if (!done) loop.exec();
  return result;
}

// Today is Sunday 2024-03-03 (UTC+8), 10:00.
const DateTime kToday = MakeDateTime(2024, 3, 3);

// A market's delistings: busy evenings, a lunch bump, quiet nights.
std::vector<RowCells> MarketRows(int n) {
  std::mt19937 random(11);
  std::discrete_distribution<int> hour(
      {1, 1, 1, 1, 1, 1, 2, 3, 5, 8, 10, 12, 14, 12, 10, 9, 9, 10, 12, 16, 22, 26, 20, 9});
  std::uniform_int_distribution<int> day(-1, 8), minute(0, 59);
  std::vector<RowCells> rows;
  for (int i = 0; i < n; ++i) {
    RowCells r;
    r[1] = std::to_string(560000000000LL + i);
    const DateParts p = SplitDateTime(kToday + day(random));
    r[6] = i % 25 ? DateText(MakeDateTime(p.year, p.month, p.day, hour(random), minute(random), minute(random)))
                  : NO_TIME_TEXT;
    r[8] = Utf8ToGbk(i % 3 ? "店铺" : "天猫");
    r[12] = Utf8ToGbk(i % 7 ? "浙江 杭州" : "O'Brien");
    rows.push_back(r);
  }
  return rows;
}

struct Texts {
  AnalysisReport report;
  std::string advice;
};

Texts BuildTexts(const std::vector<RowCells>& rows, DateTime now = kToday) {
  AnalysisDb db;
  if (db.load(rows) != AnalysisLoadStatus::Ok) return {};
  Texts t{BuildAnalysisReport(db, kToday), {}};
  t.advice = AdviceSeries(RecommendListingHours(t.report.counts, now, ShopHours{}), ShopHours{});
  return t;
}

QString ShotDir() { return qEnvironmentVariable("KELVORA_SHOT_DIR"); }

// Pixels of `image` inside `rect` that are not the white of the cards, and those of them
// that are clearly coloured (not grey text or axis lines).
std::pair<int, int> InkIn(const QImage& image, const QRect& rect) {
  int ink = 0, colour = 0;
  const QRect r = rect.intersected(image.rect());
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (765 - c.red() - c.green() - c.blue() > 60) ++ink;
      if (std::max({c.red(), c.green(), c.blue()}) - std::min({c.red(), c.green(), c.blue()}) > 60) ++colour;
    }
  return {ink, colour};
}

}  // namespace

class ReportPageWebTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    const QString page = QStringLiteral(KELVORA_BIN_DIR "/res/b.html");
    QVERIFY2(QFile::exists(page), "build the report_page target first");
    view_ = new QWebEngineView;
    page_ = new ConsolePage(view_);
    view_->setPage(page_);
    view_->resize(1280, 900);
    view_->show();
    QSignalSpy loaded(view_, &QWebEngineView::loadFinished);
    view_->load(QUrl::fromLocalFile(page));
    QVERIFY(loaded.wait(20000));
    QCOMPARE(loaded.first().first().toBool(), true);
    texts_ = BuildTexts(MarketRows(1500));
  }

  void cleanupTestCase() {
    QVERIFY2(page_->errors.isEmpty(), qPrintable(page_->errors.join('\n')));
    delete view_;
  }

  void callsDrawChartsAndTables() {
    const AnalysisReport& r = texts_.report;
    for (const auto& [function, text] :
         {std::pair{"asd", &r.hourSeries}, std::pair{"fgh", &r.weekdaySeries}, std::pair{"nr1", &r.tables},
          std::pair{"tj", static_cast<const std::string*>(&texts_.advice)}})
      RunJs(page_, QString::fromStdString(PageFunctionCall(function, *text)));
    QVERIFY2(page_->errors.isEmpty(), qPrintable(page_->errors.join('\n')));

    // The texts arrived as they were sent.
    QCOMPARE(RunJs(page_, "reportTexts.asd").toString().toStdString(), GbkToUtf8(r.hourSeries));
    QCOMPARE(RunJs(page_, "reportTexts.fgh").toString().toStdString(), GbkToUtf8(r.weekdaySeries));
    QCOMPARE(RunJs(page_, "reportTexts.nr1").toString().toStdString(), GbkToUtf8(r.tables));

    // Both tables, eight days each, with the counts of the report.
    QCOMPARE(RunJs(page_, "document.querySelectorAll('#tables table.counts').length").toInt(), 2);
    QCOMPARE(RunJs(page_, "document.querySelectorAll('#tables table.counts')[0].rows.length").toInt(), 9);
    QCOMPARE(RunJs(page_, "document.querySelectorAll('#tables table.counts')[1].rows[0].cells.length").toInt(), 97);
    QCOMPARE(RunJs(page_, "document.querySelectorAll('#tables table.counts')[0].rows[2].cells[21].textContent")
                 .toString()
                 .toLongLong(),
             static_cast<qlonglong>(r.counts.hours[1][20]));
    QCOMPARE(
        RunJs(page_, "document.querySelectorAll('#tables table.counts')[0].rows[1].cells[0].textContent").toString(),
        QStringLiteral("2024年3月3日 周日"));  // the day label whole, then its weekday
    // The advice: seven days of three hours, shown.
    QCOMPARE(RunJs(page_, "document.getElementById('advice-card').hidden").toBool(), false);
    QCOMPARE(RunJs(page_, "document.querySelectorAll('#advice .day').length").toInt(), 7);
    QCOMPARE(RunJs(page_, "document.querySelectorAll('#advice .slot').length").toInt(), 21);

    QTest::qWait(1200);  // the charts' entry animation
    for (const char* id : {"chart-heat", "chart-line", "chart-scatter"}) {
      RunJs(page_, QStringLiteral("document.getElementById('%1').scrollIntoView({block: 'center'})").arg(id));
      QTest::qWait(300);
      const QVariantList box =
          RunJs(page_, QStringLiteral("(function(){var r=document.getElementById('%1').getBoundingClientRect();"
                                      "return [r.left, r.top, r.width, r.height];})()")
                           .arg(id))
              .toList();
      QCOMPARE(box.size(), 4);
      const QImage shot = view_->grab().toImage();
      const qreal scale = shot.width() / qreal(view_->width());
      const QRect rect(qRound(box[0].toDouble() * scale), qRound(box[1].toDouble() * scale),
                       qRound(box[2].toDouble() * scale), qRound(box[3].toDouble() * scale));
      QVERIFY2(rect.width() > 200 && rect.height() > 200, id);
      const auto [ink, colour] = InkIn(shot, rect);
      const int area = rect.width() * rect.height();
      QVERIFY2(ink > area / 50, qPrintable(QStringLiteral("%1: %2 drawn pixels of %3").arg(id).arg(ink).arg(area)));
      QVERIFY2(colour > area / 200, qPrintable(QStringLiteral("%1: %2 coloured pixels").arg(id).arg(colour)));
      if (!ShotDir().isEmpty()) shot.copy(rect).save(ShotDir() + "/" + id + ".png");
    }
    if (!ShotDir().isEmpty()) SaveWholePage(ShotDir() + "/report-page.png");
  }

  void quotingKeepsTextsIntact() {
    // Quotes, a backslash, line breaks, separators and markup that would end a script.
    const std::string cell = "O'Brien \\ \"q\" a\nb\r\nc \xE2\x80\xA8 \xE2\x80\xA9 </script><!-- x -->";
    const std::string markup =
        "<table><tr><td>日期</td><td>0H</td></tr><tr><td>d</td><td>" + cell + "</td></tr></table>";
    RunJs(page_, QString::fromStdString(PageFunctionCall("nr1", Utf8ToGbk(markup))));
    QCOMPARE(RunJs(page_, "reportTexts.nr1").toString().toStdString(), markup);
    QCOMPARE(RunJs(page_, "document.querySelectorAll('#tables table.counts')[0].rows[1].cells[1].textContent")
                 .toString()
                 .left(17),
             QStringLiteral("O'Brien \\ \"q\" a\nb"));
    // The series reader takes the program's literals and refuses code.
    QCOMPARE(RunJs(page_, "JSON.stringify(readLiteral(\"[{ name: '周一', data: [[14.7,2],[0.0,2],] },]\"))").toString(),
             QStringLiteral("[{\"name\":\"周一\",\"data\":[[14.7,2],[0,2]]}]"));
    QCOMPARE(RunJs(page_, "(function(){try{readLiteral(\"[alert(1)]\");return 'read';}catch(e){return e.name;}})()")
                 .toString(),
             QStringLiteral("SyntaxError"));
    QVERIFY2(page_->errors.isEmpty(), qPrintable(page_->errors.join('\n')));
  }

  void standalonePageOpensOnItsOwn() {
    // kelvora-cli report --html: one file, no server, no file beside it.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    std::string tsv =
        "序号\titemID\t标题\t链接\t卖家\t上架时间\t下架时间\t剩余小时数\t店铺类型\t当前销量\t当前库存\t售价\t所在地\t监测\n";
    for (const RowCells& r : MarketRows(600)) {
      for (size_t c = 0; c < r.size(); ++c) tsv += (c ? "\t" : "") + GbkToUtf8(r[c]);
      tsv += "\n";
    }
    QFile rows(dir.filePath("rows.tsv"));
    QVERIFY(rows.open(QIODevice::WriteOnly));
    rows.write(tsv.data(), static_cast<qint64>(tsv.size()));
    rows.close();
    const QString out = dir.filePath("report.html");
    QProcess cli;
    cli.start(QStringLiteral(KELVORA_BIN_DIR "/kelvora-cli"),
              {"--now", "2024-03-03 10:00:00", "report", rows.fileName(), "--html", out});
    QVERIFY(cli.waitForFinished(30000));
    QCOMPARE(cli.exitCode(), 0);

    QWebEngineView view;
    auto* page = new ConsolePage(&view);
    view.setPage(page);
    view.resize(1100, 800);
    view.show();
    QSignalSpy loaded(&view, &QWebEngineView::loadFinished);
    view.load(QUrl::fromLocalFile(out));
    QVERIFY(loaded.wait(20000));
    QTRY_VERIFY_WITH_TIMEOUT(RunJs(page, "typeof reportTexts.tj").toString() == "string", 10000);
    const Texts expected = BuildTexts(MarketRows(600));
    QCOMPARE(RunJs(page, "reportTexts.fgh").toString().toStdString(), GbkToUtf8(expected.report.weekdaySeries));
    QCOMPARE(
        RunJs(page,
              "document.querySelectorAll('#chart-heat canvas, #chart-line canvas, #chart-scatter canvas').length > 2")
            .toBool(),
        true);
    QCOMPARE(RunJs(page, "document.querySelectorAll('#tables table.counts').length").toInt(), 2);
    QVERIFY2(page->errors.isEmpty(), qPrintable(page->errors.join('\n')));
  }

  void analysisWindowHandsThePageItsTexts() {
    // The window finds the page below the program's directory.
    const QString res = QCoreApplication::applicationDirPath() + "/res";
    if (!QFileInfo::exists(res)) QVERIFY(QFile::link(QStringLiteral(KELVORA_BIN_DIR "/res"), res));
    SetNowOverride(kToday + 10 / 24.0);
    ResultsTable table;
    const std::vector<RowCells> rows = MarketRows(800);
    for (const RowCells& r : rows) table.setRow(table.addRow(), r);
    const Texts expected = BuildTexts(rows, kToday + 10 / 24.0);

    QPointer<AnalysisWindow> window = new AnalysisWindow(table);
    QSignalSpy shown(window.data(), &AnalysisWindow::reportShown);
    window->show();
    QVERIFY(shown.wait(30000));
    QWebEnginePage* page = window->reportView()->page();
    QCOMPARE(RunJs(page, "reportTexts.asd").toString().toStdString(), GbkToUtf8(expected.report.hourSeries));
    QCOMPARE(RunJs(page, "reportTexts.fgh").toString().toStdString(), GbkToUtf8(expected.report.weekdaySeries));
    QCOMPARE(RunJs(page, "reportTexts.nr1").toString().toStdString(), GbkToUtf8(expected.report.tables));
    QCOMPARE(RunJs(page, "reportTexts.tj").toString().toStdString(), GbkToUtf8(expected.advice));
    // The charts draw once their tab shows, and the page says when they are done.
    QCOMPARE(RunJs(page, "reportDrawn()").toBool(), false);
    window->findChild<QTabWidget*>(QStringLiteral("选择夹1"))->setCurrentIndex(1);
    QTRY_VERIFY_WITH_TIMEOUT(RunJs(page, "reportDrawn()").toBool(), 15000);
    QVERIFY2(window->pageErrors().isEmpty(), qPrintable(window->pageErrors().join('\n')));
    if (!ShotDir().isEmpty()) {
      window->findChild<QTabWidget*>(QStringLiteral("选择夹1"))->setCurrentIndex(1);
      QTest::qWait(1500);
      window->grab().save(ShotDir() + "/analysis-window-report.png");
      window->findChild<QTabWidget*>(QStringLiteral("选择夹1"))->setCurrentIndex(0);
      QTest::qWait(200);
      window->grab().save(ShotDir() + "/analysis-window-grid.png");
    }
    window->close();
    SetNowOverride(std::nullopt);
    QTRY_VERIFY(window.isNull());
  }

 private:
  void SaveWholePage(const QString& path) {
    const QSize old = view_->size();
    const int height = RunJs(page_, "document.documentElement.scrollHeight").toInt();
    view_->resize(1280, std::min(height, 6000));
    QTest::qWait(1500);
    RunJs(page_, "window.scrollTo(0, 0)");
    QTest::qWait(300);
    view_->grab().save(path);
    view_->resize(old);
  }

  QWebEngineView* view_ = nullptr;
  ConsolePage* page_ = nullptr;
  Texts texts_;
};

int main(int argc, char** argv) {
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  ReportPageWebTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "report_page_web_test.moc"
