// tvl-portal-vnc's input path: one event at a time, a VNC pointer message as the
// desktop's events, the bound, and a client's input going with the client.
#include <gtest/gtest.h>

#include <vector>

#include "mainapp/portalvnc/InputQueue.h"

using namespace tvl;
using portalvnc::InputEvent;
using portalvnc::InputQueue;
using Kind = InputEvent::Kind;

namespace {

struct Desktop {
  explicit Desktop(size_t bound = 4)
      : queue([this](const InputEvent& e) { got.push_back(e); }, bound) {}
  std::vector<InputEvent> got;
  InputQueue queue;
  // Answers until nothing more comes.
  void drain() {
    size_t seen;
    do {
      seen = got.size();
      queue.answered();
    } while (got.size() != seen);
  }
};

InputEvent key(int client, std::uint32_t keysym, bool down) {
  return {.kind = Kind::Key, .client = client, .code = keysym, .down = down};
}
InputEvent button(int client, std::uint32_t code, bool down) {
  return {.kind = Kind::Button, .client = client, .code = code, .down = down};
}
InputEvent motion(int client, int x, int y) {
  return {.kind = Kind::Motion, .client = client, .x = x, .y = y};
}

constexpr std::uint32_t kShift = 0xffe1, kCtrl = 0xffe3, kLeft = 0x110;

TEST(InputQueue, SendsTheNextEventOnlyOnceTheDesktopAnsweredTheLast) {
  Desktop d;
  d.queue.key(1, true, 'a');
  d.queue.key(1, false, 'a');
  d.queue.key(1, true, 'b');
  ASSERT_EQ(d.got.size(), 1u);
  d.queue.answered();
  ASSERT_EQ(d.got.size(), 2u);
  d.drain();
  EXPECT_EQ(d.got, (std::vector{key(1, 'a', true), key(1, 'a', false), key(1, 'b', true)}));
  // A desktop that answers from inside the call (no input allowed) is no recursion.
  std::vector<InputEvent> got;
  InputQueue* self = nullptr;
  InputQueue eager([&](const InputEvent& e) {
    got.push_back(e);
    self->answered();
  });
  self = &eager;
  for (int i = 0; i < 100000; ++i) eager.key(1, i % 2 == 0, 'x');
  EXPECT_EQ(got.size(), 100000u);  // and no stack overflow
}

TEST(InputQueue, PointerMessagesBecomeMotionsButtonsAndWheelSteps) {
  Desktop d(100);
  d.queue.pointer(1, 0, 10, 20);
  d.queue.pointer(1, 0b1, 10, 20);  // left down, no motion
  d.queue.pointer(1, 0b1, 30, 40);  // a drag: these three motions merge while waiting
  d.queue.pointer(1, 0b1, 31, 41);
  d.queue.pointer(1, 0b1, 32, 42);
  d.queue.pointer(1, 0b100, 32, 42);     // left up, right down
  d.queue.pointer(1, 0b1000, 32, 42);    // right up, wheel up
  d.queue.pointer(1, 0b100000, 32, 42);  // wheel left
  d.drain();
  EXPECT_EQ(d.got, (std::vector<InputEvent>{
                       motion(1, 10, 20),
                       button(1, kLeft, true),
                       motion(1, 32, 42),
                       button(1, kLeft, false),
                       button(1, 0x111, true),
                       button(1, 0x111, false),
                       {.kind = Kind::Scroll, .client = 1, .code = 0, .steps = -1},
                       {.kind = Kind::Scroll, .client = 1, .code = 1, .steps = -1},
                   }));
}

TEST(InputQueue, AFullQueueRefusesPressesButNeverTheReleaseOfAnAcceptedOne) {
  Desktop d;                     // bound 4
  d.queue.key(1, true, kShift);  // sent at once
  for (std::uint32_t k : {'a', 'b', 'c'}) {
    d.queue.key(1, true, k);
    d.queue.key(1, false, k);
  }
  d.queue.key(1, false, kShift);
  d.drain();
  // c's press found the queue full, and so its release is dropped as well; Shift's is not.
  EXPECT_EQ(d.got, (std::vector{key(1, kShift, true), key(1, 'a', true), key(1, 'a', false),
                                key(1, 'b', true), key(1, 'b', false), key(1, kShift, false)}));
  EXPECT_EQ(d.queue.dropped(), 1u);
}

TEST(InputQueue, AClientThatGoesLeavesNothingQueuedAndNothingHeld) {
  Desktop d;
  d.queue.key(1, true, kCtrl);
  d.queue.pointer(1, 0b1, 5, 5);
  d.drain();                  // the desktop holds Ctrl and the left button for client 1
  d.queue.key(1, true, 'x');  // sent, not yet answered
  d.queue.key(1, false, 'x');
  d.queue.key(2, true, 'y');
  d.queue.pointer(1, 0b1, 9, 9);
  d.got.clear();
  d.queue.clientGone(1);
  d.drain();
  // x's release was dropped with the rest, and is sent again as one of what it held.
  EXPECT_EQ(d.got, (std::vector{key(2, 'y', true), button(1, kLeft, false), key(1, 'x', false),
                                key(1, kCtrl, false)}));
  EXPECT_EQ(d.queue.waiting(), 0u);
}

}  // namespace
