// tvl-vnc-client SERVER [options]: a supporter's VNC viewer for tests. SERVER is
// localhost:PORT (a supporter's end of a tunnel, or the relay's port) or the path of the
// server's Unix socket, which it then talks to as a viewer that reached it under the name
// "localhost" (the name TLS checks the certificate against).
//   --ca FILE             the server's certificate, trusted for VeNCrypt's TLS
//   --user NAME           user name for VeNCrypt Plain
//   --password-file FILE  the password, its first line (never on the command line)
//   --picture FILE        writes the first frame that is not black and that the next
//                         one confirms, as binary PPM
//   --click X Y           moves the pointer there and clicks the first button
//   --type TEXT           types the text (printable ASCII)
//   --paste TEXT          sends the text's keys back to back, as a viewer pastes; prints
//                         "typing-at S" (wall-clock seconds) when the first key goes
//   --updates SECONDS     keeps asking for updates; prints "updates N" at the end
//   --stay SECONDS        stays connected that long before leaving
//   --send-clipboard TEXT sends the text as the viewer's clipboard
// Prints "connected WxH", then "first-frame MS" (milliseconds from the start of the
// connection) with --picture, and "clipboard TEXT" for each clipboard the server sends. Exit status
// 1 when the server refused the connection or its credential, 2 on bad arguments, 3 when no frame
// came.
#include <rfb/rfbclient.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string socket, ca, user, passwordFile, picture, text, paste, clipboard;
  int clickX = -1, clickY = -1;
  double updates = 0, stay = 0;
};
Options options;
bool frameDone = false;

char* copy(const std::string& s) {
  return ::strdup(s.c_str());
}

std::string password() {
  std::ifstream in(options.passwordFile);
  std::string line;
  std::getline(in, line);
  return line;
}

rfbCredential* credential(rfbClient*, int type) {
  auto* c = static_cast<rfbCredential*>(std::calloc(1, sizeof(rfbCredential)));
  if (type == rfbCredentialTypeX509) {
    c->x509Credential.x509CACertFile = options.ca.empty() ? nullptr : copy(options.ca);
    c->x509Credential.x509CrlVerifyMode = 0;
  } else if (type == rfbCredentialTypeUser) {
    c->userCredential.username = copy(options.user);
    c->userCredential.password = copy(password());
  } else {
    std::free(c);
    return nullptr;
  }
  return c;
}

char* vncPassword(rfbClient*) {
  return copy(password());
}

void finished(rfbClient*) {
  frameDone = true;
}

void gotClipboard(rfbClient*, const char* text, int length) {
  std::printf("clipboard %.*s\n", length, text);
  std::fflush(stdout);
}

// Serves events until a whole frame update arrived or the time is up.
bool waitForFrame(rfbClient* client, Clock::time_point end) {
  frameDone = false;
  while (!frameDone && Clock::now() < end) {
    int n = WaitForMessage(client, 50000);
    if (n < 0 || (n > 0 && !HandleRFBServerMessage(client))) return false;
  }
  return frameDone;
}

uint32_t pixelAt(rfbClient* client, int x, int y) {
  uint32_t v;
  std::memcpy(&v, client->frameBuffer + (size_t(y) * client->width + x) * 4, 4);
  const rfbPixelFormat& f = client->format;
  return ((v >> f.redShift) & 0xFF) << 16 | ((v >> f.greenShift) & 0xFF) << 8 |
         ((v >> f.blueShift) & 0xFF);
}

// A sample of the picture (every 7th pixel of every 7th row), to tell frames apart.
std::vector<uint32_t> sample(rfbClient* client) {
  std::vector<uint32_t> pixels;
  for (int y = 0; y < client->height; y += 7)
    for (int x = 0; x < client->width; x += 7) pixels.push_back(pixelAt(client, x, y));
  return pixels;
}

bool allBlack(const std::vector<uint32_t>& pixels) {
  for (uint32_t p : pixels)
    if (p != 0) return false;
  return true;
}

void writePicture(rfbClient* client) {
  std::ofstream out(options.picture, std::ios::binary);
  out << "P6\n" << client->width << " " << client->height << "\n255\n";
  for (int y = 0; y < client->height; ++y)
    for (int x = 0; x < client->width; ++x) {
      uint32_t p = pixelAt(client, x, y);
      char rgb[3] = {char(p >> 16), char(p >> 8), char(p)};
      out.write(rgb, 3);
    }
}

void serveFor(rfbClient* client, std::chrono::milliseconds time) {
  auto end = Clock::now() + time;
  while (Clock::now() < end) {
    int n = WaitForMessage(client, 20000);
    if (n < 0 || (n > 0 && !HandleRFBServerMessage(client))) return;
  }
}

bool parse(int argc, char** argv) {
  if (argc < 2) return false;
  options.socket = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--ca")
      options.ca = next();
    else if (a == "--user")
      options.user = next();
    else if (a == "--password-file")
      options.passwordFile = next();
    else if (a == "--picture")
      options.picture = next();
    else if (a == "--type")
      options.text = next();
    else if (a == "--paste")
      options.paste = next();
    else if (a == "--updates")
      options.updates = std::atof(next().c_str());
    else if (a == "--stay")
      options.stay = std::atof(next().c_str());
    else if (a == "--send-clipboard")
      options.clipboard = next();
    else if (a == "--click") {
      options.clickX = std::atoi(next().c_str());
      options.clickY = std::atoi(next().c_str());
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!parse(argc, argv)) {
    std::fprintf(stderr,
                 "usage: tvl-vnc-client SOCKET [--ca F] [--user U] [--password-file F] "
                 "[--picture F] [--click X Y] [--type TEXT] [--paste TEXT] [--updates S] "
                 "[--stay S] [--send-clipboard TEXT]\n");
    return 2;
  }
  // A server that refuses the credential closes the connection under our last write.
  ::signal(SIGPIPE, SIG_IGN);
  const auto start = Clock::now();
  rfbClient* client = rfbGetClient(8, 3, 4);
  client->GetCredential = credential;
  client->GetPassword = vncPassword;
  client->FinishedFrameBufferUpdate = finished;
  client->GotXCutText = gotClipboard;
  client->canHandleNewFBSize = TRUE;
  std::free(client->serverHost);
  client->serverHost = copy("localhost");
  if (options.socket.find('/') == std::string::npos) {
    auto colon = options.socket.rfind(':');
    client->serverPort = colon == std::string::npos ? 5900 : std::atoi(&options.socket[colon + 1]);
  } else {
    // Our own connection to the socket: libvncclient then only speaks RFB on it.
    client->sock = ConnectClientToUnixSock(options.socket.c_str());
    if (client->sock == RFB_INVALID_SOCKET) {
      std::fprintf(stderr, "tvl-vnc-client: cannot connect to %s\n", options.socket.c_str());
      std::_Exit(1);
    }
    client->listenSpecified = TRUE;
  }
  int noArguments = 0;
  if (!rfbInitClient(client, &noArguments, nullptr)) {
    std::fprintf(stderr, "tvl-vnc-client: refused\n");
    std::_Exit(1);  // rfbInitClient cleaned up; what it keeps of TLS goes with the process
  }
  std::printf("connected %dx%d\n", client->width, client->height);
  std::fflush(stdout);

  int status = 0;
  if (!options.picture.empty()) {
    // The first frames after connecting can be black, or black but for what the server
    // had captured so far: ask again until two whole frames in a row agree.
    bool got = false;
    std::vector<uint32_t> before;
    auto end = Clock::now() + std::chrono::seconds(10);
    while (!got && waitForFrame(client, end)) {
      std::vector<uint32_t> now = sample(client);
      got = !allBlack(now) && now == before;
      before = std::move(now);
      if (!got) SendFramebufferUpdateRequest(client, 0, 0, client->width, client->height, FALSE);
    }
    if (got) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
      std::printf("first-frame %lld\n", static_cast<long long>(ms.count()));
      writePicture(client);
    } else {
      status = 3;
    }
  }
  if (options.clickX >= 0) {
    SendPointerEvent(client, options.clickX, options.clickY, 0);
    serveFor(client, std::chrono::milliseconds(100));
    SendPointerEvent(client, options.clickX, options.clickY, rfbButton1Mask);
    serveFor(client, std::chrono::milliseconds(50));
    SendPointerEvent(client, options.clickX, options.clickY, 0);
    serveFor(client, std::chrono::milliseconds(200));
  }
  if (!options.text.empty()) {
    // The first key event of a session may be lost on its way into the compositor: a
    // throwaway Shift first.
    SendKeyEvent(client, XK_Shift_L, TRUE);
    SendKeyEvent(client, XK_Shift_L, FALSE);
    serveFor(client, std::chrono::milliseconds(100));
    for (char ch : options.text) {
      SendKeyEvent(client, static_cast<uint32_t>(ch), TRUE);
      SendKeyEvent(client, static_cast<uint32_t>(ch), FALSE);
      serveFor(client, std::chrono::milliseconds(20));
    }
    serveFor(client, std::chrono::milliseconds(200));
  }
  if (!options.paste.empty()) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::printf("typing-at %.6f\n", std::chrono::duration<double>(now).count());
    std::fflush(stdout);
    for (char ch : options.paste) {
      SendKeyEvent(client, static_cast<uint32_t>(ch), TRUE);
      SendKeyEvent(client, static_cast<uint32_t>(ch), FALSE);
    }
    serveFor(client, std::chrono::seconds(5));
  }
  if (!options.clipboard.empty()) {
    SendClientCutText(client, options.clipboard.data(), int(options.clipboard.size()));
    serveFor(client, std::chrono::milliseconds(200));
  }
  if (options.updates > 0) {
    long count = 0;
    auto end = Clock::now() + std::chrono::milliseconds(static_cast<long>(options.updates * 1000));
    SendFramebufferUpdateRequest(client, 0, 0, client->width, client->height, TRUE);
    while (Clock::now() < end) {
      if (waitForFrame(client, end)) {
        ++count;
        SendFramebufferUpdateRequest(client, 0, 0, client->width, client->height, TRUE);
      }
    }
    std::printf("updates %ld\n", count);
  }
  if (options.stay > 0)
    serveFor(client, std::chrono::milliseconds(static_cast<long>(options.stay * 1000)));
  std::fflush(stdout);
  if (client->frameBuffer) std::free(client->frameBuffer);
  rfbClientCleanup(client);
  // libvncclient keeps its TLS credentials to the process's end (0.9.14): no exit handlers,
  // so that a sanitized build does not take them for this program's leaks.
  std::_Exit(status);
}
