// The least a Qt 6 tray program does: an icon and a menu. Its start beside TVLQC's.
#include <QApplication>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QPixmap pixmap(22, 22);
  pixmap.fill(QColor("#1F6FB5"));
  QSystemTrayIcon icon{QIcon(pixmap)};
  QMenu menu;
  menu.addAction("Quit", &app, &QCoreApplication::quit);
  icon.setContextMenu(&menu);
  icon.show();
  return app.exec();
}
