#include "mainapp/session/SharingServer.h"

#include <QFile>

#include "common/ProductContract.h"
#include "mainapp/session/PortalVncServer.h"
#include "mainapp/session/WlrootsVncServer.h"
#include "mainapp/session/X11vncServer.h"

namespace tvl::session {

namespace {

constexpr int kStopMs = 2000;

}  // namespace

SharingServer::~SharingServer() {
  stop();
}

bool SharingServer::launch(const Setup& setup, const QString& program, const QStringList& arguments,
                           QProcess::ProcessChannelMode channels, EndCause* problem) {
  // Through a link of that name: the cover and the controller know the server by it.
  const QString link = setup.folder + "/" + product::kVncServerName;
  if (program.isEmpty() || !QFile::link(program, link)) {
    *problem = {program.isEmpty() ? Problem::ServerMissing : Problem::FilesNotWritten,
                programName()};
    return false;
  }
  process_ = std::make_unique<QProcess>();
  process_->setProgram(link);
  process_->setArguments(arguments);
  process_->setStandardInputFile(QProcess::nullDevice());
  if (channels == QProcess::MergedChannels) {
    process_->setProcessChannelMode(QProcess::MergedChannels);
  } else {
    process_->setStandardOutputFile(QProcess::nullDevice());
    process_->setReadChannel(QProcess::StandardError);
  }
  connect(process_.get(), &QProcess::readyRead, this, &SharingServer::readLines);
  connect(process_.get(), &QProcess::finished, this, [this] {
    readLines();  // its last words (a refusal, a client leaving) come first
    emit stopped();
  });
  process_->start();
  if (!process_->waitForStarted()) {
    *problem = {Problem::ServerNotStarted, {}};
    return false;
  }
  return true;
}

void SharingServer::readLines() {
  while (process_ && process_->canReadLine()) {
    const QString line = QString::fromUtf8(process_->readLine()).trimmed();
    const ServerEvent e = parseLine(line);
    if (e.kind != ServerEvent::Kind::None) emit event(e);
  }
}

void SharingServer::stop() {
  if (!process_) return;
  process_->disconnect(this);
  if (process_->state() != QProcess::NotRunning) {
    process_->terminate();
    if (!process_->waitForFinished(kStopMs)) {
      process_->kill();
      process_->waitForFinished(kStopMs);
    }
  }
  // This may run inside a signal of the process: it goes once control is back in the loop.
  process_.release()->deleteLater();
}

bool SharingServer::isRunning() const {
  return process_ && process_->state() != QProcess::NotRunning;
}

qint64 SharingServer::processId() const {
  return process_ ? process_->processId() : 0;
}

std::unique_ptr<SharingServer> makeSharingServer(desktop::SharingRoute route) {
  switch (route) {
    case desktop::SharingRoute::X11Server:
      return std::make_unique<X11vncServer>();
    case desktop::SharingRoute::Wlroots:
      return std::make_unique<WlrootsVncServer>();
    case desktop::SharingRoute::Portal:
      return std::make_unique<PortalVncServer>();
    case desktop::SharingRoute::None:
      break;
  }
  return nullptr;
}

desktop::SharingRoute currentRoute() {
  return desktop::sharingRoute(desktop::currentSession());
}

}  // namespace tvl::session
