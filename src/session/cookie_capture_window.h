#pragma once
// The built-in browser in which the user signs in to the marketplace; the window
// reads the browser's cookies itself, tests them against the cart page, and keeps
// the browser's marketplace session alive once it is hidden.
#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "session/browser_cookies.h"

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QNetworkCookie;

namespace kelvora {

class BrowserPane;
class UiLink;
struct CartTestResult;

class CookieCaptureWindow : public QWidget {
  Q_OBJECT
 public:
  // Shows the one capture window, creating it when there is none (a hidden one is
  // shown again with its browser and timer as they are).
  static CookieCaptureWindow* open();
  // The capture window if one exists.
  static CookieCaptureWindow* instance();

  ~CookieCaptureWindow() override;

  // The browser's Cookie header text for `address` (every cookie the browser would
  // send there, HTTP-only ones included); nullopt when it holds none.
  std::optional<std::string> readBrowserCookies(const std::string& address) const;

  BrowserPane* browser() const { return browser_; }
  // True while the cart test runs.
  bool testing() const { return testing_; }

 signals:
  // The cart test has shown its message; for the program's tour and tests.
  void cartTestFinished();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  CookieCaptureWindow();
  void readCookies();
  void testCart();
  void finishCartTest(const CartTestResult& result);
  void copyAndUse();
  void hideAndKeepAlive();
  void keepAlive();
  void takeCookie(const QNetworkCookie& cookie, bool added);

  BrowserPane* browser_;
  QPushButton* homeButton_;
  QPushButton* loginButton_;
  QPushButton* readButton_;
  QGroupBox* resultPanel_;
  QPlainTextEdit* cookieBox_;
  QPushButton* testButton_;
  QPushButton* copyButton_;
  QPushButton* hidePanelButton_;
  QPlainTextEdit* debugBox_;
  QTimer* keepAliveTimer_;
  BrowserCookieJar jar_;
  bool testing_ = false;
  std::shared_ptr<UiLink> link_;
  std::jthread tester_;
};

}  // namespace kelvora
