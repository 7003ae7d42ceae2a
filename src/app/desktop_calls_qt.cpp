#include "app/desktop_calls_qt.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <mutex>

#include "net/codec.h"

namespace kelvora {

namespace {

std::mutex gInterceptorMutex;
MessageInterceptor gMessageInterceptor;
OpenUrlInterceptor gOpenUrlInterceptor;

}  // namespace

QString FromGbk(const std::string& gbk) { return QString::fromStdString(GbkToUtf8(gbk)); }

std::string ToGbk(const QString& text) { return Utf8ToGbk(text.toStdString()); }

QString MessageCaption() { return QStringLiteral("信息："); }

void ShowMessage(QWidget* owner, const QString& text, const QString& caption) {
  MessageInterceptor intercept;
  {
    std::lock_guard lock(gInterceptorMutex);
    intercept = gMessageInterceptor;
  }
  if (intercept) {
    intercept(caption, text);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
  box.exec();
}

void SetMessageInterceptor(MessageInterceptor interceptor) {
  std::lock_guard lock(gInterceptorMutex);
  gMessageInterceptor = std::move(interceptor);
}

void OpenInBrowser(const QUrl& url) {
  OpenUrlInterceptor intercept;
  {
    std::lock_guard lock(gInterceptorMutex);
    intercept = gOpenUrlInterceptor;
  }
  if (intercept) {
    intercept(url);
    return;
  }
  QDesktopServices::openUrl(url);
}

void SetOpenUrlInterceptor(OpenUrlInterceptor interceptor) {
  std::lock_guard lock(gInterceptorMutex);
  gOpenUrlInterceptor = std::move(interceptor);
}

}  // namespace kelvora
