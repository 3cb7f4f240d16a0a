// main for GoogleTest programs that need a QApplication: one on main's stack, offscreen
// unless the environment chose a platform, so it goes away before the static objects of
// Qt that its destructor still uses. Linked instead of gtest_main's main.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
