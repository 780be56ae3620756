// The operator's commands of vorantelix-gateway that work on its database and exit instead of
// serving: analyst accounts and the audit trail.
#pragma once

#include <iosfwd>
#include <string>

namespace vtx::gateway {

struct AdminCommand {
  enum class Kind {
    None,
    AddAnalyst,
    DisableAnalyst,
    EnableAnalyst,
    RemoveAnalyst,
    ListAnalysts,
    Audit
  };
  Kind kind = Kind::None;
  std::string name;  // the analyst of the account commands
  // Filters of Audit; empty = any.
  std::string since, analyst, host;
};

// Reads the password of AddAnalyst as one line of `in`. Writes results to `out` and one clear
// line per error to `err`; returns the exit status (0 = done).
int RunAdminCommand(const AdminCommand& command, const std::string& db, std::istream& in,
                    std::ostream& out, std::ostream& err);

}  // namespace vtx::gateway
