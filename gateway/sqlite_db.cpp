#include "gateway/sqlite_db.h"

#include <sqlite3.h>

#include <stdexcept>

namespace vtx::gateway {

namespace {
[[noreturn]] void fail(sqlite3* db) {
  throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db));
}
}  // namespace

Database::Database(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw std::runtime_error("cannot open database " + path + ": " + why);
  }
  sqlite3_busy_timeout(db_, 5000);
}

Database::~Database() {
  sqlite3_close(db_);
}

void Database::exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string why = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw std::runtime_error("database: " + why);
  }
}

int Database::changes() const {
  return sqlite3_changes(db_);
}

std::int64_t Database::dataVersion() {
  Query q(*this, "PRAGMA data_version");
  return q.row() ? q.integer(0) : 0;
}

Query::Query(Database& db, const char* sql) : db_(db.handle()) {
  if (sqlite3_prepare_v2(db_, sql, -1, &st_, nullptr) != SQLITE_OK) fail(db_);
}

Query::~Query() {
  sqlite3_finalize(st_);
}

Query& Query::bind(int i, const std::string& text) {
  sqlite3_bind_text(st_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

Query& Query::bindBlob(int i, const std::string& bytes) {
  sqlite3_bind_blob(st_, i, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  return *this;
}

Query& Query::bind(int i, std::int64_t v) {
  sqlite3_bind_int64(st_, i, v);
  return *this;
}

Query& Query::bindReal(int i, double v) {
  sqlite3_bind_double(st_, i, v);
  return *this;
}

bool Query::row() {
  const int rc = sqlite3_step(st_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) fail(db_);
  return false;
}

std::string Query::text(int i) const {
  const void* p = sqlite3_column_blob(st_, i);
  return p ? std::string(static_cast<const char*>(p),
                         static_cast<std::size_t>(sqlite3_column_bytes(st_, i)))
           : std::string();
}

std::int64_t Query::integer(int i) const {
  return sqlite3_column_int64(st_, i);
}

double Query::real(int i) const {
  return sqlite3_column_double(st_, i);
}

bool Query::null(int i) const {
  return sqlite3_column_type(st_, i) == SQLITE_NULL;
}

}  // namespace vtx::gateway
