#include "gateway/relay_policy.h"

namespace vtx::gateway {

bool RelayAllowed(Role from, Role to, RowKind kind) {
  // Leaving a group only takes access away.
  if (kind == RowKind::GroupRemove) return true;
  return from == Role::Analyst || to == Role::Analyst;
}

const char* RoleName(Role role) {
  return role == Role::Analyst ? "analyst" : "host";
}

}  // namespace vtx::gateway
