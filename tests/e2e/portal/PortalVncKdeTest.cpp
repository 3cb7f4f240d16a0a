// tvl-portal-vnc on a headless KDE Plasma 5.27 (kwin_wayland --virtual with two outputs,
// KDE's desktop portal, PipeWire: tests/support/with-kwin), in a PID namespace of its
// own. KDE's portal shares the screen of a program the user started without a dialog;
// the supporter gets the whole workspace as one picture and works in a window; the
// desktop cover lies on every output below that window, as kwin itself says (KWin's
// scripting). kwin's virtual outputs send no frames to screen casts, so the picture is
// not looked at here (docs/portal.md).
#include <signal.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <vector>

#include "e2e/portal/PortalVnc.h"

namespace {

using namespace portalvnc;

QString coverExecutable() {
  return build() +
         "/Applications/Mac Tovalo.app/Contents/Resources/TVLDesktopwhite.app/Contents/MacOS/"
         "TVLDesktop";
}

struct KWinWindow {
  QString resourceClass;
  int x = 0, y = 0, width = 0, height = 0, layer = 0, stacking = 0;
};

// kwin's windows, from a script run inside kwin (what it prints goes to kwin's log).
std::vector<KWinWindow> kwinWindows(const QString& folder) {
  static int run = 0;
  const QString marker = QStringLiteral("tvl-window-%1").arg(++run);
  const QString script = QDir(folder).filePath(marker + ".js");
  QFile f(script);
  if (!f.open(QIODevice::WriteOnly)) return {};
  f.write(QStringLiteral(R"(var list = workspace.clientList();
for (var i = 0; i < list.length; ++i) {
  var w = list[i];
  print("%1 " + w.resourceClass + " " + w.x + " " + w.y + " " + w.width + " " + w.height +
        " " + w.layer + " " + w.stackingOrder);
})")
              .arg(marker)
              .toUtf8());
  f.close();
  auto call = [](const QString& method, const QStringList& args) {
    QProcess gdbus;
    gdbus.start("gdbus", QStringList{"call", "--session", "-d", "org.kde.KWin", "-o", "/Scripting",
                                     "-m", "org.kde.kwin.Scripting." + method} +
                             args);
    gdbus.waitForFinished(10000);
  };
  call("loadScript", {script, marker});
  call("start", {});
  std::vector<KWinWindow> windows;
  const QRegularExpression line(marker + R"( (\S+) (-?\d+) (-?\d+) (\d+) (\d+) (-?\d+) (\d+))");
  eventually(
      [&] {
        QFile log(qEnvironmentVariable("TVL_KWIN_LOG"));
        if (!log.open(QIODevice::ReadOnly)) return false;
        auto it = line.globalMatch(QString::fromUtf8(log.readAll()));
        windows.clear();
        while (it.hasNext()) {
          const auto m = it.next();
          windows.push_back({m.captured(1), m.captured(2).toInt(), m.captured(3).toInt(),
                             m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(),
                             m.captured(7).toInt()});
        }
        return !windows.empty();
      },
      10s);
  call("unloadScript", {marker});
  return windows;
}

TEST_F(PortalVnc, OnKdeWholeWorkspaceCoverBelowAWindowAndInput) {
  // A program the user started asks KDE 5.27's portal: it answers at once, with a
  // notification instead of a dialog.
  ASSERT_TRUE(said("tvl-portal-vnc: serving")) << err.seen.join('\n').toStdString();
  EXPECT_FALSE(err.seen.contains("tvl-portal-vnc: approval-pending"));

  // The cover's watch keeps it while "Mac Tovalo" runs (only this test's: its own PID
  // namespace).
  const QString standIn = dir.filePath("Mac Tovalo");
  ASSERT_TRUE(QFile::copy("/bin/sleep", standIn));
  QProcess mainApp, cover, target;
  mainApp.start(standIn, {"120"});
  cover.start(coverExecutable());
  Lines out{target, QProcess::StandardOutput, {}};
  target.start(build() + "/tests/e2e/portal/typing-target", {"--window"});
  ASSERT_TRUE(eventually([&] { return out.has("shown"); }, 20s));

  // The cover: one surface over each output, on a layer below the ordinary window.
  std::vector<KWinWindow> windows;
  const KWinWindow* window = nullptr;
  std::vector<const KWinWindow*> covers;
  ASSERT_TRUE(eventually(
      [&] {
        windows = kwinWindows(dir.path());
        covers.clear();
        window = nullptr;
        for (const KWinWindow& w : windows) {
          if (w.resourceClass == "tvl-cover-layer") covers.push_back(&w);
          if (w.resourceClass == "typing-target") window = &w;
        }
        return covers.size() == 2 && window;
      },
      20s))
      << "kwin lists " << windows.size() << " windows";
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(covers[i]->x, i * 1280);
    EXPECT_EQ(covers[i]->y, 0);
    EXPECT_EQ(covers[i]->width, 1280);
    EXPECT_EQ(covers[i]->height, 800);
    EXPECT_LT(covers[i]->layer, window->layer);
    EXPECT_LT(covers[i]->stacking, window->stacking);
  }

  // The supporter: the whole workspace, both outputs, as one picture; a click on the
  // window and typing reach it.
  Viewer viewer(socket(), "sEcr3t42");
  ASSERT_NE(viewer.client, nullptr);
  EXPECT_EQ(viewer.client->width, 2 * 1280);
  EXPECT_EQ(viewer.client->height, 800);
  const int x = window->x + window->width / 2, y = window->y + window->height / 2;
  SendPointerEvent(viewer.client, x, y, 0);
  SendPointerEvent(viewer.client, x, y, rfbButton1Mask);
  SendPointerEvent(viewer.client, x, y, 0);
  ASSERT_TRUE(eventually([&] { return viewer.read(), out.has("press"); }, 15s));
  typesAndPastes(viewer, out);

  viewer.close();
  EXPECT_TRUE(said("tvl-portal-vnc: client-left 0"));
  for (QProcess* p : {&target, &cover, &mainApp}) {
    p->kill();
    p->waitForFinished();
  }
  ::kill(vnc.processId(), SIGTERM);
  ASSERT_TRUE(vnc.waitForFinished(10000));
  EXPECT_EQ(vnc.exitCode(), 0);
}

}  // namespace
