// The parts of a request target and cookie header that the remote-call protocol reads.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vtx::gateway {

struct RequestTarget {
  std::string path;   // percent-decoded
  std::string query;  // as sent
};
RequestTarget SplitTarget(std::string_view target);

// The value of the first query item called `name` (ASCII case ignored), percent-decoded.
std::optional<std::string> QueryValue(std::string_view query, std::string_view name);
// The value of cookie `name` in a Cookie header ("A=1; ID=2").
std::optional<std::string> CookieValue(std::string_view header, std::string_view name);

std::string PercentDecode(std::string_view s);
bool SameAscii(std::string_view a, std::string_view b);

}  // namespace vtx::gateway
