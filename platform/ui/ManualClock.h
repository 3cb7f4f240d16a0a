// A clock that moves only when told: advance() fires every timer that falls due, in time
// order, each at its own moment. For driving timing rules in tests without sleeping.
#pragma once

#include <memory>
#include <vector>

#include "platform/ui/Timer.h"

namespace tvl::ui {

class ManualClock final : public TimerScheduler {
 public:
  std::unique_ptr<Timer> scheduledTimerWithTimeInterval(double seconds, std::function<void()> fire,
                                                        bool repeats) override;
  // Moves the clock forward by seconds, firing what falls due on the way.
  void advance(double seconds);
  double now() const { return now_; }
  // Timers that are scheduled and still valid.
  size_t validTimerCount() const;

  struct Entry;

 private:
  double now_ = 0;
  std::vector<std::shared_ptr<Entry>> entries_;
};

}  // namespace tvl::ui
