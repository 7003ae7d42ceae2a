#include "session/cookie_capture_window.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkCookie>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>

#include "net/endpoints.h"
#include "net/request_stop.h"
#include "net/text.h"
#include "session/cart_test.h"
#include "session/cookie_entry_window.h"
#include "session/session_qt.h"
#include "ui/browser_pane_qt.h"
#include "ui/desktop_calls_qt.h"

namespace kelvora {
namespace {

QPointer<CookieCaptureWindow> gWindow;

constexpr int kKeepAliveMs = 60000;

QString Endpoint(std::string Endpoints::*member) { return FromGbk((*CurrentEndpoints()).*member); }

QPushButton* MakeButton(const QString& name, const QString& caption, QWidget* parent) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  return button;
}

QPlainTextEdit* MakeBox(const QString& name, QWidget* parent) {
  auto* box = new QPlainTextEdit(parent);
  box->setObjectName(name);
  box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  return box;
}

}  // namespace

CookieCaptureWindow* CookieCaptureWindow::open() {
  if (!gWindow) {
    gWindow = new CookieCaptureWindow();
    // The window outlives the cookie window that opened it; it goes with the program.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, gWindow.data(), &QObject::deleteLater);
    gWindow->show();
    gWindow->browser_->navigate(Endpoint(&Endpoints::LOGIN_SITE));
    return gWindow;
  }
  gWindow->show();
  gWindow->raise();
  gWindow->activateWindow();
  return gWindow;
}

CookieCaptureWindow* CookieCaptureWindow::instance() { return gWindow; }

CookieCaptureWindow::CookieCaptureWindow() : QWidget(nullptr, Qt::Window), link_(std::make_shared<UiLink>(this)) {
  setAttribute(Qt::WA_DeleteOnClose);
  // The form has no caption; an empty title would show the program file's name.
  setWindowTitle(QStringLiteral("Kelvora"));
  resize(892, 635);

  homeButton_ = MakeButton(QStringLiteral("按钮2"), QStringLiteral("打开淘宝首页"), this);
  loginButton_ = MakeButton(QStringLiteral("按钮3"), QStringLiteral("打开登录页面"), this);
  auto* instruction = new QLabel(QStringLiteral("请在登录后打开淘宝首页或购物车等页面。然后点击这里 → →"), this);
  instruction->setObjectName(QStringLiteral("标签2"));
  readButton_ = MakeButton(QStringLiteral("按钮1"), QStringLiteral("点击获取cookies值"), this);
  auto* top = new QHBoxLayout;
  top->addWidget(homeButton_);
  top->addWidget(loginButton_);
  top->addStretch(1);
  top->addWidget(instruction);
  top->addWidget(readButton_);

  browser_ = new BrowserPane(QStringLiteral("超文本浏览框1"), this);

  resultPanel_ = new QGroupBox(this);
  resultPanel_->setObjectName(QStringLiteral("分组框1"));
  resultPanel_->setFixedWidth(300);
  auto* testHint = new QLabel(QStringLiteral("如果您要测试。将会抓取您的购物车"), resultPanel_);
  testHint->setObjectName(QStringLiteral("标签1"));
  cookieBox_ = MakeBox(QStringLiteral("编辑框1"), resultPanel_);
  cookieBox_->setReadOnly(true);
  testButton_ = MakeButton(QStringLiteral("按钮4"), QStringLiteral("测试"), resultPanel_);
  copyButton_ = MakeButton(QStringLiteral("按钮5"), QStringLiteral("复制并使用"), resultPanel_);
  hidePanelButton_ = MakeButton(QStringLiteral("按钮6"), QStringLiteral("隐藏"), resultPanel_);
  auto* debugHint = new QLabel(QStringLiteral("调试数据 ↓ 请不要复制下方数据"), resultPanel_);
  debugHint->setObjectName(QStringLiteral("标签3"));
  debugBox_ = MakeBox(QStringLiteral("编辑框2"), resultPanel_);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(testButton_);
  buttons->addWidget(copyButton_);
  buttons->addWidget(hidePanelButton_);
  auto* panelLayout = new QVBoxLayout(resultPanel_);
  panelLayout->addWidget(testHint);
  panelLayout->addWidget(cookieBox_, 2);
  panelLayout->addLayout(buttons);
  panelLayout->addWidget(debugHint);
  panelLayout->addWidget(debugBox_, 1);
  resultPanel_->hide();

  auto* body = new QHBoxLayout;
  body->addWidget(browser_, 1);
  body->addWidget(resultPanel_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(body, 1);

  keepAliveTimer_ = new QTimer(this);
  keepAliveTimer_->setObjectName(QStringLiteral("时钟1"));

  connect(homeButton_, &QPushButton::clicked, this,
          [this] { browser_->navigate(Endpoint(&Endpoints::MARKET_HOME_URL)); });
  connect(loginButton_, &QPushButton::clicked, this, [this] { browser_->navigate(Endpoint(&Endpoints::LOGIN_SITE)); });
  connect(readButton_, &QPushButton::clicked, this, &CookieCaptureWindow::readCookies);
  connect(testButton_, &QPushButton::clicked, this, &CookieCaptureWindow::testCart);
  connect(copyButton_, &QPushButton::clicked, this, &CookieCaptureWindow::copyAndUse);
  connect(hidePanelButton_, &QPushButton::clicked, resultPanel_, &QWidget::hide);
  connect(keepAliveTimer_, &QTimer::timeout, this, &CookieCaptureWindow::keepAlive);

  // Our own record of the browser's cookies: the store tells of every cookie set
  // or dropped, HTTP-only ones included, and has no size limit.
  if (browser_->ensureView()) {
    QWebEngineCookieStore* store = browser_->profile()->cookieStore();
    connect(store, &QWebEngineCookieStore::cookieAdded, this,
            [this](const QNetworkCookie& cookie) { takeCookie(cookie, true); });
    connect(store, &QWebEngineCookieStore::cookieRemoved, this,
            [this](const QNetworkCookie& cookie) { takeCookie(cookie, false); });
  }
}

CookieCaptureWindow::~CookieCaptureWindow() {
  link_->close();
  RetireWorker(std::move(tester_));
}

void CookieCaptureWindow::takeCookie(const QNetworkCookie& cookie, bool added) {
  BrowserCookie entry;
  entry.name = cookie.name().toStdString();
  entry.value = cookie.value().toStdString();
  entry.domain = cookie.domain().toStdString();
  entry.path = cookie.path().toStdString();
  entry.secure = cookie.isSecure();
  entry.httpOnly = cookie.isHttpOnly();
  if (added) {
    jar_.add(entry);
  } else {
    jar_.remove(entry);
  }
}

std::optional<std::string> CookieCaptureWindow::readBrowserCookies(const std::string& address) const {
  std::string header = jar_.headerFor(address);
  if (header.empty()) return std::nullopt;
  return header;
}

void CookieCaptureWindow::readCookies() {
  if (std::optional<std::string> header = readBrowserCookies(CurrentEndpoints()->MARKET_ROOT_URL)) {
    // Cookie bytes are ASCII as a rule; anything else is taken as UTF-8, as the browser does.
    cookieBox_->setPlainText(QString::fromStdString(Trim(*header)));
    resultPanel_->show();
    return;
  }
  // Let the page show what its script can see, for the user to copy by hand.
  browser_->navigate(QStringLiteral("javascript:document.cookie;"));
  ShowMessage(this,
              QStringLiteral("取值失败！您的浏览器不支持此操作。\r\n请查看网页框内显示的文字。请复制所有内容。\r\n"
                             "如果没有显示或者不是纯粹的文字请手动取值。"),
              MessageCaption(), /*onTop=*/true);
}

void CookieCaptureWindow::testCart() {
  if (testing_) return;
  testing_ = true;
  testButton_->setEnabled(false);
  std::string cookie = ToGbk(cookieBox_->toPlainText());
  tester_ = std::jthread([this, link = link_, cookie = std::move(cookie)](std::stop_token stop) {
    SetThreadStopToken(stop);
    CartTestResult result = TestCartCookie(cookie);
    link->post([this, result = std::move(result)] { finishCartTest(result); });
  });
}

void CookieCaptureWindow::finishCartTest(const CartTestResult& result) {
  testing_ = false;
  testButton_->setEnabled(true);
  debugBox_->setPlainText(FromGbk(result.debugText));
  ShowMessage(this, FromGbk(result.message));
  emit cartTestFinished();
}

void CookieCaptureWindow::copyAndUse() {
  const QString text = cookieBox_->toPlainText();
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->setText(text);
  if (clipboard->text() != text) return;  // the clipboard refused it
  ShowMessage(this, QStringLiteral("已复制。软件会在后台自动刷新以保持会话\r\n请在半小时后重新取值以保证正常使用。"));
  if (CookieEntryWindow* entry = CookieEntryWindow::current()) entry->setPastedText(text);
  if (!text.isEmpty()) hideAndKeepAlive();
}

void CookieCaptureWindow::hideAndKeepAlive() {
  hide();
  keepAliveTimer_->start(kKeepAliveMs);
}

void CookieCaptureWindow::keepAlive() { browser_->navigate(Endpoint(&Endpoints::MARKET_HOME_URL)); }

void CookieCaptureWindow::closeEvent(QCloseEvent* event) {
  if (!cookieBox_->toPlainText().isEmpty()) {
    hideAndKeepAlive();
    event->ignore();
    return;
  }
  event->accept();  // closes and, with it, unloads the window
}

}  // namespace kelvora
