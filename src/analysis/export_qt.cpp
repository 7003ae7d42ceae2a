#include "analysis/export_qt.h"

#include <QApplication>
#include <QFileDialog>
#include <QPointer>
#include <QThread>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "analysis/workbook.h"
#include "app/desktop_calls_qt.h"
#include "app/results_table.h"

namespace kelvora {
namespace {

std::mutex g_promptsMutex;
std::optional<ExportPrompts> g_prompts;

ExportPrompts CurrentPrompts() {
  std::lock_guard<std::mutex> lock(g_promptsMutex);
  return g_prompts ? *g_prompts : DefaultExportPrompts();
}

}  // namespace

ExportPrompts DefaultExportPrompts() {
  ExportPrompts prompts;
  prompts.choosePath = [](QWidget* parent) {
    const QString xls = QStringLiteral("Excel 97-2003 工作簿 (*.xls)");
    const QString xlsx = QStringLiteral("Excel 工作簿 (*.xlsx)");
    QString selected = xls;
    QString path = QFileDialog::getSaveFileName(parent, QString(), QString(), xls + ";;" + xlsx, &selected);
    // A name typed without its extension gets the one of the chosen filter.
    if (!path.isEmpty() && WorkbookFormatOf(path.toStdString()) == WorkbookFormat::Unknown)
      path += selected == xlsx ? QStringLiteral(".xlsx") : QStringLiteral(".xls");
    return path;
  };
  prompts.message = [](QWidget* parent, const QString& caption, const QString& text) {
    ShowMessage(parent, text, caption);
  };
  return prompts;
}

void SetExportPrompts(const ExportPrompts* prompts) {
  std::lock_guard<std::mutex> lock(g_promptsMutex);
  if (prompts) g_prompts = *prompts;
  else g_prompts.reset();
}

void ExportToExcel(QWidget* parent, const ResultsTable& table) {
  ExportToExcel(parent, table, CurrentPrompts());
}

void ExportToExcel(QWidget* parent, const ResultsTable& table, const ExportPrompts& prompts) {
  const QString path = prompts.choosePath(parent);
  if (path.isEmpty()) return;
  // The table as it is now: rows that arrive while the file is written are not
  // part of this export.
  auto rows = std::make_shared<const std::vector<RowCells>>(table.snapshot());
  auto result = std::make_shared<WorkbookResult>();
  const std::string pathUtf8 = path.toStdString();

  QPointer<QWidget> window(parent);
  if (parent) parent->setEnabled(false);
  QApplication::setOverrideCursor(Qt::BusyCursor);

  QThread* worker = QThread::create([rows, result, pathUtf8] { *result = WriteWorkbook(pathUtf8, *rows); });
  // Quitting while the file is written waits for it rather than leave it half done.
  QObject::connect(qApp, &QCoreApplication::aboutToQuit, worker, [worker] { worker->wait(); });
  QObject::connect(worker, &QThread::finished, qApp, [worker, window, result, prompts] {
    worker->deleteLater();
    QApplication::restoreOverrideCursor();
    if (window) window->setEnabled(true);
    QWidget* owner = window.data();
    if (!result->ok) {
      prompts.message(owner, MessageCaption(), FromGbk(result->message));
      return;
    }
    prompts.message(owner, MessageCaption(), QStringLiteral("完成操作"));
    if (!result->warning.empty()) prompts.message(owner, MessageCaption(), FromGbk(result->warning));
  });
  worker->start();
}

}  // namespace kelvora
