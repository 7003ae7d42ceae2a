#pragma once
// An embedded browser area of a window. The browser engine starts only when the
// pane first navigates and browsers are enabled, so that windows also work where
// no engine can run (the offscreen platform of the window tests).
#include <QString>
#include <QWidget>

class QWebEngineProfile;
class QWebEngineView;

namespace kelvora {

// The one browser profile of the process, off the record (cookies and cache stay in
// memory): every embedded browser (cookie capture, wizard, notices) shares it, so a
// sign-in made in one is seen by the others. Made on first use; it goes with the
// application.
QWebEngineProfile* SharedBrowserProfile();

class BrowserPane : public QWidget {
  Q_OBJECT
 public:
  BrowserPane(const QString& objectName, QWidget* parent);
  ~BrowserPane() override;

  // Enabled by default except on the offscreen platform.
  static bool browsersEnabled();
  static void setBrowsersEnabled(bool enabled);

  // Creates the browser (on the shared off-the-record profile: nothing reaches the
  // disk) when browsers are enabled; nullptr otherwise.
  QWebEngineView* ensureView();
  QWebEngineView* view() const { return view_; }
  QWebEngineProfile* profile() const { return profile_; }

  void navigate(const QString& address);
  // The address of the last navigation asked for.
  QString lastAddress() const { return lastAddress_; }
  // Runs script in the page shown; nothing without a browser.
  void runScript(const QString& script);

 signals:
  void navigated(const QString& address);

 private:
  QWebEngineProfile* profile_ = nullptr;
  QWebEngineView* view_ = nullptr;
  QString lastAddress_;
};

}  // namespace kelvora
