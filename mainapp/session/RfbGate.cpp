#include "mainapp/session/RfbGate.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

namespace tvl::session {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kVersionBytes = 12;   // "RFB 003.008\n"
constexpr size_t kResponseBytes = 16;  // the DES-encrypted challenge
constexpr size_t kBufferLimit = 1 << 20;
constexpr size_t kChunk = 64 * 1024;

bool unixAddress(const std::string& path, sockaddr_un* address) {
  *address = {};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

int connectTo(const std::string& path) {
  sockaddr_un address;
  if (!unixAddress(path, &address)) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One client and its connection to the server.
struct Link {
  int client = -1, server = -1;
  RfbHandshake handshake;
  std::string held;      // the client's bytes not yet whole messages
  std::string toServer;  // bytes for the server
  std::string toClient;  // bytes for the client
  bool clientEof = false, serverEof = false, failed = false;
  Clock::time_point started = Clock::now();

  ~Link() {
    if (client >= 0) ::close(client);
    if (server >= 0) ::close(server);
  }
  // RFB has no half-closed connections: once one side has ended and its last bytes are
  // through, the link goes (a side that ended keeps reporting it, and poll would spin).
  bool finished() const {
    return failed || (clientEof && toServer.empty()) || (serverEof && toClient.empty());
  }
};

// Reads what fd has into out; false at the end of the stream or on an error.
bool readInto(int fd, std::string* out, bool* eof) {
  char buffer[kChunk];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n > 0) {
    out->append(buffer, size_t(n));
    return true;
  }
  if (n == 0) {
    *eof = true;
    return true;
  }
  return errno == EAGAIN || errno == EINTR;
}

// Writes as much of in as fd takes; false on an error.
bool writeFrom(int fd, std::string* in) {
  ssize_t n = ::send(fd, in->data(), in->size(), MSG_NOSIGNAL);
  if (n > 0) {
    in->erase(0, size_t(n));
    return true;
  }
  return n < 0 && (errno == EAGAIN || errno == EINTR);
}

}  // namespace

size_t RfbHandshake::passable(std::string_view pending) {
  size_t passed = 0;
  for (;;) {
    const std::string_view rest = pending.substr(passed);
    switch (stage_) {
      case Stage::Version: {
        if (rest.size() < kVersionBytes) return passed;
        // "RFB 003.00N\n": 3.7 and later choose a security type; 3.3 answers the
        // challenge at once. Anything else the server refuses by itself.
        const std::string_view version = rest.substr(0, kVersionBytes);
        int minor = -1;
        if (version.substr(0, 8) == "RFB 003." && version[11] == '\n' &&
            std::all_of(version.begin() + 8, version.begin() + 11,
                        [](char c) { return c >= '0' && c <= '9'; }))
          minor = std::stoi(std::string(version.substr(8, 3)));
        stage_ = minor < 0 ? Stage::Done : minor >= 7 ? Stage::SecurityType : Stage::Response;
        passed += kVersionBytes;
        break;
      }
      case Stage::SecurityType:
        if (rest.empty()) return passed;
        // VNC authentication is the only type offered; another one is refused.
        stage_ = rest[0] == 2 ? Stage::Response : Stage::Done;
        passed += 1;
        break;
      case Stage::Response:
        if (rest.size() < kResponseBytes) return passed;
        stage_ = Stage::ClientInit;
        passed += kResponseBytes;
        break;
      case Stage::ClientInit:
        if (rest.empty()) return passed;
        stage_ = Stage::Done;
        passed += 1;
        break;
      case Stage::Done:
        return pending.size();
    }
  }
}

RfbGate::~RfbGate() {
  stop();
}

bool RfbGate::start(const std::string& socketPath, const std::string& serverPath,
                    std::string* error) {
  sockaddr_un address;
  if (!unixAddress(socketPath, &address)) {
    *error = "the socket's path is too long";
    return false;
  }
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  // Only the owner may connect, whatever the folder's mode.
  const mode_t old = ::umask(0177);
  const bool bound = listenFd_ >= 0 &&
                     ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::umask(old);
  if (!bound || ::listen(listenFd_, 16) != 0 || ::pipe2(wakeFd_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::strerror(errno);
    stop();
    return false;
  }
  socketPath_ = socketPath;
  serverPath_ = serverPath;
  thread_ = std::thread([this] { run(); });
  return true;
}

void RfbGate::stop() {
  if (thread_.joinable()) {
    char wake = 0;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_[1], &wake, 1);
    thread_.join();
  }
  for (int* fd : {&listenFd_, &wakeFd_[0], &wakeFd_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  if (!socketPath_.empty()) ::unlink(socketPath_.c_str());
  socketPath_.clear();
}

void RfbGate::run() {
  std::vector<std::unique_ptr<Link>> links;
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({wakeFd_[0], POLLIN, 0});
    fds.push_back({listenFd_, POLLIN, 0});
    int timeoutMs = -1;
    const auto now = Clock::now();
    for (const auto& l : links) {
      short c = 0, s = 0;
      if (!l->clientEof && l->toServer.size() + l->held.size() < kBufferLimit) c |= POLLIN;
      if (!l->toClient.empty()) c |= POLLOUT;
      if (!l->serverEof && l->toClient.size() < kBufferLimit) s |= POLLIN;
      if (!l->toServer.empty()) s |= POLLOUT;
      // A side that ended is left out: it would report its end at every look.
      fds.push_back({l->clientEof ? -1 : l->client, c, 0});
      fds.push_back({l->serverEof ? -1 : l->server, s, 0});
      if (!l->handshake.done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            l->started + std::chrono::seconds(kHandshakeSeconds) - now);
        const int ms = int(std::max<long long>(left.count(), 0)) + 1;
        timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
      }
    }
    if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) return;
    if (fds[0].revents) return;  // stop()

    for (size_t i = 0; i < links.size(); ++i) {
      Link& l = *links[i];
      const short c = fds[2 + 2 * i].revents, s = fds[3 + 2 * i].revents;
      if ((c & (POLLIN | POLLHUP)) && !l.clientEof) {
        l.failed |= !readInto(l.client, &l.held, &l.clientEof);
        // Only whole handshake messages go on; after the handshake, everything.
        const size_t n = l.handshake.passable(l.held);
        l.toServer.append(l.held, 0, n);
        l.held.erase(0, n);
      }
      if ((s & (POLLIN | POLLHUP)) && !l.serverEof)
        l.failed |= !readInto(l.server, &l.toClient, &l.serverEof);
      if ((c & POLLERR) || (s & POLLERR)) l.failed = true;
      if (!l.toServer.empty()) l.failed |= !writeFrom(l.server, &l.toServer);
      if (!l.toClient.empty()) l.failed |= !writeFrom(l.client, &l.toClient);
      if (!l.handshake.done() &&
          Clock::now() - l.started >= std::chrono::seconds(kHandshakeSeconds))
        l.failed = true;
    }
    std::erase_if(links, [](const auto& l) { return l->finished(); });

    if (fds[1].revents & POLLIN) {
      for (;;) {
        int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) break;
        const auto waiting = std::count_if(links.begin(), links.end(),
                                           [](const auto& l) { return !l->handshake.done(); });
        const int server = waiting < kMostWaitingClients ? connectTo(serverPath_) : -1;
        if (server < 0) {
          ::close(client);
          continue;
        }
        auto link = std::make_unique<Link>();
        link->client = client;
        link->server = server;
        links.push_back(std::move(link));
      }
    }
  }
}

}  // namespace tvl::session
