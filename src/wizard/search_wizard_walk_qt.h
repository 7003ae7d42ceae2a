#pragma once
// One pass through the advanced search wizard as a user makes it, for the demo
// tour: 按钮14, a keyword, a refinement in the browser, a page range, ⑤, and the
// list-address search of 按钮8 over the addresses it produced.
#include <QString>

#include <functional>

class QWidget;

namespace kelvora {

struct WizardWalk {
  QString keyword;
  // Appended to the search address before step ②, as a click on one of the result
  // page's sort or filter links does ("&sort=sale-desc"); empty keeps the address.
  QString refinement;
  QString firstPage = QStringLiteral("1");
  QString lastPage = QStringLiteral("2");
  // Press 按钮8 afterwards and wait until the search has ended (the button is
  // enabled again).
  bool runSearch = true;
  // Called with the wizard on each of its pages and with the main window at the
  // end (names "wizard-start", "wizard-browser", "wizard-addresses", "list-search").
  std::function<void(QWidget* window, const QString& name)> shoot;
  int timeoutMs = 60000;
};

// Runs the walk from `mainWindow`, whose 按钮14 must open the wizard. Returns the
// empty text when every step did its part, else the name of the step that did not.
QString WalkSearchWizard(QWidget* mainWindow, const WizardWalk& walk);

}  // namespace kelvora
