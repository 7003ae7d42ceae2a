#include "app/tour_qt.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <algorithm>
#include <cstdio>

namespace kelvora {

Tour::Tour(QString dir, QObject* parent) : QObject(parent), dir_(std::move(dir)) {}

void Tour::addStep(const QString& name, StepFn run) { steps_.push_back({name, std::move(run)}); }

void Tour::addDialogStep(const QString& objectName, const QString& shotName, DialogFn act) {
  dialogSteps_[objectName] = {shotName, std::move(act)};
}

void Tour::watchDialogs() {
  if (dialogTimer_) return;
  dialogTimer_ = new QTimer(this);
  dialogTimer_->setInterval(200);
  connect(dialogTimer_, &QTimer::timeout, this, &Tour::checkDialogs);
  dialogTimer_->start();
}

void Tour::checkDialogs() {
  QWidget* modal = QApplication::activeModalWidget();
  std::erase_if(dialogsSeen_, [](const QPointer<QWidget>& seen) { return seen.isNull(); });
  if (!modal || !modal->isVisible() || std::find(dialogsSeen_.begin(), dialogsSeen_.end(), modal) != dialogsSeen_.end())
    return;
  dialogsSeen_.emplace_back(modal);
  const auto it = dialogSteps_.find(modal->objectName());
  if (it == dialogSteps_.end()) {
    // The windows that steps open themselves (the analysis window) are theirs.
    if (!qobject_cast<QMessageBox*>(modal)) return;
    if (!expectedMessage_.isEmpty()) {
      shoot(modal, expectedMessage_);
      expectedMessage_.clear();
    } else {
      // A message nobody expected: keep its picture, close it, and go on.
      std::fprintf(stderr, "kelvora: tour: a message came up: %s\n",
                   static_cast<QMessageBox*>(modal)->text().toUtf8().constData());
      shoot(modal, QStringLiteral("message"));
    }
    static_cast<QMessageBox*>(modal)->accept();
    return;
  }
  // Acted on from a call of its own: the watcher's timer does not fire again until
  // its handler returns, and the act waits for answers that may bring a message.
  const DialogStep step = it->second;
  QTimer::singleShot(0, this, [this, step, dialog = QPointer<QWidget>(modal)] {
    if (!dialog) return;
    waitForPages(dialog, 10000);
    std::fprintf(stderr, "kelvora: tour step \"%s\"\n", step.shotName.toUtf8().constData());
    bool done = dialog && shoot(dialog, step.shotName);
    done = done && dialog && step.act(dialog);
    if (done) return;
    if (failedDialog_.isEmpty()) failedDialog_ = step.shotName;
    // Start-up must not wait for a window that the tour gave up on.
    if (auto* d = qobject_cast<QDialog*>(dialog.data()); d && d->isVisible()) d->reject();
  });
}

void Tour::start() {
  // The watcher stays on: a message that comes up during a step is photographed
  // and closed instead of holding up the tour.
  watchDialogs();
  QTimer::singleShot(0, this, &Tour::runNext);
}

void Tour::fail(const QString& step) {
  std::fprintf(stderr, "kelvora: tour step \"%s\" failed\n", step.toUtf8().constData());
  QCoreApplication::exit(1);
}

void Tour::runNext() {
  if (!failedDialog_.isEmpty()) {
    fail(failedDialog_);
    return;
  }
  if (next_ >= steps_.size()) {
    std::fprintf(stderr, "kelvora: tour done, %d pictures in %s\n", shots_, dir_.toUtf8().constData());
    QCoreApplication::exit(0);
    return;
  }
  const Step& step = steps_[next_++];
  std::fprintf(stderr, "kelvora: tour step \"%s\"\n", step.name.toUtf8().constData());
  if (!step.run()) {
    fail(step.name);
    return;
  }
  // A short breath between steps lets the window draw what the step changed.
  QTimer::singleShot(150, this, &Tour::runNext);
}

bool Tour::save(const QPixmap& picture, const QString& name) {
  QDir().mkpath(dir_);
  const QString file =
      QDir(dir_).filePath(QStringLiteral("%1-%2.png").arg(++shots_, 2, 10, QLatin1Char('0')).arg(name));
  return !picture.isNull() && picture.save(file, "PNG");
}

bool Tour::shoot(QWidget* widget, const QString& name) { return widget && save(picture(widget), name); }

namespace {

constexpr int kTitleBar = 24;
constexpr int kBorder = 1;

bool Framed(const QWidget* widget) { return widget->isWindow() && (widget->windowFlags() & Qt::Popup) != Qt::Popup; }

QPoint ContentOffset(const QWidget* widget) { return Framed(widget) ? QPoint(kBorder, kTitleBar) : QPoint(); }

}  // namespace

QPixmap Tour::picture(QWidget* widget) {
  QPixmap content = widget->grab();
  if (!Framed(widget) || content.isNull()) return content;
  const QSize size = content.deviceIndependentSize().toSize();
  QPixmap framed(size.width() + 2 * kBorder, size.height() + kTitleBar + kBorder);
  framed.fill(QColor(0x4a, 0x50, 0x60));
  QPainter painter(&framed);
  QFont font = widget->font();
  font.setPixelSize(13);
  font.setBold(true);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(QRect(10, 0, framed.width() - 20, kTitleBar), Qt::AlignVCenter | Qt::AlignLeft,
                   widget->windowTitle());
  painter.drawPixmap(QRect(ContentOffset(widget), size), content);
  return framed;
}

QPixmap Tour::composed(QWidget* under, QWidget* top) {
  QPixmap result = picture(under);
  QPainter painter(&result);
  const QPoint at = top->mapToGlobal(QPoint(0, 0)) - under->mapToGlobal(QPoint(0, 0));
  painter.drawPixmap(ContentOffset(under) + at - ContentOffset(top), picture(top));
  return result;
}

bool Tour::waitUntil(const std::function<bool()>& condition, int timeoutMs) {
  QEventLoop loop;
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (condition()) loop.quit();
  });
  if (condition()) return true;
  deadline.start(timeoutMs);
  poll.start(50);
  loop.exec();
  return condition();
}

void Tour::breathe(int ms) {
  waitUntil([] { return false; }, ms);
}

void Tour::waitForPages(QWidget* window, int timeoutMs) {
  const QList<QWebEngineView*> views = window->findChildren<QWebEngineView*>();
  if (views.isEmpty()) return;
  waitUntil(
      [&] {
        for (QWebEngineView* v : views)
          if (v->page()->isLoading()) return false;
        return true;
      },
      timeoutMs);
  breathe(500);  // the page paints after it has loaded
}

}  // namespace kelvora
