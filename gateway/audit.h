// The audit trail: who of the support team reached which customer program, when, through
// which module and how much. An append-only table in the gateway's SQLite file (updates and
// deletes are refused by the database itself), each entry also written as a log line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "gateway/log_line.h"
#include "gateway/relay.h"
#include "gateway/sqlite_db.h"

namespace vtx::gateway {

struct AuditEntry {
  std::string at;     // UTC "YYYY-MM-DD HH:MM:SS"; set on append
  std::string event;  // analyst-login, analyst-logout, access-start, access-end, direct-row
  std::string analyst, host, module, peer;
  double seconds = 0;      // access-end, analyst-logout: how long
  std::int64_t bytes = 0;  // access-end: bytes relayed in the group
};

struct AuditFilter {
  std::string since;  // "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS" (UTC); empty = all
  std::string analyst, host;
};

// The module a group belongs to: "desktop", "chat", "files", "commands", else the group name.
std::string ModuleOfGroup(const std::string& group);
// One tab-separated line.
std::string FormatAuditEntry(const AuditEntry& e);

class AuditTrail {
 public:
  // Opens or creates the table; throws std::runtime_error.
  explicit AuditTrail(const std::string& path, LogSink log = {});
  // Appends (and logs) the entry; a database error is logged, never thrown.
  void append(AuditEntry e);
  // Oldest first; throws std::invalid_argument for a malformed `since`.
  std::vector<AuditEntry> query(const AuditFilter& filter);

 private:
  std::mutex lock_;
  LogSink log_;
  Database db_;
};

// Turns the relay's events into audit entries: analyst logins and logouts, the start and end
// of each analyst-host group membership (with its duration and the bytes of its group rows),
// and the first direct row of an analyst to a host in the analyst's session. Thread-safe.
class AuditRecorder {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  explicit AuditRecorder(AuditTrail& trail, Clock now = {});
  void operator()(const RelayEvent& e);

 private:
  using Key = std::tuple<RtcWideString, RtcWideString, RtcWideString>;  // owner, member, group
  struct Open {
    std::chrono::steady_clock::time_point since;
    std::int64_t bytes = 0;
  };
  AuditTrail& trail_;
  Clock now_;
  std::mutex lock_;
  std::map<Key, Open> open_;
  std::map<RtcWideString, std::chrono::steady_clock::time_point> logins_;  // analyst key
  std::set<std::pair<RtcWideString, RtcWideString>> direct_;               // analyst, host keys
};

}  // namespace vtx::gateway
