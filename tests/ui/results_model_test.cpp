// The results view's model: batched updates from worker threads, clears racing
// appends, and the cells that failed requests spoil.
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <thread>
#include <vector>

#include "net/codec.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "net/text.h"
#include "search/keyword_search.h"
#include "support/quiet_host.h"
#include "support/sim_process.h"
#include "ui/desktop_calls_qt.h"
#include "ui/results_model.h"

using namespace kelvora;

namespace {

using kelvora::test::QuietHost;

// A row as the view shows it is either not filled yet or filled as a whole for
// its own position: index, item id and link of one item.
QString ShownRowProblem(const ResultsModel& model, int row) {
  auto cell = [&](ResultColumn c) { return model.data(model.index(row, static_cast<int>(c))).toString(); };
  const QString index = cell(ResultColumn::Index);
  const QString id = cell(ResultColumn::ItemId);
  const QString shop = cell(ResultColumn::ShopType);
  if (index.isEmpty()) return shop.isEmpty() ? QString() : QStringLiteral("row %1: shop type without index").arg(row);
  if (index != QString::number(row)) return QStringLiteral("row %1 shows index %2").arg(row).arg(index);
  if (shop != QStringLiteral("天猫") && shop != QStringLiteral("店铺"))
    return QStringLiteral("row %1: filled without a shop type").arg(row);
  if (!id.isEmpty() && id != QStringLiteral("0") && !cell(ResultColumn::Link).contains(QStringLiteral("id=") + id))
    return QStringLiteral("row %1: item %2 beside %3").arg(row).arg(id, cell(ResultColumn::Link));
  return {};
}

}  // namespace

class ResultsModelTest : public QObject {
  Q_OBJECT

 private slots:
  void appendsArriveInBatches() {
    ResultsTable table;
    ResultsModel model(table);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    for (int i = 0; i < 1000; ++i) table.setCell(table.addRow(), ResultColumn::Link, "http://a/" + std::to_string(i));
    QCOMPARE(model.rowCount(), 0);  // nothing until the UI thread takes the batch
    QTRY_COMPARE(model.rowCount(), 1000);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(model.data(model.index(999, 3)).toString(), QStringLiteral("http://a/999"));
  }

  void workersAppendWriteAndClear() {
    ResultsTable table;
    ResultsModel model(table);
    std::atomic<int> finished{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
      writers.emplace_back([&, t] {
        for (int i = 0; i < 3000; ++i) {
          const int32_t row = table.addRow();
          table.setCell(row, ResultColumn::Title, "t" + std::to_string(t));
          if (t == 0 && i % 150 == 0) table.clearRows();
        }
        ++finished;
      });
    }
    // The UI thread keeps applying batches while the store changes under it.
    while (finished < 3) QTest::qWait(5);
    for (auto& w : writers) w.join();
    // Once the store is quiet the model shows exactly its rows, whatever order the
    // notifications came in.
    QTRY_COMPARE(model.rowCount(), table.rowCount());
    model.flush();
    QCOMPARE(model.rowCount(), table.rowCount());
    for (int r = 0; r < model.rowCount(); r += 97)
      QCOMPARE(model.data(model.index(r, 2)).toString().toStdString(), table.cellText(r, ResultColumn::Title));
    table.clearRows();
    QTRY_COMPARE(model.rowCount(), 0);
  }

  void changedRowsAreRedrawn() {
    ResultsTable table;
    ResultsModel model(table);
    for (int i = 0; i < 10; ++i) table.addRow();
    model.flush();
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    table.setCell(3, ResultColumn::Title, "\xb1\xea\xcc\xe2");  // 标题
    table.setCell(7, ResultColumn::Price, "1.00");
    QTRY_COMPARE(changed.count(), 1);
    const auto first = changed[0][0].value<QModelIndex>();
    const auto last = changed[0][1].value<QModelIndex>();
    QVERIFY(first.row() <= 3 && last.row() >= 7);
    QCOMPARE(model.data(model.index(3, 2)).toString(), QStringLiteral("标题"));
  }

  void failedRequestsMarkTheirCells_data() {
    QTest::addColumn<int>("part");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QList<int>>("columns");
    QTest::newRow("page") << int(RequestPart::Page) << int(FailureKind::NoAnswer)
                          << QList<int>{1, 2, 4, 8, 9, 10, 11, 12};
    QTest::newRow("alternate") << int(RequestPart::Alternate) << int(FailureKind::ErrorStatus)
                               << QList<int>{1, 2, 4, 8, 9, 10, 11, 12};
    QTest::newRow("secondary") << int(RequestPart::Secondary) << int(FailureKind::CutShort)
                               << QList<int>{9, 10, 11, 12};
    QTest::newRow("lookup") << int(RequestPart::Lookup) << int(FailureKind::Refused) << QList<int>{5, 6, 7};
  }

  void failedRequestsMarkTheirCells() {
    QFETCH(int, part);
    QFETCH(int, kind);
    QFETCH(QList<int>, columns);
    ResultsTable table;
    ResultsModel model(table);
    table.addRow();
    table.addRow();
    RowFailures failures;
    failures[static_cast<RequestPart>(part)] = static_cast<FailureKind>(kind);
    table.setFailures(1, failures);
    model.flush();
    // The seller reads the part and the kind in Chinese.
    const QString name = FromGbk(RequestPartLabel(static_cast<RequestPart>(part)));
    const QString how = FromGbk(FailureKindLabel(static_cast<FailureKind>(kind)));
    QVERIFY(!name.isEmpty() && !how.isEmpty());
    for (int c = 0; c < kResultColumnCount; ++c) {
      const bool marked = columns.contains(c);
      const QVariant background = model.data(model.index(1, c), Qt::BackgroundRole);
      const QString tip = model.data(model.index(1, c), Qt::ToolTipRole).toString();
      QCOMPARE(background.isValid(), marked);
      QCOMPARE(model.data(model.index(1, c), Qt::ForegroundRole).isValid(), marked);
      if (marked) {
        QCOMPARE(background.value<QColor>(), ResultsModel::FailureBackground());
        QVERIFY2(tip.contains(name) && tip.contains(how), qPrintable(tip));
        QVERIFY2(!tip.contains(QRegularExpression(QStringLiteral("[A-Za-z]"))), qPrintable(tip));
      } else {
        QVERIFY(tip.isEmpty());
      }
      // The row without failures stays plain.
      QVERIFY(!model.data(model.index(0, c), Qt::BackgroundRole).isValid());
    }
    // A later run that succeeds clears the marks.
    table.setFailures(1, RowFailures{});
    model.flush();
    QVERIFY(!model.data(model.index(1, columns.first()), Qt::BackgroundRole).isValid());
  }

  void twoFailuresOnOneCellAreBothNamed() {
    ResultsTable table;
    ResultsModel model(table);
    table.addRow();
    RowFailures failures;
    failures[RequestPart::Page] = FailureKind::NoAnswer;
    failures[RequestPart::Secondary] = FailureKind::CutShort;
    table.setFailures(0, failures);
    model.flush();
    const QString sales = model.data(model.index(0, 9), Qt::ToolTipRole).toString();
    QCOMPARE(sales, QStringLiteral("请求失败：商品页（无应答），附加数据（不完整）"));
    const QString title = model.data(model.index(0, 2), Qt::ToolTipRole).toString();
    QCOMPARE(title, QStringLiteral("请求失败：商品页（无应答）"));
  }

  void modelGoesWhileWorkersWrite() {
    // The model leaves the store's listeners while a worker is calling it; the
    // worker must never reach a model that is gone.
    ResultsTable table;
    std::atomic<bool> run{true};
    std::thread writer([&] {
      while (run) table.setCell(table.addRow(), ResultColumn::Link, "x");
    });
    int models = 0;
    while (table.rowCount() < 20000 || models < 200) {
      auto model = std::make_unique<ResultsModel>(table);
      QCoreApplication::processEvents();
      ++models;
    }
    run = false;
    writer.join();
    QCoreApplication::processEvents();
    QVERIFY(table.rowCount() >= 20000);
  }

  void searchWorkerFeedsTheModelAtFullSpeed() {
    // A real search on a worker, with no pause between items, while the UI thread
    // paints every shown row and clears the table once.
    test::SimProcess sim({"--now", "2014-11-18 18:00:00"});
    QVERIFY(sim.running());
    Settings settings;
    std::string error;
    QVERIFY2(LoadSettingsFile(sim.configPath(), settings, error), error.c_str());
    QVERIFY2(ApplySettings(settings, error), error.c_str());
    SetMarketCookie("cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo");
    SetServiceCookie("kv_auth=kelvorademo-session");

    ResultsTable table;
    ResultsModel model(table);
    QuietHost host;
    SearchRun run(table, host);
    std::atomic<bool> searching{true};
    std::thread worker([&] {
      KeywordSearchWorker(run, "kelvora demo", "2");
      searching = false;
    });
    QStringList problems;
    bool cleared = false;
    int paints = 0;
    while (searching) {
      QTest::qWait(2);
      for (int r = 0; r < model.rowCount(); ++r) {
        const QString problem = ShownRowProblem(model, r);
        if (!problem.isEmpty() && problems.size() < 20) problems << problem;
      }
      ++paints;
      if (!cleared && table.rowCount() >= 20) {
        table.clearRows();  // 清空结果 while the search goes on
        cleared = true;
      }
    }
    worker.join();
    model.flush();

    QCOMPARE(problems, QStringList{});
    QVERIFY(cleared);
    QVERIFY(paints > 1);
    QCOMPARE(run.itemsDone, 88);
    QCOMPARE(model.rowCount(), table.rowCount());
    QVERIFY(table.rowCount() < 88);
    for (int r = 0; r < model.rowCount(); ++r)
      for (int c = 0; c < kResultColumnCount; ++c)
        QCOMPARE(model.data(model.index(r, c)).toString(), FromGbk(table.cellText(r, c)));

    SetMarketCookie("");
    SetServiceCookie("");
    SetEndpoints(DefaultEndpoints());
  }
};

QTEST_MAIN(ResultsModelTest)
#include "results_model_test.moc"
