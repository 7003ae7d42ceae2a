#include "ui/desktop_calls_qt.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>
#include <mutex>

#include "net/codec.h"
#include "results/web_address.h"

namespace kelvora {

namespace {

// Workers reach ShowMessage through the UI thread, but tests set and clear the
// interceptors while a worker of the test before may still be winding down.
std::mutex gInterceptorMutex;
MessageInterceptor gMessageInterceptor;
OpenUrlInterceptor gOpenUrlInterceptor;
DesktopOpener gDesktopOpener;

}  // namespace

QString FromGbk(const std::string& gbk) { return QString::fromStdString(GbkToUtf8(gbk)); }

std::string ToGbk(const QString& text) { return Utf8ToGbk(text.toStdString()); }

QString WithCrLf(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  return text;
}

bool InstallQtTranslations() {
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  bool base = false;
  for (const char* catalog : {"qtbase", "qtwebengine"}) {
    auto* translator = new QTranslator(qApp);
    if (!translator->load(QStringLiteral("%1_zh_CN").arg(QLatin1String(catalog)), folder) ||
        !QCoreApplication::installTranslator(translator)) {
      delete translator;
      continue;
    }
    if (QLatin1String(catalog) == QLatin1String("qtbase")) base = true;
  }
  return base;
}

QString MessageCaption() { return QStringLiteral("信息："); }

namespace {

// True when a test took the message instead of a box.
bool Intercepted(const QString& caption, const QString& text) {
  MessageInterceptor intercept;
  {
    std::lock_guard lock(gInterceptorMutex);
    intercept = gMessageInterceptor;
  }
  if (!intercept) return false;
  intercept(caption, text);
  return true;
}

}  // namespace

void ShowMessage(QWidget* owner, const QString& text, const QString& caption, bool onTop) {
  if (Intercepted(caption, text)) return;
  QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
  if (onTop) {
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    box.raise();
    box.activateWindow();
  }
  box.exec();
}

void ShowNotice(const QString& text, const QString& caption) {
  if (Intercepted(caption, text)) return;
  auto* box = new QMessageBox(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, nullptr);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  box->show();
}

void SetMessageInterceptor(MessageInterceptor interceptor) {
  std::lock_guard lock(gInterceptorMutex);
  gMessageInterceptor = std::move(interceptor);
}

bool OpenWebAddress(const QString& address) {
  // The check works on bytes and looks only at ASCII, so UTF-8 passes through whole.
  const std::string checked = BrowsableAddress(address.toStdString());
  if (checked.empty()) return false;
  const QUrl url(QString::fromStdString(checked), QUrl::TolerantMode);
  if (!url.isValid()) return false;
  OpenUrlInterceptor intercept;
  {
    std::lock_guard lock(gInterceptorMutex);
    intercept = gOpenUrlInterceptor;
  }
  if (intercept) {
    intercept(url);
    return true;
  }
  DesktopOpener opener;
  {
    std::lock_guard lock(gInterceptorMutex);
    opener = gDesktopOpener;
  }
  const bool opened = opener ? opener(url) : QDesktopServices::openUrl(url);
  if (!opened) ShowUnopenedAddress(QApplication::activeWindow(), url.toString());
  return true;
}

void ShowUnopenedAddress(QWidget* owner, const QString& address) {
  const QString text = QStringLiteral("无法打开浏览器。请复制下面的网址，粘贴到浏览器的地址栏中打开：\n\n") + address;
  MessageInterceptor intercept;
  {
    std::lock_guard lock(gInterceptorMutex);
    intercept = gMessageInterceptor;
  }
  if (intercept) {
    intercept(MessageCaption(), text);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, MessageCaption(), text, QMessageBox::Ok, owner);
  box.setTextFormat(Qt::PlainText);
  box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  box.exec();
}

void SetDesktopOpener(DesktopOpener opener) {
  std::lock_guard lock(gInterceptorMutex);
  gDesktopOpener = std::move(opener);
}

void SetOpenUrlInterceptor(OpenUrlInterceptor interceptor) {
  std::lock_guard lock(gInterceptorMutex);
  gOpenUrlInterceptor = std::move(interceptor);
}

}  // namespace kelvora
