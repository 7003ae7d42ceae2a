#pragma once
// Calls from the windows into the desktop: message boxes and opening an address
// in the default browser. Tests put interceptors in their place.
#include <QString>
#include <QUrl>
#include <functional>
#include <string>

class QWidget;

namespace kelvora {

// GBK core text and the windows' text.
QString FromGbk(const std::string& gbk);
std::string ToGbk(const QString& text);

// "信息：", the caption of every message box unless a window names another.
QString MessageCaption();

// A message box with an OK button and no icon, modal to `owner` (none: to the
// application). Returns when the user closes it.
void ShowMessage(QWidget* owner, const QString& text, const QString& caption = MessageCaption());

// While set, ShowMessage hands its caption and text here instead of showing a box.
using MessageInterceptor = std::function<void(const QString& caption, const QString& text)>;
void SetMessageInterceptor(MessageInterceptor interceptor);

// Asks the desktop to open `url` with the default browser.
void OpenInBrowser(const QUrl& url);

// While set, OpenInBrowser hands the address here instead of the desktop.
using OpenUrlInterceptor = std::function<void(const QUrl& url)>;
void SetOpenUrlInterceptor(OpenUrlInterceptor interceptor);

}  // namespace kelvora
