// mutter-shot OUT.ppm [MONITOR]: one picture of a monitor of a headless mutter, through
// its own screen-cast API (org.gnome.Mutter.ScreenCast): no portal, no dialog. A test's
// screenshot where there is no grim (mutter has no screencopy).
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QTimer>

#include <cstdio>

#include "platform/screencast/PipeWireStream.h"

using namespace tvl;

namespace {
const QString kService = "org.gnome.Mutter.ScreenCast";

QDBusMessage call(const QString& path, const QString& iface, const QString& method,
                  const QVariantList& args = {}) {
  QDBusMessage m = QDBusMessage::createMethodCall(kService, path, iface, method);
  m.setArguments(args);
  return QDBusConnection::sessionBus().call(m, QDBus::Block, 10000);
}

// Says why mutter-shot has no picture; its exit status.
int said(const QString& why) {
  std::fprintf(stderr, "mutter-shot: %s\n", qPrintable(why));
  return 1;
}
}  // namespace

class Recorder : public QObject {
  Q_OBJECT
 public:
  uint node = 0;
  Q_SLOT void onStreamAdded(uint n) { node = n; }
};

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2) return 2;
  const QString out = argv[1];
  const QString monitor = argc > 2 ? argv[2] : "";
  QDBusMessage r = call("/org/gnome/Mutter/ScreenCast", kService, "CreateSession", {QVariantMap{}});
  if (r.type() != QDBusMessage::ReplyMessage) return said(r.errorMessage());
  const QString session = r.arguments().at(0).value<QDBusObjectPath>().path();
  r = call(session, kService + ".Session", "RecordMonitor",
           {monitor, QVariantMap{{"cursor-mode", QVariant::fromValue(uint(1))}}});
  if (r.type() != QDBusMessage::ReplyMessage) return said(r.errorMessage());
  const QString streamPath = r.arguments().at(0).value<QDBusObjectPath>().path();
  Recorder rec;
  QDBusConnection::sessionBus().connect(kService, streamPath, kService + ".Stream",
                                        "PipeWireStreamAdded", &rec, SLOT(onStreamAdded(uint)));
  r = call(session, kService + ".Session", "Start");
  if (r.type() != QDBusMessage::ReplyMessage) return said(r.errorMessage());
  QTimer noStream;
  noStream.setSingleShot(true);
  noStream.start(10000);
  while (rec.node == 0 && noStream.isActive())
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  if (rec.node == 0) return said("mutter announced no stream");

  screencast::PipeWireStream stream;
  int status = 1;
  stream.onError([&](const QString& why) { app.exit(said(why)); });
  stream.onFrame([&](const screencast::Frame& f) {
    QFile file(out);
    if (file.open(QIODevice::WriteOnly)) {
      file.write(QString("P6\n%1 %2\n255\n").arg(f.width).arg(f.height).toLatin1());
      QByteArray rgb(qsizetype(f.width) * 3, 0);
      for (int y = 0; y < f.height; ++y) {
        const auto* row = f.pixels + size_t(y) * size_t(f.stride);
        for (int x = 0; x < f.width; ++x) {
          const bool bgr = f.layout == screencast::PixelLayout::Bgrx;
          rgb[3 * x] = char(row[4 * x + (bgr ? 2 : 0)]);
          rgb[3 * x + 1] = char(row[4 * x + 1]);
          rgb[3 * x + 2] = char(row[4 * x + (bgr ? 0 : 2)]);
        }
        file.write(rgb);
      }
      status = 0;
    }
    app.exit(status);
  });
  QString why;
  if (!stream.open(-1, rec.node, &why)) return said(why);
  QTimer::singleShot(10000, &app, [&] { app.exit(said("no frame within 10 s")); });
  status = app.exec();
  stream.close();
  call(session, kService + ".Session", "Stop");
  return status;
}

#include "MutterShot.moc"
