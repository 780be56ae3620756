#include "values/simple.h"

#include "util/exceptions.h"
#include "values/convert.h"
#include "values/wire.h"

namespace vtx {

void TRtcSimpleValue::cannotGet(const char* target) const {
  throw EConvertError(std::string("Can not convert ") + ClassName() + " to " + target + ".");
}
void TRtcSimpleValue::cannotSet(const char* source) const {
  throw EConvertError(std::string("Can not convert ") + source + " to " + ClassName() + ".");
}

void TRtcSimpleValue::CopyFrom(const TRtcValueObject& from) {
  // Scalars copy through their code text's meaning: same class, same value.
  auto* s = from.asSimple();
  if (!s || s->GetType() != GetType()) throw ERtcInfo("Can not copy from a different class.");
  switch (GetType()) {
    case rtc_ByteStream:
      if (auto* bs = const_cast<TRtcSimpleValue*>(s)->GetByteStream()) SetByteStream(*bs);
      break;
    case rtc_Exception:
      SetException(s->GetException());
      break;
    case rtc_Variable:
      SetVarName(s->GetVarName());
      break;
    case rtc_Text:
    case rtc_WideString:
      SetText(s->GetText());
      break;
    case rtc_String:
      SetString(s->GetString());
      break;
    case rtc_Boolean:
      SetBoolean(s->GetBoolean());
      break;
    case rtc_Float:
      SetFloat(s->GetFloat());
      break;
    case rtc_DateTime:
      SetDateTime(s->GetDateTime());
      break;
    case rtc_Currency:
      SetCurrency(s->GetCurrency());
      break;
    default:
      SetLargeInt(s->GetLargeInt());
      break;
  }
}

bool TRtcSimpleValue::GetBoolean() const {
  cannotGet("Boolean");
}
RtcCurrency TRtcSimpleValue::GetCurrency() const {
  cannotGet("Currency");
}
double TRtcSimpleValue::GetDateTime() const {
  cannotGet("TDateTime");
}
RtcWideString TRtcSimpleValue::GetException() const {
  cannotGet("TRtcExceptionValue");
}
RtcWideString TRtcSimpleValue::GetVarName() const {
  cannotGet("TRtcVariableName");
}
std::int32_t TRtcSimpleValue::GetInteger() const {
  cannotGet("Integer");
}
std::uint32_t TRtcSimpleValue::GetCardinal() const {
  return static_cast<std::uint32_t>(GetInteger());
}
std::int64_t TRtcSimpleValue::GetLargeInt() const {
  return GetInteger();
}
double TRtcSimpleValue::GetFloat() const {
  cannotGet("Float");
}
RtcString TRtcSimpleValue::GetString() const {
  cannotGet("AnsiString");
}
RtcWideString TRtcSimpleValue::GetWideString() const {
  cannotGet("WideString");
}
RtcWideString TRtcSimpleValue::GetText() const {
  cannotGet("Text");
}
RtcMemoryStream* TRtcSimpleValue::GetByteStream() {
  cannotGet("TStream");
}
void TRtcSimpleValue::SetBoolean(bool) {
  cannotSet("Boolean");
}
void TRtcSimpleValue::SetCurrency(RtcCurrency) {
  cannotSet("Currency");
}
void TRtcSimpleValue::SetDateTime(double) {
  cannotSet("TDateTime");
}
void TRtcSimpleValue::SetException(const RtcWideString&) {
  cannotSet("TRtcExceptionValue");
}
void TRtcSimpleValue::SetVarName(const RtcWideString&) {
  cannotSet("TRtcVariableName");
}
void TRtcSimpleValue::SetInteger(std::int32_t) {
  cannotSet("Integer");
}
void TRtcSimpleValue::SetCardinal(std::uint32_t v) {
  SetInteger(static_cast<std::int32_t>(v));
}
void TRtcSimpleValue::SetLargeInt(std::int64_t v) {
  SetInteger(static_cast<std::int32_t>(v));
}
void TRtcSimpleValue::SetFloat(double) {
  cannotSet("Float");
}
void TRtcSimpleValue::SetString(const RtcString&) {
  cannotSet("AnsiString");
}
void TRtcSimpleValue::SetWideString(const RtcWideString& v) {
  SetString(Utf8Encode(v));
}
void TRtcSimpleValue::SetText(const RtcWideString& v) {
  SetString(Utf8Encode(v));
}
void TRtcSimpleValue::SetByteStream(const RtcMemoryStream&) {
  cannotSet("TStream");
}
RtcVariant TRtcSimpleValue::GetVariant() const {
  cannotGet("Variant");
}
void TRtcSimpleValue::SetVariant(const RtcVariant&) {
  cannotSet("Variant");
}

RtcCurrency TRtcIntegralValue::GetCurrency() const {
  std::int64_t v = wide();
  if (v > INT64_MAX / 10000 || v < INT64_MIN / 10000)
    throw EConvertError("Invalid floating point operation");
  return RtcCurrency{v * 10000};
}

RtcCurrency TRtcFloatValue::GetCurrency() const {
  return FloatToCurrency(FValue);
}
std::int64_t TRtcFloatValue::GetLargeInt() const {
  return RoundToInt64(FValue);
}
RtcString TRtcFloatValue::GetString() const {
  return FloatToText(FValue);
}

std::int64_t TRtcCurrencyValue::GetLargeInt() const {
  return CurrencyToInt64(FValue);
}
RtcString TRtcCurrencyValue::GetString() const {
  return CurrencyToText(FValue);
}

RtcCurrency TRtcDateTimeValue::GetCurrency() const {
  return FloatToCurrency(FValue);
}
std::int64_t TRtcDateTimeValue::GetLargeInt() const {
  return TruncToInt64(FValue);
}
RtcString TRtcDateTimeValue::GetString() const {
  return DateTimeToText(FValue);
}

bool TRtcParsingValue::GetBoolean() const {
  return TextToBoolean(parseText());
}
RtcCurrency TRtcParsingValue::GetCurrency() const {
  auto t = parseText();
  return t.empty() ? RtcCurrency{} : TextToCurrency(t);
}
double TRtcParsingValue::GetDateTime() const {
  auto t = parseText();
  return t.empty() ? 0.0 : TextToDateTime(t);
}
std::int32_t TRtcParsingValue::GetInteger() const {
  auto t = parseText();
  return t.empty() ? 0 : TextToInteger(t);
}
std::uint32_t TRtcParsingValue::GetCardinal() const {
  auto t = parseText();
  return t.empty() ? 0 : TextToCardinal(t);
}
std::int64_t TRtcParsingValue::GetLargeInt() const {
  auto t = parseText();
  return t.empty() ? 0 : TextToLargeInt(t);
}
double TRtcParsingValue::GetFloat() const {
  auto t = parseText();
  return t.empty() ? 0.0 : TextToFloat(t);
}

RtcMemoryStream* TRtcByteStream::GetByteStream() {
  if (!FValue) FValue = std::make_unique<RtcMemoryStream>();
  return FValue.get();
}
void TRtcByteStream::SetByteStream(const RtcMemoryStream& v) {
  auto s = std::make_unique<RtcMemoryStream>(v.bytes());
  s->seek(v.position());
  FValue = std::move(s);
}

// ---- code text of the scalars ----

void TRtcBooleanValue::to_Code(std::string& out) const {
  wire::writePlain(out, "B", FValue ? "T" : "");
}
void TRtcBooleanValue::readCode(std::string_view s, std::size_t& at, int) {
  FValue = TextToBoolean(wire::readPlain(s, at, "B"));
}

namespace {
template <class T, class Parse>
void readNumber(std::string_view s, std::size_t& at, std::string_view code, T& out, Parse p) {
  auto payload = wire::readPlain(s, at, code);
  out = payload.empty() ? T{} : p(payload);
}
}  // namespace

void TRtcIntegerValue::to_Code(std::string& out) const {
  wire::writePlain(out, "I", FValue ? std::to_string(FValue) : std::string());
}
void TRtcIntegerValue::readCode(std::string_view s, std::size_t& at, int) {
  readNumber(s, at, "I", FValue, TextToInteger);
}
void TRtcCardinalValue::to_Code(std::string& out) const {
  wire::writePlain(out, "K", FValue ? std::to_string(FValue) : std::string());
}
void TRtcCardinalValue::readCode(std::string_view s, std::size_t& at, int) {
  readNumber(s, at, "K", FValue, TextToCardinal);
}
void TRtcLargeIntValue::to_Code(std::string& out) const {
  wire::writePlain(out, "L", FValue ? std::to_string(FValue) : std::string());
}
void TRtcLargeIntValue::readCode(std::string_view s, std::size_t& at, int) {
  readNumber(s, at, "L", FValue, TextToLargeInt);
}
void TRtcFloatValue::to_Code(std::string& out) const {
  wire::writePlain(out, "F", FValue != 0 ? FloatToText(FValue) : std::string());
}
void TRtcFloatValue::readCode(std::string_view s, std::size_t& at, int) {
  readNumber(s, at, "F", FValue, TextToFloat);
}
void TRtcCurrencyValue::to_Code(std::string& out) const {
  wire::writePlain(out, "C", FValue.units ? CurrencyToText(FValue) : std::string());
}
void TRtcCurrencyValue::readCode(std::string_view s, std::size_t& at, int) {
  readNumber(s, at, "C", FValue, TextToCurrency);
}
void TRtcDateTimeValue::to_Code(std::string& out) const {
  wire::writePlain(out, "D", FValue != 0 ? DateTimeToText(FValue) : std::string());
}
void TRtcDateTimeValue::readCode(std::string_view s, std::size_t& at, int) {
  readNumber(s, at, "D", FValue, TextToDateTime);
}

void TRtcStringValue::to_Code(std::string& out) const {
  wire::writeCounted(out, "S", FValue);
}
void TRtcStringValue::readCode(std::string_view s, std::size_t& at, int) {
  FValue = wire::readCounted(s, at, "S");
}
void TRtcTextValue::to_Code(std::string& out) const {
  wire::writeCounted(out, "T", Utf8Encode(FValue));
}
void TRtcTextValue::readCode(std::string_view s, std::size_t& at, int) {
  FValue = Utf8Decode(wire::readCounted(s, at, "T"));
}
void TRtcWideStringValue::to_Code(std::string& out) const {
  wire::writeCounted(out, "W", ToUtf16LE(FValue));
}
void TRtcWideStringValue::readCode(std::string_view s, std::size_t& at, int) {
  FValue = FromUtf16LE(wire::readCounted(s, at, "W"));
}
void TRtcExceptionValue::to_Code(std::string& out) const {
  wire::writeCounted(out, "E", Utf8Encode(FValue));
}
void TRtcExceptionValue::readCode(std::string_view s, std::size_t& at, int) {
  FValue = Utf8Decode(wire::readCounted(s, at, "E"));
}
void TRtcVariableName::to_Code(std::string& out) const {
  wire::writeCounted(out, "V", Utf8Encode(FValue));
}
void TRtcVariableName::readCode(std::string_view s, std::size_t& at, int) {
  FValue = Utf8Decode(wire::readCounted(s, at, "V"));
}
void TRtcByteStream::to_Code(std::string& out) const {
  wire::writeCounted(out, "BS", FValue ? std::string_view(FValue->bytes()) : std::string_view());
}
void TRtcByteStream::readCode(std::string_view s, std::size_t& at, int) {
  auto data = wire::readCounted(s, at, "BS");
  FValue = std::make_unique<RtcMemoryStream>(std::string(data));
}

}  // namespace vtx
