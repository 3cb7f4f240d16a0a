// The desktop portal's "Remote desktop" dialog on a headless mutter (1280x800 first
// monitor), seen through mutter's own screen cast and pressed through its own input.
#pragma once

#include <QColor>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>

#include <cstdlib>
#include <initializer_list>

#include <gtest/gtest.h>

namespace portaldialog {

inline QString build() {
  return qEnvironmentVariable("TVL_BUILD_DIR");
}
inline QString support() {
  return qEnvironmentVariable("TVL_SOURCE_DIR") + "/tests/support";
}

// One pixel of the first monitor, from mutter's own screen cast.
inline QColor pixelOnScreen(int x, int y) {
  const QString shot = QDir::temp().filePath("tvl-portal-shot.ppm");
  QProcess p;
  p.start(build() + "/tests/e2e/portal/mutter-shot", {shot});
  if (!p.waitForFinished(15000) || p.exitCode() != 0) return {};
  QFile f(shot);
  if (!f.open(QIODevice::ReadOnly)) return {};
  const QList<QByteArray> head = f.read(64).split('\n');
  if (head.size() < 3) return {};
  const int width = head[1].split(' ')[0].toInt();
  const qint64 start = head[0].size() + head[1].size() + head[2].size() + 3;
  f.seek(start + (qint64(y) * width + x) * 3);
  const QByteArray px = f.read(3);
  f.remove();
  return px.size() == 3 ? QColor(uchar(px[0]), uchar(px[1]), uchar(px[2])) : QColor();
}

inline bool near(QColor a, QColor b) {
  return a.isValid() && std::abs(a.red() - b.red()) < 12 && std::abs(a.green() - b.green()) < 12 &&
         std::abs(a.blue() - b.blue()) < 12;
}

// The portal's "Remote desktop" dialog on a 1280x800 monitor: its Share button (blue)
// and its "Allow remote interaction" switch (off when it opens).
inline constexpr int kShareX = 852, kShareY = 273, kSwitchX = 829, kSwitchY = 471;
inline constexpr int kCancelX = 430, kCancelY = 273;
// With two monitors the dialog lists both (the first ticked), and the switch moves down.
inline constexpr int kSecondMonitorX = 640, kSecondMonitorY = 440, kSwitchBelowTwoY = 526;
inline const QColor kShareBlue(53, 132, 228);

inline bool dialogShown() {
  // A corner of the Share button, clear of its label.
  return near(pixelOnScreen(818, 284), kShareBlue);
}

inline void click(std::initializer_list<int> points) {
  QStringList args{"click"};
  for (int v : points) args << QString::number(v);
  QProcess p;
  p.start(support() + "/mutter-input", args);
  ASSERT_TRUE(p.waitForFinished(20000));
  ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
}

}  // namespace portaldialog
