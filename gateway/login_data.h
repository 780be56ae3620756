// What a login may bring along: the gateway relays a login's fields to others in its notices,
// so they must be flat values of bounded size.
#pragma once

#include <cstddef>

#include "values/values.h"

namespace vtx::gateway {

inline constexpr int kMaxLoginFields = 32;
inline constexpr std::size_t kMaxLoginNameBytes = 64;     // a field name, UTF-8
inline constexpr std::size_t kMaxLoginFieldBytes = 1024;  // one field's code text
inline constexpr std::size_t kMaxLoginDataBytes = 8192;   // all fields' code text

// Throws ERtcInfo "Login data must be flat fields of bounded size." when a field holds a
// container (array, record, data set, call) or the fields exceed the bounds above. The
// password and the login id are not relayed and not counted.
void CheckLoginData(const TRtcFunctionInfo& call);

}  // namespace vtx::gateway
