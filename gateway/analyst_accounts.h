// The support team's own accounts, kept in the gateway's SQLite file beside the user store:
// a name (matched without regard to ASCII case), a slow salted password hash and whether the
// account is enabled. Provisioned by the operator from the command line; read by the running
// gateway at each login. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/sqlite_db.h"
#include "values/values.h"

namespace vtx::gateway {

struct AnalystInfo {
  std::string name;
  bool enabled = true;
  std::string created;  // UTC, "YYYY-MM-DD HH:MM:SS"
};

// Limits of what an account may hold.
inline constexpr std::size_t kMaxAnalystName = 64;       // bytes of UTF-8
inline constexpr std::size_t kMaxAnalystPassword = 256;  // bytes of UTF-8

// Why a name cannot be an analyst's (empty, too long, control characters, spaces at either
// end); empty when it can.
std::string AnalystNameProblem(const std::string& name);
// Why a password cannot be used (empty, too long, control characters); empty when it can.
std::string AnalystPasswordProblem(const std::string& password);

class AnalystAccounts {
 public:
  enum class Check { NotAnalyst, Disabled, Match, Mismatch };

  // Opens or creates the table in the file; throws std::runtime_error when it cannot.
  explicit AnalystAccounts(const std::string& path);

  // Each throws std::invalid_argument for a bad name or password, std::runtime_error for an
  // unknown or duplicate name and for a database that cannot be written.
  void add(const std::string& name, const std::string& password);
  void setEnabled(const std::string& name, bool enabled);
  void remove(const std::string& name);
  void setPassword(const std::string& name, const std::string& password);

  std::vector<AnalystInfo> list();
  std::vector<RtcWideString> enabledNames();
  // Whether the name is an analyst's at all (enabled or not).
  bool known(const RtcWideString& name);
  // The login test: not an analyst, disabled, or whether the password matches.
  Check check(const RtcWideString& name, const RtcWideString& password);
  // Changes when another process (or this one) changed the accounts.
  std::int64_t version();

 private:
  std::mutex lock_;
  Database db_;
};

}  // namespace vtx::gateway
