#include "gateway/log_line.h"

#include <string>

namespace vtx::gateway {

namespace {
bool needsQuotes(std::string_view v) {
  if (v.empty()) return true;
  for (unsigned char c : v)
    if (c <= ' ' || c == '"' || c == '=' || c == '\\' || c >= 0x7F) return true;
  return false;
}
}  // namespace

LogLine::LogLine(std::string_view level, std::string_view event) {
  add("level", level);
  add("event", event);
}

LogLine& LogLine::add(std::string_view key, std::string_view value) {
  if (key == "session" && value.size() > kSessionPrefix) value = value.substr(0, kSessionPrefix);
  std::string cut;
  if (value.size() > kLogValueLimit) {
    cut.assign(value.substr(0, kLogValueLimit));
    cut += "...(" + std::to_string(value.size()) + " bytes)";
    value = cut;
  }
  if (!text_.empty()) text_.push_back(' ');
  text_.append(key);
  text_.push_back('=');
  if (!needsQuotes(value)) {
    text_.append(value);
    return *this;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  text_.push_back('"');
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      text_.push_back('\\');
      text_.push_back(static_cast<char>(c));
    } else if (c < ' ' || c >= 0x7F) {
      text_ += "\\x";
      text_.push_back(kHex[c >> 4]);
      text_.push_back(kHex[c & 0x0F]);
    } else {
      text_.push_back(static_cast<char>(c));
    }
  }
  text_.push_back('"');
  return *this;
}

LogLine& LogLine::add(std::string_view key, std::int64_t value) {
  return add(key, std::string_view(std::to_string(value)));
}

}  // namespace vtx::gateway
