// The test program's application object, made by tests/support/QtTestMain.cpp.
#pragma once

#include <QApplication>

namespace testsupport {

inline QApplication* testApplication() {
  return qApp;
}

}  // namespace testsupport
