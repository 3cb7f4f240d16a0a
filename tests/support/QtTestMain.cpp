// main() for GoogleTest programs that need a QApplication: one on main's stack, so it goes
// away before the static objects of Qt that its destructor still uses; offscreen unless the
// test's wrapper chose another platform (an Xvfb display). Linked instead of gtest_main's.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
