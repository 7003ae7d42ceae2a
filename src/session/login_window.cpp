#include "session/login_window.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "net/endpoints.h"
#include "net/request_stop.h"
#include "net/shared_state.h"
#include "net/text.h"
#include "session/login.h"
#include "session/session_qt.h"
#include "ui/browser_pane_qt.h"
#include "ui/desktop_calls_qt.h"

namespace kelvora {
namespace {

QString ServiceAddress(const char* path) {
  return FromGbk(CurrentEndpoints()->SERVICE_BASE) + QString::fromLatin1(path);
}

QLabel* MakeLink(const QString& name, const QString& caption, QWidget* parent) {
  auto* link = new QLabel(QStringLiteral("<a href=\"#\">%1</a>").arg(caption), parent);
  link->setObjectName(name);
  link->setTextFormat(Qt::RichText);
  link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  link->setCursor(Qt::PointingHandCursor);
  return link;
}

}  // namespace

LoginWindow::LoginWindow(QWidget* parent) : QDialog(parent), link_(std::make_shared<UiLink>(this)) {
  setObjectName(QStringLiteral("LoginWindow"));
  setWindowTitle(QStringLiteral("软件登录"));
  setFixedSize(382, 287);
  // Modal for the main window only, so that nothing else of the desktop is held up.
  setWindowModality(Qt::WindowModal);

  auto* userLabel = new QLabel(QStringLiteral("用户名"), this);
  userLabel->setObjectName(QStringLiteral("标签1"));
  userLabel->setGeometry(40, 24, 60, 24);
  userBox_ = new QLineEdit(this);
  userBox_->setObjectName(QStringLiteral("编辑框1"));
  userBox_->setGeometry(104, 24, 200, 24);

  auto* passwordLabel = new QLabel(QStringLiteral("密码"), this);
  passwordLabel->setObjectName(QStringLiteral("标签2"));
  passwordLabel->setGeometry(40, 60, 60, 24);
  passwordBox_ = new QLineEdit(this);
  passwordBox_->setObjectName(QStringLiteral("编辑框2"));
  passwordBox_->setGeometry(104, 60, 200, 24);
  passwordBox_->setEchoMode(QLineEdit::Password);
  passwordBox_->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));  // '*'

  loginButton_ = new QPushButton(QStringLiteral("登录"), this);
  loginButton_->setObjectName(QStringLiteral("按钮1"));
  loginButton_->setGeometry(104, 100, 90, 30);
  loginButton_->setDefault(true);

  registerLink_ = MakeLink(QStringLiteral("超级链接框1"), QStringLiteral("注册帐号"), this);
  registerLink_->setGeometry(210, 104, 60, 24);
  findPasswordLink_ = MakeLink(QStringLiteral("超级链接框2"), QStringLiteral("忘记密码"), this);
  findPasswordLink_->setGeometry(276, 104, 60, 24);

  notice_ = new BrowserPane(QStringLiteral("超文本浏览框1"), this);
  notice_->setGeometry(11, 287 - 96 - 11, 360, 96);

  connect(loginButton_, &QPushButton::clicked, this, &LoginWindow::login);
  connect(registerLink_, &QLabel::linkActivated, this, [this] { openServicePage("index.php/register"); });
  connect(findPasswordLink_, &QLabel::linkActivated, this, [this] { openServicePage("index.php/Login/Findpwd"); });

  notice_->navigate(ServiceAddress("index.php/Login/Notice?ver=3.3"));
}

LoginWindow::~LoginWindow() {
  link_->close();
  RetireWorker(std::move(worker_));
}

void LoginWindow::prefill(const QString& user, const QString& password) {
  userBox_->setText(user);
  passwordBox_->setText(password);
}

void LoginWindow::openServicePage(const char* path) { OpenWebAddress(ServiceAddress(path)); }

void LoginWindow::setBusy(bool busy) {
  busy_ = busy;
  userBox_->setEnabled(!busy);
  passwordBox_->setEnabled(!busy);
  loginButton_->setEnabled(!busy);
  if (busy) {
    setCursor(Qt::BusyCursor);
  } else {
    unsetCursor();
  }
}

void LoginWindow::login() {
  if (busy_) return;
  const std::string user = Trim(ToGbk(userBox_->text()));
  const std::string password = Trim(ToGbk(passwordBox_->text()));
  userBox_->setText(FromGbk(user));
  passwordBox_->setText(FromGbk(password));
  setBusy(true);
  // The previous attempt's thread has delivered its answer and is ending: joining is immediate.
  worker_ = std::jthread([this, link = link_, user, password](std::stop_token stop) {
    SetThreadStopToken(stop);
    // The session takes effect where the answer is shown: a window closed before
    // that has not signed in, and start-up ends as without a sign-in.
    LoginResult result = ServiceLogin(user, password, false);
    // Delivered only while this attempt's link is open, i.e. the window exists and waits for it.
    link->post([this, result = std::move(result)] { finishLogin(result); });
  });
}

void LoginWindow::finishLogin(const LoginResult& result) {
  setBusy(false);
  userBox_->setText(FromGbk(result.user));
  passwordBox_->setText(FromGbk(result.password));
  if (result.outcome == LoginOutcome::Success) SetServiceCookie(result.cookie);
  if (!result.message.empty()) ShowMessage(this, FromGbk(result.message));
  emit attemptFinished();
  if (result.outcome == LoginOutcome::Success) {
    accept();
  } else if (result.outcome == LoginOutcome::WrongPassword) {
    // The seller retypes it at once.
    passwordBox_->setFocus();
    passwordBox_->selectAll();
  }
}

void LoginWindow::done(int result) {
  // Closing while a request is under way abandons it: the answer is dropped.
  if (busy_) {
    link_->close();
    link_ = std::make_shared<UiLink>(this);
    RetireWorker(std::move(worker_));
    setBusy(false);
  }
  QDialog::done(result);
}

}  // namespace kelvora
