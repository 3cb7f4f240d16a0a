// The test program's one application object (offscreen), made on first use.
#pragma once

#include <QApplication>

#include <memory>

namespace testsupport {

inline QApplication* testApplication() {
  static int argc = 1;
  static char name[] = "mainapp-unit";
  static char* argv[] = {name, nullptr};
  static std::unique_ptr<QApplication> a = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return std::make_unique<QApplication>(argc, argv);
  }();
  return a.get();
}

}  // namespace testsupport
