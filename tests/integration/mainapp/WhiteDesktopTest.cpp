// The cover launcher with a stand-in cover in a resource folder whose path has blanks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <memory>

#include "Processes.h"
#include "mainapp/WhiteDesktop.h"
#include "support/Polling.h"

using namespace tvl;

using testsupport::waitFor;

namespace {

class WhiteDesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::testApplication();
    quitWindow = std::make_unique<QWidget>();
    closeQuit = std::make_unique<QWidget>();
    resources = dir.path() + "/Mac Tovalo.app/Contents/Resources";
    QString macos = resources + "/TVLDesktopwhite.app/Contents/MacOS";
    ASSERT_TRUE(QDir().mkpath(macos));
    // The stand-in cover notes how it was started and stays until it is ended.
    QFile cover(macos + "/TVLDesktop");
    ASSERT_TRUE(cover.open(QIODevice::WriteOnly));
    cover.write("#!/bin/sh\necho \"$0|$#\" >> \"" + dir.path().toUtf8() +
                "/started\"\nwhile :; do sleep 0.1; done\n");
    cover.close();
    cover.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    quitWindow->setObjectName("quit");
    closeQuit->setObjectName("close");
  }
  void TearDown() override {
    for (int pid : testsupport::processesNamed("TVLDesktop")) ::kill(pid, SIGKILL);
    waitFor([] { return testsupport::processesNamed("TVLDesktop").isEmpty(); });
  }
  QString startedLog() {
    QFile f(dir.path() + "/started");
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  }

  QTemporaryDir dir;
  QString resources;
  std::unique_ptr<QWidget> quitWindow, closeQuit;
};

TEST_F(WhiteDesktopTest, StartThenStop) {
  mainapp::WhiteDesktop launcher(resources);
  launcher.quitWindow = quitWindow.get();
  launcher.closeQuit = closeQuit.get();
  closeQuit->show();
  launcher.getPath();
  EXPECT_TRUE(quitWindow->isVisible());
  ASSERT_TRUE(waitFor([&] { return !startedLog().isEmpty(); }));
  // The whole path, blanks included, is the program; it gets no arguments.
  EXPECT_EQ(startedLog(), resources + "/TVLDesktopwhite.app/Contents/MacOS/TVLDesktop|0\n");
  // The stand-in's shell may briefly have a forked child of the same name: look for the
  // started one among them.
  QList<int> running = testsupport::processesNamed("TVLDesktop");
  ASSERT_FALSE(running.isEmpty());
  EXPECT_TRUE(running.contains(launcher.thePID));

  launcher.quitPath();
  EXPECT_FALSE(closeQuit->isVisible());
  EXPECT_TRUE(waitFor([] { return testsupport::processesNamed("TVLDesktop").isEmpty(); }));
}

TEST_F(WhiteDesktopTest, StopWithoutCoverOnlyClosesTheWindow) {
  mainapp::WhiteDesktop launcher(resources);
  launcher.closeQuit = closeQuit.get();
  closeQuit->show();
  launcher.quitPath();
  EXPECT_FALSE(closeQuit->isVisible());
  EXPECT_TRUE(startedLog().isEmpty());
  // A missing cover bundle starts nothing and leaves the windows alone.
  mainapp::WhiteDesktop missing(dir.path() + "/nowhere");
  missing.quitWindow = quitWindow.get();
  missing.getPath();
  EXPECT_EQ(missing.thePID, 0);
  EXPECT_TRUE(quitWindow->isVisible());
}

}  // namespace
