#include "gateway/user_store.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "util/exceptions.h"
#include "util/text.h"

namespace vtx::gateway {

namespace {

std::string hex(const unsigned char* data, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 15]);
  }
  return out;
}

std::string userKey(const RtcWideString& user) {
  return Utf8Encode(UpperCaseAscii(user));
}

// A prepared statement, finalised on scope exit.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db));
  }
  ~Statement() { sqlite3_finalize(st_); }
  Statement& bind(int i, const std::string& v) {
    sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bindBlob(int i, const std::string& v) {
    sqlite3_bind_blob(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  bool row() {
    const int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE)
      throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db_));
    return false;
  }
  std::string column(int i) {
    const void* p = sqlite3_column_blob(st_, i);
    return p ? std::string(static_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(st_, i)))
             : std::string();
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

sqlite3* openDatabase(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw std::runtime_error("cannot open database " + path + ": " + why);
  }
  sqlite3_busy_timeout(db, 2000);
  return db;
}

void exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string why = error ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error("database: " + why);
  }
}

std::optional<std::string> loadParam(sqlite3* db, const std::string& user,
                                     const std::string& name) {
  Statement st(db, "SELECT value FROM params WHERE user = ?1 AND name = ?2");
  st.bind(1, user).bind(2, name);
  if (!st.row()) return std::nullopt;
  return st.column(0);
}

// Stores (or with no code removes) one parameter; refuses one that would take the user's
// stored parameters beyond `quota` bytes.
void storeParam(sqlite3* db, const std::string& user, const std::string& name,
                const std::string* code, std::size_t quota) {
  if (!code) {
    Statement st(db, "DELETE FROM params WHERE user = ?1 AND name = ?2");
    st.bind(1, user).bind(2, name).row();
    return;
  }
  {
    Statement others(db,
                     "SELECT COALESCE(SUM(length(name) + length(value)), 0) FROM params"
                     " WHERE user = ?1 AND name <> ?2");
    others.bind(1, user).bind(2, name);
    const std::size_t held = others.row() ? std::stoull(others.column(0)) : 0;
    if (held + name.size() + code->size() > quota)
      throw std::runtime_error("parameter quota exceeded: user " + user + ", parameter " + name);
  }
  Statement st(db,
               "INSERT INTO params (user, name, value) VALUES (?1, ?2, ?3)"
               " ON CONFLICT (user, name) DO UPDATE SET value = excluded.value");
  st.bind(1, user).bind(2, name).bindBlob(3, *code).row();
}

constexpr const char* kScrypt = "scrypt$";

bool matches(const std::string& given, const std::string& stored) {
  return given.size() == stored.size() &&
         CRYPTO_memcmp(given.data(), stored.data(), given.size()) == 0;
}

// Checks a password against a stored hash of either form.
bool verify(const std::string& salt, const std::string& stored, const RtcWideString& password) {
  if (stored.rfind(kScrypt, 0) != 0) return matches(PasswordHash(salt, password), stored);
  unsigned long long n = 0;
  unsigned r = 0, p = 0;
  if (std::sscanf(stored.c_str() + 7, "%llu$%u$%u$", &n, &r, &p) != 3) return false;
  if (n < 2 || n > (1u << 20) || r == 0 || r > 32 || p == 0 || p > 16) return false;
  return matches(SlowPasswordHash(salt, password, n, r, p), stored);
}

}  // namespace

std::string SlowPasswordHash(const std::string& salt, const RtcWideString& password,
                             unsigned long long n, unsigned r, unsigned p) {
  const std::string text = Utf8Encode(password);
  unsigned char key[32];
  if (EVP_PBE_scrypt(text.data(), text.size(), reinterpret_cast<const unsigned char*>(salt.data()),
                     salt.size(), n, r, p, 256u << 20, key, sizeof key) != 1)
    throw std::runtime_error("scrypt failed");
  return kScrypt + std::to_string(n) + "$" + std::to_string(r) + "$" + std::to_string(p) + "$" +
         hex(key, sizeof key);
}

std::string PasswordHash(const std::string& salt, const RtcWideString& password) {
  const std::string data = salt + Utf8Encode(password);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 failed");
  return hex(digest, size);
}

UserStore::UserStore(const std::string& path, LogSink log, std::size_t maxQueued, std::size_t quota)
    : log_(std::move(log)), maxQueued_(maxQueued), quota_(quota) {
  db_ = openDatabase(path);
  try {
    if (path != ":memory:") exec(db_, "PRAGMA journal_mode=WAL");
    exec(db_,
         "CREATE TABLE IF NOT EXISTS params (user TEXT NOT NULL, name TEXT NOT NULL COLLATE "
         "NOCASE, value BLOB NOT NULL, PRIMARY KEY (user, name))");
    exec(db_,
         "CREATE TABLE IF NOT EXISTS accounts (user TEXT PRIMARY KEY, salt BLOB NOT NULL,"
         " hash TEXT NOT NULL)");
    writer_ = path == ":memory:" ? db_ : openDatabase(path);
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
  thread_ = std::thread([this] { writeLoop(); });
}

UserStore::~UserStore() {
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    closing_ = true;
  }
  queued_.notify_all();
  thread_.join();
  if (writer_ != db_) sqlite3_close(writer_);
  sqlite3_close(db_);
}

void UserStore::checkQuota(std::size_t bytes) const {
  if (bytes > quota_)
    throw ERtcInfo("Stored parameters are limited to " + std::to_string(quota_) +
                   " bytes per user.");
}

void UserStore::enqueue(const std::string& user, std::size_t bytes, Write write) {
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    if (queuedBytes_ > 0 && queuedBytes_ + bytes > maxQueued_)
      throw std::runtime_error("Too many parameter changes waiting; try again later.");
    queuedBytes_ += bytes;
    ++pending_[user];
    queue_.push_back(Queued{user, bytes, std::move(write)});
  }
  queued_.notify_one();
}

void UserStore::writeLoop() {
  std::unique_lock<std::mutex> q(queueLock_);
  for (;;) {
    queued_.wait(q, [this] { return closing_ || !queue_.empty(); });
    if (queue_.empty()) return;  // closing, and everything written
    Queued job = std::move(queue_.front());
    queue_.pop_front();
    q.unlock();
    try {
      std::unique_lock<std::mutex> shared;
      if (writer_ == db_) shared = std::unique_lock<std::mutex>(lock_);
      job.write(writer_);
    } catch (const std::exception& e) {
      if (log_) log_(LogLine("error", "param-write-failed").add("error", e.what()).text());
    }
    q.lock();
    queuedBytes_ -= job.bytes;
    if (--pending_[job.user] == 0) pending_.erase(job.user);
    written_.notify_all();
  }
}

void UserStore::flush() {
  std::unique_lock<std::mutex> q(queueLock_);
  written_.wait(q, [this] { return pending_.empty(); });
}

std::unique_ptr<TRtcRecord> UserStore::params(const RtcWideString& user) {
  const std::string key = userKey(user);
  {
    std::unique_lock<std::mutex> q(queueLock_);
    written_.wait(q, [&] { return pending_.count(key) == 0; });
  }
  auto record = std::make_unique<TRtcRecord>();
  std::lock_guard<std::mutex> hold(lock_);
  Statement st(db_, "SELECT name, value FROM params WHERE user = ?1 ORDER BY rowid");
  st.bind(1, key);
  while (st.row()) {
    try {
      record->setAsObject(Utf8Decode(st.column(0)), TRtcValue::FromCode(st.column(1))->Extract());
    } catch (const std::exception&) {
      // an unreadable stored value is left out
    }
  }
  return record;
}

void UserStore::setParam(const RtcWideString& user, const RtcWideString& name,
                         const TRtcValueObject* value) {
  auto code = std::make_shared<std::string>();
  if (value) value->to_Code(*code);
  const std::string key = userKey(user), field = Utf8Encode(name);
  const bool remove = !value;
  checkQuota(code->size() + field.size());
  enqueue(key, code->size() + field.size(),
          [key, field, code, remove, quota = quota_](sqlite3* db) {
            storeParam(db, key, field, remove ? nullptr : code.get(), quota);
          });
}

void UserStore::addFields(const RtcWideString& user, const RtcWideString& name,
                          const TRtcRecord& fields) {
  const std::string key = userKey(user), field = Utf8Encode(name);
  auto added = std::make_shared<TRtcRecord>();
  for (int i = 0; i < fields.FieldCount(); ++i) {
    const TRtcValueObject* v = fields.FieldObject(i);
    if (v) added->setAsObject(fields.FieldName(i), v->copyOf());
  }
  std::string size;
  added->to_Code(size);
  checkQuota(size.size() + field.size());
  enqueue(key, size.size() + field.size(), [key, field, added, quota = quota_](sqlite3* db) {
    TRtcRecord record;
    if (auto code = loadParam(db, key, field)) {
      try {
        auto value = TRtcValue::FromCode(*code);
        if (auto* r = dynamic_cast<TRtcRecord*>(value->GetObject());
            r && r->GetType() == rtc_Record)
          record.CopyFrom(*r);
      } catch (const std::exception&) {
        // replaced by the new record
      }
    }
    for (int i = 0; i < added->FieldCount(); ++i)
      record.setAsObject(added->FieldName(i), added->FieldObject(i)->copyOf());
    std::string out;
    record.to_Code(out);
    storeParam(db, key, field, &out, quota);
  });
}

void UserStore::delFields(const RtcWideString& user, const RtcWideString& name,
                          const TRtcRecord& fields) {
  const std::string key = userKey(user), field = Utf8Encode(name);
  auto names = std::make_shared<std::vector<RtcWideString>>();
  std::size_t bytes = field.size();
  for (int j = 0; j < fields.FieldCount(); ++j) {
    names->push_back(UpperCaseAscii(fields.FieldName(j)));
    bytes += names->back().size() * 2;
  }
  enqueue(key, bytes, [key, field, names](sqlite3* db) {
    auto code = loadParam(db, key, field);
    if (!code) return;
    std::unique_ptr<TRtcValue> value;
    try {
      value = TRtcValue::FromCode(*code);
    } catch (const std::exception&) {
      return;
    }
    auto* record = dynamic_cast<TRtcRecord*>(value->GetObject());
    if (!record || record->GetType() != rtc_Record) return;
    TRtcRecord kept;
    for (int i = 0; i < record->FieldCount(); ++i) {
      const RtcWideString f = record->FieldName(i);
      const TRtcValueObject* v = record->FieldObject(i);
      const bool named = std::find(names->begin(), names->end(), UpperCaseAscii(f)) != names->end();
      if (v && !named) kept.setAsObject(f, v->copyOf());
    }
    std::string out;
    kept.to_Code(out);
    storeParam(db, key, field, &out, SIZE_MAX);  // removing fields never exceeds the quota
  });
}

std::optional<bool> UserStore::checkPassword(const RtcWideString& user,
                                             const RtcWideString& password) {
  const std::string key = userKey(user);
  std::string salt, stored;
  {
    std::lock_guard<std::mutex> hold(lock_);
    Statement st(db_, "SELECT salt, hash FROM accounts WHERE user = ?1");
    st.bind(1, key);
    if (!st.row()) return std::nullopt;
    salt = st.column(0);
    stored = st.column(1);
  }
  if (!verify(salt, stored, password)) return false;
  if (stored.rfind(kScrypt, 0) != 0) {  // an older record: upgraded now that it matched
    try {
      setPassword(user, password);
    } catch (const std::exception& e) {
      if (log_) log_(LogLine("warn", "password-upgrade-failed").add("error", e.what()).text());
    }
  }
  return true;
}

void UserStore::setPassword(const RtcWideString& user, const RtcWideString& password) {
  unsigned char raw[16];
  if (RAND_bytes(raw, sizeof raw) != 1) throw std::runtime_error("no random bytes for a salt");
  const std::string salt(reinterpret_cast<const char*>(raw), sizeof raw);
  storeAccount(userKey(user), salt, SlowPasswordHash(salt, password));
}

void UserStore::storeAccount(const std::string& user, const std::string& salt,
                             const std::string& hash) {
  std::lock_guard<std::mutex> hold(lock_);
  Statement st(db_,
               "INSERT INTO accounts (user, salt, hash) VALUES (?1, ?2, ?3)"
               " ON CONFLICT (user) DO UPDATE SET salt = excluded.salt, hash = excluded.hash");
  st.bind(1, user).bindBlob(2, salt).bind(3, hash).row();
}

}  // namespace vtx::gateway
