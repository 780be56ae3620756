// What the gateway keeps for each user across restarts, in SQLite: the stored parameters
// ("User.Get/Set/Add/Del"), each as the wire text of its value, and an optional own password
// (salted SHA-256). User names are matched without regard to ASCII case. Thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "values/values.h"

struct sqlite3;

namespace vtx::gateway {

class UserStore {
 public:
  // Opens or creates the database (":memory:" for one that lives with the object); throws
  // std::runtime_error when it cannot be used.
  explicit UserStore(const std::string& path);
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

  // True/false when the user has an own password and `password` matches it or not; none when
  // the user has none.
  std::optional<bool> checkPassword(const RtcWideString& user, const RtcWideString& password);
  void setPassword(const RtcWideString& user, const RtcWideString& password);

 private:
  std::optional<std::string> loadParam(const std::string& user, const std::string& name);
  void storeParam(const std::string& user, const std::string& name, const std::string* code);
  void exec(const char* sql);

  std::mutex lock_;
  sqlite3* db_ = nullptr;
};

// Salted SHA-256 of the UTF-8 password, as hex; `salt` is raw bytes.
std::string PasswordHash(const std::string& salt, const RtcWideString& password);

}  // namespace vtx::gateway
