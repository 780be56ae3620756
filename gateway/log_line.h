// Structured log lines: "level=info event=hello session=1A2B status=200", values quoted when
// they hold blanks, quotes or "=". The sink adds the time and writes the line. Session ids are
// credentials: a value under the key "session" is cut to its first kSessionPrefix characters.
// Any other value longer than kLogValueLimit bytes keeps that many and notes its full length,
// so a client cannot make one line as long as what it sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vtx::gateway {

using LogSink = std::function<void(const std::string& line)>;

inline constexpr std::size_t kSessionPrefix = 8;
inline constexpr std::size_t kLogValueLimit = 256;

class LogLine {
 public:
  LogLine(std::string_view level, std::string_view event);
  LogLine& add(std::string_view key, std::string_view value);
  LogLine& add(std::string_view key, const char* value) {
    return add(key, std::string_view(value));
  }
  LogLine& add(std::string_view key, std::int64_t value);
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace vtx::gateway
