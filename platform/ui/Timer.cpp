#include <QTimer>

#include <algorithm>
#include <cmath>

#include "platform/ui/ManualClock.h"
#include "platform/ui/Timer.h"

namespace tvl::ui {

namespace {

class QtTimer final : public Timer {
 public:
  QtTimer(double seconds, std::function<void()> fire, bool repeats) : fire_(std::move(fire)) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setSingleShot(!repeats);
    timer_.setInterval(static_cast<int>(std::lround(seconds * 1000)));
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      // Copy: the callback may invalidate or drop this timer.
      auto fire = fire_;
      if (fire) fire();
    });
    timer_.start();
  }
  bool isValid() const override { return timer_.isActive(); }
  void invalidate() override { timer_.stop(); }

 private:
  QTimer timer_;
  std::function<void()> fire_;
};

}  // namespace

std::unique_ptr<Timer> QtTimers::scheduledTimerWithTimeInterval(double seconds,
                                                                std::function<void()> fire,
                                                                bool repeats) {
  return std::make_unique<QtTimer>(seconds, std::move(fire), repeats);
}

struct ManualClock::Entry {
  double due, interval;
  bool repeats, valid = true;
  std::function<void()> fire;
};

namespace {

class ManualTimer final : public Timer {
 public:
  explicit ManualTimer(std::shared_ptr<ManualClock::Entry> e) : entry_(std::move(e)) {}
  ~ManualTimer() override { entry_->valid = false; }
  bool isValid() const override { return entry_->valid; }
  void invalidate() override { entry_->valid = false; }

 private:
  std::shared_ptr<ManualClock::Entry> entry_;
};

}  // namespace

std::unique_ptr<Timer> ManualClock::scheduledTimerWithTimeInterval(double seconds,
                                                                   std::function<void()> fire,
                                                                   bool repeats) {
  seconds = std::max(seconds, 1e-4);  // as the run loop does: no busy zero-interval timers
  auto entry =
      std::make_shared<Entry>(Entry{now_ + seconds, seconds, repeats, true, std::move(fire)});
  entries_.push_back(entry);
  return std::make_unique<ManualTimer>(entry);
}

void ManualClock::advance(double seconds) {
  const double target = now_ + seconds;
  // Small tolerance so that ten advances of 0.1 s reach a 1.0 s timer.
  constexpr double kEpsilon = 1e-9;
  for (;;) {
    std::erase_if(entries_, [](auto& e) { return !e->valid; });
    auto next = std::min_element(entries_.begin(), entries_.end(),
                                 [](auto& a, auto& b) { return a->due < b->due; });
    if (next == entries_.end() || (*next)->due > target + kEpsilon) break;
    std::shared_ptr<Entry> e = *next;
    now_ = std::max(now_, e->due);
    if (e->repeats)
      e->due += e->interval;
    else
      e->valid = false;
    auto fire = e->fire;
    fire();
  }
  now_ = target;
}

size_t ManualClock::validTimerCount() const {
  return static_cast<size_t>(
      std::count_if(entries_.begin(), entries_.end(), [](auto& e) { return e->valid; }));
}

}  // namespace tvl::ui
