// One request to the organisation's relays with the organisation's key: "register MINUTES"
// (a session's fresh public key on input) or "report" (a problem report on input). That key
// may do nothing else there. The relays are asked in order: the first that answers within
// its ConnectTimeout serves. A connection that sshd drops before its handshake (it takes
// only so many unauthenticated connections at once: MaxStartups) is tried again, briefly.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>

#include <memory>

#include "mainapp/RelaySettings.h"

class QTemporaryDir;

namespace tvl::mainapp {

// How an ssh run ended, from its exit status and error output.
enum class RelayAnswer { Answered, Dropped, Unreachable, Refused };
RelayAnswer classifyRelayAnswer(int exitStatus, const QString& errors);

// The ssh client configuration of a request: the relay pinned, the key from the folder, no
// prompt, every wait bounded.
QString requestConfiguration(const RelaySettings& relay, const QString& folder);

class RelayRequest : public QObject {
  Q_OBJECT
 public:
  static constexpr int kTries = 4;  // per relay, for dropped connections

  struct Outcome {
    bool ok = false;
    QString relayName;         // the relay that answered ("" for [relay])
    QByteArray answer;         // its standard output
    QString failure;           // in words, when !ok
    bool unreachable = false;  // no relay answered (rather than one refused)
  };

  explicit RelayRequest(QObject* parent = nullptr);
  ~RelayRequest() override;

  void start(const QList<RelaySettings>& relays, const QString& command, const QByteArray& input);
  bool running() const { return process_ != nullptr; }

 signals:
  void finished(const tvl::mainapp::RelayRequest::Outcome& outcome);

 private:
  void tryRelay();
  void done(bool ok, const QString& failure, bool unreachable = false);

  QList<RelaySettings> relays_;
  QString command_;
  QByteArray input_;
  int relay_ = 0;
  int tries_ = 0;
  QByteArray answer_;
  std::unique_ptr<QTemporaryDir> folder_;
  std::unique_ptr<QProcess> process_;
};

}  // namespace tvl::mainapp
