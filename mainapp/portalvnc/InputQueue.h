// The supporters' input on its way to the desktop, one event at a time.
//
// The desktop portal (xdg-desktop-portal 1.16) handles each call in a thread of its own,
// so calls sent back to back overtake one another there. A key's release that overtakes
// its press leaves the key held in mutter, which then drops the next presses of that key:
// the "lost keys" of a fast typist. So the next event goes only once the desktop has
// answered the one before: order is kept and nothing is lost, at hundreds of keys a
// second.
//
// The queue is bounded (a supporter cannot queue minutes of input), and a client's input
// goes with the client: what it still had waiting is dropped, and what it held down (a
// Ctrl, a mouse button) is released, so that nothing stays pressed for the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>

namespace tvl::portalvnc {

struct InputEvent {
  enum class Kind { Motion, Button, Key, Scroll };
  Kind kind = Kind::Motion;
  int client = 0;
  int x = 0, y = 0;        // Motion: the position in the shared picture
  std::uint32_t code = 0;  // Button: Linux input code; Key: keysym; Scroll: 1 horizontal
  bool down = false;       // Button, Key
  int steps = 0;           // Scroll: -1 up or left, 1 down or right

  bool operator==(const InputEvent&) const = default;
};

class InputQueue {
 public:
  using Send = std::function<void(const InputEvent&)>;
  // About 1,000 keys: a pasted line or paragraph fits; it drains in 2 to 12 s (measured
  // 88 to 560 keys a second through the portal, the slowest on a loaded machine).
  static constexpr std::size_t kBound = 2048;

  explicit InputQueue(Send send, std::size_t bound = kBound);

  // A VNC pointer message: a motion when the position changed, then each button that
  // changed (left, middle, right), the wheel's buttons 4-7 as one step each.
  void pointer(int client, int buttonMask, int x, int y);
  void key(int client, bool down, std::uint32_t keysym);
  // The client went: its waiting input is dropped, and what the desktop holds pressed for
  // it is released.
  void clientGone(int client);
  // The desktop answered the event sent last (or gave up on it): the next one goes.
  // May be called from inside Send.
  void answered();

  std::size_t waiting() const { return queue_.size(); }
  // Input refused because the queue was full, since the start.
  std::size_t dropped() const { return dropped_; }

 private:
  // Pressed keys and buttons, keyed (kind, code).
  using Held = std::set<std::pair<InputEvent::Kind, std::uint32_t>>;
  struct Client {
    int x = -1, y = -1, mask = 0;
    Held queued;  // pressed as far as the queue goes (presses and releases accepted)
    Held sent;    // pressed at the desktop (presses and releases sent)
  };

  void press(Client& c, const InputEvent& e);
  void release(Client& c, const InputEvent& e);
  bool push(const InputEvent& e);  // false when the queue is full
  void pump();

  Send send_;
  std::size_t bound_;
  std::deque<InputEvent> queue_;
  std::map<int, Client> clients_;
  std::size_t dropped_ = 0;
  bool inFlight_ = false;
  bool pumping_ = false;
};

}  // namespace tvl::portalvnc
