// Who may reach whom through the relay. A host (a copy of the customer program) talks only to
// analysts; analysts talk to hosts and to each other. Pure and socket-free.
#pragma once

namespace vtx::gateway {

enum class Role { Analyst, Host };

// The kinds of rows a Put carries, as far as the policy tells them apart.
enum class RowKind {
  Direct,       // "to": data to one user
  GroupData,    // "fn": data to the sender's group
  GroupAdd,     // "s": the sender adds a user to its group
  GroupRemove,  // "u", "uf", "t": a user leaves a group
};

// Whether a row of `kind` from a sender of role `from` may reach a receiver of role `to`.
bool RelayAllowed(Role from, Role to, RowKind kind);

const char* RoleName(Role role);

// The refusal reason of a row the policy stops.
inline constexpr const char* kNotPermitted = "not permitted";

}  // namespace vtx::gateway
