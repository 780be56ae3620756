#include "gateway/control_key.h"

namespace vtx::gateway {

namespace {
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
}  // namespace

std::optional<int> ControlKeyCounter(std::string_view key) {
  if (key.size() < kMinControlKey || key.size() > kMaxControlKey) return std::nullopt;
  for (char c : key)
    if (!isDigit(c)) return std::nullopt;
  const int r = static_cast<int>(key.size() - kMinControlKey);
  int sum = 0;
  for (std::size_t i = 4; i < key.size(); ++i) sum += key[i] - '0';
  const int check = (key[0] - '0') * 10 + (key[1] - '0');
  if (check != 53 - 9 * r + sum) return std::nullopt;
  const int counter = (key[2] - '0') * 10 + (key[3] - '0');
  if (counter < 1) return std::nullopt;
  return counter;
}

int NextControlCounter(int counter) {
  return counter >= 99 ? 1 : counter + 1;
}

std::optional<ControlKeyTail> SplitControlKey(std::string_view body) {
  std::size_t digits = 0;
  while (digits < body.size() && digits <= kMaxControlKey &&
         isDigit(body[body.size() - 1 - digits]))
    ++digits;
  if (digits < kMinControlKey || digits > kMaxControlKey || digits == body.size())
    return std::nullopt;
  const std::size_t sep = body.size() - 1 - digits;
  return ControlKeyTail{body.substr(0, sep), body[sep], body.substr(sep + 1)};
}

}  // namespace vtx::gateway
