#include "relay/SessionStore.h"

#include <sqlite3.h>
#include <sys/random.h>

#include <algorithm>
#include <sstream>

namespace tvl::relay {

namespace {

constexpr int kMonitorsKept = 8;
constexpr Time kEndedKept = 3600;

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK) fail();
  }
  ~Statement() { sqlite3_finalize(st_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int i, std::int64_t v) {
    sqlite3_bind_int64(st_, i, v);
    return *this;
  }
  Statement& bind(int i, double v) {
    sqlite3_bind_double(st_, i, v);
    return *this;
  }
  Statement& bind(int i, int v) { return bind(i, static_cast<std::int64_t>(v)); }
  Statement& bind(int i, const std::string& v) {
    sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // True while there is a row.
  bool step() {
    int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) fail();
    return false;
  }
  std::int64_t integer(int col) { return sqlite3_column_int64(st_, col); }
  double real(int col) { return sqlite3_column_double(st_, col); }
  std::string text(int col) {
    auto p = reinterpret_cast<const char*>(sqlite3_column_text(st_, col));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(st_, col))) : "";
  }

 private:
  [[noreturn]] void fail() {
    throw std::runtime_error(std::string("store: ") + sqlite3_errmsg(db_));
  }
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

void exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string what = err ? err : sqlite3_errmsg(db);
    sqlite3_free(err);
    throw std::runtime_error("store: " + what);
  }
}

// A write transaction taken at its start (BEGIN IMMEDIATE), so that two registrations never
// both see the same port free; rolled back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) { exec(db_, "BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void commit() {
    exec(db_, "COMMIT");
    done_ = true;
  }

 private:
  sqlite3* db_;
  bool done_ = false;
};

constexpr char kColumns[] =
    "id, port, key, kind, owner, created, connect_by, minutes, first_seen, ended, end_reason, "
    "monitors";

Session readSession(Statement& s) {
  Session r;
  r.id = s.integer(0);
  r.port = static_cast<int>(s.integer(1));
  r.key = s.text(2);
  r.kind = s.text(3);
  r.owner = s.text(4);
  r.created = s.integer(5);
  r.connectBy = s.integer(6);
  r.minutes = static_cast<int>(s.integer(7));
  r.firstSeen = s.integer(8);
  r.ended = s.integer(9);
  r.endReason = s.text(10);
  r.monitors = s.text(11);
  return r;
}

std::uint32_t randomNumber() {
  std::uint32_t v = 0;
  if (getrandom(&v, sizeof v, 0) != sizeof v) throw std::runtime_error("no random numbers");
  return v;
}

}  // namespace

struct SessionStore::Db {
  sqlite3* handle = nullptr;
  ~Db() { sqlite3_close(handle); }
};

SessionStore::SessionStore(const std::string& path) : db_(std::make_unique<Db>()) {
  if (sqlite3_open_v2(path.c_str(), &db_->handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK)
    throw std::runtime_error("store: cannot open " + path);
  sqlite3_busy_timeout(db_->handle, 10000);
  exec(db_->handle,
       "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
       "CREATE TABLE IF NOT EXISTS sessions("
       " id INTEGER PRIMARY KEY, port INTEGER NOT NULL, key TEXT NOT NULL, kind TEXT NOT NULL,"
       " owner TEXT NOT NULL, created INTEGER NOT NULL, connect_by INTEGER NOT NULL,"
       " minutes INTEGER NOT NULL, first_seen INTEGER NOT NULL DEFAULT 0,"
       " ended INTEGER NOT NULL DEFAULT 0, end_reason TEXT NOT NULL DEFAULT '',"
       " monitors TEXT NOT NULL DEFAULT '');"
       "CREATE UNIQUE INDEX IF NOT EXISTS live_port ON sessions(port) WHERE ended = 0;"
       "CREATE UNIQUE INDEX IF NOT EXISTS session_key ON sessions(key);"
       "CREATE TABLE IF NOT EXISTS quota(owner TEXT PRIMARY KEY, tokens REAL NOT NULL,"
       " updated INTEGER NOT NULL);"
       "CREATE TABLE IF NOT EXISTS reports(id INTEGER PRIMARY KEY, owner TEXT NOT NULL,"
       " received INTEGER NOT NULL, text TEXT NOT NULL);");
}

SessionStore::~SessionStore() = default;

Session SessionStore::add(const std::string& key, const std::string& kind, const std::string& owner,
                          int minutes, Time connectBy, const RelayLimits& limits,
                          const std::set<int>& busy, Time now) {
  sqlite3* db = db_->handle;
  Transaction t(db);
  std::set<int> taken = busy;
  int live = 0;
  {
    Statement s(db, "SELECT port FROM sessions WHERE ended = 0");
    while (s.step()) {
      taken.insert(static_cast<int>(s.integer(0)));
      ++live;
    }
  }
  if (live >= limits.maxSessions) throw Refused("the relay has as many sessions as it takes");
  {
    Statement s(db, "SELECT 1 FROM sessions WHERE key = ?");
    if (s.bind(1, key).step()) throw Refused("this key already has a session");
  }
  // A random start, then the next free one: ports say nothing about other sessions.
  const int count = limits.lastPort - limits.firstPort + 1;
  const int start = static_cast<int>(randomNumber() % static_cast<std::uint32_t>(count));
  int port = 0;
  for (int i = 0; i < count && !port; ++i) {
    int candidate = limits.firstPort + (start + i) % count;
    if (!taken.count(candidate)) port = candidate;
  }
  if (!port) throw Refused("the relay has no free port");
  Statement ins(db,
                "INSERT INTO sessions(port, key, kind, owner, created, connect_by, minutes) "
                "VALUES(?, ?, ?, ?, ?, ?, ?)");
  ins.bind(1, port)
      .bind(2, key)
      .bind(3, kind)
      .bind(4, owner)
      .bind(5, now)
      .bind(6, connectBy)
      .bind(7, minutes);
  ins.step();
  Session r;
  r.id = sqlite3_last_insert_rowid(db);
  t.commit();
  r.port = port;
  r.key = key;
  r.kind = kind;
  r.owner = owner;
  r.created = now;
  r.connectBy = connectBy;
  r.minutes = minutes;
  return r;
}

bool SessionStore::takeToken(const std::string& owner, const RelayLimits& limits, Time now) {
  sqlite3* db = db_->handle;
  Transaction t(db);
  double tokens = limits.registrationBurst;
  {
    Statement s(db, "SELECT tokens, updated FROM quota WHERE owner = ?");
    if (s.bind(1, owner).step()) {
      double elapsed = static_cast<double>(std::max<Time>(0, now - s.integer(1)));
      tokens = std::min<double>(limits.registrationBurst,
                                s.real(0) + elapsed * limits.registrationsPerMinute / 60.0);
    }
  }
  bool granted = tokens >= 1.0;
  if (granted) tokens -= 1.0;
  Statement up(db, "INSERT OR REPLACE INTO quota(owner, tokens, updated) VALUES(?, ?, ?)");
  up.bind(1, owner).bind(2, tokens).bind(3, now).step();
  t.commit();
  return granted;
}

std::optional<Session> SessionStore::usableByKey(const std::string& key, Time now) {
  Statement s(
      db_->handle,
      (std::string("SELECT ") + kColumns + " FROM sessions WHERE key = ? AND ended = 0").c_str());
  if (!s.bind(1, key).step()) return std::nullopt;
  Session r = readSession(s);
  if (now >= r.deadline()) return std::nullopt;
  return r;
}

void SessionStore::recordMonitor(std::int64_t id, const std::string& monitor) {
  sqlite3* db = db_->handle;
  Transaction t(db);
  std::string monitors;
  {
    Statement s(db, "SELECT monitors FROM sessions WHERE id = ?");
    if (!s.bind(1, id).step()) return;
    monitors = s.text(0);
  }
  std::vector<std::string> list;
  std::istringstream in(monitors);
  for (std::string m; in >> m;)
    if (m != monitor) list.push_back(m);
  list.push_back(monitor);
  if (list.size() > kMonitorsKept) list.erase(list.begin(), list.end() - kMonitorsKept);
  std::string joined;
  for (auto& m : list) joined += (joined.empty() ? "" : " ") + m;
  Statement up(db, "UPDATE sessions SET monitors = ? WHERE id = ?");
  up.bind(1, joined).bind(2, id).step();
  t.commit();
}

void SessionStore::markConnected(std::int64_t id, Time when) {
  Statement s(db_->handle, "UPDATE sessions SET first_seen = ? WHERE id = ? AND first_seen = 0");
  s.bind(1, when).bind(2, id).step();
}

bool SessionStore::endPort(int port, const std::string& reason, Time now) {
  Statement s(db_->handle,
              "UPDATE sessions SET ended = ?, end_reason = ? WHERE port = ? AND ended = 0");
  s.bind(1, now).bind(2, reason).bind(3, port).step();
  return sqlite3_changes(db_->handle) > 0;
}

bool SessionStore::endId(std::int64_t id, const std::string& reason, Time now) {
  Statement s(db_->handle,
              "UPDATE sessions SET ended = ?, end_reason = ? WHERE id = ? AND ended = 0");
  s.bind(1, now).bind(2, reason).bind(3, id).step();
  return sqlite3_changes(db_->handle) > 0;
}

std::vector<Session> SessionStore::live() {
  std::vector<Session> r;
  Statement s(
      db_->handle,
      (std::string("SELECT ") + kColumns + " FROM sessions WHERE ended = 0 ORDER BY port").c_str());
  while (s.step()) r.push_back(readSession(s));
  return r;
}

std::vector<Session> SessionStore::endedSince(Time since) {
  std::vector<Session> r;
  Statement s(db_->handle,
              (std::string("SELECT ") + kColumns + " FROM sessions WHERE ended >= ? AND ended > 0")
                  .c_str());
  s.bind(1, since);
  while (s.step()) r.push_back(readSession(s));
  return r;
}

void SessionStore::prune(Time now) {
  Statement s(db_->handle, "DELETE FROM sessions WHERE ended > 0 AND ended < ?");
  s.bind(1, now - kEndedKept).step();
}

void SessionStore::addReport(const std::string& owner, const std::string& text,
                             const RelayLimits& limits, Time now) {
  sqlite3* db = db_->handle;
  Transaction t(db);
  Statement ins(db, "INSERT INTO reports(owner, received, text) VALUES(?, ?, ?)");
  ins.bind(1, owner).bind(2, now).bind(3, text).step();
  Statement trim(db,
                 "DELETE FROM reports WHERE id NOT IN (SELECT id FROM reports ORDER BY id DESC "
                 "LIMIT ?)");
  trim.bind(1, limits.reportsKept).step();
  t.commit();
}

std::vector<Report> SessionStore::reports(int newest) {
  std::vector<Report> r;
  Statement s(db_->handle,
              "SELECT id, owner, received, text FROM reports ORDER BY id DESC LIMIT ?");
  s.bind(1, newest);
  while (s.step()) r.push_back({s.integer(0), s.text(1), s.integer(2), s.text(3)});
  return r;
}

}  // namespace tvl::relay
