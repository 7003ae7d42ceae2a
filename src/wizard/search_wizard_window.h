#pragma once
// The advanced search wizard: turns a keyword search that the user refines in a
// built-in browser into one list-page address per result page, or takes pasted
// item-page addresses, and hands either to the main window's 高级搜索 tab. It
// writes only 组合框1 and 编辑框2 of the main window; the user starts the search.
#include <QDialog>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>
#include <thread>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QWebEngineProfile;
class QWebEngineView;

namespace kelvora {

class SearchWizardWindow : public QDialog {
  Q_OBJECT

 public:
  // `mainWindow` holds the 组合框1 and 编辑框2 that the wizard fills (found by name).
  explicit SearchWizardWindow(QWidget* mainWindow);
  // A search address still being fetched is abandoned; the window does not wait for it.
  ~SearchWizardWindow() override;

  // The browser engine starts on the first navigation, and only where browsers are
  // enabled: by default everywhere but on the offscreen platform.
  static bool browsersEnabled();
  static void setBrowsersEnabled(bool enabled);

  // The browser's operations. Without a browser the current address is the last
  // one asked for, so the steps still work on what they would have shown.
  void navigate(const QString& address);
  QString currentAddress() const;
  QWebEngineView* browserView() const { return view_; }
  // True from step ① until its address is in the browser, and while the browser
  // loads a page it was sent to.
  bool busy() const;

 signals:
  // Step ①'s address has been handed to the browser.
  void searchAddressReady(const QString& address);

 private:
  struct FetchLink;

  void buildStartPage(QWidget* page);
  void buildBrowserPage(QWidget* page);
  void buildAddressPage(QWidget* page);
  QWidget* mainControl(const char* name) const;

  void searchListPages();  // step ①
  void takeSearchAddress(const QString& address);
  void confirmAddress();     // step ②
  void generateAddresses();  // step ④
  void handOverListPages();  // step ⑤
  void handOverItemPages();  // 确认输入并关闭
  void handOver(int kindIndex, const QString& text);

  // The browser's three notifications.
  void navigationCompleted(const QUrl& url);
  void loadingStarted();
  void documentLoaded();

  QWebEngineView* ensureView();

  QPointer<QWidget> mainWindow_;
  QTabWidget* tabs_;
  QLineEdit* keywordBox_;
  QPlainTextEdit* itemAddressBox_;
  QLineEdit* addressBox_;
  QWidget* browserArea_;
  QLabel* loadLabel_;
  QLineEdit* firstPageBox_;
  QLineEdit* lastPageBox_;
  QPlainTextEdit* resultBox_;

  QWebEngineProfile* profile_ = nullptr;
  QWebEngineView* view_ = nullptr;
  QString requestedAddress_;
  bool awaitingLoad_ = false;

  std::shared_ptr<FetchLink> fetchLink_;
  std::jthread fetcher_;
};

// 按钮14 "使用向导": opens the wizard over `mainWindow`, modal to it. The window
// deletes itself once closed; the pointer is for the caller's own driving (tours).
SearchWizardWindow* OpenSearchWizard(QWidget* mainWindow);

}  // namespace kelvora
