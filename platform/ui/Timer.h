// Timers on the main run loop, behind a scheduler so that logic with timing rules can be
// driven by a clock a test controls (ManualClock) instead of the real one (QtTimers).
#pragma once

#include <functional>
#include <memory>

namespace tvl::ui {

class Timer {
 public:
  virtual ~Timer() = default;
  // True until a one-shot timer has fired or the timer is invalidated.
  virtual bool isValid() const = 0;
  // Stops the timer for good; it never fires again.
  virtual void invalidate() = 0;
};

class TimerScheduler {
 public:
  virtual ~TimerScheduler() = default;
  // Calls fire every interval seconds (once, when repeats is false), on the main thread,
  // first after one interval. The timer lives as long as the returned handle: dropping
  // the handle invalidates it.
  virtual std::unique_ptr<Timer> scheduledTimerWithTimeInterval(double seconds,
                                                                std::function<void()> fire,
                                                                bool repeats) = 0;
};

// The real clock: QTimer on the thread's Qt event loop. Needs a QCoreApplication.
class QtTimers final : public TimerScheduler {
 public:
  std::unique_ptr<Timer> scheduledTimerWithTimeInterval(double seconds, std::function<void()> fire,
                                                        bool repeats) override;
};

}  // namespace tvl::ui
