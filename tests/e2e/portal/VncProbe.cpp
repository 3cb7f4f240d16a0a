// vnc-probe SOCKET PASSWORD-FILE SECONDS: a VNC viewer for measurements. Connects through
// the Unix socket, prints "first-frame-ms N" (connect to the first whole picture), then
// keeps incremental update requests going for SECONDS and prints "updates N".
#include <rfb/rfbclient.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {
std::string password;
int updates = 0;
void quiet(const char*, ...) {}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
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
