// vnc-probe SOCKET PASSWORD-FILE SECONDS: a VNC viewer for measurements. Connects through
// the Unix socket, prints "first-frame-ms N" (connect to the first whole picture), then
// keeps incremental update requests going for SECONDS and prints "updates N".
// vnc-probe SOCKET PASSWORD-FILE type TEXT: clicks the middle of the screen, then sends
// TEXT's keys back to back, as a viewer pastes a line; prints "typing-at S" (the
// wall-clock time in seconds when the first key went) before.
#include <rfb/rfbclient.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {
std::string password;
int updates = 0;
void quiet(const char*, ...) {}
}  // namespace

int main(int argc, char** argv) {
  const bool typing = argc == 5 && std::strcmp(argv[3], "type") == 0;
  if (argc != 4 && !typing) return 2;
  std::ifstream(argv[2]) >> password;
  rfbClientLog = rfbClientErr = quiet;
  rfbClient* client = rfbGetClient(8, 3, 4);
  std::free(client->serverHost);
  client->serverHost = strdup(argv[1]);
  client->GetPassword = [](rfbClient*) { return strdup(password.c_str()); };
  client->FinishedFrameBufferUpdate = [](rfbClient*) { ++updates; };
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  if (!rfbInitClient(client, nullptr, nullptr)) return 1;
  while (updates == 0)
    if (WaitForMessage(client, 100000) > 0 && !HandleRFBServerMessage(client)) return 1;
  // Reads what the server sends meanwhile: a viewer that does not would hold it up.
  auto readFor = [client](std::chrono::milliseconds span) {
    const auto end = clock::now() + span;
    while (clock::now() < end)
      if (WaitForMessage(client, 20000) > 0 && !HandleRFBServerMessage(client)) return false;
    return true;
  };
  if (typing) {
    SendPointerEvent(client, client->width / 2, client->height / 2, rfbButton1Mask);
    SendPointerEvent(client, client->width / 2, client->height / 2, 0);
    if (!readFor(std::chrono::milliseconds(500))) return 1;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::printf("typing-at %.6f\n", std::chrono::duration<double>(now).count());
    std::fflush(stdout);
    for (const char* c = argv[4]; *c; ++c) {
      SendKeyEvent(client, uint8_t(*c), TRUE);
      SendKeyEvent(client, uint8_t(*c), FALSE);
    }
    // Stays a while: leaving would drop what still waits.
    const bool ok = readFor(std::chrono::seconds(5));
    std::free(client->frameBuffer);
    rfbClientCleanup(client);
    return ok ? 0 : 1;
  }
  std::printf("first-frame-ms %.1f\n",
              std::chrono::duration<double, std::milli>(clock::now() - start).count());
  updates = 0;
  const auto end = clock::now() + std::chrono::seconds(std::atoi(argv[3]));
  SendFramebufferUpdateRequest(client, 0, 0, client->width, client->height, TRUE);
  while (clock::now() < end) {
    if (WaitForMessage(client, 50000) > 0) {
      const int before = updates;
      if (!HandleRFBServerMessage(client)) return 1;
      if (updates != before)
        SendFramebufferUpdateRequest(client, 0, 0, client->width, client->height, TRUE);
    }
  }
  std::printf("updates %d\n", updates);
  std::free(client->frameBuffer);
  rfbClientCleanup(client);
  return 0;
}
