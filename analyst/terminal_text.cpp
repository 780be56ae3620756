#include "analyst/terminal_text.h"

#include <cstdio>

namespace vtx::analyst {
namespace {

// The length of the well-formed UTF-8 sequence at `at`, 0 when there is none.
std::size_t sequence(std::string_view s, std::size_t at) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(at);
  std::size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
  if (n == 0 || at + n > s.size()) return 0;
  for (std::size_t i = 1; i < n; ++i)
    if ((b(at + i) & 0xC0) != 0x80) return 0;
  // No overlong forms, surrogates or values beyond U+10FFFF.
  if (c == 0xE0 && b(at + 1) < 0xA0) return 0;
  if (c == 0xED && b(at + 1) >= 0xA0) return 0;
  if (c == 0xF0 && b(at + 1) < 0x90) return 0;
  if (c == 0xF4 && b(at + 1) >= 0x90) return 0;
  return n;
}

}  // namespace

std::string Visible(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char buf[16];
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c == '\t') {
        out += '\t';
      } else if (c < 0x20) {
        out += '^';
        out += static_cast<char>(c + 0x40);
      } else if (c == 0x7F) {
        out += "^?";
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    const std::size_t n = sequence(text, i);
    if (n == 0) {
      std::snprintf(buf, sizeof buf, "<x%02X>", c);
      out += buf;
      ++i;
    } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      std::snprintf(buf, sizeof buf, "<U+%04X>", static_cast<unsigned char>(text[i + 1]));
      out += buf;
      i += 2;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace vtx::analyst
