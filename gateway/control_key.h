// Control keys: the short digit strings that close every enciphered body of the remote-call
// protocol. A key has 9 to 13 ASCII digits: two check digits, a two-digit counter (1..99) and
// 5 to 9 random digits; the check digits are 53 - 9 * (random digits - 5) + their sum.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vtx::gateway {

inline constexpr std::size_t kMinControlKey = 9;
inline constexpr std::size_t kMaxControlKey = 13;

// The counter of a well-formed key, or none when the length, a digit or the checksum is wrong.
std::optional<int> ControlKeyCounter(std::string_view key);

// The counter that follows `counter` (1..99, 99 wraps to 1).
int NextControlCounter(int counter);

// A body split before its control key: payload, the separator byte before the key, the key.
struct ControlKeyTail {
  std::string_view payload;
  char separator = 0;
  std::string_view key;
};
// Splits off the 9..13 digits that end `body` and the byte before them; none when the body
// does not end that way. The key's checksum is not checked here.
std::optional<ControlKeyTail> SplitControlKey(std::string_view body);

}  // namespace vtx::gateway
