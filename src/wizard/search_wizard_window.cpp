#include "wizard/search_wizard_window.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "net/request_stop.h"
#include "ui/browser_pane_qt.h"
#include "ui/desktop_calls_qt.h"
#include "wizard/page_addresses.h"

namespace kelvora {
namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

std::optional<bool>& BrowsersSetting() {
  static std::optional<bool> enabled;
  return enabled;
}

template <typename W>
W* Place(W* widget, const char* name, const QRect& geometry) {
  widget->setObjectName(U(name));
  widget->setGeometry(geometry);
  return widget;
}

QLabel* Label(QWidget* parent, const char* name, const char* text, const QRect& geometry) {
  return Place(new QLabel(U(text), parent), name, geometry);
}

QPushButton* Button(QWidget* parent, const char* name, const char* text, const QRect& geometry) {
  auto* button = Place(new QPushButton(U(text), parent), name, geometry);
  // Enter in a box must not press a step's button: each step is its own click.
  button->setAutoDefault(false);
  return button;
}

QPlainTextEdit* AddressBox(QWidget* parent, const char* name, const QRect& geometry) {
  auto* box = Place(new QPlainTextEdit(parent), name, geometry);
  box->setLineWrapMode(QPlainTextEdit::NoWrap);
  box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  return box;
}

void SetBoxText(QWidget* box, const QString& text) {
  if (auto* line = qobject_cast<QLineEdit*>(box))
    line->setText(text);
  else if (auto* plain = qobject_cast<QPlainTextEdit*>(box))
    plain->setPlainText(text);
  else if (auto* rich = qobject_cast<QTextEdit*>(box))
    rich->setPlainText(text);
}

// A fetch that the window no longer wants keeps running until its request ends;
// it is parked under the application object, which joins it at the very end, so
// that closing the wizard never waits for the network.
class ParkedWorker : public QObject {
 public:
  ParkedWorker(std::jthread worker, QObject* app) : QObject(app), worker_(std::move(worker)) {}

 private:
  std::jthread worker_;  // asked to stop and joined when destroyed
};

}  // namespace

// Carries step ①'s address from the worker to the window. The window clears
// `window` when it no longer wants the answer; the worker posts only while it is set.
struct SearchWizardWindow::FetchLink {
  std::mutex mutex;
  SearchWizardWindow* window = nullptr;
  std::atomic<bool> done{false};
};

namespace {

void Retire(std::jthread worker, bool finished) {
  if (!worker.joinable()) return;
  worker.request_stop();
  // A worker that has posted its answer is only returning: joining is immediate.
  if (finished || !QCoreApplication::instance()) return;  // the jthread joins here
  new ParkedWorker(std::move(worker), QCoreApplication::instance());
}

}  // namespace

SearchWizardWindow::SearchWizardWindow(QWidget* mainWindow) : QDialog(mainWindow), mainWindow_(mainWindow) {
  setObjectName(QStringLiteral("SearchWizardWindow"));
  setWindowTitle(U("高级搜索功能简易使用向导"));
  setFixedSize(891, 617);

  tabs_ = Place(new QTabWidget(this), "高级选择夹1", {0, 0, 891, 617});
  auto* start = new QWidget;
  buildStartPage(start);
  tabs_->addTab(start, U("使用向导起始页"));
  auto* browser = new QWidget;
  buildBrowserPage(browser);
  tabs_->addTab(browser, U("选择列表页属性"));
  auto* addresses = new QWidget;
  buildAddressPage(addresses);
  tabs_->addTab(addresses, U("列表地址生成"));
  tabs_->setCurrentIndex(0);
}

SearchWizardWindow::~SearchWizardWindow() {
  if (fetchLink_) {
    std::lock_guard<std::mutex> lock(fetchLink_->mutex);
    fetchLink_->window = nullptr;
  }
  Retire(std::move(fetcher_), fetchLink_ && fetchLink_->done);
  delete view_;
  view_ = nullptr;
}

void SearchWizardWindow::buildStartPage(QWidget* page) {
  auto* listGroup = Place(new QGroupBox(U(" 搜索列表页面 "), page), "分组框1", {10, 10, 862, 110});
  Label(listGroup, "标签7", "请按照标号数字 ①②③④⑤ 操作，", {15, 24, 420, 20});
  Label(listGroup, "标签1", "请输入要查询的关键词：", {15, 60, 150, 22});
  keywordBox_ = Place(new QLineEdit(listGroup), "编辑框2", {168, 59, 470, 24});
  auto* next = Button(listGroup, "按钮2", "① 下一步", {655, 57, 130, 28});
  connect(next, &QPushButton::clicked, this, &SearchWizardWindow::searchListPages);

  auto* itemGroup = Place(new QGroupBox(U(" 搜索指定商品页 "), page), "分组框2", {10, 132, 862, 395});
  Label(itemGroup, "标签2", "请在下面输入需要查询的商品页地址，一行一个。", {15, 24, 500, 20});
  itemAddressBox_ = AddressBox(itemGroup, "编辑框1", {15, 48, 832, 295});
  auto* confirm = Button(itemGroup, "按钮1", "确认输入并关闭", {15, 352, 160, 30});
  connect(confirm, &QPushButton::clicked, this, &SearchWizardWindow::handOverItemPages);

  Label(page, "透明标签1", "向导将会清除现有内容。在本窗口确认后需要手动点击查询", {12, 537, 600, 20});
}

void SearchWizardWindow::buildBrowserPage(QWidget* page) {
  Label(page, "标签3", "地址：", {10, 8, 42, 22});
  addressBox_ = Place(new QLineEdit(page), "编辑框3", {52, 7, 640, 24});
  addressBox_->setReadOnly(true);
  auto* confirm = Button(page, "按钮3", "② 确认并进入下一步", {702, 5, 165, 28});
  connect(confirm, &QPushButton::clicked, this, &SearchWizardWindow::confirmAddress);
  Label(page, "标签4",
        "③ 请在下方选择商品属性和排序方式。然后点击右侧的 下一步 按钮。请不要点击商品属性、分类、排序以外区域。",
        {10, 36, 860, 18});
  browserArea_ = Place(new QWidget(page), "超文本浏览框1", {10, 56, 856, 505});
  auto* layout = new QVBoxLayout(browserArea_);
  layout->setContentsMargins(0, 0, 0, 0);
  loadLabel_ = Label(page, "标签6", "", {10, 563, 300, 18});
}

void SearchWizardWindow::buildAddressPage(QWidget* page) {
  auto* group = Place(new QGroupBox(page), "分组框3", {10, 8, 862, 555});
  // The two page boxes sit in the blanks of the label's text.
  const char* prefix = "所需分页：  第";
  const char* middle = "         页 —— 第";
  const char* gap = "         ";
  auto* label = Label(group, "标签5", "所需分页：  第         页 —— 第         页", {20, 24, 400, 24});
  const QFontMetrics metrics(label->font());
  const int gapWidth = metrics.horizontalAdvance(U(gap));
  const int boxWidth = std::max(gapWidth - 4, 26);
  const int firstX = 20 + metrics.horizontalAdvance(U(prefix)) + (gapWidth - boxWidth) / 2;
  const int lastX =
      20 + metrics.horizontalAdvance(U(prefix)) + metrics.horizontalAdvance(U(middle)) + (gapWidth - boxWidth) / 2;
  label->resize(metrics.horizontalAdvance(label->text()) + 8, 24);
  auto pageBox = [&](const char* name, const char* text, int x) {
    auto* box = Place(new QLineEdit(U(text), group), name, {x, 24, boxWidth, 24});
    box->setMaxLength(2);
    // Integer text: digits and the minus sign; full-width ones count as the same.
    box->setValidator(new QRegularExpressionValidator(QRegularExpression(U("[-0-9－０-９]*")), box));
    box->setAlignment(Qt::AlignCenter);
    return box;
  };
  firstPageBox_ = pageBox("编辑框11", "1", firstX);
  lastPageBox_ = pageBox("编辑框12", "3", lastX);
  // The label is drawn under the boxes.
  label->lower();

  auto* generate = Button(group, "按钮4", "④ 生成地址", {20, 60, 130, 30});
  connect(generate, &QPushButton::clicked, this, &SearchWizardWindow::generateAddresses);
  auto* done = Button(group, "按钮5", "⑤ 确认并关闭", {162, 60, 130, 30});
  connect(done, &QPushButton::clicked, this, &SearchWizardWindow::handOverListPages);
  resultBox_ = AddressBox(group, "编辑框5", {20, 100, 822, 440});
  resultBox_->setReadOnly(true);
}

bool SearchWizardWindow::browsersEnabled() {
  if (BrowsersSetting()) return *BrowsersSetting();
  return QGuiApplication::platformName() != QLatin1String("offscreen");
}

void SearchWizardWindow::setBrowsersEnabled(bool enabled) { BrowsersSetting() = enabled; }

QWebEngineView* SearchWizardWindow::ensureView() {
  if (view_ || !browsersEnabled()) return view_;
  // The capture window's sign-in holds here too: one profile for every browser.
  profile_ = SharedBrowserProfile();
  view_ = new QWebEngineView(browserArea_);
  view_->setPage(new QWebEnginePage(profile_, view_));
  browserArea_->layout()->addWidget(view_);
  connect(view_, &QWebEngineView::urlChanged, this, &SearchWizardWindow::navigationCompleted);
  connect(view_, &QWebEngineView::loadStarted, this, &SearchWizardWindow::loadingStarted);
  connect(view_, &QWebEngineView::loadFinished, this, [this](bool ok) {
    awaitingLoad_ = false;
    // A page that failed to load leaves the address and the status as they were.
    if (ok) documentLoaded();
  });
  return view_;
}

void SearchWizardWindow::navigate(const QString& address) {
  requestedAddress_ = address;
  if (QWebEngineView* view = ensureView()) {
    awaitingLoad_ = true;
    view->setUrl(QUrl(address));
  }
}

QString SearchWizardWindow::currentAddress() const {
  if (view_ && !view_->url().isEmpty()) {
    // Encoded as sent: the query holds GBK bytes that must not be read as UTF-8.
    return view_->url().toString(QUrl::FullyEncoded);
  }
  return requestedAddress_;
}

bool SearchWizardWindow::busy() const { return fetchLink_ != nullptr || awaitingLoad_; }

QWidget* SearchWizardWindow::mainControl(const char* name) const {
  if (!mainWindow_) return nullptr;
  // The wizard's own 编辑框2 is a child of the main window too; it never counts.
  for (QWidget* w : mainWindow_->findChildren<QWidget*>(U(name))) {
    bool inWizard = false;
    for (QObject* o = w; o && o != mainWindow_; o = o->parent())
      if (qobject_cast<SearchWizardWindow*>(o)) inWizard = true;
    if (!inWizard) return w;
  }
  return nullptr;
}

void SearchWizardWindow::searchListPages() {
  tabs_->setCurrentIndex(1);
  const std::string keyword = ToGbk(keywordBox_->text());
  // A later click wins: an earlier fetch's answer is dropped.
  if (fetchLink_) {
    std::lock_guard<std::mutex> lock(fetchLink_->mutex);
    fetchLink_->window = nullptr;
  }
  Retire(std::move(fetcher_), fetchLink_ && fetchLink_->done);
  auto link = std::make_shared<FetchLink>();
  link->window = this;
  fetchLink_ = link;
  // The home page's token comes from the network: fetched on a worker, so the
  // window goes on drawing and answering while the marketplace is slow.
  fetcher_ = std::jthread([link, keyword](std::stop_token stop) {
    SetThreadStopToken(stop);
    const QString address = FromGbk(BuildWizardSearchAddress(keyword));
    SetThreadStopToken({});
    std::lock_guard<std::mutex> lock(link->mutex);
    link->done = true;
    if (SearchWizardWindow* window = link->window; window && !stop.stop_requested()) {
      QMetaObject::invokeMethod(
          window,
          [window, link, address] {
            if (window->fetchLink_ == link) window->takeSearchAddress(address);
          },
          Qt::QueuedConnection);
    }
  });
}

void SearchWizardWindow::takeSearchAddress(const QString& address) {
  fetchLink_.reset();
  Retire(std::move(fetcher_), true);
  navigate(address);
  emit searchAddressReady(address);
}

void SearchWizardWindow::navigationCompleted(const QUrl& url) {
  addressBox_->setText(url.toString(QUrl::FullyEncoded));
}

void SearchWizardWindow::loadingStarted() { loadLabel_->setText(U("载入中。。。")); }

void SearchWizardWindow::documentLoaded() {
  addressBox_->setText(currentAddress());
  loadLabel_->setText(U("载入完毕。"));
}

void SearchWizardWindow::confirmAddress() {
  addressBox_->setText(currentAddress());
  tabs_->setCurrentIndex(2);
}

void SearchWizardWindow::generateAddresses() {
  resultBox_->clear();
  QString text;
  for (const std::string& address :
       WizardPageAddresses(ToGbk(firstPageBox_->text()), ToGbk(lastPageBox_->text()), ToGbk(addressBox_->text())))
    text += FromGbk(address) + QLatin1Char('\n');
  resultBox_->setPlainText(text);
}

void SearchWizardWindow::handOverListPages() { handOver(0, resultBox_->toPlainText()); }

void SearchWizardWindow::handOverItemPages() {
  const QString text = itemAddressBox_->toPlainText();
  if (text.isEmpty()) return;
  handOver(1, text);
}

void SearchWizardWindow::handOver(int kindIndex, const QString& text) {
  if (auto* kind = qobject_cast<QComboBox*>(mainControl("组合框1"))) kind->setCurrentIndex(kindIndex);
  SetBoxText(mainControl("编辑框2"), text);
  accept();
}

SearchWizardWindow* OpenSearchWizard(QWidget* mainWindow) {
  auto* wizard = new SearchWizardWindow(mainWindow);
  wizard->setAttribute(Qt::WA_DeleteOnClose);
  wizard->open();
  return wizard;
}

}  // namespace kelvora
