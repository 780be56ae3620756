#include "values/wire.h"

#include "util/exceptions.h"
#include "values/containers.h"
#include "values/info.h"
#include "values/simple.h"

namespace vtx {

std::unique_ptr<TRtcValueObject> ObjectFromType(int kind) {
  switch (kind) {
    case rtc_Null:
      return nullptr;
    case rtc_Variable:
      return std::make_unique<TRtcVariableName>();
    case rtc_Function:
      return std::make_unique<TRtcFunctionInfo>();
    case rtc_Exception:
      return std::make_unique<TRtcExceptionValue>();
    case rtc_Array:
      return std::make_unique<TRtcArray>();
    case rtc_Record:
      return std::make_unique<TRtcRecord>();
    case rtc_DataSet:
      return std::make_unique<TRtcDataSet>();
    case rtc_Text:
      return std::make_unique<TRtcTextValue>();
    case rtc_String:
      return std::make_unique<TRtcStringValue>();
    case rtc_WideString:
      return std::make_unique<TRtcWideStringValue>();
    case rtc_Boolean:
      return std::make_unique<TRtcBooleanValue>();
    case rtc_Integer:
      return std::make_unique<TRtcIntegerValue>();
    case rtc_Cardinal:
      return std::make_unique<TRtcCardinalValue>();
    case rtc_LargeInt:
      return std::make_unique<TRtcLargeIntValue>();
    case rtc_Float:
      return std::make_unique<TRtcFloatValue>();
    case rtc_Currency:
      return std::make_unique<TRtcCurrencyValue>();
    case rtc_DateTime:
      return std::make_unique<TRtcDateTimeValue>();
    case rtc_ByteStream:
      return std::make_unique<TRtcByteStream>();
    case rtc_Variant:
      return std::make_unique<TRtcValue>();
    default:
      throw ERtcInfo("Unsupported object type in function ObjectFromType.");
  }
}

namespace wire {

void checkDepth(int depth) {
  if (depth > kMaxDepth) throw ERtcInfo("Value nesting too deep.");
}

namespace {
void checkType(std::string_view s, std::size_t at, std::string_view code) {
  if (s.size() - at < code.size() + 1) throw ERtcInfo("Not enough data to include type info.");
  if (s.compare(at, code.size(), code) != 0)
    throw ERtcInfo("Expected object type specifier not found.");
  if (s[at + code.size()] != '=') throw ERtcInfo("End Mark not found.");
}
}  // namespace

std::string_view readPlain(std::string_view s, std::size_t& at, std::string_view code) {
  if (at >= s.size()) throw ERtcInfo("No more data. Starting position beyond end-of-String.");
  checkType(s, at, code);
  std::size_t b = at + code.size() + 1;
  std::size_t e = s.find(';', b);
  if (e == s.npos) throw ERtcInfo("END-MARK missing.");
  at = e + 1;
  return s.substr(b, e - b);
}

std::string_view readCounted(std::string_view s, std::size_t& at, std::string_view code) {
  if (at >= s.size()) throw ERtcInfo("No more data. Starting position beyond end-of-AnsiString.");
  checkType(s, at, code);
  std::size_t b = at + code.size() + 1;
  if (b < s.size() && s[b] == ';') {
    at = b + 1;
    return {};
  }
  std::size_t q = s.find('"', b);
  if (q == s.npos) throw ERtcInfo("String START-MARK missing.");
  std::uint64_t len = 0;
  if (q == b || q - b > 10) throw ERtcInfo("Length value missing.");
  for (std::size_t i = b; i < q; ++i) {
    if (s[i] < '0' || s[i] > '9') throw ERtcInfo("Length value missing.");
    len = len * 10 + static_cast<unsigned>(s[i] - '0');
  }
  if (len > 0x7FFFFFFF) throw ERtcInfo("Length value missing.");
  std::size_t d = q + 1;
  if (s.size() - d < len + 2) throw ERtcInfo("Not enough data.");
  if (s[d + len] != '"') throw ERtcInfo("String END-MARK missing.");
  if (s[d + len + 1] != ';') throw ERtcInfo("COMMAND END-MARK missing.");
  at = d + len + 2;
  return s.substr(d, len);
}

std::string_view readUpTo(std::string_view s, std::size_t& at, char mark, const char* error) {
  std::size_t e = at <= s.size() ? s.find(mark, at) : s.npos;
  if (e == s.npos) throw ERtcInfo(error);
  std::string_view out = s.substr(at, e - at);
  at = e + 1;
  return out;
}

std::string_view peekCode(std::string_view s, std::size_t at) {
  std::size_t e = at < s.size() ? s.find('=', at) : s.npos;
  if (e == s.npos) throw ERtcInfo("Object type specifier not found.");
  return s.substr(at, e - at);
}

namespace {
int kindOfCode(std::string_view c) {
  if (c.size() == 1) {
    switch (c[0]) {
      case 'B':
        return rtc_Boolean;
      case 'C':
        return rtc_Currency;
      case 'D':
        return rtc_DateTime;
      case 'E':
        return rtc_Exception;
      case 'F':
        return rtc_Float;
      case 'I':
        return rtc_Integer;
      case 'K':
        return rtc_Cardinal;
      case 'L':
        return rtc_LargeInt;
      case 'S':
        return rtc_String;
      case 'T':
        return rtc_Text;
      case 'V':
        return rtc_Variable;
      case 'W':
        return rtc_WideString;
      case 'X':
        return rtc_Null;
    }
  } else if (c == "AR") {
    return rtc_Array;
  } else if (c == "BS") {
    return rtc_ByteStream;
  } else if (c == "DS") {
    return rtc_DataSet;
  } else if (c == "FC") {
    return rtc_Function;
  } else if (c == "RE") {
    return rtc_Record;
  }
  return -1;
}
}  // namespace

std::unique_ptr<TRtcValueObject> readItem(std::string_view s, std::size_t& at, int depth) {
  std::string_view code = peekCode(s, at);
  int kind = kindOfCode(code);
  if (kind < 0) throw ERtcInfo("Unknown object type specifier \"" + std::string(s) + "\".");
  if (kind == rtc_Null) {
    readUpTo(s, at, ';', "END-MARK missing.");
    return nullptr;
  }
  auto obj = ObjectFromType(kind);
  obj->readCode(s, at, depth);
  return obj;
}

void writePlain(std::string& out, std::string_view code, std::string_view payload) {
  out.append(code);
  out.push_back('=');
  out.append(payload);
  out.push_back(';');
}

void writeCounted(std::string& out, std::string_view code, std::string_view data) {
  if (data.empty()) {
    out.append(code);
    out.append("=;");
    return;
  }
  writeCountedHead(out, code, data.size());
  out.append(data);
  writeCountedTail(out);
}

void writeCountedHead(std::string& out, std::string_view code, std::size_t length) {
  out.append(code);
  out.push_back('=');
  out.append(std::to_string(length));
  out.push_back('"');
}

void writeCountedTail(std::string& out) {
  out.append("\";");
}

void writeItem(std::string& out, const TRtcValueObject* v) {
  if (v)
    v->to_Code(out);
  else
    out.append("X=;");
}

}  // namespace wire
}  // namespace vtx
