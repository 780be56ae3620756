// What the gateway keeps for each user across restarts, in SQLite: the stored parameters
// ("User.Get/Set/Add/Del"), each as the wire text of its value, and an optional own password
// (scrypt; a record of the older salted SHA-256 still checks and is upgraded on its first
// match). User names are matched without regard to ASCII case. Thread-safe.
//
// Parameter writes are queued to a writer thread with its own database connection, so that no
// caller waits for the disk; reading a user's parameters first waits for that user's queued
// writes. Queued writes are bounded in bytes: beyond that a write is refused.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "gateway/log_line.h"
#include "values/values.h"

struct sqlite3;

namespace vtx::gateway {

class UserStore {
 public:
  // Opens or creates the database (":memory:" for one that lives with the object); throws
  // std::runtime_error when it cannot be used.
  // `quota`: bytes of stored parameters (names and wire texts) per user; a value beyond it is
  // refused at once, a write that would take the user beyond it is dropped and logged.
  explicit UserStore(const std::string& path, LogSink log = {}, std::size_t maxQueued = 64u << 20,
                     std::size_t quota = 1u << 20);
  // Finishes the queued writes first.
  ~UserStore();
  UserStore(const UserStore&) = delete;
  UserStore& operator=(const UserStore&) = delete;

  // Every stored parameter of the user, as a record (empty when none).
  std::unique_ptr<TRtcRecord> params(const RtcWideString& user);
  // Stores the value under `name`; a null value removes the parameter.
  void setParam(const RtcWideString& user, const RtcWideString& name, const TRtcValueObject* value);
  // Adds the fields into the stored record `name` (made when absent or not a record).
  void addFields(const RtcWideString& user, const RtcWideString& name, const TRtcRecord& fields);
  // Removes the named fields from the stored record `name`.
  void delFields(const RtcWideString& user, const RtcWideString& name, const TRtcRecord& fields);
  // Waits until every queued write is done.
  void flush();

  // True/false when the user has an own password and `password` matches it or not; none when
  // the user has none.
  std::optional<bool> checkPassword(const RtcWideString& user, const RtcWideString& password);
  void setPassword(const RtcWideString& user, const RtcWideString& password);

 private:
  using Write = std::function<void(sqlite3* db)>;
  void enqueue(const std::string& user, std::size_t bytes, Write write);
  void checkQuota(std::size_t bytes) const;
  void writeLoop();
  void storeAccount(const std::string& user, const std::string& salt, const std::string& hash);

  LogSink log_;
  std::size_t maxQueued_, quota_;
  std::mutex lock_;  // db_, and writer_ when it is the same connection
  sqlite3* db_ = nullptr;
  sqlite3* writer_ = nullptr;  // the writer thread's connection (db_ for an in-memory store)

  std::mutex queueLock_;
  std::condition_variable queued_, written_;
  struct Queued {
    std::string user;
    std::size_t bytes;
    Write write;
  };
  std::deque<Queued> queue_;
  std::unordered_map<std::string, int> pending_;  // queued or running writes per user
  std::size_t queuedBytes_ = 0;
  bool closing_ = false;
  std::thread thread_;  // last: starts once the rest is ready
};

// The older record form: salted SHA-256 of the UTF-8 password, as hex; `salt` is raw bytes.
std::string PasswordHash(const std::string& salt, const RtcWideString& password);
// The current form: "scrypt$N$r$p$" and the hex of a 32-byte scrypt key of the password.
std::string SlowPasswordHash(const std::string& salt, const RtcWideString& password,
                             unsigned long long n = 16384, unsigned r = 8, unsigned p = 1);

}  // namespace vtx::gateway
