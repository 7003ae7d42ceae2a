#include "ui/browser_pane_qt.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <optional>

namespace kelvora {
namespace {

std::optional<bool>& EnabledSetting() {
  static std::optional<bool> enabled;
  return enabled;
}

}  // namespace

QWebEngineProfile* SharedBrowserProfile() {
  static QPointer<QWebEngineProfile> profile;
  if (!profile) {
    // A profile without a storage name is off the record: cookies and cache stay in memory.
    profile = new QWebEngineProfile(qApp);
    profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
  }
  return profile;
}

BrowserPane::BrowserPane(const QString& objectName, QWidget* parent) : QWidget(parent) {
  setObjectName(objectName);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
}

BrowserPane::~BrowserPane() {
  delete view_;
  view_ = nullptr;
}

bool BrowserPane::browsersEnabled() {
  if (EnabledSetting()) return *EnabledSetting();
  return QGuiApplication::platformName() != QLatin1String("offscreen");
}

void BrowserPane::setBrowsersEnabled(bool enabled) { EnabledSetting() = enabled; }

QWebEngineView* BrowserPane::ensureView() {
  if (view_ || !browsersEnabled()) return view_;
  profile_ = SharedBrowserProfile();
  view_ = new QWebEngineView(this);
  view_->setPage(new QWebEnginePage(profile_, view_));
  layout()->addWidget(view_);
  return view_;
}

void BrowserPane::navigate(const QString& address) {
  lastAddress_ = address;
  if (QWebEngineView* view = ensureView()) {
    if (address.startsWith(QLatin1String("javascript:"), Qt::CaseInsensitive)) {
      // A "javascript:" address runs in the page shown; a text result replaces the
      // page, as the desktop browsers of the marketplace's users do.
      const QString code = QUrl::fromPercentEncoding(address.mid(11).toUtf8());
      const QString quoted = QString::fromUtf8(QJsonDocument(QJsonArray{code}).toJson(QJsonDocument::Compact));
      view->page()->runJavaScript(QStringLiteral("(function(){var r=(0,eval)(%1[0]);if(typeof r==='string'){"
                                                 "document.open();document.close();document.body.textContent=r;}})();")
                                      .arg(quoted));
    } else {
      view->setUrl(QUrl(address));
    }
  }
  emit navigated(address);
}

void BrowserPane::runScript(const QString& script) {
  if (view_) view_->page()->runJavaScript(script);
}

}  // namespace kelvora
