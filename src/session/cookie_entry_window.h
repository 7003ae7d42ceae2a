#pragma once
// The window where the user hands over the marketplace cookie text.
#include <QDialog>

#include <thread>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace kelvora {

// The instructions above the paste box.
QString CookieInstructionsText();

class CookieEntryWindow : public QDialog {
  Q_OBJECT
 public:
  explicit CookieEntryWindow(QWidget* parent = nullptr);
  ~CookieEntryWindow() override;

  // The entry window that is open now, or nullptr.
  static CookieEntryWindow* current();

  void prefill(const QString& cookie);
  // Puts a text into the paste box; the user still confirms it.
  void setPastedText(const QString& text);

 private:
  void confirm();

  QPlainTextEdit* pasteBox_;
  QPushButton* captureButton_;
  QPushButton* confirmButton_;
  std::jthread warmUp_;
};

}  // namespace kelvora
