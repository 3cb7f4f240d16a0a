#include "mainapp/session/SupportSession.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <utility>

#include "common/ProductContract.h"
#include "common/SessionFolders.h"
#include "mainapp/Localized.h"
#include "mainapp/session/RfbGate.h"
#include "mainapp/session/SharingServer.h"
#include "platform/desktop/DesktopSession.h"
#include "platform/system/Files.h"
#include "platform/system/Log.h"

namespace tvl::session {

namespace {

using mainapp::localized;

constexpr int kLongestLengthMinutes = 7 * 24 * 60;
constexpr int kDefaultLengthMinutes = 30;
constexpr double kWarningSeconds = 60;
constexpr qsizetype kLogLinesKept = 40;

Problem problemOf(TunnelFailure failure, bool userInitiated) {
  switch (failure) {
    case TunnelFailure::HostKey:
      return Problem::HostKeyChanged;
    case TunnelFailure::CredentialRefused:
      return userInitiated ? Problem::KeyRefused : Problem::SecretRefused;
    case TunnelFailure::RegistrationRefused:
      return Problem::RegistrationRefused;
    case TunnelFailure::PortRefused:
      return Problem::PortRefused;
    case TunnelFailure::Unreachable:
      return Problem::Unreachable;
    case TunnelFailure::NoAnswer:
      return Problem::NoAnswer;
    case TunnelFailure::Lost:
    case TunnelFailure::ClosedByRelay:
      return Problem::Lost;
    case TunnelFailure::None:
    case TunnelFailure::Other:
      break;
  }
  return Problem::TunnelEnded;
}

RelayEndpoint endpointOf(const mainapp::RelaySettings& r) {
  return {r.host, r.port, r.user, r.hostKey, r.connectTimeout};
}

// The tunnel's login: a link in the relay package's shape logs in with its own key on the
// relay it names; a session started here registers a key of its own with the
// organisation's key, on the relays with the relay package. Relays set up by hand
// ("login=forward", only the first relay) take the organisation's key itself, or a link's
// secret as the account's password.
bool tunnelLogin(const QList<mainapp::RelaySettings>& relays,
                 const std::optional<mainapp::LinkCredential>& link,
                 const SupportSession::Request& request, TunnelLogin* login, EndCause* problem) {
  const mainapp::RelaySettings& first = relays.front();
  login->relays = {endpointOf(first)};
  login->port = request.relayPort;
  if (link) {
    auto named = std::find_if(relays.begin(), relays.end(), [&](const mainapp::RelaySettings& r) {
      return r.name == link->relay;
    });
    if (named == relays.end()) {
      *problem = {Problem::LinkRelayUnknown, {}};
      return false;
    }
    login->relays = {endpointOf(*named)};
    login->credential = {Credential::Kind::Key, link->privateKey};
    login->sessionCredential = true;
    return true;
  }
  if (!request.userInitiated) {
    login->credential = {Credential::Kind::Password, request.secret.toUtf8()};
    return true;
  }
  if (first.identity.isEmpty()) {
    *problem = {Problem::NoSessionKey, {}};
    return false;
  }
  if (first.registers) {
    login->relays.clear();
    for (const mainapp::RelaySettings& r : relays) {
      if (!r.registers || r.identity.isEmpty()) continue;
      login->relays.push_back(endpointOf(r));
      login->organisation << r;
    }
    login->registerFirst = login->sessionCredential = true;
    login->credential = {Credential::Kind::Key, {}};
    // The session's length is kept here (Keep Sharing lengthens it); the relay's own
    // longest session bounds it there.
    login->minutes = kLongestLengthMinutes;
    return true;
  }
  QFile key(first.identity);
  QByteArray bytes;
  if (!key.open(QIODevice::ReadOnly) || (bytes = key.read(64 * 1024)).isEmpty()) {
    *problem = {Problem::KeyUnreadable, {}};
    return false;
  }
  login->credential = {Credential::Kind::Key, bytes};
  return true;
}

}  // namespace

QString generateSessionSecret() {
  static const char kAlphabet[] = "abcdefghjkmnpqrstuvwxyz23456789";
  QString secret;
  for (int i = 0; i < 8; ++i)
    secret += QChar(kAlphabet[QRandomGenerator::system()->bounded(int(sizeof kAlphabet) - 1)]);
  return secret;
}

int sessionLengthMinutes(const QString& maxtime) {
  // Digits with at most one decimal point: no sign, exponent, "inf" or "nan".
  const QString text = maxtime.trimmed();
  bool ok = !text.isEmpty() && text.count(u'.') <= 1 &&
            std::all_of(text.begin(), text.end(),
                        [](QChar c) { return (c >= u'0' && c <= u'9') || c == u'.'; });
  const double minutes = ok ? text.toDouble(&ok) : 0;
  if (!ok || !(minutes > 0)) return kDefaultLengthMinutes;
  // A part of a minute counts as one: a positive length never ends a session at once.
  return int(std::clamp<double>(std::round(minutes), 1, kLongestLengthMinutes));
}

double reconnectDelaySeconds(int attempt, double jitter) {
  return (attempt >= 3 ? 8.0 : double(1 << std::max(attempt, 0))) + std::clamp(jitter, 0.0, 0.5);
}

SupportSession::SupportSession(QObject* parent)
    : QObject(parent), ownClock_(std::make_unique<ui::QtTimers>()), clock_(*ownClock_) {}

SupportSession::SupportSession(ui::TimerScheduler& clock, QObject* parent)
    : QObject(parent), clock_(clock) {}

SupportSession::~SupportSession() {
  // Ends what runs without telling anybody: the owner is going away.
  blockSignals(true);
  end({Problem::ApplicationQuit, {}});
}

void SupportSession::note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const QString line = QString::vasprintf(format, args);
  va_end(args);
  tvl::NSLog("%s", qPrintable(line));
  log_ << line;
  while (log_.size() > kLogLinesKept) log_.removeFirst();
}

QStringList SupportSession::secretWords() const {
  QStringList words{request_.secret};
  if (link_) words << QString::fromLatin1(link_->privateKey);
  return words;
}

QString SupportSession::folder() const {
  return folder_ ? folder_->path() : QString();
}

bool SupportSession::setState(State s) {
  if (s == state_) return true;
  if (!isTransition(state_, s)) {
    note("Session: refused the change from \"%s\" to \"%s\"", stateName(state_), stateName(s));
    return false;
  }
  state_ = s;
  emit stateChanged();
  return true;
}

QString SupportSession::stateText() const {
  QString text;
  switch (state_) {
    case State::Idle:
      return {};
    case State::StartingServer:
    case State::ConnectingRelay:
      text = localized("Connecting to the support relay…");
      break;
    case State::AwaitingApproval:
      text =
          localized("Your desktop asks whether to share your screen: choose Share in its dialog.");
      break;
    case State::Reconnecting:
      text = localized("Reconnecting to the support relay…");
      break;
    case State::Waiting:
      text = request_.userInitiated
                 ? localized("Waiting for your supporter. Read them the session code below.")
                 : localized("Waiting for your supporter to connect.");
      if (viewOnly_)
        text += " " + localized(
                          "Your desktop allowed no control: your supporter will only see "
                          "your screen.");
      break;
    case State::Connected:
      if (viewOnly_)
        text = supporters_ > 1
                   ? localized(
                         "%1 supporters are connected and can see your screen; your desktop "
                         "allowed no control.")
                         .arg(supporters_)
                   : localized(
                         "Your supporter is connected and can see your screen; your desktop "
                         "allowed no control.");
      else
        text = supporters_ > 1
                   ? localized("%1 supporters are connected and can see and control your screen.")
                         .arg(supporters_)
                   : localized("Your supporter is connected and can see and control your screen.");
      break;
    case State::Ended:
      return localized("Sharing ended. %1").arg(describe(endCause_));
  }
  if (endsSoon_)
    text += " " + localized("Sharing ends in a minute: Keep Sharing gives you another %1 minutes.")
                      .arg(request_.lengthMinutes);
  return text;
}

QString SupportSession::sessionCode() const {
  if (relayPort_ == 0 ||
      (state_ != State::Waiting && state_ != State::Connected && state_ != State::Reconnecting))
    return {};
  return request_.userInitiated ? mainapp::sessionCodeFor(relayName_, relayPort_, request_.secret)
                                : QString::number(relayPort_);
}

bool SupportSession::canShareThisDesktop(QString* why) {
  const desktop::Session& session = desktop::currentSession();
  if (session.server != desktop::DisplayServer::Wayland ||
      desktop::sharingRoute(session) != desktop::SharingRoute::None)
    return true;
  // An X11 server beside it (Xwayland) would share a black screen: nothing pretends to.
  *why = describe({Problem::NoRoute, {}});
  return false;
}

void SupportSession::start(const QList<mainapp::RelaySettings>& relays, const Request& request) {
  if (isRunning(state_)) return;
  request_ = request;
  // A link in the relay package's shape: its key logs in, its password is the server's.
  link_.reset();
  if (!request.userInitiated) link_ = mainapp::parseLinkSecret(request.secret);
  if (link_) request_.secret = link_->password;
  relayPort_ = request.relayPort;
  relayName_.clear();
  log_.clear();
  connectTimeout_ = relays.isEmpty() ? 10 : relays.front().connectTimeout;
  checkingEnd_ = false;
  supporters_ = 0;
  serving_ = viewOnly_ = endsSoon_ = clipboardShared_ = false;
  reconnectAttempt_ = 0;
  endCause_ = {};
  setState(State::StartingServer);
  scheduleLength();

  EndCause problem;
  server_ = makeSharingServer(currentRoute());
  if (!server_) {
    // Nothing starts. A Wayland desktop with no way to share it: a notification says so too.
    if (desktop::currentSession().server == desktop::DisplayServer::Wayland) {
      problem = {Problem::NoRoute, {}};
      emit cannotShare(describe(problem));
    } else {
      problem = {Problem::NoDisplay, {}};
    }
    return end(problem);
  }
  connect(server_.get(), &SharingServer::event, this, &SupportSession::onServerEvent);
  connect(server_.get(), &SharingServer::stopped, this, [this] {
    end({Problem::ServerStopped, {}});
  });
  if (!prepare(relays, &problem)) return end(problem);

  // Where the route allows, ssh (the slower to get ready: it logs in to the relay) starts
  // first and the server beside it; the session waits for both.
  const bool tunnelFirst = !server_->approvalBeforeTunnel();
  if (tunnelFirst && !openTunnel(&problem)) return end(problem);
  const QString dir = folder_->path();
  QString serverSocket = dir + "/vnc.sock";
  if (server_->speaksVncAuthentication()) {
    // The server reads each client's messages whole, one client at a time: the gate in
    // front of it passes the handshake on only in whole messages.
    serverSocket = dir + "/vnc-server.sock";
    gate_ = std::make_unique<RfbGate>();
    std::string why;
    if (!gate_->start(QFile::encodeName(dir + "/vnc.sock").toStdString(),
                      QFile::encodeName(serverSocket).toStdString(), &why)) {
      note("Session: the gate's socket could not be made: %s", why.c_str());
      return end({Problem::FilesNotWritten, {}});
    }
  }
  if (!server_->start({dir, serverSocket, request_.secret}, &problem)) return end(problem);
  if (tunnelFirst) setState(State::ConnectingRelay);
}

bool SupportSession::prepare(const QList<mainapp::RelaySettings>& relays, EndCause* problem) {
  if (relays.isEmpty()) {
    *problem = {Problem::Unreachable, {}};
    return false;
  }
  // The cover's watch looks for what a killed session left in the same place.
  const QString base = QString::fromStdString(common::sessionFolderBase());
  // QTemporaryDir makes the folder 0700; it goes with the session.
  folder_ = std::make_unique<QTemporaryDir>(base + "/" + product::kTunnelMarker + "-XXXXXX");
  if (!folder_->isValid()) {
    *problem = {Problem::FolderNotMade, {}};
    return false;
  }
  const QString dir = folder_->path();
  TunnelLogin login;
  if (!tunnelLogin(relays, link_, request_, &login, problem)) return false;
  // The server reads its password once and deletes the file.
  if (system::writePrivateFile(QFile::encodeName(dir + "/vnc.pw").toStdString(),
                               (request_.secret + "\n").toStdString(), 0600) != 0) {
    *problem = {Problem::FilesNotWritten, {}};
    return false;
  }
  tunnel_ = std::make_unique<Tunnel>(clock_);
  connect(tunnel_.get(), &Tunnel::opened, this, &SupportSession::onTunnelOpened);
  connect(tunnel_.get(), &Tunnel::failed, this, &SupportSession::onTunnelFailed);
  return tunnel_->prepare(dir, dir + "/vnc.sock", std::move(login), problem);
}

bool SupportSession::openTunnel(EndCause* problem) {
  if (!tunnel_->open(relayPort_, problem)) return false;
  // The server gets the tunnel's own deadline to be ready too.
  readyDeadline_ = clock_.scheduledTimerWithTimeInterval(
      2.0 * connectTimeout_ + 10,
      [this] {
        if (state_ != State::ConnectingRelay) return;
        end({tunnel_ && tunnel_->isOpen() ? Problem::ServerNotStarted : Problem::NoAnswer, {}});
      },
      false);
  return true;
}

void SupportSession::onServerEvent(const ServerEvent& e) {
  using K = ServerEvent::Kind;
  switch (e.kind) {
    case K::ApprovalPending:
      setState(State::AwaitingApproval);
      break;
    case K::Serving:
      serving_ = true;
      if (server_->approvalBeforeTunnel() &&
          (state_ == State::StartingServer || state_ == State::AwaitingApproval)) {
        // The user said yes: only now does anything reach the relay.
        EndCause problem;
        if (!openTunnel(&problem)) return end(problem);
        setState(State::ConnectingRelay);
      }
      becomeReadyIfAllUp();
      break;
    case K::ViewOnly:
      viewOnly_ = true;
      emit stateChanged();
      break;
    case K::Joined:
      ++supporters_;
      if (state_ == State::Waiting) setState(State::Connected);
      emit supporterJoined();
      emit stateChanged();
      break;
    case K::Left:
      supportersLeftTo(e.remaining < 0 ? supporters_ - 1 : e.remaining);
      break;
    case K::Refused: {
      const EndCause cause{Problem::DesktopRefused, e.code};
      note("Session: the desktop refused to share the screen (%s)", qPrintable(e.code));
      emit cannotShare(describe(cause));
      end(cause);
      break;
    }
    case K::Error:
      note("Session: %s", qPrintable(e.code));
      break;
    case K::None:
      break;
  }
}

void SupportSession::supportersLeftTo(int remaining) {
  bool changed = false;
  while (supporters_ > std::max(remaining, 0)) {
    --supporters_;
    changed = true;
    emit supporterLeft();
  }
  if (state_ == State::Connected && supporters_ == 0) setState(State::Waiting);
  if (changed) emit stateChanged();
}

void SupportSession::onTunnelOpened(int port) {
  relayPort_ = port;
  relayName_ = tunnel_->relayName();
  if (checkingEnd_) {
    // The relay had closed the connection but still knows the session (it restarted).
    checkingEnd_ = false;
    note("Session: the relay closed the connection; it is up again on port %d", port);
    return;
  }
  if (state_ == State::Reconnecting) {
    retry_.reset();
    giveUp_.reset();
    reconnectAttempt_ = 0;
    note("Session: the tunnel to the relay is up again on port %d", port);
    setState(State::Waiting);
    if (supporters_ > 0) setState(State::Connected);
    return;
  }
  becomeReadyIfAllUp();
}

void SupportSession::becomeReadyIfAllUp() {
  if (state_ != State::ConnectingRelay || !serving_ || !tunnel_ || !tunnel_->isOpen()) return;
  readyDeadline_.reset();
  setState(State::Waiting);
  if (supporters_ > 0) setState(State::Connected);
}

void SupportSession::onTunnelFailed(TunnelFailure failure) {
  // Only a session that was up is tried again: at the first connection, a failure is
  // told at once.
  const bool established =
      state_ == State::Waiting || state_ == State::Connected || state_ == State::Reconnecting;
  const bool sessionKey = tunnel_->hasSessionCredential();
  const bool checking = std::exchange(checkingEnd_, false);
  // The session's own key refused: the relay ended the session (a link's key at the first
  // login: the link expired or was used).
  if (sessionKey && failure == TunnelFailure::CredentialRefused)
    return end({established ? Problem::EndedOnRelay
                : link_     ? Problem::LinkRefused
                            : Problem::KeyRefused,
                {}});
  if (failure == TunnelFailure::RegistrationRefused)
    return end({Problem::RegistrationRefused, tunnel_->detail()});
  if (established && sessionKey && !checking && state_ != State::Reconnecting &&
      failure == TunnelFailure::ClosedByRelay) {
    // The relay closed the connection: it ends a session that way. A login at once says
    // whether the session still lives there, before anything is told as a lost connection.
    checkingEnd_ = true;
    EndCause problem;
    if (!tunnel_->open(relayPort_, &problem)) end(problem);
    return;
  }
  if (!established || !isWorthRetrying(failure, true))
    return end({problemOf(failure, request_.userInitiated), {}});
  if (state_ != State::Reconnecting) {
    // Lost: the server, the folder and the port stay; a supporter's viewer comes back to
    // the same port once the tunnel is up again.
    note("Session: the connection to the relay was lost; trying again");
    setState(State::Reconnecting);
    giveUp_ = clock_.scheduledTimerWithTimeInterval(
        kReconnectBoundSeconds,
        [this] {
          end({Problem::ReconnectGaveUp, {}});
        },
        false);
  }
  reconnectLater();
}

void SupportSession::reconnectLater() {
  const double jitter = QRandomGenerator::global()->bounded(0.5);
  retry_ = clock_.scheduledTimerWithTimeInterval(
      reconnectDelaySeconds(reconnectAttempt_++, jitter),
      [this] {
        EndCause problem;
        if (!tunnel_->open(relayPort_, &problem)) end(problem);
      },
      false);
}

void SupportSession::scheduleLength() {
  const double length = request_.lengthMinutes * 60.0;
  endsSoon_ = false;
  warning_ = clock_.scheduledTimerWithTimeInterval(
      std::max(length - kWarningSeconds, 0.0),
      [this] {
        endsSoon_ = true;
        emit stateChanged();
        emit endingSoon();
      },
      false);
  lengthEnd_ = clock_.scheduledTimerWithTimeInterval(
      length,
      [this] {
        end({Problem::TimeUp, {}});
      },
      false);
}

SharingServer::Clipboard SupportSession::clipboardControl() const {
  return server_ ? server_->clipboard() : SharingServer::Clipboard::Never;
}

bool SupportSession::clipboardShared() const {
  return clipboardShared_ || clipboardControl() == SharingServer::Clipboard::Always;
}

void SupportSession::shareClipboard(bool on) {
  if (!isRunning(state_) || clipboardControl() != SharingServer::Clipboard::Switchable ||
      on == clipboardShared_)
    return;
  clipboardShared_ = on;
  server_->shareClipboard(on);
  note("Session: the clipboard is %s", on ? "shared" : "private");
}

void SupportSession::keepSharing() {
  if (!isRunning(state_)) return;
  scheduleLength();
  emit stateChanged();
}

void SupportSession::end(const EndCause& cause) {
  if (!isRunning(state_)) return;
  for (auto* timer : {&readyDeadline_, &retry_, &giveUp_, &warning_, &lengthEnd_}) timer->reset();
  // The tunnel first: nothing reaches the server from outside any more. Ended here, the
  // session ends on the relay too (its key is then refused there).
  const bool endedThere = cause.problem == Problem::EndedOnRelay ||
                          cause.problem == Problem::LinkRefused ||
                          cause.problem == Problem::KeyRefused;
  if (tunnel_ && !endedThere) tunnel_->endOnRelay();
  if (tunnel_)
    for (const QString& line : tunnel_->lastLines()) log_ << "ssh: " + line;
  if (tunnel_) tunnel_->close();
  gate_.reset();
  if (server_) server_->stop();
  // Either may be the sender of the signal that brought us here: they go once control is
  // back in the event loop.
  if (tunnel_) tunnel_.release()->deleteLater();
  if (server_) server_.release()->deleteLater();
  folder_.reset();
  endCause_ = cause;
  endsSoon_ = clipboardShared_ = false;
  while (supporters_ > 0) {
    --supporters_;
    emit supporterLeft();
  }
  setState(State::Ended);
  emit ended(describe(cause));
}

}  // namespace tvl::session
