// The test program's application object, made by tests/support/QtGTestMain.cpp.
#pragma once

#include <QApplication>

namespace testsupport {

inline QApplication* testApplication() {
  return qApp;
}

}  // namespace testsupport
