// A gate in front of a VNC server that reads each client message whole (x11vnc, and
// libvncserver in tvl-portal-vnc): one thread serves every client, so a client that sends
// part of a handshake message and then nothing (or one byte every few seconds) held that
// thread, and every other client with it, for as long as it liked.
//
// The gate listens on the session's socket in the server's place and passes each client's
// handshake on to the server's own socket only in whole messages (RFB's version, the
// chosen security type, the VNC authentication response, the client's init); after the
// handshake it passes bytes both ways as they come. A client that has not finished the
// handshake within kHandshakeSeconds is closed. It runs on a thread of its own and never
// waits for one connection: a slow client delays nobody.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <thread>

namespace tvl::session {

// Which of a client's bytes are whole handshake messages, for a server that offers VNC
// authentication only (RFB 3.3, 3.7, 3.8).
class RfbHandshake {
 public:
  // Of the client's bytes that came after those already passed (pending), how many may
  // go to the server now: whole messages only; everything once the handshake is over.
  size_t passable(std::string_view pending);
  bool done() const { return stage_ == Stage::Done; }

 private:
  enum class Stage { Version, SecurityType, Response, ClientInit, Done };
  Stage stage_ = Stage::Version;
};

class RfbGate {
 public:
  static constexpr int kHandshakeSeconds = 60;  // a person may type the password
  static constexpr int kMostWaitingClients = 16;

  RfbGate() = default;
  ~RfbGate();
  RfbGate(const RfbGate&) = delete;
  RfbGate& operator=(const RfbGate&) = delete;

  // Listens on socketPath (only the owner may connect) and passes clients on to
  // serverPath. False when the socket could not be made (errno-based words in error).
  bool start(const std::string& socketPath, const std::string& serverPath, std::string* error);
  // Closes every connection and the socket; safe to call twice.
  void stop();

 private:
  void run();

  int listenFd_ = -1;
  int wakeFd_[2] = {-1, -1};
  std::string socketPath_, serverPath_;
  std::thread thread_;
};

}  // namespace tvl::session
