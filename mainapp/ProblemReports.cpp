#include "mainapp/ProblemReports.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <atomic>

#include "common/ProductContract.h"
#include "mainapp/RelayRequest.h"
#include "platform/cf/PropertyList.h"
#include "platform/cf/PropertyListXML.h"

namespace tvl::mainapp {

QString composeReport(const ReportFacts& facts) {
  auto clean = [&](QString text) {
    for (const QString& secret : facts.secrets)
      if (secret.size() >= 4) text.replace(secret, "[secret]");
    for (QChar& c : text)
      if (c.unicode() < 0x20 && c != '\n' && c != '\t') c = '?';
    return text;
  };
  QString head;
  head += "product: " + facts.product + "\n";
  head += "desktop: " + facts.desktop + "\n";
  head += "route: " + facts.route + "\n";
  head += "failure: " + facts.failure + "\n";
  head += "time: " + QDateTime::currentDateTimeUtc().toString(Qt::ISODate) + "\n";
  head = clean(head);
  QStringList lines;
  qsizetype room = kReportBytes - head.toUtf8().size() - 32;
  for (auto it = facts.logLines.crbegin(); it != facts.logLines.crend(); ++it) {
    QString line = clean(it->left(400));
    room -= line.toUtf8().size() + 3;
    if (room < 0) break;
    lines.prepend("  " + line);
  }
  return head + "log:\n" + lines.join('\n') + (lines.isEmpty() ? "" : "\n");
}

bool problemReportsEnabled(const QString& path) {
  if (!QFileInfo::exists(path)) return true;
  cf::Ref<cf::Object> plist = cf::createFromXMLFile(path.toStdString());
  auto* dict = cf::as<cf::Dictionary>(plist.get());
  if (!dict) return true;
  const cf::Object* value = dict->valueForKey(product::kProblemReportKey);
  return value ? cf::intValue(value) != 0 : true;
}

ReportQueue::ReportQueue(QString folder) : folder_(std::move(folder)) {}

bool ReportQueue::add(const QString& text) {
  if (!QDir().mkpath(folder_)) return false;
  QFile::setPermissions(folder_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  QStringList waiting = pending();
  while (waiting.size() >= kReportsQueued) QFile::remove(waiting.takeFirst());
  // Names sort by time: the oldest is sent (and dropped) first. Within one millisecond the
  // process's own count keeps them apart and in order (two reports of the same millisecond
  // had one name, and the second replaced the first); the pid, those of two processes.
  static std::atomic<quint32> count{0};
  QString name = QString("%1-%2-%3.txt")
                     .arg(QDateTime::currentMSecsSinceEpoch(), 15, 10, QChar('0'))
                     .arg(count++, 10, 10, QChar('0'))
                     .arg(QCoreApplication::applicationPid());
  QSaveFile f(folder_ + "/" + name);
  if (!f.open(QIODevice::WriteOnly)) return false;
  f.write(text.toUtf8().left(kReportBytes));
  return f.commit();
}

QStringList ReportQueue::pending() const {
  QStringList files;
  for (const QString& n : QDir(folder_).entryList({"*.txt"}, QDir::Files, QDir::Name))
    files << folder_ + "/" + n;
  return files;
}

ProblemReporter::ProblemReporter(QString preferencesPath, QString queueFolder, QObject* parent)
    : QObject(parent),
      preferencesPath_(std::move(preferencesPath)),
      queue_(std::move(queueFolder)) {}

ProblemReporter::~ProblemReporter() = default;

void ProblemReporter::report(const ReportFacts& facts) {
  if (!problemReportsEnabled(preferencesPath_)) return;
  queue_.add(composeReport(facts));
  sendPending();
}

void ProblemReporter::sendPending() {
  if (!problemReportsEnabled(preferencesPath_) || (request_ && request_->running())) return;
  QStringList waiting = queue_.pending();
  if (waiting.isEmpty()) return;
  RelayListResult relays = loadRelayList();
  if (relays.relays.isEmpty()) {
    emit notSent(relays.error);
    return;
  }
  QFile f(waiting.first());
  if (!f.open(QIODevice::ReadOnly)) return;
  sending_ = waiting.first();
  request_ = std::make_unique<RelayRequest>();
  connect(request_.get(), &RelayRequest::finished, this, [this](const RelayRequest::Outcome& o) {
    if (!o.ok) {
      emit notSent(o.failure);  // it waits for the next report or session
      return;
    }
    QFile::remove(sending_);
    emit sent(o.relayName);
    QMetaObject::invokeMethod(this, &ProblemReporter::sendPending, Qt::QueuedConnection);
  });
  request_->start(relays.relays, "report", f.read(kReportBytes));
}

QString defaultReportFolder() {
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (state.isEmpty()) state = QDir::homePath() + "/.local/state";
  return state + "/tovalo/reports";
}

}  // namespace tvl::mainapp
