// The least a Qt 6 window program does: one window with a button. Its start beside Mac
// Tovalo's.
#include <QApplication>
#include <QPushButton>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QPushButton window("Hello");
  window.resize(420, 300);
  window.show();
  return app.exec();
}
