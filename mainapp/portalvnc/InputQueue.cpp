#include "mainapp/portalvnc/InputQueue.h"

#include <algorithm>

namespace tvl::portalvnc {

namespace {

using Kind = InputEvent::Kind;

// VNC's button bits 0-2 (left, middle, right) as Linux input codes.
constexpr std::uint32_t kButtons[3] = {0x110, 0x112, 0x111};

}  // namespace

InputQueue::InputQueue(Send send, std::size_t bound) : send_(std::move(send)), bound_(bound) {}

bool InputQueue::push(const InputEvent& e) {
  if (queue_.size() >= bound_) {
    ++dropped_;
    return false;
  }
  queue_.push_back(e);
  return true;
}

void InputQueue::press(Client& c, const InputEvent& e) {
  if (push(e)) c.queued.insert({e.kind, e.code});
}

void InputQueue::release(Client& c, const InputEvent& e) {
  // Only the release of an accepted press goes, and always, past the bound too: a
  // dropped release would leave its key held. Their number is that of the keys held.
  if (!c.queued.erase({e.kind, e.code})) return;
  queue_.push_back(e);
}

void InputQueue::pointer(int client, int buttonMask, int x, int y) {
  Client& c = clients_[client];
  if (x != c.x || y != c.y) {
    InputEvent motion{.kind = Kind::Motion, .client = client, .x = x, .y = y};
    // A motion still waiting behind others is only brought up to date: a drag does not
    // lag behind the hand.
    if (!queue_.empty() && queue_.back().kind == Kind::Motion && queue_.back().client == client) {
      queue_.back() = motion;
      c.x = x, c.y = y;
    } else if (push(motion)) {
      c.x = x, c.y = y;
    }
  }
  for (int i = 0; i < 3; ++i) {
    if (!((buttonMask ^ c.mask) & (1 << i))) continue;
    const bool down = buttonMask & (1 << i);
    InputEvent e{.kind = Kind::Button, .client = client, .code = kButtons[i], .down = down};
    down ? press(c, e) : release(c, e);
  }
  const int pressed = buttonMask & ~c.mask;
  for (int bit = 3; bit <= 6; ++bit) {
    if (!(pressed & (1 << bit))) continue;
    // Buttons 4 and 5: up and down; 6 and 7: left and right.
    push({.kind = Kind::Scroll,
          .client = client,
          .code = std::uint32_t(bit >= 5 ? 1 : 0),
          .steps = (bit == 3 || bit == 5) ? -1 : 1});
  }
  c.mask = buttonMask;
  pump();
}

void InputQueue::key(int client, bool down, std::uint32_t keysym) {
  Client& c = clients_[client];
  InputEvent e{.kind = Kind::Key, .client = client, .code = keysym, .down = down};
  down ? press(c, e) : release(c, e);
  pump();
}

void InputQueue::clientGone(int client) {
  auto it = clients_.find(client);
  if (it == clients_.end()) return;
  std::erase_if(queue_, [client](const InputEvent& e) { return e.client == client; });
  for (const auto& [kind, code] : it->second.sent)
    queue_.push_back({.kind = kind, .client = client, .code = code, .down = false});
  clients_.erase(it);
  pump();
}

void InputQueue::answered() {
  inFlight_ = false;
  pump();
}

void InputQueue::pump() {
  // Send may answer at once (a desktop that takes no input): the loop, not recursion,
  // carries on then.
  if (pumping_) return;
  pumping_ = true;
  while (!inFlight_ && !queue_.empty()) {
    const InputEvent e = queue_.front();
    queue_.pop_front();
    if (auto it = clients_.find(e.client); it != clients_.end()) {
      if (e.kind == Kind::Key || e.kind == Kind::Button) {
        if (e.down)
          it->second.sent.insert({e.kind, e.code});
        else
          it->second.sent.erase({e.kind, e.code});
      }
    }
    inFlight_ = true;
    send_(e);
  }
  pumping_ = false;
}

}  // namespace tvl::portalvnc
