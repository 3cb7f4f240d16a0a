// tvl-portal-vnc --wlroots on a headless sway with two outputs (tests/support/with-sway,
// 1280x800 and 1024x768 right of it, each with its own wallpaper colour): the supporter
// sees both outputs as one picture, as on X11, and works in a window on the second.
#include <QColor>
#include <QFile>
#include <QPoint>
#include <QProcess>
#include <QTemporaryDir>

#include <optional>

#include "e2e/portal/PortalVnc.h"

namespace {

using namespace portalvnc;

class WlrootsVnc : public PortalVnc {
 protected:
  QStringList arguments() const override {
    return {"--wlroots", "--unix-socket", socket(), "--password-file", dir.filePath("vnc.pw")};
  }
};

const QColor kMagenta(200, 40, 160);  // the typing target's

bool near(QColor a, QColor b) {
  return std::abs(a.red() - b.red()) < 12 && std::abs(a.green() - b.green()) < 12 &&
         std::abs(a.blue() - b.blue()) < 12;
}

// The middle of the typing target's window in the picture, if it is there.
std::optional<QPoint> windowIn(const Viewer& viewer) {
  long sx = 0, sy = 0, n = 0;
  for (int y = 0; y < viewer.client->height; y += 4)
    for (int x = 0; x < viewer.client->width; x += 4)
      if (near(viewer.at(x, y), kMagenta)) sx += x, sy += y, ++n;
  if (n < 1000) return std::nullopt;  // 400x300 is 7,500 samples
  return QPoint(int(sx / n), int(sy / n));
}

TEST_F(WlrootsVnc, BothOutputsAreOnePictureAndTakeInput) {
  // No dialog on a wlroots desktop: the user's own Share My Screen was the consent.
  ASSERT_TRUE(said("tvl-portal-vnc: serving")) << err.seen.join('\n').toStdString();
  EXPECT_FALSE(err.seen.contains("tvl-portal-vnc: approval-pending"));

  QProcess target;
  Lines out{target, QProcess::StandardOutput, {}};
  target.start(build() + "/tests/e2e/portal/typing-target", {"--window"});
  ASSERT_TRUE(eventually([&] { return out.has("shown"); }, 20s));
  ASSERT_EQ(
      QProcess::execute("swaymsg", {"[app_id=typing-target] move container to output HEADLESS-2"}),
      0);

  Viewer viewer(socket(), "sEcr3t42");
  ASSERT_NE(viewer.client, nullptr);
  EXPECT_EQ(viewer.client->width, 1280 + 1024);
  EXPECT_EQ(viewer.client->height, 800);
  std::optional<QPoint> window;
  EXPECT_TRUE(eventually(
      [&] {
        if (!viewer.refresh()) return false;
        window = windowIn(viewer);
        // Each output's wallpaper at its place, the window on the second output.
        return viewer.at(10, 790) == QColor(0x20, 0x40, 0x60) &&
               viewer.at(1290, 760) == QColor(0x40, 0x60, 0x20) && window && window->x() > 1280;
      },
      15s))
      << "at 10,790 " << viewer.at(10, 790).name().toStdString() << ", at 1290,760 "
      << viewer.at(1290, 760).name().toStdString();
  ASSERT_TRUE(window);

  SendPointerEvent(viewer.client, window->x(), window->y(), 0);
  SendPointerEvent(viewer.client, window->x(), window->y(), rfbButton1Mask);
  SendPointerEvent(viewer.client, window->x(), window->y(), 0);
  ASSERT_TRUE(eventually([&] { return viewer.read(), out.has("press"); }, 15s));
  typesAndPastes(viewer, out);

  viewer.close();
  EXPECT_TRUE(said("tvl-portal-vnc: client-left 0"));
  target.kill();
  target.waitForFinished();
}

// A desktop it cannot reach is refused in words, as the session expects, not waited on.
TEST(WlrootsVncWithoutCompositor, IsRefusedInWords) {
  QTemporaryDir dir;
  ASSERT_FALSE(writePasswordFile(dir).isEmpty());
  QProcess vnc;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("WAYLAND_DISPLAY", dir.filePath("no-such-display"));
  vnc.setProcessEnvironment(env);
  vnc.start(server(), {"--wlroots", "--unix-socket", dir.filePath("vnc.sock"), "--password-file",
                       dir.filePath("vnc.pw")});
  ASSERT_TRUE(vnc.waitForFinished(10000));
  EXPECT_EQ(vnc.exitCode(), 3);
  EXPECT_TRUE(
      QString::fromUtf8(vnc.readAllStandardError())
          .contains("tvl-portal-vnc: refused no-capture there is no Wayland display to share"));
  EXPECT_FALSE(QFile::exists(dir.filePath("vnc.sock")));
}

}  // namespace
