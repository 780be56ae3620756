#include "util/text.h"

namespace vtx {

void Utf8EncodeTo(std::u16string_view text, std::string& out) {
  for (char16_t u : text) {
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (u >> 12)));
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
}

std::string Utf8Encode(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  Utf8EncodeTo(text, out);
  return out;
}

std::string Utf8EncodeStandard(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      const char32_t c =
          0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00);
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      ++i;
    } else {
      Utf8EncodeTo(text.substr(i, 1), out);
    }
  }
  return out;
}

std::u16string Utf8Decode(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  auto cont = [&](std::size_t i) { return i < n && (p[i] & 0xC0) == 0x80; };
  for (std::size_t i = 0; i < n;) {
    unsigned char b = p[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
    } else if (b >= 0xF0 && b <= 0xF4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
      // A four-byte sequence (text typed or pasted as standard UTF-8) becomes a surrogate pair.
      char32_t c = (char32_t(b & 0x07) << 18) | (char32_t(p[i + 1] & 0x3F) << 12) |
                   (char32_t(p[i + 2] & 0x3F) << 6) | char32_t(p[i + 3] & 0x3F);
      if (c < 0x10000 || c > 0x10FFFF) return {};
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 | (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
      i += 4;
    } else if ((b & 0x20) == 0) {
      if (!cont(i + 1)) return {};
      char16_t c = static_cast<char16_t>(((b & 0x1F) << 6) | (p[i + 1] & 0x3F));
      if (c < 0x80) return {};  // overlong: would smuggle a delimiter past the reader
      out.push_back(c);
      i += 2;
    } else {
      if (!cont(i + 1) || !cont(i + 2)) return {};
      char16_t c =
          static_cast<char16_t>(((b & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F));
      if (c < 0x80) return {};
      out.push_back(c);
      i += 3;
    }
  }
  return out;
}

std::u16string Widen(std::string_view bytes) {
  std::u16string out(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<unsigned char>(bytes[i]);
  return out;
}

std::string Narrow(std::u16string_view text) {
  std::string out(text.size(), '\0');
  for (std::size_t i = 0; i < text.size(); ++i)
    out[i] = text[i] <= 0xFF ? static_cast<char>(text[i]) : '?';
  return out;
}

std::string ToUtf16LE(std::u16string_view text) {
  std::string out(text.size() * 2, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    out[2 * i] = static_cast<char>(text[i] & 0xFF);
    out[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  return out;
}

std::u16string FromUtf16LE(std::string_view bytes) {
  std::u16string out(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  return out;
}

namespace {
template <class C>
C upper(C c) {
  return (c >= 'a' && c <= 'z') ? static_cast<C>(c - 'a' + 'A') : c;
}
}  // namespace

std::string UpperCaseAscii(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = upper(c);
  return out;
}

std::u16string UpperCaseAscii(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) c = upper(c);
  return out;
}

bool SameTextAscii(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (upper(a[i]) != upper(b[i])) return false;
  return true;
}

}  // namespace vtx
