// The export button's action: cancelling does nothing, the file holds the table
// as it was at the click, "完成操作" only after a complete file, and a failure
// names the path. The workbook is read back by an independent reader.
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <filesystem>

#include "analysis/export_qt.h"
#include "net/codec.h"
#include "results/results_table.h"
#include "support/workbook_reader.h"
#include "ui/desktop_calls_qt.h"

using namespace kelvora;

namespace {

struct Message {
  QString caption, text;
};

// Prompts that answer with `path` and record the messages.
struct Recorder {
  QString path;
  int asked = 0;
  QList<Message> messages;
  ExportPrompts prompts() {
    ExportPrompts p;
    p.choosePath = [this](QWidget*) {
      ++asked;
      return path;
    };
    p.message = [this](QWidget*, const QString& caption, const QString& text) { messages.append({caption, text}); };
    return p;
  }
};

void Fill(ResultsTable& table, int rows) {
  for (int r = 0; r < rows; ++r) {
    const int32_t row = table.addRow(std::to_string(r + 1));
    table.setCell(row, ResultColumn::ItemId, std::to_string(45383717461 + r));
    table.setCell(row, ResultColumn::Title, Utf8ToGbk("春秋新款\r\n连衣裙 " + std::to_string(r)));
  }
}

// Answers the modal windows of the default prompts one after the other: each
// step gets the window on top and acts on it. Stops when the steps run out.
class ModalScript : public QObject {
 public:
  using Step = std::function<void(QWidget*)>;
  explicit ModalScript(QList<Step> steps) : steps_(std::move(steps)) {
    timer_.setInterval(10);
    connect(&timer_, &QTimer::timeout, this, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || modal == last_ || steps_.isEmpty()) return;
      last_ = modal;
      ++acted;
      steps_.takeFirst()(modal);
    });
    timer_.start();
  }
  int acted = 0;

 private:
  QList<Step> steps_;
  QTimer timer_;
  QPointer<QWidget> last_;
};

// Types `name` into the save dialog, picks the filter at `filter` and saves.
ModalScript::Step Save(const QString& name, int filter = 0) {
  return [name, filter](QWidget* w) {
    auto* dialog = qobject_cast<QFileDialog*>(w);
    QVERIFY2(dialog, qPrintable(w->metaObject()->className()));
    dialog->selectNameFilter(dialog->nameFilters().value(filter));
    auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(edit);
    edit->setText(name);
    QMetaObject::invokeMethod(dialog, "accept");
  };
}

ModalScript::Step Cancel() {
  return [](QWidget* w) {
    QVERIFY(qobject_cast<QFileDialog*>(w));
    static_cast<QDialog*>(w)->reject();
  };
}

// Answers the replace prompt (is / is not) and records what it said.
ModalScript::Step Replace(bool yes, QStringList* said) {
  return [yes, said](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    QVERIFY2(box, qPrintable(w->metaObject()->className()));
    said->append(box->text());
    said->append(box->button(QMessageBox::Yes)->text() + "/" + box->button(QMessageBox::No)->text());
    box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
  };
}

}  // namespace

class ExportTest : public QObject {
  Q_OBJECT

 private slots:
  void cancellingDoesNothing() {
    QWidget window;
    ResultsTable table;
    Fill(table, 2);
    Recorder recorder;  // answers with an empty path: cancelled
    ExportToExcel(&window, table, recorder.prompts());
    QCOMPARE(recorder.asked, 1);
    QVERIFY(window.isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QTest::qWait(50);
    QVERIFY(recorder.messages.isEmpty());
  }

  void writesTheTableOfTheClickThenSaysDone_data() {
    QTest::addColumn<QString>("ext");
    QTest::newRow("xls") << ".xls";
    QTest::newRow("xlsx") << ".xlsx";
  }
  void writesTheTableOfTheClickThenSaysDone() {
    QFETCH(QString, ext);
    QTemporaryDir dir;
    QWidget window;
    ResultsTable table;
    Fill(table, 3);
    Recorder recorder;
    recorder.path = dir.filePath(QStringLiteral("导出结果") + ext);
    ExportToExcel(&window, table, recorder.prompts());

    // The worker writes; the window waits disabled under a busy cursor.
    QVERIFY(!window.isEnabled());
    QVERIFY(QApplication::overrideCursor() != nullptr);
    QVERIFY(recorder.messages.isEmpty());
    table.setCell(0, ResultColumn::Title, "changed after the click");
    table.addRow("4");

    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, 30000);
    QCOMPARE(recorder.messages[0].caption, QStringLiteral("信息："));
    QCOMPARE(recorder.messages[0].text, QStringLiteral("完成操作"));
    QVERIFY(window.isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);

    test::WorkbookContents book;
    std::string error;
    QVERIFY2(test::ReadWorkbookIndependently(recorder.path.toStdString(), book, error), error.c_str());
    QCOMPARE(book.rowCount, 4);
    // .xls captions end in "a"; the .xlsx has them as they are.
    QCOMPARE(GbkToUtf8(book.rows[0][2]), std::string(ext == QStringLiteral(".xls") ? "标题a" : "标题"));
    QCOMPARE(GbkToUtf8(book.rows[1][2]), std::string("春秋新款 连衣裙 0"));
    QCOMPARE(book.rows[3][0], std::string("3"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 1);
  }

  void failureNamesThePathAndNeverSaysDone() {
    QTemporaryDir dir;
    QWidget window;
    ResultsTable table;
    Fill(table, 2);
    Recorder recorder;
    recorder.path = dir.filePath("missing/x.xls");
    ExportToExcel(&window, table, recorder.prompts());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, 30000);
    QTest::qWait(50);
    QCOMPARE(recorder.messages.size(), 1);
    QCOMPARE(recorder.messages[0].caption, QStringLiteral("信息："));
    QVERIFY(recorder.messages[0].text != QStringLiteral("完成操作"));
    QVERIFY2(recorder.messages[0].text.contains(recorder.path), qPrintable(recorder.messages[0].text));
    QVERIFY(window.isEnabled());
    QVERIFY(QDir(dir.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
  }

  void cutCellsAreNotedAfterDone() {
    QTemporaryDir dir;
    QWidget window;
    ResultsTable table;
    Fill(table, 1);
    table.setCell(0, ResultColumn::Title, std::string(40000, 'x'));
    Recorder recorder;
    recorder.path = dir.filePath("long.xls");
    ExportToExcel(&window, table, recorder.prompts());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 2, 30000);
    QCOMPARE(recorder.messages[0].text, QStringLiteral("完成操作"));
    QVERIFY2(recorder.messages[1].text.contains("32767"), qPrintable(recorder.messages[1].text));
    QCOMPARE(recorder.messages[1].caption, QStringLiteral("信息："));
  }

  // The installed prompts reach the one-argument form the window's button calls.
  void installedPromptsReplaceTheDialog() {
    QTemporaryDir dir;
    QWidget window;
    ResultsTable table;
    Recorder recorder;
    recorder.path = dir.filePath("empty.xlsx");
    const ExportPrompts prompts = recorder.prompts();
    SetExportPrompts(&prompts);
    ExportToExcel(&window, table);
    SetExportPrompts(nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messages.size(), 1, 30000);
    QCOMPARE(recorder.messages[0].text, QStringLiteral("完成操作"));
    QVERIFY(QFile::exists(recorder.path));
  }

  void typedNameBecomesTheFile_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("filter");
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("format");
    const int xls = int(WorkbookFormat::Xls), xlsx = int(WorkbookFormat::Xlsx);
    QTest::newRow("bare name, xls filter") << "/d/keep" << xls << "/d/keep.xls" << xls;
    QTest::newRow("bare name, xlsx filter") << "/d/keep" << xlsx << "/d/keep.xlsx" << xlsx;
    QTest::newRow("own xls under xlsx filter") << "/d/keep.XLS" << xlsx << "/d/keep.XLS" << xls;
    QTest::newRow("own xlsx under xls filter") << "/d/keep.xlsx" << xls << "/d/keep.xlsx" << xlsx;
    QTest::newRow("other extension kept") << "/d/data.txt" << xls << "/d/data.txt" << xls;
    QTest::newRow("dot in the folder only") << "/d.x/keep" << xls << "/d.x/keep.xls" << xls;
    QTest::newRow("hidden name") << "/d/.keep" << xlsx << "/d/.keep.xlsx" << xlsx;
    QTest::newRow("trailing dot") << "/d/keep." << xls << "/d/keep.xls" << xls;
  }
  void typedNameBecomesTheFile() {
    QFETCH(QString, typed);
    QFETCH(int, filter);
    QFETCH(QString, file);
    QFETCH(int, format);
    const ExportTarget target = ExportTargetFor(typed, WorkbookFormat(filter));
    QCOMPARE(target.path, file);
    QCOMPARE(int(target.format), format);
  }

  // The dialog's own check sees the name before its extension: the prompt must
  // come for the file that will really be replaced, and only then.
  void replacingAnExistingFileIsAsked_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("filter");
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("asked");
    QTest::newRow("keep, keep.xls exists") << "keep" << 0 << "keep.xls" << true;
    QTest::newRow("keep.xls exists") << "keep.xls" << 0 << "keep.xls" << true;
    QTest::newRow("data.txt exists") << "data.txt" << 0 << "data.txt" << true;
    QTest::newRow("keep as xlsx, new") << "keep" << 1 << "keep.xlsx" << false;
    QTest::newRow("new name") << "fresh" << 0 << "fresh.xls" << false;
  }
  void replacingAnExistingFileIsAsked() {
    QFETCH(QString, typed);
    QFETCH(int, filter);
    QFETCH(QString, file);
    QFETCH(bool, asked);
    QTemporaryDir dir;
    for (const char* existing : {"keep.xls", "data.txt"}) {
      QFile f(dir.filePath(existing));
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write("old");
    }
    const ExportPrompts prompts = DefaultExportPrompts();

    // "否" goes back to the dialog and nothing is chosen; cancelling there ends it.
    QStringList said;
    if (asked) {
      ModalScript script({Save(dir.filePath(typed), filter), Replace(false, &said), Cancel()});
      QVERIFY(prompts.choosePath(nullptr).path.isEmpty());
      QCOMPARE(script.acted, 3);
      QCOMPARE(said.size(), 2);
      QVERIFY2(said[0].contains(file) && said[0].contains("已存在"), qPrintable(said[0]));
      QCOMPARE(said[1], QStringLiteral("是/否"));
      said.clear();
    }

    ModalScript script(asked ? QList<ModalScript::Step>{Save(dir.filePath(typed), filter), Replace(true, &said)}
                             : QList<ModalScript::Step>{Save(dir.filePath(typed), filter)});
    const ExportTarget target = prompts.choosePath(nullptr);
    QCOMPARE(target.path, dir.filePath(file));
    QCOMPARE(said.size(), asked ? 2 : 0);
    QTest::qWait(30);
    QCOMPARE(script.acted, asked ? 2 : 1);  // no prompt beyond the ones scripted

    // The file is written as chosen, also under an extension of its own.
    QWidget window;
    ResultsTable table;
    Fill(table, 1);
    QList<Message> messages;
    ExportPrompts fixed;
    fixed.choosePath = [&](QWidget*) { return target; };
    fixed.message = [&](QWidget*, const QString& caption, const QString& text) { messages.append({caption, text}); };
    ExportToExcel(&window, table, fixed);
    QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 1, 30000);
    QCOMPARE(messages[0].text, QStringLiteral("完成操作"));
    test::WorkbookContents book;
    std::string error;
    QVERIFY2(test::ReadWorkbookIndependently(target.path.toStdString(), book, error), error.c_str());
    QCOMPARE(book.rowCount, 2);
  }

  void defaultPromptsAreASaveDialogAndAPlainMessageBox() {
    const ExportPrompts prompts = DefaultExportPrompts();
    QStringList filters;
    bool saving = false;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      filters = dialog->nameFilters();
      saving = dialog->acceptMode() == QFileDialog::AcceptSave;
      dialog->reject();
    });
    QVERIFY(prompts.choosePath(nullptr).path.isEmpty());
    QCOMPARE(filters.size(), 2);
    QVERIFY2(filters[0].contains("*.xls)"), qPrintable(filters[0]));
    QVERIFY2(filters[1].contains("*.xlsx)"), qPrintable(filters[1]));
    QVERIFY(saving);

    QString title;
    QMessageBox::Icon icon = QMessageBox::Critical;
    int buttons = 0;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      title = box->windowTitle();
      icon = box->icon();
      buttons = box->buttons().size();
      box->button(QMessageBox::Ok)->click();
    });
    prompts.message(nullptr, QStringLiteral("信息："), QStringLiteral("完成操作"));
    QCOMPARE(title, QStringLiteral("信息："));
    QCOMPARE(icon, QMessageBox::NoIcon);
    QCOMPARE(buttons, 1);
  }

  // Qt's own texts of the save dialog and the boxes are Chinese once the
  // program loaded Qt's translations (last: they stay for the process).
  void qtTextsAreChineseWithItsTranslations() {
    QVERIFY2(InstallQtTranslations(), "Qt's Chinese translations are not installed");
    QMessageBox box(QMessageBox::NoIcon, QString(), QString(),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    QVERIFY2(box.button(QMessageBox::Yes)->text().contains(QStringLiteral("是")),
             qPrintable(box.button(QMessageBox::Yes)->text()));
    QVERIFY(box.button(QMessageBox::No)->text().contains(QStringLiteral("否")));
    QVERIFY(box.button(QMessageBox::Cancel)->text().contains(QStringLiteral("取消")));

    QStringList captions;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      for (QPushButton* b : dialog->findChild<QDialogButtonBox*>()->findChildren<QPushButton*>()) captions << b->text();
      for (QLabel* l : dialog->findChildren<QLabel*>()) captions << l->text();
      dialog->reject();
    });
    QVERIFY(DefaultExportPrompts().choosePath(nullptr).path.isEmpty());
    QVERIFY(!captions.isEmpty());
    for (const QString& caption : captions) {
      QString plain = caption;
      plain.remove(QRegularExpression(QStringLiteral("\\(&[A-Za-z]\\)|&")));
      QVERIFY2(!plain.contains(QRegularExpression(QStringLiteral("[A-Za-z]{2}"))), qPrintable(captions.join(" | ")));
    }
  }
};

QTEST_MAIN(ExportTest)
#include "export_test.moc"
