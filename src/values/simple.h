// Scalar value holders and their conversion table.
#pragma once

#include <cstdint>
#include <memory>

#include "values/object.h"

namespace vtx {

// Base of the scalar holders. Each getter or setter a class does not answer raises
// EConvertError "Can not convert {class} to {target}." / "Can not convert {source} to {class}.".
class TRtcSimpleValue : public TRtcValueObject {
 public:
  TRtcSimpleValue* asSimple() override { return this; }
  void CopyFrom(const TRtcValueObject& from) override;

  virtual bool GetBoolean() const;
  virtual RtcCurrency GetCurrency() const;
  virtual double GetDateTime() const;
  virtual RtcWideString GetException() const;
  virtual RtcWideString GetVarName() const;
  virtual std::int32_t GetInteger() const;
  virtual std::uint32_t GetCardinal() const;
  virtual std::int64_t GetLargeInt() const;
  virtual double GetFloat() const;
  virtual RtcString GetString() const;
  virtual RtcWideString GetWideString() const;
  virtual RtcWideString GetText() const;
  virtual RtcMemoryStream* GetByteStream();
  virtual void SetNull() = 0;
  virtual void SetBoolean(bool v);
  virtual void SetCurrency(RtcCurrency v);
  virtual void SetDateTime(double v);
  virtual void SetException(const RtcWideString& v);
  virtual void SetVarName(const RtcWideString& v);
  virtual void SetInteger(std::int32_t v);
  virtual void SetCardinal(std::uint32_t v);
  virtual void SetLargeInt(std::int64_t v);
  virtual void SetFloat(double v);
  virtual void SetString(const RtcString& v);
  virtual void SetWideString(const RtcWideString& v);
  virtual void SetText(const RtcWideString& v);
  virtual void SetByteStream(const RtcMemoryStream& v);
  virtual RtcVariant GetVariant() const;
  virtual void SetVariant(const RtcVariant& v);

 protected:
  [[noreturn]] void cannotGet(const char* target) const;
  [[noreturn]] void cannotSet(const char* source) const;
};

#define VTX_SCALAR_COMMON(Class, Kind)                       \
  const char* ClassName() const override {                   \
    return #Class;                                           \
  }                                                          \
  TRtcValueTypes GetType() const override {                  \
    return Kind;                                             \
  }                                                          \
  std::unique_ptr<TRtcValueObject> copyOf() const override { \
    auto c = std::make_unique<Class>();                      \
    c->CopyFrom(*this);                                      \
    return c;                                                \
  }                                                          \
  void to_Code(std::string& out) const override;             \
  void readCode(std::string_view s, std::size_t& at, int depth) override;

class TRtcBooleanValue final : public TRtcSimpleValue {
 public:
  VTX_SCALAR_COMMON(TRtcBooleanValue, rtc_Boolean)
  explicit TRtcBooleanValue(bool v = false) : FValue(v) {}
  bool GetBoolean() const override { return FValue; }
  RtcCurrency GetCurrency() const override { return RtcCurrency{FValue ? 10000 : 0}; }
  std::int32_t GetInteger() const override { return FValue ? 1 : 0; }
  double GetFloat() const override { return FValue ? 1.0 : 0.0; }
  RtcString GetString() const override { return FValue ? "T" : "F"; }
  RtcWideString GetText() const override { return FValue ? u"T" : u"F"; }
  RtcWideString GetWideString() const override { return GetText(); }
  void SetNull() override { FValue = false; }
  void SetBoolean(bool v) override { FValue = v; }
  RtcVariant GetVariant() const override { return FValue; }
  bool FValue;
};

// Integer, Cardinal and LargeInt share their behaviour through their 64-bit value.
class TRtcIntegralValue : public TRtcSimpleValue {
 public:
  bool GetBoolean() const override { return wide() != 0; }
  RtcCurrency GetCurrency() const override;
  double GetDateTime() const override { return static_cast<double>(wide()); }
  double GetFloat() const override { return static_cast<double>(wide()); }
  std::int32_t GetInteger() const override { return static_cast<std::int32_t>(wide()); }
  std::uint32_t GetCardinal() const override { return static_cast<std::uint32_t>(wide()); }
  std::int64_t GetLargeInt() const override { return wide(); }
  RtcString GetString() const override { return std::to_string(wide()); }
  RtcWideString GetText() const override { return Widen(GetString()); }
  RtcWideString GetWideString() const override { return GetText(); }
  void SetNull() override { store(0); }
  void SetInteger(std::int32_t v) override { store(v); }
  void SetCardinal(std::uint32_t v) override { store(v); }
  void SetLargeInt(std::int64_t v) override { store(v); }

 protected:
  virtual std::int64_t wide() const = 0;
  virtual void store(std::int64_t v) = 0;
};

class TRtcIntegerValue final : public TRtcIntegralValue {
 public:
  VTX_SCALAR_COMMON(TRtcIntegerValue, rtc_Integer)
  explicit TRtcIntegerValue(std::int32_t v = 0) : FValue(v) {}
  RtcVariant GetVariant() const override { return FValue; }
  std::int32_t FValue;

 protected:
  std::int64_t wide() const override { return FValue; }
  void store(std::int64_t v) override { FValue = static_cast<std::int32_t>(v); }
};

class TRtcCardinalValue final : public TRtcIntegralValue {
 public:
  VTX_SCALAR_COMMON(TRtcCardinalValue, rtc_Cardinal)
  explicit TRtcCardinalValue(std::uint32_t v = 0) : FValue(v) {}
  RtcVariant GetVariant() const override { return FValue; }
  std::uint32_t FValue;

 protected:
  std::int64_t wide() const override { return FValue; }
  void store(std::int64_t v) override { FValue = static_cast<std::uint32_t>(v); }
};

class TRtcLargeIntValue final : public TRtcIntegralValue {
 public:
  VTX_SCALAR_COMMON(TRtcLargeIntValue, rtc_LargeInt)
  explicit TRtcLargeIntValue(std::int64_t v = 0) : FValue(v) {}
  RtcVariant GetVariant() const override { return FValue; }
  std::int64_t FValue;

 protected:
  std::int64_t wide() const override { return FValue; }
  void store(std::int64_t v) override { FValue = v; }
};

class TRtcFloatValue final : public TRtcSimpleValue {
 public:
  VTX_SCALAR_COMMON(TRtcFloatValue, rtc_Float)
  explicit TRtcFloatValue(double v = 0) : FValue(v) {}
  bool GetBoolean() const override { return FValue != 0; }
  RtcCurrency GetCurrency() const override;
  double GetDateTime() const override { return FValue; }
  double GetFloat() const override { return FValue; }
  std::int32_t GetInteger() const override { return static_cast<std::int32_t>(GetLargeInt()); }
  std::uint32_t GetCardinal() const override { return static_cast<std::uint32_t>(GetLargeInt()); }
  std::int64_t GetLargeInt() const override;
  RtcString GetString() const override;
  RtcWideString GetText() const override { return Widen(GetString()); }
  RtcWideString GetWideString() const override { return GetText(); }
  void SetNull() override { FValue = 0; }
  void SetFloat(double v) override { FValue = v; }
  RtcVariant GetVariant() const override { return FValue; }
  double FValue;
};

class TRtcCurrencyValue final : public TRtcSimpleValue {
 public:
  VTX_SCALAR_COMMON(TRtcCurrencyValue, rtc_Currency)
  explicit TRtcCurrencyValue(RtcCurrency v = {}) : FValue(v) {}
  bool GetBoolean() const override { return FValue.units != 0; }
  RtcCurrency GetCurrency() const override { return FValue; }
  double GetDateTime() const override { return FValue.toDouble(); }
  double GetFloat() const override { return FValue.toDouble(); }
  std::int32_t GetInteger() const override { return static_cast<std::int32_t>(GetLargeInt()); }
  std::uint32_t GetCardinal() const override { return static_cast<std::uint32_t>(GetLargeInt()); }
  std::int64_t GetLargeInt() const override;
  RtcString GetString() const override;
  RtcWideString GetText() const override { return Widen(GetString()); }
  RtcWideString GetWideString() const override { return GetText(); }
  void SetNull() override { FValue = {}; }
  void SetCurrency(RtcCurrency v) override { FValue = v; }
  RtcVariant GetVariant() const override { return FValue; }
  RtcCurrency FValue;
};

class TRtcDateTimeValue final : public TRtcSimpleValue {
 public:
  VTX_SCALAR_COMMON(TRtcDateTimeValue, rtc_DateTime)
  explicit TRtcDateTimeValue(double v = 0) : FValue(v) {}
  bool GetBoolean() const override { return FValue != 0; }
  RtcCurrency GetCurrency() const override;
  double GetDateTime() const override { return FValue; }
  double GetFloat() const override { return FValue; }
  std::int32_t GetInteger() const override { return static_cast<std::int32_t>(GetLargeInt()); }
  std::uint32_t GetCardinal() const override { return static_cast<std::uint32_t>(GetLargeInt()); }
  std::int64_t GetLargeInt() const override;
  RtcString GetString() const override;
  RtcWideString GetText() const override { return Widen(GetString()); }
  RtcWideString GetWideString() const override { return GetText(); }
  void SetNull() override { FValue = 0; }
  void SetDateTime(double v) override { FValue = v; }
  RtcVariant GetVariant() const override { return RtcVariantDate{FValue}; }
  double FValue;
};

// Parsing getters shared by the three text holders.
class TRtcParsingValue : public TRtcSimpleValue {
 public:
  bool GetBoolean() const override;
  RtcCurrency GetCurrency() const override;
  double GetDateTime() const override;
  std::int32_t GetInteger() const override;
  std::uint32_t GetCardinal() const override;
  std::int64_t GetLargeInt() const override;
  double GetFloat() const override;

 protected:
  virtual RtcString parseText() const = 0;
};

class TRtcStringValue final : public TRtcParsingValue {
 public:
  VTX_SCALAR_COMMON(TRtcStringValue, rtc_String)
  explicit TRtcStringValue(RtcString v = {}) : FValue(std::move(v)) {}
  std::size_t codeSizeHint() const override { return FValue.size() + 16; }
  RtcString GetString() const override { return FValue; }
  RtcWideString GetText() const override { return Widen(FValue); }
  RtcWideString GetWideString() const override { return Widen(FValue); }
  void SetNull() override { FValue.clear(); }
  void SetString(const RtcString& v) override { FValue = v; }
  RtcVariant GetVariant() const override { return FValue; }
  RtcString FValue;

 protected:
  RtcString parseText() const override { return FValue; }
};

// Text and WideString: UTF-16 text; SetString decodes the bytes as UTF-8.
class TRtcWideTextValue : public TRtcParsingValue {
 public:
  std::size_t codeSizeHint() const override { return FValue.size() * 3 + 16; }
  RtcString GetString() const override { return Narrow(FValue); }
  RtcWideString GetText() const override { return FValue; }
  RtcWideString GetWideString() const override { return FValue; }
  void SetNull() override { FValue.clear(); }
  void SetString(const RtcString& v) override { FValue = Utf8Decode(v); }
  void SetText(const RtcWideString& v) override { FValue = v; }
  void SetWideString(const RtcWideString& v) override { FValue = v; }
  RtcWideString FValue;

 protected:
  RtcString parseText() const override { return Narrow(FValue); }
};

class TRtcTextValue final : public TRtcWideTextValue {
 public:
  VTX_SCALAR_COMMON(TRtcTextValue, rtc_Text)
  explicit TRtcTextValue(RtcWideString v = {}) { FValue = std::move(v); }
  RtcVariant GetVariant() const override { return FValue; }
};

class TRtcWideStringValue final : public TRtcWideTextValue {
 public:
  VTX_SCALAR_COMMON(TRtcWideStringValue, rtc_WideString)
  explicit TRtcWideStringValue(RtcWideString v = {}) { FValue = std::move(v); }
  RtcVariant GetVariant() const override { return RtcOleString{FValue}; }
};

class TRtcExceptionValue final : public TRtcSimpleValue {
 public:
  VTX_SCALAR_COMMON(TRtcExceptionValue, rtc_Exception)
  explicit TRtcExceptionValue(RtcWideString v = {}) : FValue(std::move(v)) {}
  RtcWideString GetException() const override { return FValue; }
  RtcString GetString() const override { return Narrow(FValue); }
  RtcWideString GetText() const override { return FValue; }
  RtcWideString GetWideString() const override { return FValue; }
  void SetNull() override { FValue.clear(); }
  void SetException(const RtcWideString& v) override { FValue = v; }
  RtcVariant GetVariant() const override { return FValue; }
  RtcWideString FValue;
};

class TRtcVariableName final : public TRtcSimpleValue {
 public:
  VTX_SCALAR_COMMON(TRtcVariableName, rtc_Variable)
  explicit TRtcVariableName(RtcWideString v = {}) : FValue(std::move(v)) {}
  RtcWideString GetVarName() const override { return FValue; }
  RtcString GetString() const override { return Narrow(FValue); }
  RtcWideString GetText() const override { return FValue; }
  RtcWideString GetWideString() const override { return FValue; }
  void SetNull() override { FValue.clear(); }
  void SetVarName(const RtcWideString& v) override { FValue = v; }
  RtcVariant GetVariant() const override { return FValue; }
  RtcWideString FValue;
};

// Owns its stream. Assigning a stream copies its bytes and carries over its position.
class TRtcByteStream final : public TRtcSimpleValue {
 public:
  VTX_SCALAR_COMMON(TRtcByteStream, rtc_ByteStream)
  std::size_t codeSizeHint() const override { return (FValue ? FValue->size() : 0) + 16; }
  RtcMemoryStream* GetByteStream() override;
  RtcString GetString() const override { return FValue ? FValue->bytes() : RtcString{}; }
  RtcWideString GetText() const override { return Widen(GetString()); }
  RtcWideString GetWideString() const override { return GetText(); }
  void SetNull() override { FValue.reset(); }
  void SetByteStream(const RtcMemoryStream& v) override;
  // Hands the stream to the caller (for Extract).
  std::unique_ptr<RtcMemoryStream> ExtractStream() { return std::move(FValue); }
  std::unique_ptr<RtcMemoryStream> FValue;
};

#undef VTX_SCALAR_COMMON

}  // namespace vtx
