#include "gateway/audit.h"

#include <cctype>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "util/text.h"

namespace vtx::gateway {

namespace {

// "YYYY-MM-DD" optionally followed by " HH:MM:SS" (or "THH:MM:SS").
std::string checkedSince(const std::string& since) {
  static const char* const pattern = "dddd-dd-dd dd:dd:dd";
  if (since.size() != 10 && since.size() != 19)
    throw std::invalid_argument("invalid date for --since: " + since);
  std::string s = since;
  if (s.size() == 19 && s[10] == 'T') s[10] = ' ';
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(s[i])) != 0;
    if ((pattern[i] == 'd') != digit || (pattern[i] != 'd' && s[i] != pattern[i]))
      throw std::invalid_argument("invalid date for --since: " + since);
  }
  return s;
}

std::string seconds(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

}  // namespace

std::string ModuleOfGroup(const std::string& group) {
  if (group == "desk" || group == "idesk") return "desktop";
  if (group == "chat") return "chat";
  if (group == "file") return "files";
  if (group == "custom-command") return "commands";
  return group;
}

std::string FormatAuditEntry(const AuditEntry& e) {
  std::string line = e.at + "\t" + e.event + "\tanalyst=" + e.analyst;
  if (!e.host.empty()) line += "\thost=" + e.host;
  if (!e.module.empty()) line += "\tmodule=" + e.module;
  if (!e.peer.empty()) line += "\tpeer=" + e.peer;
  if (e.event == "access-end" || e.event == "analyst-logout")
    line += "\tseconds=" + seconds(e.seconds);
  if (e.event == "access-end") line += "\tbytes=" + std::to_string(e.bytes);
  return line;
}

AuditTrail::AuditTrail(const std::string& path, LogSink log) : log_(std::move(log)), db_(path) {
  db_.exec(
      "CREATE TABLE IF NOT EXISTS audit (id INTEGER PRIMARY KEY AUTOINCREMENT,"
      " at TEXT NOT NULL, event TEXT NOT NULL, analyst TEXT NOT NULL, host TEXT NOT NULL,"
      " module TEXT NOT NULL, peer TEXT NOT NULL, seconds REAL NOT NULL, bytes INTEGER NOT NULL);"
      "CREATE TRIGGER IF NOT EXISTS audit_no_update BEFORE UPDATE ON audit"
      " BEGIN SELECT RAISE(ABORT, 'the audit trail is append-only'); END;"
      "CREATE TRIGGER IF NOT EXISTS audit_no_delete BEFORE DELETE ON audit"
      " BEGIN SELECT RAISE(ABORT, 'the audit trail is append-only'); END;");
}

void AuditTrail::append(AuditEntry e) {
  std::lock_guard<std::mutex> hold(lock_);
  try {
    {
      Query now(db_, "SELECT datetime('now')");
      if (now.row()) e.at = now.text(0);
    }
    Query q(db_,
            "INSERT INTO audit (at, event, analyst, host, module, peer, seconds, bytes)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    q.bind(1, e.at).bind(2, e.event).bind(3, e.analyst).bind(4, e.host).bind(5, e.module);
    q.bind(6, e.peer).bindReal(7, e.seconds).bind(8, e.bytes);
    q.row();
  } catch (const std::exception& err) {
    if (log_) log_(LogLine("error", "audit-write-failed").add("error", err.what()).text());
  }
  if (!log_) return;
  LogLine line("info", "audit");
  line.add("event", e.event).add("analyst", e.analyst);
  if (!e.host.empty()) line.add("host", e.host);
  if (!e.module.empty()) line.add("module", e.module);
  if (!e.peer.empty()) line.add("peer", e.peer);
  if (e.event == "access-end" || e.event == "analyst-logout")
    line.add("seconds", seconds(e.seconds));
  if (e.event == "access-end") line.add("bytes", e.bytes);
  log_(line.text());
}

std::vector<AuditEntry> AuditTrail::query(const AuditFilter& filter) {
  const std::string since = filter.since.empty() ? std::string() : checkedSince(filter.since);
  std::lock_guard<std::mutex> hold(lock_);
  Query q(db_,
          "SELECT at, event, analyst, host, module, peer, seconds, bytes FROM audit"
          " WHERE (?1 = '' OR at >= ?1) AND (?2 = '' OR upper(analyst) = upper(?2))"
          " AND (?3 = '' OR upper(host) = upper(?3)) ORDER BY id");
  q.bind(1, since).bind(2, filter.analyst).bind(3, filter.host);
  std::vector<AuditEntry> all;
  while (q.row()) {
    AuditEntry e;
    e.at = q.text(0);
    e.event = q.text(1);
    e.analyst = q.text(2);
    e.host = q.text(3);
    e.module = q.text(4);
    e.peer = q.text(5);
    e.seconds = q.real(6);
    e.bytes = q.integer(7);
    all.push_back(std::move(e));
  }
  return all;
}

AuditRecorder::AuditRecorder(AuditTrail& trail, Clock now)
    : trail_(trail), now_(now ? std::move(now) : Clock(std::chrono::steady_clock::now)) {}

void AuditRecorder::operator()(const RelayEvent& e) {
  using Kind = RelayEvent::Kind;
  const bool pair = (e.userRole == Role::Analyst) != (e.otherRole == Role::Analyst);
  if ((e.kind == Kind::GroupData || e.kind == Kind::Joined || e.kind == Kind::Left ||
       e.kind == Kind::Direct) &&
      !pair)
    return;  // only access of an analyst to a host is audited
  const RtcWideString user = UpperCaseAscii(e.user), other = UpperCaseAscii(e.other);
  const auto now = now_();
  AuditEntry entry;
  {
    std::lock_guard<std::mutex> hold(lock_);
    switch (e.kind) {
      case Kind::GroupData: {
        auto it = open_.find(Key{user, other, e.group});
        if (it != open_.end()) it->second.bytes += static_cast<std::int64_t>(e.bytes);
        return;
      }
      case Kind::Login:
        if (e.userRole != Role::Analyst) return;
        logins_[user] = now;
        entry = AuditEntry{{}, "analyst-login", Utf8Encode(e.user), {}, {}, e.peer, 0, 0};
        break;
      case Kind::Logout: {
        if (e.userRole != Role::Analyst) return;
        entry = AuditEntry{{}, "analyst-logout", Utf8Encode(e.user), {}, {}, e.peer, 0, 0};
        if (auto it = logins_.find(user); it != logins_.end()) {
          entry.seconds = std::chrono::duration<double>(now - it->second).count();
          logins_.erase(it);
        }
        for (auto it = direct_.begin(); it != direct_.end();)
          it = it->first == user ? direct_.erase(it) : std::next(it);
        break;
      }
      case Kind::Joined:
      case Kind::Left: {
        const bool ownerIsAnalyst = e.userRole == Role::Analyst;
        entry.analyst = Utf8Encode(ownerIsAnalyst ? e.user : e.other);
        entry.host = Utf8Encode(ownerIsAnalyst ? e.other : e.user);
        entry.module = ModuleOfGroup(Utf8Encode(e.group));
        const Key key{user, other, e.group};
        if (e.kind == Kind::Joined) {
          open_[key] = Open{now, 0};
          entry.event = "access-start";
        } else {
          auto it = open_.find(key);
          if (it == open_.end()) return;
          entry.event = "access-end";
          entry.seconds = std::chrono::duration<double>(now - it->second.since).count();
          entry.bytes = it->second.bytes;
          open_.erase(it);
        }
        break;
      }
      case Kind::Direct:
        if (e.userRole != Role::Analyst || !direct_.insert({user, other}).second) return;
        entry = AuditEntry{{}, "direct-row", Utf8Encode(e.user), Utf8Encode(e.other), {}, {}, 0, 0};
        break;
    }
  }
  trail_.append(std::move(entry));
}

}  // namespace vtx::gateway
