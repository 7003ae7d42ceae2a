#pragma once
// `kelvora --demo --tour DIR`: the program walks through itself against the
// simulator and saves a picture of each window it passes. A tour is a list of
// named steps run one after another from the event loop; each returns whether it
// worked.
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <map>
#include <vector>

class QPixmap;
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
  // photographed as `shotName` (once the pages of its browsers have loaded) and
  // handed to `act` (which fills and closes it).
  void addDialogStep(const QString& objectName, const QString& shotName, DialogFn act);
  // Watches for modal windows from now on; call before MainWindow::startUp so
  // that the windows of start-up are seen.
  void watchDialogs();
  // Runs the steps; the application then exits 0, or 1 after naming the failed
  // step on stderr.
  void start();
  // The next message box to come up is part of the tour: pictured as `shotName`
  // (any other is pictured as "message" and named on stderr), then closed.
  void expectMessage(const QString& shotName) { expectedMessage_ = shotName; }
  // Ends the tour at once with a failed step (start-up refused to go on, say).
  void fail(const QString& step);

  // Saves `widget` as DIR/NN-name.png; false when it cannot be written.
  bool shoot(QWidget* widget, const QString& name);
  // The picture of `widget`; a window gets a plain frame and a title bar with its
  // caption, which the window manager would draw (Xvfb runs none).
  static QPixmap picture(QWidget* widget);
  // The picture of `under` with the window `top` (a menu, a message box) drawn
  // over it where it stands on the screen.
  static QPixmap composed(QWidget* under, QWidget* top);
  // Saves a picture that the caller composed.
  bool save(const QPixmap& picture, const QString& name);
  // Runs the event loop until `condition` holds or `timeoutMs` passes.
  static bool waitUntil(const std::function<bool()>& condition, int timeoutMs);
  // Runs the event loop for `ms` (lets a window draw what just changed).
  static void breathe(int ms);
  // Waits until no browser view inside `window` is loading (or `timeoutMs`).
  static void waitForPages(QWidget* window, int timeoutMs);

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
  // Pointers that go null when their window goes: a later box may reuse the address.
  std::vector<QPointer<QWidget>> dialogsSeen_;
  QTimer* dialogTimer_ = nullptr;
  QString failedDialog_;
  QString expectedMessage_;
};

// The windows of start-up: the login window signs in with the demo account it
// was filled with, the cookie window accepts the demo cookie. Add before
// MainWindow::startUp.
void AddStartupSteps(Tour& tour);

// The program once it runs, against the simulator at `simBase`: the main window,
// item lookups and the row menu, a keyword and a shop search, 重试失败, the
// analysis window's two tabs and an export to DIR/kelvora.xlsx.
void AddProgramSteps(Tour& tour, MainWindow& window, const QString& simBase);

}  // namespace kelvora
