#pragma once
// The sign-in window of the lookup service, opened at start-up.
#include <QDialog>

#include <memory>
#include <thread>

class QLabel;
class QLineEdit;
class QPushButton;

namespace kelvora {

class BrowserPane;
class UiLink;
struct LoginResult;

class LoginWindow : public QDialog {
  Q_OBJECT
 public:
  explicit LoginWindow(QWidget* parent = nullptr);
  ~LoginWindow() override;

  void prefill(const QString& user, const QString& password);
  // True while a sign-in request is under way.
  bool busy() const { return busy_; }

 public slots:
  void done(int result) override;

 signals:
  // A sign-in attempt has ended (with or without a message); for the program's tour and tests.
  void attemptFinished();

 private:
  void login();
  void finishLogin(const LoginResult& result);
  void setBusy(bool busy);
  void openServicePage(const char* path);

  QLineEdit* userBox_;
  QLineEdit* passwordBox_;
  QPushButton* loginButton_;
  QLabel* registerLink_;
  QLabel* findPasswordLink_;
  BrowserPane* notice_;
  bool busy_ = false;
  std::shared_ptr<UiLink> link_;
  std::jthread worker_;
};

}  // namespace kelvora
