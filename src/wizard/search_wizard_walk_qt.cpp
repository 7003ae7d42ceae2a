#include "wizard/search_wizard_walk_qt.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QThread>

#include "wizard/search_wizard_window.h"

namespace kelvora {
namespace {

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

// A control of the main window itself, not of a wizard over it.
template <typename T>
T* MainControl(QWidget* mainWindow, const char* name) {
  for (T* w : mainWindow->findChildren<T*>(QString::fromUtf8(name))) {
    bool inWizard = false;
    for (QObject* o = w; o && o != mainWindow; o = o->parent())
      if (qobject_cast<SearchWizardWindow*>(o)) inWizard = true;
    if (!inWizard) return w;
  }
  return nullptr;
}

template <typename T>
T* WizardControl(SearchWizardWindow* wizard, const char* name) {
  return wizard->findChild<T*>(QString::fromUtf8(name));
}

}  // namespace

QString WalkSearchWizard(QWidget* mainWindow, const WizardWalk& walk) {
  auto shoot = [&](QWidget* w, const char* name) {
    if (walk.shoot) walk.shoot(w, QString::fromUtf8(name));
  };
  auto* open = MainControl<QAbstractButton>(mainWindow, "按钮14");
  if (!open) return QStringLiteral("wizard-open");
  const auto before = mainWindow->findChildren<SearchWizardWindow*>();
  open->click();
  QPointer<SearchWizardWindow> wizard;
  for (SearchWizardWindow* w : mainWindow->findChildren<SearchWizardWindow*>())
    if (!before.contains(w) && w->isVisible()) wizard = w;
  if (!wizard) return QStringLiteral("wizard-open");
  shoot(wizard, "wizard-start");

  // Step ①: the search page of the keyword, in the browser.
  WizardControl<QLineEdit>(wizard, "编辑框2")->setText(walk.keyword);
  WizardControl<QAbstractButton>(wizard, "按钮2")->click();
  if (!WaitUntil([&] { return !wizard || (!wizard->busy() && !wizard->currentAddress().isEmpty()); }, walk.timeoutMs) ||
      !wizard)
    return QStringLiteral("wizard-search");
  // Step ③: what a click on a sort link does.
  if (!walk.refinement.isEmpty()) {
    wizard->navigate(wizard->currentAddress() + walk.refinement);
    if (!WaitUntil([&] { return !wizard || !wizard->busy(); }, walk.timeoutMs) || !wizard ||
        !wizard->currentAddress().endsWith(walk.refinement))
      return QStringLiteral("wizard-refine");
  }
  shoot(wizard, "wizard-browser");

  // Steps ② and ④.
  WizardControl<QAbstractButton>(wizard, "按钮3")->click();
  WizardControl<QLineEdit>(wizard, "编辑框11")->setText(walk.firstPage);
  WizardControl<QLineEdit>(wizard, "编辑框12")->setText(walk.lastPage);
  WizardControl<QAbstractButton>(wizard, "按钮4")->click();
  const QString addresses = WizardControl<QPlainTextEdit>(wizard, "编辑框5")->toPlainText();
  shoot(wizard, "wizard-addresses");

  // Step ⑤ hands the addresses to the 高级搜索 tab and closes the wizard.
  WizardControl<QAbstractButton>(wizard, "按钮5")->click();
  auto* box = MainControl<QPlainTextEdit>(mainWindow, "编辑框2");
  if ((wizard && wizard->isVisible()) || !box || box->toPlainText() != addresses)
    return QStringLiteral("wizard-hand-over");
  if (!walk.runSearch) return QString();

  auto* query = MainControl<QAbstractButton>(mainWindow, "按钮8");
  if (!query || !query->isEnabled()) return QStringLiteral("list-search");
  query->click();
  if (!WaitUntil([&] { return query->isEnabled(); }, walk.timeoutMs)) return QStringLiteral("list-search");
  shoot(mainWindow, "list-search");
  return QString();
}

}  // namespace kelvora
