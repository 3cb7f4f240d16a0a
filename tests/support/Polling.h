// Waiting in tests for something that happens elsewhere, one look every few
// milliseconds until it holds or the limit passes; both answer whether it holds at the end.
// eventually() sleeps between looks; waitFor() spins Qt's event loop between them, for
// tests whose own objects must go on handling events meanwhile (tests linking Qt Test).
#pragma once

#include <chrono>
#include <thread>

#ifdef QT_TESTLIB_LIB
#include <QDeadlineTimer>
#include <QTest>

#include <functional>

#endif

namespace testsupport {

// Polls done() until it holds or the limit passes; answers done() at the end.
template <class F>
bool eventually(F done, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

#ifdef QT_TESTLIB_LIB
inline bool waitFor(const std::function<bool()>& done, int ms = 15000) {
  QDeadlineTimer deadline(ms);
  while (!done() && !deadline.hasExpired()) QTest::qWait(10);
  return done();
}
#endif

}  // namespace testsupport
