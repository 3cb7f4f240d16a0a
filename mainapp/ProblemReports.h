// Problem reports: when a session fails on the user's side, or one of its programs ends
// abnormally, and the user's preference "probreport" is on, a short report goes to the
// organisation through its relay (the organisation key's "report" request). It holds
// versions, the desktop, the route, the failure in words and the programs' own log lines;
// never a secret and never a picture of the screen. A report that cannot be sent waits on
// disk (bounded) and goes with the next one. With the preference off nothing is written
// and nothing leaves the machine.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

#include "mainapp/RelaySettings.h"

namespace tvl::mainapp {

class RelayRequest;

struct ReportFacts {
  QString product;       // "Mac Tovalo 1.0.0"
  QString desktop;       // the session: X11 or Wayland, the desktop's name
  QString route;         // how the screen was shared (x11vnc, tvl-portal-vnc --wlroots, tvl-portal-vnc)
  QString failure;       // what the user read
  QStringList logLines;  // the programs' own lines, newest last
  QStringList secrets;   // words that must not appear (the session's secret, its code...)
};

inline constexpr int kReportBytes = 16000;  // under the relay's 16 KiB
inline constexpr int kReportsQueued = 20;   // the oldest goes first when more wait

// The report's text: at most kReportBytes, each secret replaced by "[secret]", log lines
// kept from the newest back as far as they fit.
QString composeReport(const ReportFacts& facts);

// Whether the preferences file says to send reports: "probreport" as a number, on when the
// file or the key is missing (the preference's default), off when it is not a number.
bool problemReportsEnabled(const QString& preferencesPath);

// The reports waiting in folder (0700), one file each, oldest first.
class ReportQueue {
 public:
  explicit ReportQueue(QString folder);
  bool add(const QString& text);
  QStringList pending() const;  // file paths
  const QString& folder() const { return folder_; }

 private:
  QString folder_;
};

class ProblemReporter : public QObject {
  Q_OBJECT
 public:
  ProblemReporter(QString preferencesPath, QString queueFolder, QObject* parent = nullptr);
  ~ProblemReporter() override;
  // Queues the report and sends what waits, when the preference is on; else nothing.
  void report(const ReportFacts& facts);
  // Sends what waits (one request at a time), when the preference is on.
  void sendPending();
  // Where each sent report went, and the failure of the last try.
 signals:
  void sent(const QString& relayName);
  void notSent(const QString& why);

 private:
  QString preferencesPath_;
  ReportQueue queue_;
  std::unique_ptr<RelayRequest> request_;
  QString sending_;
};

// The folder for the queue: $XDG_STATE_HOME/tovalo/reports (~/.local/state/...).
QString defaultReportFolder();

}  // namespace tvl::mainapp
