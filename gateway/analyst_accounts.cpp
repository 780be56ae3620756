#include "gateway/analyst_accounts.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <stdexcept>

#include "gateway/user_store.h"
#include "util/text.h"

namespace vtx::gateway {

namespace {

std::string keyOf(const std::string& name) {
  return UpperCaseAscii(name);
}

bool hasControl(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

std::string freshSalt() {
  unsigned char raw[16];
  if (RAND_bytes(raw, sizeof raw) != 1) throw std::runtime_error("no random bytes for a salt");
  return std::string(reinterpret_cast<const char*>(raw), sizeof raw);
}

void checkName(const std::string& name) {
  if (auto why = AnalystNameProblem(name); !why.empty()) throw std::invalid_argument(why);
}

void checkPassword(const std::string& password) {
  if (auto why = AnalystPasswordProblem(password); !why.empty()) throw std::invalid_argument(why);
}

}  // namespace

std::string AnalystNameProblem(const std::string& name) {
  if (name.empty()) return "analyst name is empty";
  if (name.size() > kMaxAnalystName)
    return "analyst name longer than " + std::to_string(kMaxAnalystName) + " bytes";
  if (hasControl(name)) return "analyst name contains control characters";
  if (name.front() == ' ' || name.back() == ' ') return "analyst name starts or ends with a space";
  if (Utf8Encode(Utf8Decode(name)) != name) return "analyst name is not valid UTF-8";
  return {};
}

std::string AnalystPasswordProblem(const std::string& password) {
  if (password.empty()) return "password is empty";
  if (password.size() > kMaxAnalystPassword)
    return "password longer than " + std::to_string(kMaxAnalystPassword) + " bytes";
  if (hasControl(password)) return "password contains control characters";
  return {};
}

AnalystAccounts::AnalystAccounts(const std::string& path) : db_(path) {
  db_.exec(
      "CREATE TABLE IF NOT EXISTS analysts (user TEXT PRIMARY KEY, name TEXT NOT NULL,"
      " salt BLOB NOT NULL, hash TEXT NOT NULL, enabled INTEGER NOT NULL DEFAULT 1,"
      " created TEXT NOT NULL DEFAULT (datetime('now')))");
}

void AnalystAccounts::add(const std::string& name, const std::string& password) {
  checkName(name);
  checkPassword(password);
  const std::string salt = freshSalt();
  const std::string hash = SlowPasswordHash(salt, Utf8Decode(password));
  std::lock_guard<std::mutex> hold(lock_);
  Query q(db_, "INSERT OR IGNORE INTO analysts (user, name, salt, hash) VALUES (?1, ?2, ?3, ?4)");
  q.bind(1, keyOf(name)).bind(2, name).bindBlob(3, salt).bind(4, hash).row();
  if (db_.changes() == 0) throw std::runtime_error("analyst " + name + " exists already");
}

void AnalystAccounts::setEnabled(const std::string& name, bool enabled) {
  std::lock_guard<std::mutex> hold(lock_);
  Query q(db_, "UPDATE analysts SET enabled = ?2 WHERE user = ?1");
  q.bind(1, keyOf(name)).bind(2, std::int64_t{enabled ? 1 : 0}).row();
  if (db_.changes() == 0) throw std::runtime_error("no analyst named " + name);
}

void AnalystAccounts::remove(const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  Query q(db_, "DELETE FROM analysts WHERE user = ?1");
  q.bind(1, keyOf(name)).row();
  if (db_.changes() == 0) throw std::runtime_error("no analyst named " + name);
}

void AnalystAccounts::setPassword(const std::string& name, const std::string& password) {
  checkPassword(password);
  const std::string salt = freshSalt();
  const std::string hash = SlowPasswordHash(salt, Utf8Decode(password));
  std::lock_guard<std::mutex> hold(lock_);
  Query q(db_, "UPDATE analysts SET salt = ?2, hash = ?3 WHERE user = ?1");
  q.bind(1, keyOf(name)).bindBlob(2, salt).bind(3, hash).row();
  if (db_.changes() == 0) throw std::runtime_error("no analyst named " + name);
}

std::vector<AnalystInfo> AnalystAccounts::list() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<AnalystInfo> all;
  Query q(db_, "SELECT name, enabled, created FROM analysts ORDER BY user");
  while (q.row()) all.push_back(AnalystInfo{q.text(0), q.integer(1) != 0, q.text(2)});
  return all;
}

std::vector<RtcWideString> AnalystAccounts::enabledNames() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<RtcWideString> names;
  Query q(db_, "SELECT name FROM analysts WHERE enabled <> 0 ORDER BY user");
  while (q.row()) names.push_back(Utf8Decode(q.text(0)));
  return names;
}

bool AnalystAccounts::known(const RtcWideString& name) {
  std::lock_guard<std::mutex> hold(lock_);
  Query q(db_, "SELECT 1 FROM analysts WHERE user = ?1");
  q.bind(1, Utf8Encode(UpperCaseAscii(name)));
  return q.row();
}

AnalystAccounts::Check AnalystAccounts::check(const RtcWideString& name,
                                              const RtcWideString& password) {
  std::string salt, stored;
  {
    std::lock_guard<std::mutex> hold(lock_);
    Query q(db_, "SELECT salt, hash, enabled FROM analysts WHERE user = ?1");
    q.bind(1, Utf8Encode(UpperCaseAscii(name)));
    if (!q.row()) return Check::NotAnalyst;
    if (q.integer(2) == 0) return Check::Disabled;
    salt = q.text(0);
    stored = q.text(1);
  }
  // A password beyond the limit cannot match; it is not even hashed.
  if (password.size() > kMaxAnalystPassword) return Check::Mismatch;
  const std::string given = SlowPasswordHash(salt, password);
  return given.size() == stored.size() &&
                 CRYPTO_memcmp(given.data(), stored.data(), given.size()) == 0
             ? Check::Match
             : Check::Mismatch;
}

std::int64_t AnalystAccounts::version() {
  std::lock_guard<std::mutex> hold(lock_);
  return db_.dataVersion();
}

}  // namespace vtx::gateway
