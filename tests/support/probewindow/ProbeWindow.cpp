// tvl-probe-window [WIDTH HEIGHT]: a window filled with one colour (#C03030) holding a
// text field, as an ordinary application's window. On standard output, one line each:
//   shown                  the window is on the screen
//   press                  a mouse button went down in it
//   text <the field's text> after each change
#include <QApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>

namespace {

void say(const QString& line) {
  std::printf("%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

class Probe : public QWidget {
 public:
  Probe() {
    setWindowTitle("probe");
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(0xC0, 0x30, 0x30));
    setPalette(p);
    auto* layout = new QVBoxLayout(this);
    auto* field = new QLineEdit(this);
    layout->addWidget(field);
    layout->addStretch();
    connect(field, &QLineEdit::textChanged, [](const QString& t) { say("text " + t); });
    qApp->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::MouseButtonPress && o->isWidgetType() &&
        static_cast<QWidget*>(o)->window() == this)
      say("press");
    return false;
  }
  void showEvent(QShowEvent*) override { say("shown"); }
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setDesktopFileName("probe");
  Probe probe;
  const QStringList args = app.arguments();
  probe.resize(args.size() > 2 ? args[1].toInt() : 400, args.size() > 2 ? args[2].toInt() : 300);
  probe.show();
  return app.exec();
}
