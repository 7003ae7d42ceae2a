#include "search/monitored_ids_editor_window.h"

#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>

#include "search/monitored.h"
#include "search/search_run.h"
#include "ui/desktop_calls_qt.h"

namespace kelvora {

QString MonitoredFilePath(const QString& programDir) {
  // One rule with kelvora-cli, so both read the same list.
  return QString::fromStdString(MonitoredFilePath(programDir.toStdString()));
}

MonitoredIdsEditor::MonitoredIdsEditor(QWidget* parent, const QString& path, Host& host)
    : QDialog(parent), path_(path), host_(host) {
  // The form has no caption; an empty title would show the program file's name.
  setWindowTitle(QStringLiteral("Kelvora"));
  setFixedSize(292, 329);
  setModal(true);
  auto* group = new QGroupBox(QStringLiteral("编辑需要监视的itemID"), this);
  group->setObjectName(QStringLiteral("分组框1"));
  group->setGeometry(8, 4, 276, 276);
  edit_ = new QPlainTextEdit(group);
  edit_->setObjectName(QStringLiteral("编辑框1"));
  edit_->setGeometry(8, 20, 260, 248);
  edit_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  edit_->setLineWrapMode(QPlainTextEdit::NoWrap);
  auto* saveButton = new QPushButton(QStringLiteral("保存"), this);
  saveButton->setObjectName(QStringLiteral("按钮1"));
  saveButton->setGeometry(40, 288, 90, 30);
  auto* clearButton = new QPushButton(QStringLiteral("清空"), this);
  clearButton->setObjectName(QStringLiteral("按钮2"));
  clearButton->setGeometry(162, 288, 90, 30);

  // The file as stored, unfiltered; the edit box keeps its own line breaks.
  QString text = FromGbk(ReadMonitoredFile(path_.toStdString()));
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  edit_->setPlainText(text);

  connect(saveButton, &QPushButton::clicked, this, &MonitoredIdsEditor::save);
  connect(clearButton, &QPushButton::clicked, edit_, &QPlainTextEdit::clear);
}

void MonitoredIdsEditor::save() {
  // The file keeps CR LF line breaks whatever the edit box uses.
  if (SaveMonitoredItems(path_.toStdString(), ToGbk(WithCrLf(edit_->toPlainText())))) {
    host_.message(SearchText(SearchTextId::Saved));
    accept();
  } else {
    host_.message(SearchText(SearchTextId::SaveFailed));
  }
}

}  // namespace kelvora
