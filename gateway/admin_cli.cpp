#include "gateway/admin_cli.h"

#include <istream>
#include <ostream>
#include <stdexcept>

#include "gateway/analyst_accounts.h"
#include "gateway/audit.h"

namespace vtx::gateway {

namespace {

// One line of at most kMaxAnalystPassword bytes, without its line end.
std::string readPassword(std::istream& in) {
  std::string line;
  char c;
  bool any = false;
  while (in.get(c)) {
    any = true;
    if (c == '\n') break;
    if (line.size() > kMaxAnalystPassword + 1)
      throw std::invalid_argument("password longer than " + std::to_string(kMaxAnalystPassword) +
                                  " bytes");
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!any || line.empty()) throw std::invalid_argument("no password on standard input");
  return line;
}

}  // namespace

int RunAdminCommand(const AdminCommand& command, const std::string& db, std::istream& in,
                    std::ostream& out, std::ostream& err) {
  using Kind = AdminCommand::Kind;
  try {
    if (command.kind == Kind::Audit) {
      AuditTrail audit(db);
      for (const auto& e : audit.query(AuditFilter{command.since, command.analyst, command.host}))
        out << FormatAuditEntry(e) << "\n";
      return 0;
    }
    if (command.kind == Kind::AddAnalyst) {
      if (auto why = AnalystNameProblem(command.name); !why.empty())
        throw std::invalid_argument(why);
      const std::string password = readPassword(in);
      AnalystAccounts(db).add(command.name, password);
      out << "analyst " << command.name << " added\n";
      return 0;
    }
    AnalystAccounts accounts(db);
    switch (command.kind) {
      case Kind::DisableAnalyst:
        accounts.setEnabled(command.name, false);
        out << "analyst " << command.name << " disabled\n";
        break;
      case Kind::EnableAnalyst:
        accounts.setEnabled(command.name, true);
        out << "analyst " << command.name << " enabled\n";
        break;
      case Kind::RemoveAnalyst:
        accounts.remove(command.name);
        out << "analyst " << command.name << " removed\n";
        break;
      case Kind::ListAnalysts:
        for (const auto& a : accounts.list())
          out << a.name << "\t" << (a.enabled ? "enabled" : "disabled") << "\t" << a.created
              << "\n";
        break;
      default:
        throw std::invalid_argument("no command");
    }
    return 0;
  } catch (const std::exception& e) {
    err << "vorantelix-gateway: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace vtx::gateway
