// tvl-portal-vnc in a test: the program with its socket and password in a folder of the
// test's, the lines it reports, and a supporter's VNC client on libvncclient.
#pragma once

#include <gtest/gtest.h>
#include <rfb/rfbclient.h>

#include <QColor>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "support/Polling.h"

namespace portalvnc {

using namespace std::chrono_literals;
using testsupport::eventually;

inline QString build() {
  return qEnvironmentVariable("TVL_BUILD_DIR");
}

inline QString server() {
  return build() + "/Applications/Mac Tovalo.app/Contents/MacOS/tvl-portal-vnc";
}

// The lines a process wrote to one channel so far.
struct Lines {
  QProcess& p;
  QProcess::ProcessChannel channel;
  QStringList seen;
  bool has(const QString& line) {
    p.setReadChannel(channel);
    p.waitForReadyRead(20);
    while (p.canReadLine()) seen << QString::fromUtf8(p.readLine()).trimmed();
    return seen.contains(line);
  }
};

// The VNC password a test gives the server, in a file of dir as the session writes it; the
// file's path, empty when it could not be written.
inline QString writePasswordFile(const QTemporaryDir& dir) {
  QFile pw(dir.filePath("vnc.pw"));
  if (!pw.open(QIODevice::WriteOnly) || pw.write("sEcr3t42\n") != 9) return {};
  return pw.fileName();
}

class PortalVnc : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    ASSERT_FALSE(writePasswordFile(dir).isEmpty());
    vnc.start(server(), arguments());
    ASSERT_TRUE(vnc.waitForStarted());
  }
  void TearDown() override {
    if (vnc.state() != QProcess::NotRunning) {
      vnc.kill();
      vnc.waitForFinished();
    }
  }
  virtual QStringList arguments() const {
    return {"--unix-socket",        socket(),
            "--password-file",      dir.filePath("vnc.pw"),
            "--restore-token-file", dir.filePath("token")};
  }
  QString socket() const { return dir.filePath("vnc.sock"); }
  bool said(const QString& line) {
    return eventually([&] { return err.has(line); }, 30s);
  }

  QTemporaryDir dir;
  QProcess vnc;
  Lines err{vnc, QProcess::StandardError, {}};
};

inline void quiet(const char*, ...) {}

// The supporter's VNC client, on libvncclient.
struct Viewer {
  rfbClient* client = nullptr;
  bool updated = false;
  explicit Viewer(const QString& socket, const char* password) {
    rfbClientLog = rfbClientErr = quiet;
    client = rfbGetClient(8, 3, 4);
    std::free(client->serverHost);
    client->serverHost = strdup(socket.toUtf8().constData());
    client->serverPort = 0;
    // libvncclient 0.9.14 keeps a JPEG decoder it made for Tight rectangles to the
    // process's end; the tests' pictures need no JPEG.
    client->appData.enableJPEG = FALSE;
    static const char* pw;
    pw = password;
    client->GetPassword = [](rfbClient*) { return strdup(pw); };
    client->FinishedFrameBufferUpdate = [](rfbClient* c) {
      static_cast<Viewer*>(rfbClientGetClientData(c, nullptr))->updated = true;
    };
    rfbClientSetClientData(client, nullptr, this);
    if (!rfbInitClient(client, nullptr, nullptr)) client = nullptr;  // it freed the client
  }
  ~Viewer() { close(); }
  void close() {
    if (!client) return;
    std::free(client->frameBuffer);  // libvncclient leaves its picture to its user
    rfbClientCleanup(client);
    client = nullptr;
  }
  // Asks for the whole screen and waits until it came.
  bool refresh() {
    updated = false;
    SendFramebufferUpdateRequest(client, 0, 0, client->width, client->height, FALSE);
    for (int i = 0; i < 100 && !updated; ++i)
      if (WaitForMessage(client, 100000) > 0 && !HandleRFBServerMessage(client)) return false;
    return updated;
  }
  QColor at(int x, int y) const {
    const uint8_t* p = client->frameBuffer + (size_t(y) * client->width + x) * 4;
    return QColor(p[0], p[1], p[2]);  // the client's format: red in the lowest byte
  }
  // Takes what the server sent meanwhile, as a viewer does all along: a server that
  // writes to a viewer that does not read waits for it.
  void read() {
    while (client && WaitForMessage(client, 0) > 0 && HandleRFBServerMessage(client)) {
    }
  }
  void key(uint32_t keysym) {
    SendKeyEvent(client, keysym, TRUE);
    SendKeyEvent(client, keysym, FALSE);
  }
};

// Typed as a fast typist types, 30 keys a second, then a line pasted: the viewer sends
// its 200 characters (capitals and signs among them) at once. Both arrive whole.
inline void typesAndPastes(Viewer& viewer, Lines& out) {
  for (char c : std::string("hello vnc")) {
    viewer.key(uint32_t(c));
    std::this_thread::sleep_for(33ms);
  }
  std::string line;
  while (line.size() < 200)
    line += " The quick brown fox (42) jumps over THE LAZY DOG; 0123456789!";
  line.resize(200);
  for (char c : line) viewer.key(uint32_t(c));
  const QString typed = QString::fromStdString("text hello vnc" + line);
  EXPECT_TRUE(eventually([&] { return viewer.read(), out.has(typed); }, 30s))
      << "lost or changed keys; the field's last texts:\n"
      << out.seen.mid(out.seen.size() - 3).join('\n').toStdString();
}

}  // namespace portalvnc
