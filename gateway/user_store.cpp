#include "gateway/user_store.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <stdexcept>

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

}  // namespace

std::string PasswordHash(const std::string& salt, const RtcWideString& password) {
  const std::string data = salt + Utf8Encode(password);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 failed");
  return hex(digest, size);
}

UserStore::UserStore(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw std::runtime_error("cannot open database " + path + ": " + why);
  }
  sqlite3_busy_timeout(db_, 2000);
  try {
    if (path != ":memory:") exec("PRAGMA journal_mode=WAL");
    exec(
        "CREATE TABLE IF NOT EXISTS params (user TEXT NOT NULL, name TEXT NOT NULL COLLATE NOCASE,"
        " value BLOB NOT NULL, PRIMARY KEY (user, name))");
    exec(
        "CREATE TABLE IF NOT EXISTS accounts (user TEXT PRIMARY KEY, salt BLOB NOT NULL,"
        " hash TEXT NOT NULL)");
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

UserStore::~UserStore() {
  sqlite3_close(db_);
}

void UserStore::exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string why = error ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error("database: " + why);
  }
}

std::unique_ptr<TRtcRecord> UserStore::params(const RtcWideString& user) {
  auto record = std::make_unique<TRtcRecord>();
  std::lock_guard<std::mutex> hold(lock_);
  Statement st(db_, "SELECT name, value FROM params WHERE user = ?1 ORDER BY rowid");
  st.bind(1, userKey(user));
  while (st.row()) {
    try {
      record->setAsObject(Utf8Decode(st.column(0)), TRtcValue::FromCode(st.column(1))->Extract());
    } catch (const std::exception&) {
      // an unreadable stored value is left out
    }
  }
  return record;
}

std::optional<std::string> UserStore::loadParam(const std::string& user, const std::string& name) {
  Statement st(db_, "SELECT value FROM params WHERE user = ?1 AND name = ?2");
  st.bind(1, user).bind(2, name);
  if (!st.row()) return std::nullopt;
  return st.column(0);
}

void UserStore::storeParam(const std::string& user, const std::string& name,
                           const std::string* code) {
  if (!code) {
    Statement st(db_, "DELETE FROM params WHERE user = ?1 AND name = ?2");
    st.bind(1, user).bind(2, name).row();
    return;
  }
  Statement st(db_,
               "INSERT INTO params (user, name, value) VALUES (?1, ?2, ?3)"
               " ON CONFLICT (user, name) DO UPDATE SET value = excluded.value");
  st.bind(1, user).bind(2, name).bindBlob(3, *code).row();
}

void UserStore::setParam(const RtcWideString& user, const RtcWideString& name,
                         const TRtcValueObject* value) {
  std::string code;
  if (value) value->to_Code(code);
  std::lock_guard<std::mutex> hold(lock_);
  storeParam(userKey(user), Utf8Encode(name), value ? &code : nullptr);
}

void UserStore::addFields(const RtcWideString& user, const RtcWideString& name,
                          const TRtcRecord& fields) {
  const std::string key = userKey(user), field = Utf8Encode(name);
  std::lock_guard<std::mutex> hold(lock_);
  TRtcRecord record;
  if (auto code = loadParam(key, field)) {
    try {
      auto value = TRtcValue::FromCode(*code);
      if (auto* r = dynamic_cast<TRtcRecord*>(value->GetObject()); r && r->GetType() == rtc_Record)
        record.CopyFrom(*r);
    } catch (const std::exception&) {
      // replaced by the new record
    }
  }
  for (int i = 0; i < fields.FieldCount(); ++i) {
    const TRtcValueObject* v = fields.FieldObject(i);
    if (v) record.setAsObject(fields.FieldName(i), v->copyOf());
  }
  std::string out;
  record.to_Code(out);
  storeParam(key, field, &out);
}

void UserStore::delFields(const RtcWideString& user, const RtcWideString& name,
                          const TRtcRecord& fields) {
  const std::string key = userKey(user), field = Utf8Encode(name);
  std::lock_guard<std::mutex> hold(lock_);
  auto code = loadParam(key, field);
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
    bool named = false;
    for (int j = 0; j < fields.FieldCount() && !named; ++j)
      named = UpperCaseAscii(fields.FieldName(j)) == UpperCaseAscii(f);
    if (v && !named) kept.setAsObject(f, v->copyOf());
  }
  std::string out;
  kept.to_Code(out);
  storeParam(key, field, &out);
}

std::optional<bool> UserStore::checkPassword(const RtcWideString& user,
                                             const RtcWideString& password) {
  std::lock_guard<std::mutex> hold(lock_);
  Statement st(db_, "SELECT salt, hash FROM accounts WHERE user = ?1");
  st.bind(1, userKey(user));
  if (!st.row()) return std::nullopt;
  const std::string salt = st.column(0), stored = st.column(1);
  const std::string given = PasswordHash(salt, password);
  return given.size() == stored.size() &&
         CRYPTO_memcmp(given.data(), stored.data(), given.size()) == 0;
}

void UserStore::setPassword(const RtcWideString& user, const RtcWideString& password) {
  unsigned char raw[16];
  if (RAND_bytes(raw, sizeof raw) != 1) throw std::runtime_error("no random bytes for a salt");
  const std::string salt(reinterpret_cast<const char*>(raw), sizeof raw);
  const std::string hash = PasswordHash(salt, password);
  std::lock_guard<std::mutex> hold(lock_);
  Statement st(db_,
               "INSERT INTO accounts (user, salt, hash) VALUES (?1, ?2, ?3)"
               " ON CONFLICT (user) DO UPDATE SET salt = excluded.salt, hash = excluded.hash");
  st.bind(1, userKey(user)).bindBlob(2, salt).bind(3, hash).row();
}

}  // namespace vtx::gateway
