// The desktop cover on a GNOME Wayland desktop with Xwayland (headless mutter, two
// monitors): grey on both monitors and below an ordinary Wayland window that was there
// first. Pictures come from mutter's own screen cast.
#include <gtest/gtest.h>

#include <QColor>
#include <QDir>
#include <QImage>
#include <QProcess>

#include "support/ChildProcess.h"

namespace {

using namespace std::chrono_literals;
using testsupport::eventually;

QString build() {
  return qEnvironmentVariable("TVL_BUILD_DIR");
}

QImage shot(const QString& monitor) {
  const QString file = QDir::temp().filePath("tvl-cover-shot-" + monitor + ".ppm");
  QProcess p;
  p.start(build() + "/tests/e2e/portal/mutter-shot", {file, monitor});
  if (!p.waitForFinished(15000) || p.exitCode() != 0) return {};
  QImage image(file);
  QFile::remove(file);
  return image;
}

int pixelsOf(const QImage& image, QRgb colour) {
  int n = 0;
  for (int y = 0; y < image.height(); y += 4)
    for (int x = 0; x < image.width(); x += 4)
      if ((image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF)) ++n;
  return n;
}

constexpr QRgb kGrey = 0xAAAAAA;
constexpr QRgb kWindow = 0xC828A0;  // the typing target's 200, 40, 160

TEST(CoverOnGnome, GreyOnBothMonitorsAndBelowAnOrdinaryWaylandWindow) {
  ASSERT_FALSE(qEnvironmentVariable("DISPLAY").isEmpty()) << "needs with-mutter --xwayland";
  QProcess window;
  window.start(build() + "/tests/e2e/portal/typing-target", {"--window"});
  ASSERT_TRUE(eventually([&] { return pixelsOf(shot("Meta-0"), kWindow) > 1000; }, 20s));

  QProcess cover;
  // Under Xwayland libxkbcommon-x11 copies the keymap's names with strndup from buffers
  // that are not NUL-ended, which a sanitized build's strict string checks report; the
  // cover's own code is checked with them everywhere else.
  if (QString options = qEnvironmentVariable("ASAN_OPTIONS"); !options.isEmpty()) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ASAN_OPTIONS", options + ":strict_string_checks=0");
    cover.setProcessEnvironment(env);
  }
  cover.start(build() +
              "/Applications/Mac Tovalo.app/Contents/Resources/TVLDesktopwhite.app/Contents/"
              "MacOS/TVLDesktop");
  ASSERT_TRUE(cover.waitForStarted());
  QImage first, second;
  ASSERT_TRUE(eventually(
      [&] {
        first = shot("Meta-0");
        second = shot("Meta-1");
        return pixelsOf(first, kGrey) > 10000 && pixelsOf(second, kGrey) > 10000;
      },
      20s))
      << "no grey cover on both monitors";
  EXPECT_EQ(first.size(), QSize(1280, 800));
  EXPECT_EQ(second.size(), QSize(1024, 768));
  // The monitors' corners are the cover's; the window is whole above it.
  EXPECT_EQ(first.pixel(5, 795) & 0xFFFFFF, kGrey);
  EXPECT_EQ(second.pixel(1019, 763) & 0xFFFFFF, kGrey);
  EXPECT_GT(pixelsOf(first, kWindow), 300 * 250 / 16) << "the cover hides the window";
  first.save(build() + "/cover-gnome-screenshot.png");
  cover.kill();
  window.kill();
  cover.waitForFinished();
  window.waitForFinished();
}

}  // namespace
