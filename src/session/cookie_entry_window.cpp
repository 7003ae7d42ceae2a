#include "session/cookie_entry_window.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "net/request_stop.h"
#include "net/shared_state.h"
#include "session/cookie_capture_window.h"
#include "session/cookie_text.h"
#include "session/session_qt.h"
#include "session/warm_up.h"
#include "ui/desktop_calls_qt.h"

namespace kelvora {
namespace {

CookieEntryWindow* gCurrent = nullptr;

}  // namespace

QString CookieInstructionsText() {
  return QStringLiteral(
      "您好。感谢您的支持。  由于淘宝网新版本中添加了频繁访问商品页则需要登录的设定。"
      "所以在本软件中暂时需要用户提供cookies。  截取方法请查看软件目录的“截取COOKIES”文件。\r\n"
      "■■■\r\n"
      "在IE\\CHROME\\UC浏览器的地址栏里输入 javascript:document.cookie 然后回车。"
      "复制看到的文字到此。如果是网页则表示方法错误。（标点用英文）■■■\r\n"
      "\r\n"
      "请尽量用小号以降低传输时泄露的风险（本软件保证不会保存与收集此信息。）");
}

CookieEntryWindow::CookieEntryWindow(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CookieEntryWindow"));
  setWindowTitle(QStringLiteral("使用cookies登录"));
  setFixedSize(535, 362);
  // Modal for the main window; the capture window it opens stays usable beside it.
  setWindowModality(Qt::WindowModal);

  auto* instructions = new QLabel(CookieInstructionsText(), this);
  instructions->setObjectName(QStringLiteral("标签1"));
  instructions->setWordWrap(true);
  instructions->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  instructions->setGeometry(12, 10, 511, 120);

  pasteBox_ = new QPlainTextEdit(this);
  pasteBox_->setObjectName(QStringLiteral("编辑框1"));
  pasteBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  pasteBox_->setGeometry(12, 136, 511, 168);

  captureButton_ = new QPushButton(QStringLiteral("点此直接在淘宝登录"), this);
  captureButton_->setObjectName(QStringLiteral("按钮3"));
  captureButton_->setGeometry(12, 316, 150, 32);
  auto* hint = new QLabel(QStringLiteral("←也可在此操作。"), this);
  hint->setObjectName(QStringLiteral("标签3"));
  hint->setGeometry(168, 316, 130, 32);

  confirmButton_ = new QPushButton(QStringLiteral("确认并进入使用"), this);
  confirmButton_->setObjectName(QStringLiteral("按钮1"));
  confirmButton_->setGeometry(373, 316, 150, 32);

  connect(captureButton_, &QPushButton::clicked, this, [] { CookieCaptureWindow::open(); });
  connect(confirmButton_, &QPushButton::clicked, this, &CookieEntryWindow::confirm);

  pasteBox_->setPlainText(FromGbk(MarketCookie()));
  gCurrent = this;

  warmUp_ = std::jthread([](std::stop_token stop) {
    SetThreadStopToken(stop);
    WarmUpLookups();
  });
}

CookieEntryWindow::~CookieEntryWindow() {
  if (gCurrent == this) gCurrent = nullptr;
  // The warm-up does not belong to the window: it finishes its two lookups on its own.
  RetireWorker(std::move(warmUp_), /*letFinish=*/true);
}

CookieEntryWindow* CookieEntryWindow::current() { return gCurrent; }

void CookieEntryWindow::prefill(const QString& cookie) { pasteBox_->setPlainText(cookie); }

void CookieEntryWindow::setPastedText(const QString& text) { pasteBox_->setPlainText(text); }

void CookieEntryWindow::confirm() {
  // The box keeps line breaks as LF; the cleaning rule removes CR LF pairs as an
  // edit box of the platform hands them out.
  const CookieTextResult result = NormalizeCookieText(ToGbk(WithCrLf(pasteBox_->toPlainText())));
  pasteBox_->setPlainText(FromGbk(result.cleaned));
  if (!result.accepted) {
    ShowMessage(this, FromGbk(result.refusal));
    return;
  }
  SetMarketCookie(result.cookie);
  accept();
}

}  // namespace kelvora
