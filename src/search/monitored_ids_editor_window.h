#pragma once
// The small modal window where the monitored item ids are edited and saved.
#include <QDialog>
#include <QString>

#include "app/host.h"

class QPlainTextEdit;

namespace kelvora {

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
