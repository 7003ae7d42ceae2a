#pragma once
// The export button of the analysis window: asks for a file name, writes the
// results table on a worker and tells the user how it went.
#include <QString>
#include <functional>
#include <utility>

#include "analysis/workbook.h"

class QWidget;

namespace kelvora {

class ResultsTable;

// Where the export goes. A name whose own extension is neither .xls nor .xlsx is
// written in `format`, the one of the filter the user chose.
struct ExportTarget {
  ExportTarget() = default;
  // A bare path is written in the format its extension names.
  ExportTarget(QString p, WorkbookFormat f = WorkbookFormat::Unknown) : path(std::move(p)), format(f) {}
  QString path;  // empty: the user cancelled
  WorkbookFormat format = WorkbookFormat::Unknown;
};

// The file a name typed into the save dialog stands for: the filter's extension
// is added only when the name has none ("keep" -> "keep.xls", "data.txt" stays).
ExportTarget ExportTargetFor(const QString& typed, WorkbookFormat filterFormat);

// What the export asks of the user. Tests put their own in place of the dialog
// and the message boxes.
struct ExportPrompts {
  // The chosen file; an empty path when the user cancelled.
  std::function<ExportTarget(QWidget* parent)> choosePath;
  // A message box with an OK button and no icon.
  std::function<void(QWidget* parent, const QString& caption, const QString& text)> message;
};

// A save dialog offering ".xls" first and ".xlsx" second that asks before an
// existing file is replaced (the name as completed by ExportTargetFor; "否"
// returns to the dialog), and QMessageBox.
ExportPrompts DefaultExportPrompts();
// Replaces the prompts that ExportToExcel(parent, table) uses; nullptr restores
// the defaults. The prompts are copied.
void SetExportPrompts(const ExportPrompts* prompts);

// Asks for a path (cancelling does nothing at all), takes the rows of `table` as
// they are at that moment and writes them on a worker. Returns at once; `parent`
// is disabled under a busy cursor until the file is written. Then "完成操作"
// when the file is complete (followed by a note when cells were cut to Excel's
// limit), else a message naming the path and the reason.
void ExportToExcel(QWidget* parent, const ResultsTable& table);
void ExportToExcel(QWidget* parent, const ResultsTable& table, const ExportPrompts& prompts);

}  // namespace kelvora
