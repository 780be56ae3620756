#include "values/http_text.h"

namespace vtx {

std::string httpUpper(std::string_view s) {
  std::string out(s);
  for (auto& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string httpTrim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

namespace {

bool alwaysSafe(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  switch (c) {
    case '$':
    case '(':
    case ')':
    case '*':
    case ',':
    case '-':
    case '.':
    case '/':
    case ':':
    case '@':
    case '_':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string URL_Encode(std::string_view s, bool keepQuerySeparators) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (alwaysSafe(c) || (keepQuerySeparators && (c == '&' || c == ';' || c == '=' || c == '?'))) {
      out.push_back(ch);
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

}  // namespace vtx
