// The relay's sessions, reports and rate limits in one SQLite database (WAL mode): safe
// under the concurrent registrations, logins and console requests that sshd starts, each
// in a process of its own. Every table is bounded: live sessions by max-sessions and the
// port range, ended ones are dropped after an hour, reports by reports-kept.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "relay/RelayConfig.h"

struct sqlite3;

namespace tvl::relay {

using Time = std::int64_t;  // seconds since the epoch; callers pass the clock

// A request the relay turns down, in words for whoever asked.
class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Session {
  std::int64_t id = 0;
  int port = 0;
  std::string key;    // "type base64" of its credential
  std::string kind;   // "desk" (registered by a customer's machine) or "link" (prepared)
  std::string owner;  // the organisation key's or the supporter's name
  Time created = 0;
  Time connectBy = 0;  // the first connection must come before this
  int minutes = 0;     // its length, counted from the first connection
  Time firstSeen = 0;  // when its port was first seen open; 0: never
  Time ended = 0;      // 0: not ended
  std::string endReason;
  std::string monitors;  // sshd connections that offered its key: "pid:start ..."
  // When its credential stops working.
  Time deadline() const { return firstSeen ? firstSeen + Time(minutes) * 60 : connectBy; }
};

struct Report {
  std::int64_t id = 0;
  std::string owner;
  Time received = 0;
  std::string text;
};

class SessionStore {
 public:
  explicit SessionStore(const std::string& path);
  ~SessionStore();
  SessionStore(const SessionStore&) = delete;
  SessionStore& operator=(const SessionStore&) = delete;

  // A new session on a random free port of the range that is not in busy (ports some
  // program of the relay already listens on). Refused when the relay is full.
  Session add(const std::string& key, const std::string& kind, const std::string& owner,
              int minutes, Time connectBy, const RelayLimits& limits, const std::set<int>& busy,
              Time now);
  // One request's worth of the owner's rate: false when it has used up its rate.
  bool takeToken(const std::string& owner, const RelayLimits& limits, Time now);

  // The session whose credential this key is, while the credential works.
  std::optional<Session> usableByKey(const std::string& key, Time now);
  // Keeps the last few connections that offered the key: the ones ending it must close.
  void recordMonitor(std::int64_t id, const std::string& monitor);
  void markConnected(std::int64_t id, Time when);
  // Ends the session on port (or with id); false when there is none to end.
  bool endPort(int port, const std::string& reason, Time now);
  bool endId(std::int64_t id, const std::string& reason, Time now);

  std::vector<Session> live();
  std::vector<Session> endedSince(Time since);
  // Drops sessions ended more than an hour ago.
  void prune(Time now);

  void addReport(const std::string& owner, const std::string& text, const RelayLimits& limits,
                 Time now);
  std::vector<Report> reports(int newest);

 private:
  struct Db;
  std::unique_ptr<Db> db_;
};

}  // namespace tvl::relay
