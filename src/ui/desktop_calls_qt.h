#pragma once
// Calls from the windows into the desktop, shared by every window: text between
// the core's GBK and Qt, message boxes, and opening a web address in the default
// browser. Tests put interceptors in place of the boxes and the browser.
#include <QString>
#include <QUrl>
#include <functional>
#include <string>

class QWidget;

namespace kelvora {

// GBK core text and the windows' text.
QString FromGbk(const std::string& gbk);
std::string ToGbk(const QString& text);

// `text` with the CR LF line breaks that the platform's edit boxes hand out (the
// core splits and cleans by them), whichever breaks it holds; Qt's boxes give LF.
QString WithCrLf(QString text);

// Loads Qt's own Chinese texts (file dialogs, message box buttons, the browser
// views' menus) into the application, whatever the desktop's language: every
// text of this program is Chinese. False when Qt's translations are missing.
bool InstallQtTranslations();

// "信息：", the caption of every message box unless a window names another.
QString MessageCaption();

// A message box with an OK button and no icon, modal to `owner` (none: to the
// application); `onTop` keeps it above other windows. Returns when the user
// closes it.
void ShowMessage(QWidget* owner, const QString& text, const QString& caption = MessageCaption(), bool onTop = false);

// The same box without an owner and without blocking any window: it returns at
// once, and the box goes when the user closes it. Intercepted like ShowMessage.
void ShowNotice(const QString& text, const QString& caption = MessageCaption());

// While set, ShowMessage hands its caption and text here instead of showing a
// box (an empty interceptor restores the boxes). Callable from any thread.
using MessageInterceptor = std::function<void(const QString& caption, const QString& text)>;
void SetMessageInterceptor(MessageInterceptor interceptor);

// Opens `address` with the desktop's default browser when it is a web address
// (BrowsableAddress: http or https with a host, "//host/..." read as http);
// anything else (file:, javascript:, a program's path) is ignored. When the
// desktop cannot open it (no browser), a message shows the address for copying.
// Returns whether it was handed over.
bool OpenWebAddress(const QString& address);

// The message of a web address the desktop could not open; the address in it can
// be selected and copied with the mouse or the keyboard.
void ShowUnopenedAddress(QWidget* owner, const QString& address);

// The desktop's own opener (QDesktopServices::openUrl); tests put one that fails.
// An empty opener restores the desktop's.
using DesktopOpener = std::function<bool(const QUrl& url)>;
void SetDesktopOpener(DesktopOpener opener);

// While set, OpenWebAddress hands the address here instead of the desktop.
using OpenUrlInterceptor = std::function<void(const QUrl& url)>;
void SetOpenUrlInterceptor(OpenUrlInterceptor interceptor);

}  // namespace kelvora
