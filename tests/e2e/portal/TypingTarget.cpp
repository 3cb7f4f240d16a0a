// A window the supporter's clicks and keys should reach: one line edit over the whole
// monitor (the first, or the Nth with --screen N; an ordinary window with --window), in a
// colour the test looks for. It prints "shown", "press" and "text <t>".
#include <QApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>

#include <cstdio>

class Target : public QLineEdit {
 protected:
  void mousePressEvent(QMouseEvent* e) override {
    std::printf("press\n");
    std::fflush(stdout);
    QLineEdit::mousePressEvent(e);
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  Target edit;
  edit.setStyleSheet("QLineEdit { background: rgb(200, 40, 160); color: white; border: none; }");
  QObject::connect(&edit, &QLineEdit::textChanged, [](const QString& t) {
    std::printf("text %s\n", t.toUtf8().constData());
    std::fflush(stdout);
  });
  // --animate: the window changes its colour 60 times a second (a moving picture for
  // measurements).
  QTimer animation;
  int shade = 0;
  QObject::connect(&animation, &QTimer::timeout, [&] {
    shade = (shade + 3) % 256;
    edit.setStyleSheet(
        QString("QLineEdit { background: rgb(%1, 40, 160); border: none; }").arg(shade));
  });
  if (app.arguments().contains("--animate")) animation.start(16);
  // --window: an ordinary window of 400x300 instead of the whole monitor.
  if (app.arguments().contains("--window")) {
    edit.resize(400, 300);
    edit.show();
  } else {
    const int screen = app.arguments().indexOf("--screen");
    if (screen > 0 && screen + 1 < app.arguments().size()) {
      const int n = app.arguments().at(screen + 1).toInt();
      if (n < app.screens().size()) {
        edit.setScreen(app.screens().at(n));
        edit.setGeometry(app.screens().at(n)->geometry());
      }
    }
    edit.showFullScreen();
  }
  QTimer::singleShot(300, [] {
    std::printf("shown\n");
    std::fflush(stdout);
  });
  return app.exec();
}
