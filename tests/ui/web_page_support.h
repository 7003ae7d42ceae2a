#pragma once
// Waiting on the embedded browser in window tests.
#include <QString>
#include <QVariant>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtTest>

namespace kelvora::test {

// The value of `script` run in `page`; null when no answer came within 10 s.
inline QVariant RunScript(QWebEnginePage* page, const QString& script) {
  QVariant result;
  bool done = false;
  page->runJavaScript(script, [&](const QVariant& value) {
    result = value;
    done = true;
  });
  if (!QTest::qWaitFor([&] { return done; }, 10000)) return {};
  return result;
}

// True once `view` shows a page under `address` that has a title and has loaded.
inline bool WaitForLoad(QWebEngineView* view, const QString& address, int timeoutMs) {
  return QTest::qWaitFor(
      [&] {
        return view->url().toString().startsWith(address) && !view->title().isEmpty() &&
               RunScript(view->page(), "document.readyState").toString() == "complete";
      },
      timeoutMs);
}

}  // namespace kelvora::test
