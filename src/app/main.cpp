// kelvora: the desktop program.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QMainWindow window;
  window.setWindowTitle("Kelvora V3.3");
  window.show();
  return app.exec();
}
