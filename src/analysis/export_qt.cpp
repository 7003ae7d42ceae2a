#include "analysis/export_qt.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "analysis/workbook.h"
#include "results/results_table.h"
#include "ui/desktop_calls_qt.h"

namespace kelvora {
namespace {

std::mutex g_promptsMutex;
std::optional<ExportPrompts> g_prompts;

ExportPrompts CurrentPrompts() {
  std::lock_guard<std::mutex> lock(g_promptsMutex);
  return g_prompts ? *g_prompts : DefaultExportPrompts();
}

bool ConfirmReplace(QWidget* parent, const QString& path) {
  QMessageBox box(QMessageBox::Warning, MessageCaption(),
                  QStringLiteral("“%1”已存在。\n要替换它吗？").arg(QFileInfo(path).fileName()),
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.setInformativeText(QDir::toNativeSeparators(path));
  // Our own words, whether or not Qt's translations are installed.
  box.button(QMessageBox::Yes)->setText(QStringLiteral("是"));
  box.button(QMessageBox::No)->setText(QStringLiteral("否"));
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace

ExportTarget ExportTargetFor(const QString& typed, WorkbookFormat filterFormat) {
  if (typed.isEmpty()) return {};
  const WorkbookFormat own = WorkbookFormatOf(typed.toStdString());
  if (own != WorkbookFormat::Unknown) return {typed, own};
  const WorkbookFormat format = filterFormat == WorkbookFormat::Xlsx ? WorkbookFormat::Xlsx : WorkbookFormat::Xls;
  // A leading dot names a hidden file, not an extension.
  const QString name = QFileInfo(typed).fileName();
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  const bool hasExtension = dot > 0 && dot < name.size() - 1;
  if (hasExtension) return {typed, format};
  QString path = typed;
  if (path.endsWith(QLatin1Char('.'))) path.chop(1);
  path += format == WorkbookFormat::Xlsx ? QStringLiteral(".xlsx") : QStringLiteral(".xls");
  return {path, format};
}

ExportPrompts DefaultExportPrompts() {
  ExportPrompts prompts;
  prompts.choosePath = [](QWidget* parent) -> ExportTarget {
    const QString xls = QStringLiteral("Excel 97-2003 工作簿 (*.xls)");
    const QString xlsx = QStringLiteral("Excel 工作簿 (*.xlsx)");
    QString selected = xls;
    QString start;
    for (;;) {
      // The dialog would check the name as typed, before its extension is added;
      // the check below is on the file that will really be written.
      const QString typed = QFileDialog::getSaveFileName(parent, QString(), start, xls + ";;" + xlsx, &selected,
                                                         QFileDialog::DontConfirmOverwrite);
      if (typed.isEmpty()) return {};
      ExportTarget target = ExportTargetFor(typed, selected == xlsx ? WorkbookFormat::Xlsx : WorkbookFormat::Xls);
      if (!QFileInfo::exists(target.path) || ConfirmReplace(parent, target.path)) return target;
      start = target.path;
    }
  };
  prompts.message = [](QWidget* parent, const QString& caption, const QString& text) {
    ShowMessage(parent, text, caption);
  };
  return prompts;
}

void SetExportPrompts(const ExportPrompts* prompts) {
  std::lock_guard<std::mutex> lock(g_promptsMutex);
  if (prompts)
    g_prompts = *prompts;
  else
    g_prompts.reset();
}

void ExportToExcel(QWidget* parent, const ResultsTable& table) { ExportToExcel(parent, table, CurrentPrompts()); }

void ExportToExcel(QWidget* parent, const ResultsTable& table, const ExportPrompts& prompts) {
  const ExportTarget target = prompts.choosePath(parent);
  const QString& path = target.path;
  if (path.isEmpty()) return;
  const WorkbookFormat format = target.format;
  // The table as it is now: rows that arrive while the file is written are not
  // part of this export.
  auto rows = std::make_shared<const std::vector<RowCells>>(table.snapshot());
  auto result = std::make_shared<WorkbookResult>();
  const std::string pathUtf8 = path.toStdString();

  QPointer<QWidget> window(parent);
  if (parent) parent->setEnabled(false);
  QApplication::setOverrideCursor(Qt::BusyCursor);

  QThread* worker =
      QThread::create([rows, result, pathUtf8, format] { *result = WriteWorkbook(pathUtf8, *rows, format); });
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
