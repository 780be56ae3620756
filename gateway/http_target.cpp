#include "gateway/http_target.h"

namespace vtx::gateway {

namespace {
int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}
}  // namespace

bool SameAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (upper(a[i]) != upper(b[i])) return false;
  return true;
}

std::string PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hexDigit(s[i + 1]) >= 0 && hexDigit(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexDigit(s[i + 1]) * 16 + hexDigit(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

RequestTarget SplitTarget(std::string_view target) {
  const auto q = target.find('?');
  if (q == std::string_view::npos) return {PercentDecode(target), {}};
  return {PercentDecode(target.substr(0, q)), std::string(target.substr(q + 1))};
}

std::optional<std::string> QueryValue(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const auto amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const auto eq = item.find('=');
    if (SameAscii(PercentDecode(item.substr(0, eq)), name))
      return eq == std::string_view::npos ? std::string() : PercentDecode(item.substr(eq + 1));
  }
  return std::nullopt;
}

std::optional<std::string> CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const auto semi = header.find(';');
    std::string_view item = trim(header.substr(0, semi));
    header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
    const auto eq = item.find('=');
    if (eq != std::string_view::npos && SameAscii(trim(item.substr(0, eq)), name))
      return std::string(trim(item.substr(eq + 1)));
  }
  return std::nullopt;
}

}  // namespace vtx::gateway
