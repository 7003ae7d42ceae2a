#pragma once
// The small modal window where the monitored item ids are edited and saved.
#include <QDialog>
#include <QString>

#include "results/host.h"

class QPlainTextEdit;

namespace kelvora {

// Where cfg_jsid.txt is read and saved: the program's folder. A program
// installed where its folder cannot be written (under /usr) keeps the file in the
// user's application data folder instead, for reading and saving alike, so that
// what the editor saves is what the next start reads; that folder is created.
QString MonitoredFilePath(const QString& programDir);

class MonitoredIdsEditor : public QDialog {
  Q_OBJECT

 public:
  // Shows the id file at `path` as stored; messages go through `host`.
  MonitoredIdsEditor(QWidget* parent, const QString& path, Host& host);

 private:
  void save();

  QString path_;
  Host& host_;
  QPlainTextEdit* edit_;
};

}  // namespace kelvora
