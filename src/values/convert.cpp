#include "values/convert.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "util/datetime.h"
#include "util/exceptions.h"

namespace vtx {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) < 0x21) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) < 0x21) s.remove_suffix(1);
  return s;
}

[[noreturn]] void badInteger(std::string_view t) {
  throw EConvertError("'" + std::string(t) + "' is not a valid integer value");
}
[[noreturn]] void badFloat(std::string_view t) {
  throw EConvertError("'" + std::string(t) + "' is not a valid floating point value");
}

bool parseInt64(std::string_view text, std::int64_t& v) {
  std::string_view s = trim(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '+') return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, 10);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

}  // namespace

bool TextToBoolean(std::string_view text) {
  std::string u = UpperCaseAscii(text);
  return !(u.empty() || u == "0" || u == "F" || u == "N" || u == "FALSE" || u == "NO");
}

bool TryTextToInt32(std::string_view text, std::int32_t& value) {
  std::int64_t v;
  if (!parseInt64(text, v) || v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<std::int32_t>(v);
  return true;
}

std::int32_t TextToInteger(std::string_view text) {
  std::int32_t v;
  if (!TryTextToInt32(text, v)) badInteger(text);
  return v;
}

std::uint32_t TextToCardinal(std::string_view text) {
  std::int64_t v;
  if (!parseInt64(text, v) || v < INT32_MIN || v > static_cast<std::int64_t>(UINT32_MAX))
    badInteger(text);
  return static_cast<std::uint32_t>(v);
}

std::int64_t TextToLargeInt(std::string_view text) {
  std::int64_t v;
  if (!parseInt64(text, v)) badInteger(text);
  return v;
}

double TextToFloat(std::string_view text) {
  std::string_view s = trim(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double v = 0;
  if (s.empty() || s.front() == '+' || (s.front() == '-' && s.size() > 1 && s[1] == '+'))
    badFloat(text);
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) badFloat(text);
  return v;
}

RtcCurrency TextToCurrency(std::string_view text) {
  std::string_view s = trim(text);
  // Exact path for plain decimals: [sign] digits [. digits].
  std::string_view b = s;
  bool neg = false;
  if (!b.empty() && (b.front() == '-' || b.front() == '+'))
    neg = b.front() == '-', b.remove_prefix(1);
  std::size_t dot = b.find('.');
  std::string_view ip = b.substr(0, dot),
                   fp = dot == b.npos ? std::string_view{} : b.substr(dot + 1);
  auto digits = [](std::string_view d) {
    for (char c : d)
      if (c < '0' || c > '9') return false;
    return true;
  };
  if (!b.empty() && (ip.size() + fp.size()) > 0 && digits(ip) && digits(fp) && ip.size() <= 15) {
    std::int64_t units = 0;
    for (char c : ip) units = units * 10 + (c - '0');  // at most 15 digits: fits
    int frac = 0, n = 0;
    for (; n < 4; ++n) frac = frac * 10 + (n < static_cast<int>(fp.size()) ? fp[n] - '0' : 0);
    bool roundUp = fp.size() > 4 && fp[4] >= '5';  // half away from zero on the fifth digit
    if (__builtin_mul_overflow(units, 10000, &units) ||
        __builtin_add_overflow(units, frac, &units) ||
        __builtin_add_overflow(units, roundUp ? 1 : 0, &units))
      throw EConvertError("Invalid floating point operation");
    return RtcCurrency{neg ? -units : units};
  }
  return FloatToCurrency(TextToFloat(text));
}

std::int64_t RoundToInt64(double v) {
  double r = std::nearbyint(v);
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0))
    throw EConvertError("Invalid floating point operation");
  return static_cast<std::int64_t>(r);
}

std::int64_t TruncToInt64(double v) {
  double r = std::trunc(v);
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0))
    throw EConvertError("Invalid floating point operation");
  return static_cast<std::int64_t>(r);
}

RtcCurrency FloatToCurrency(double v) {
  return RtcCurrency{RoundToInt64(v * 10000.0)};
}

std::int64_t CurrencyToInt64(RtcCurrency c) {
  std::int64_t q = c.units / 10000, r = c.units % 10000;
  if (r > 5000 || (r == 5000 && (q & 1))) ++q;
  if (r < -5000 || (r == -5000 && (q & 1))) --q;
  return q;
}

std::string FloatToText(double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v < 0 ? "-INF" : "INF";
  if (v == 0) return "0";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string sci(buf, r.ptr);  // like "-1.2345e+20"
  std::size_t e = sci.find('e');
  int exp = std::atoi(sci.c_str() + e + 1);
  std::string mant = sci.substr(0, e);
  bool neg = mant[0] == '-';
  std::string digits;
  for (char c : mant)
    if (c >= '0' && c <= '9') digits.push_back(c);
  std::string out = neg ? "-" : "";
  if (exp >= 15 || exp < -5) {
    out += digits[0];
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += "E" + std::to_string(exp);
  } else if (exp < 0) {
    out += "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
  } else {
    std::size_t ip = static_cast<std::size_t>(exp) + 1;
    if (digits.size() <= ip) {
      out += digits + std::string(ip - digits.size(), '0');
    } else {
      out += digits.substr(0, ip) + "." + digits.substr(ip);
    }
  }
  return out;
}

std::string CurrencyToText(RtcCurrency c) {
  bool neg = c.units < 0;
  std::uint64_t u =
      neg ? 0 - static_cast<std::uint64_t>(c.units) : static_cast<std::uint64_t>(c.units);
  std::string out = (neg ? "-" : "") + std::to_string(u / 10000);
  unsigned frac = static_cast<unsigned>(u % 10000);
  if (frac) {
    char f[8];
    std::snprintf(f, sizeof f, "%04u", frac);
    std::string fs(f);
    while (fs.back() == '0') fs.pop_back();
    out += "." + fs;
  }
  return out;
}

std::string DateTimeToText(double v) {
  DateTimeParts p;
  if (!DecodeDateTime(v, p)) throw EConvertError("Invalid argument to date decode.");
  char buf[64];
  std::string time;
  std::snprintf(buf, sizeof buf, "%d:%d:%d.%d", p.hour, p.minute, p.second, p.msec);
  time = buf;
  std::snprintf(buf, sizeof buf, "%d-%d-%d", p.year, p.month, p.day);
  bool wholeZero = p.year == 1899 && p.month == 12 && p.day == 30;
  bool hasTime = p.hour || p.minute || p.second || p.msec;
  if (wholeZero) return time;
  if (hasTime) return std::string(buf) + " " + time;
  return buf;
}

double TextToDateTime(std::string_view text) {
  try {
    std::string_view rest = trim(text);
    auto number = [](std::string_view part) {
      std::int32_t v;
      part = trim(part);
      if (part.empty() || part.front() == '+' || part.front() == '-' || !TryTextToInt32(part, v))
        throw EConvertError("Invalid DateTime format.");
      return v;
    };
    auto take = [&](char sep) {
      std::size_t i = rest.find(sep);
      std::string_view part = rest.substr(0, i);
      rest = i == rest.npos ? std::string_view{} : trim(rest.substr(i + 1));
      return number(part);
    };
    double result = 0;
    if (rest.find('-') != rest.npos) {
      int y = take('-'), m = take('-'), d = take(' ');
      if (y || m || d) result = EncodeDate(y, m, d);
    }
    if (rest.find(':') != rest.npos) {
      int h = take(':'), n = take(':');
      int s = rest.find('.') != rest.npos ? take('.') : take('\0');
      int z = rest.empty() ? 0 : take('\0');
      double t = EncodeTime(h, n, s, z);
      result = result < 0 ? result - t : result + t;
    } else if (!rest.empty()) {
      throw EConvertError("Invalid DateTime format.");
    }
    return result;
  } catch (const RtcException& e) {
    throw EConvertError(e.message() + "\r\nInvalid date format.");
  }
}

}  // namespace vtx
