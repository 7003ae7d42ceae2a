#pragma once
// `kelvora --demo --tour DIR`: the program walks through itself against the
// simulator and saves a picture of each window it passes. A tour is a list of
// named steps run one after another from the event loop; each returns whether it
// worked. Later windows add their own steps.
#include <QObject>
#include <QString>
#include <functional>
#include <map>
#include <set>
#include <vector>

class QTimer;
class QWidget;

namespace kelvora {

class MainWindow;

class Tour : public QObject {
  Q_OBJECT

 public:
  using StepFn = std::function<bool()>;
  // Called with a modal window that appeared while start-up ran.
  using DialogFn = std::function<bool(QWidget* dialog)>;

  explicit Tour(QString dir, QObject* parent = nullptr);

  void addStep(const QString& name, StepFn run);
  // While start-up runs, a modal window whose objectName is `objectName` is
  // photographed as `shotName` and handed to `act` (which fills and closes it).
  void addDialogStep(const QString& objectName, const QString& shotName, DialogFn act);
  // Watches for modal windows from now on; call before MainWindow::startUp so
  // that the windows of start-up are seen.
  void watchDialogs();
  // Runs the steps; the application then exits 0, or 1 after naming the failed
  // step on stderr.
  void start();
  // Ends the tour at once with a failed step (start-up refused to go on, say).
  void fail(const QString& step);

  // Saves `widget` as DIR/NN-name.png; false when it cannot be written.
  bool shoot(QWidget* widget, const QString& name);
  // Saves a picture that the caller composed.
  bool save(const class QPixmap& picture, const QString& name);
  // Runs the event loop until `condition` holds or `timeoutMs` passes.
  static bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

  QString dir() const { return dir_; }
  // A failed dialog step, found while start-up ran ("" when none).
  QString failedDialogStep() const { return failedDialog_; }

 private:
  void runNext();
  void checkDialogs();

  struct Step {
    QString name;
    StepFn run;
  };
  struct DialogStep {
    QString shotName;
    DialogFn act;
  };
  QString dir_;
  std::vector<Step> steps_;
  size_t next_ = 0;
  int shots_ = 0;
  std::map<QString, DialogStep> dialogSteps_;
  std::set<QWidget*> dialogsSeen_;
  QTimer* dialogTimer_ = nullptr;
  QString failedDialog_;
};

// The steps of the main window: its first look, item lookups against the
// simulator at `simBase`, the row menu and 重试失败.
void AddMainWindowSteps(Tour& tour, MainWindow& window, const QString& simBase);

}  // namespace kelvora
