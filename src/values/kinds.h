// Value kinds, data-set field types, and the small types the value tree carries.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "util/text.h"

namespace vtx {

enum TRtcValueTypes : int {
  rtc_Null,
  rtc_Variable,
  rtc_Function,
  rtc_Exception,
  rtc_Array,
  rtc_Record,
  rtc_DataSet,
  rtc_Text,
  rtc_String,
  rtc_WideString,
  rtc_Boolean,
  rtc_Integer,
  rtc_Cardinal,
  rtc_LargeInt,
  rtc_Float,
  rtc_Currency,
  rtc_DateTime,
  rtc_ByteStream,
  rtc_Variant
};

enum TRtcFieldTypes : int {
  ft_Unknown,
  ft_String,
  ft_Smallint,
  ft_Integer,
  ft_Word,
  ft_Boolean,
  ft_Float,
  ft_Currency,
  ft_BCD,
  ft_Date,
  ft_Time,
  ft_DateTime,
  ft_Bytes,
  ft_VarBytes,
  ft_AutoInc,
  ft_Blob,
  ft_Memo,
  ft_Graphic,
  ft_FmtMemo,
  ft_ParadoxOle,
  ft_DBaseOle,
  ft_TypedBinary,
  ft_Cursor,
  ft_FixedChar,
  ft_WideString,
  ft_Largeint,
  ft_ADT,
  ft_Array,
  ft_Reference,
  ft_DataSet,
  ft_OraBlob,
  ft_OraClob,
  ft_Variant,
  ft_Interface,
  ft_IDispatch,
  ft_Guid,
  ft_TimeStamp,
  ft_FMTBcd,
  ft_FixedWideChar,
  ft_WideMemo,
  ft_OraTimeStamp,
  ft_OraInterval,
  ft_LongWord,
  ft_Shortint,
  ft_Byte,
  ft_Extended,
  ft_Connection,
  ft_Params,
  ft_Stream,
  ft_TimeStampOffset,
  ft_Object,
  ft_Single
};
constexpr int kFieldTypeCount = ft_Single + 1;

// Field type given to an untyped data-set field by the kind of its first value.
TRtcFieldTypes DefaultFieldType(TRtcValueTypes kind);
// Wire code of a field type ("U", "S", "SI" ...), and back (false for an unknown code).
std::string_view FieldTypeCode(TRtcFieldTypes type);
bool FieldTypeFromCode(std::string_view code, TRtcFieldTypes& type);

// Fixed point: a signed 64-bit count of 1/10000 units.
struct RtcCurrency {
  std::int64_t units = 0;
  static constexpr RtcCurrency fromUnits(std::int64_t u) { return RtcCurrency{u}; }
  double toDouble() const { return static_cast<double>(units) / 10000.0; }
  auto operator<=>(const RtcCurrency&) const = default;
};

// Variant alternatives that need their own meaning.
struct RtcVariantDate {  // a date-time (days since 1899-12-30)
  double days = 0;
  bool operator==(const RtcVariantDate&) const = default;
};
struct RtcOleString {  // the platform's OLE string: stored as WideString
  RtcWideString text;
  bool operator==(const RtcOleString&) const = default;
};

// The platform variant. uint64_t has no value kind and is refused ("Unsupported Variant type.").
using RtcVariant =
    std::variant<std::monostate, bool, std::int8_t, std::uint8_t, std::int16_t, std::uint16_t,
                 std::int32_t, std::uint32_t, std::int64_t, std::uint64_t, float, double,
                 RtcCurrency, RtcVariantDate, RtcOleString, RtcString, RtcWideString>;

// In-memory byte stream with a read/write position.
class RtcMemoryStream {
 public:
  RtcMemoryStream() = default;
  explicit RtcMemoryStream(std::string bytes) : data_(std::move(bytes)) {}
  const std::string& bytes() const { return data_; }
  std::string& bytes() { return data_; }
  std::size_t size() const { return data_.size(); }
  std::size_t position() const { return pos_; }
  void seek(std::size_t pos) { pos_ = pos; }
  // Writes at the position (growing the stream) and moves past the written bytes.
  void write(std::string_view b);
  // Reads up to n bytes from the position.
  std::string read(std::size_t n);
  void clear() { data_.clear(), pos_ = 0; }

 private:
  std::string data_;
  std::size_t pos_ = 0;
};

}  // namespace vtx
