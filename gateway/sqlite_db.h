// A small owner of one SQLite connection and its prepared statements, for the gateway's
// account and audit tables.
#pragma once

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace vtx::gateway {

class Database {
 public:
  // Opens or creates the file (":memory:" for a private one); throws std::runtime_error.
  explicit Database(const std::string& path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void exec(const char* sql);
  sqlite3* handle() const { return db_; }
  // Rows changed by the last statement.
  int changes() const;
  // Changes when another connection commits to the file.
  std::int64_t dataVersion();

 private:
  sqlite3* db_ = nullptr;
};

// A prepared statement, finalised on scope exit. Errors throw std::runtime_error.
class Query {
 public:
  Query(Database& db, const char* sql);
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& bind(int i, const std::string& text);
  Query& bindBlob(int i, const std::string& bytes);
  Query& bind(int i, std::int64_t v);
  Query& bindReal(int i, double v);
  // Steps once: true while a row is ready.
  bool row();
  std::string text(int i) const;
  std::int64_t integer(int i) const;
  double real(int i) const;
  bool null(int i) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

}  // namespace vtx::gateway
