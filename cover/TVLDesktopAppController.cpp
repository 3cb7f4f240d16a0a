#include "cover/TVLDesktopAppController.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <charconv>
#include <sstream>

#include "common/ProductContract.h"
#include "cover/ProcessLookup.h"
#include "cover/TVLView.h"
#include "platform/desktop/DesktopSession.h"
#include "platform/windowlevel/DesktopLevel.h"

namespace tvl {

namespace {

using product::kMainApplicationName;
using product::kTunnelMarker;
constexpr auto& kVNCServerName = product::kVncServerName;
constexpr char kTunnelCommandName[] = "ssh";
const std::string kKillVNCServer = std::string("killall \"") + kVNCServerName + "\"";
// The layer-shell cover, beside TVLDesktop in the bundle's Contents/MacOS.
constexpr char kLayerCoverName[] = "tvl-cover-layer";
constexpr int kLayerCoverStopMs = 2000;
using product::kNotificationObject;
using product::kSharingStopped;

}  // namespace

std::string killCommandForPIDs(const std::string& pidLines) {
  std::string operands;
  std::istringstream lines(pidLines);
  for (std::string line; std::getline(lines, line);) {
    int pid = 0;
    auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), pid);
    if (error != std::errc() || end != line.data() + line.size() || pid <= 0) continue;
    operands += " " + std::to_string(pid);
  }
  return operands.empty() ? std::string() : "kill" + operands;
}

TVLDesktopAppController::TVLDesktopAppController(cover::System& system, QObject* parent)
    : QObject(parent), system_(system) {
  if (auto* app = QCoreApplication::instance())
    connect(app, &QCoreApplication::aboutToQuit, this, &TVLDesktopAppController::willTerminate);
}

TVLDesktopAppController::~TVLDesktopAppController() = default;

void TVLDesktopAppController::awakeFromNib() {
  coverDesktop();
  system_.scheduleRepeating(kCheckInterval, [this] { checkForVNC(); });
}

void TVLDesktopAppController::coverDesktop() {
  // A Wayland window of ours has no place below the others; with the layer shell the
  // compositor puts the cover's surfaces there.
  if (desktop::coverRoute(desktop::currentSession()) == desktop::CoverRoute::LayerShell) {
    startLayerCover();
    return;
  }
  const QList<QScreen*> screens = QGuiApplication::screens();
  windowArray_.clear();
  windowArray_.reserve(screens.size());
  for (QScreen* screen : screens) {
    auto window = std::make_unique<QWidget>();
    window->setScreen(screen);
    windowlevel::placeAtDesktopLevel(*window);
    auto* layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new TVLView(window.get()));
    window->setGeometry(screen->geometry());
    window->show();
    windowlevel::lowerToDesktopLevel(*window);
    windowArray_.push_back(std::move(window));
  }
}

void TVLDesktopAppController::startLayerCover() {
  layerCover_ = std::make_unique<QProcess>();
  layerCover_->setProgram(QCoreApplication::applicationDirPath() + "/" + kLayerCoverName);
  layerCover_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  layerCover_->setStandardOutputFile(QProcess::nullDevice());
  const pid_t parent = ::getpid();
  // The cover goes with TVLDesktop even when that is ended by a signal (killall
  // TVLDesktop) and cannot stop it.
  layerCover_->setChildProcessModifier([parent] {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(0);
  });
  layerCover_->start();
  if (!layerCover_->waitForStarted())
    qWarning("TVLDesktop: the layer-shell cover could not be started");
}

void TVLDesktopAppController::uncoverDesktop() {
  const size_t count = windowArray_.size();
  for (size_t i = 0; i < count; ++i) windowArray_[i]->close();
  if (layerCover_ && layerCover_->state() != QProcess::NotRunning) {
    layerCover_->terminate();
    if (!layerCover_->waitForFinished(kLayerCoverStopMs)) layerCover_->kill();
    layerCover_->waitForFinished(kLayerCoverStopMs);
  }
}

void TVLDesktopAppController::willTerminate() {
  uncoverDesktop();
}

void TVLDesktopAppController::doShellWithCommandNoReturn(const std::string& command) {
  system_.doShellWithCommandNoReturn(command);
}

void TVLDesktopAppController::checkForVNC() {
  const pid_t pid = system_.GetPIDForProcessName(kVNCServerName);
  // No single VNC server (none, or several) has no owner, and no owner is not root: once
  // the main application is gone, the session is over.
  const uid_t owner = pid > 0 ? system_.getUIDForPID(pid) : kNoProcessUID;
  // Only the user's own main application keeps the session: another account's program of
  // that name must not keep a crashed session's server and tunnel alive.
  const bool mainRunning = system_.isOwnProcessRunning(kMainApplicationName);
  if (mainRunning || owner == 0) return;

  system_.postDistributedNotification(kSharingStopped, kNotificationObject);
  if (system_.runningStateForApplication(kTunnelCommandName)) {
    // Every tunnel process found, not only the first.
    std::string kill = killCommandForPIDs(system_.returnPIDForProcess(kTunnelMarker));
    if (!kill.empty()) doShellWithCommandNoReturn(kill);
  }
  if (system_.runningStateForApplication(kVNCServerName))
    doShellWithCommandNoReturn(kKillVNCServer);
  // The killed session's folder holds a copy of the organisation's key: it goes too.
  system_.removeSessionFolders();
  system_.terminate();
}

}  // namespace tvl
