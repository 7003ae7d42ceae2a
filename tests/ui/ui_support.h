#pragma once
// Shared pieces of the window tests: captured message boxes and browser calls,
// a program folder with its support file, and simulator items.
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <QWidget>
#include <string>
#include <vector>

#include "net/codec.h"
#include "net/http.h"
#include "net/json.h"
#include "net/settings.h"
#include "net/shared_state.h"
#include "net/text.h"
#include "support/sim_process.h"
#include "ui/desktop_calls_qt.h"

namespace kelvora::test {

struct Captured {
  QString caption;
  QString text;
  bool onUiThread = false;
};

// Routes message boxes and browser calls into lists for the life of the object.
class DesktopRecorder {
 public:
  DesktopRecorder() {
    SetMessageInterceptor([this](const QString& caption, const QString& text) {
      messages.push_back({caption, text, QThread::currentThread() == qApp->thread()});
    });
    SetOpenUrlInterceptor([this](const QUrl& url) { opened.push_back(url); });
  }
  ~DesktopRecorder() {
    SetMessageInterceptor({});
    SetOpenUrlInterceptor({});
  }
  std::vector<Captured> messages;
  std::vector<QUrl> opened;
};

// A program folder; with the support file res/b.html unless told otherwise.
class ProgramDir {
 public:
  explicit ProgramDir(bool withSupportFile = true) {
    if (withSupportFile) {
      QDir(dir_.path()).mkpath(QStringLiteral("res"));
      write(QStringLiteral("res/b.html"), "<html></html>");
    }
  }
  QString path() const { return dir_.path(); }
  void write(const QString& name, const QByteArray& bytes) {
    QFile f(QDir(dir_.path()).filePath(name));
    if (f.open(QIODevice::WriteOnly)) f.write(bytes);
  }

 private:
  QTemporaryDir dir_;
};

// Keeps QSettings (the registry of the version stamp) inside a scratch folder.
class ScratchSettings {
 public:
  ScratchSettings() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir_.path());
  }
  QVariant versionStamp() const {
    QSettings settings(QStringLiteral("Dunmar"), QStringLiteral("pormiq"));
    return settings.value(QStringLiteral("Default"));
  }

 private:
  QTemporaryDir dir_;
};

// Item page addresses of `count` simulator items of `kind` (taobao, tmall, ...).
inline std::vector<std::string> SimItems(const std::string& base, const std::string& kind, int count) {
  std::string url = base + "/sim/catalogue.json?offset=0&limit=200";
  std::string cookie;
  JsonReader json;
  json.load("c", HttpFetch(url, "", cookie));
  std::vector<std::string> addresses;
  for (int32_t i = 0; i < json.getLength("c.items") && static_cast<int>(addresses.size()) < count; ++i) {
    const std::string item = "c.items[" + NumberText(static_cast<int64_t>(i)) + "]";
    if (json.getText(item + ".kind") != kind) continue;
    addresses.push_back(base + (kind == "tmall" ? "/detail/item.htm?id=" : "/item/item.htm?id=") +
                        json.getText(item + ".id"));
  }
  return addresses;
}

// The child widget of `window` named `name` (UTF-8), or null.
template <typename W>
W* Find(QWidget& window, const char* name) {
  return window.findChild<W*>(QString::fromUtf8(name));
}

// Points every endpoint at `sim`.
inline bool UseSim(const SimProcess& sim) {
  Settings settings;
  std::string error;
  return LoadSettingsFile(sim.configPath(), settings, error) && ApplySettings(settings, error);
}

// The simulator's demo session and marketplace cookie.
inline void SignInToSim() {
  SetServiceCookie("kv_auth=kelvorademo-session");
  SetMarketCookie("cookie2=kelvorademo0000; _tb_token_=kelvora; t=kelvorademo");
}

}  // namespace kelvora::test
