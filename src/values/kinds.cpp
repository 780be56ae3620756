#include "values/kinds.h"

#include <algorithm>

namespace vtx {
namespace {
constexpr std::string_view kFieldCodes[kFieldTypeCount] = {
    "U",  "S",  "SI", "I",  "WI", "B",  "F",  "C",  "BC", "DD", "T",  "D",  "BY",
    "VB", "AI", "O",  "M",  "G",  "FM", "PO", "DO", "TB", "CU", "FC", "W",  "L",
    "AD", "AR", "RF", "DS", "OB", "OC", "V",  "IT", "ID", "GU", "DT", "FB", "WC",
    "WM", "OT", "OI", "WL", "SH", "BB", "FE", "CO", "PA", "ST", "TO", "OJ", "SN"};
constexpr TRtcFieldTypes kDefaultTypes[rtc_Variant + 1] = {
    ft_Unknown, ft_Unknown,  ft_Unknown,    ft_String,  ft_Array,   ft_ADT,      ft_DataSet,
    ft_String,  ft_String,   ft_WideString, ft_Boolean, ft_Integer, ft_Largeint, ft_Largeint,
    ft_Float,   ft_Currency, ft_DateTime,   ft_Blob,    ft_Unknown};
}  // namespace

TRtcFieldTypes DefaultFieldType(TRtcValueTypes kind) {
  return kind >= rtc_Null && kind <= rtc_Variant ? kDefaultTypes[kind] : ft_Unknown;
}

std::string_view FieldTypeCode(TRtcFieldTypes type) {
  return type >= 0 && type < kFieldTypeCount ? kFieldCodes[type] : kFieldCodes[0];
}

bool FieldTypeFromCode(std::string_view code, TRtcFieldTypes& type) {
  for (int i = 0; i < kFieldTypeCount; ++i)
    if (kFieldCodes[i] == code) {
      type = static_cast<TRtcFieldTypes>(i);
      return true;
    }
  return false;
}

void RtcMemoryStream::write(std::string_view b) {
  if (pos_ > data_.size()) data_.resize(pos_);
  std::size_t overlap = std::min(b.size(), data_.size() - pos_);
  data_.replace(pos_, overlap, b);
  pos_ += b.size();
}

std::string RtcMemoryStream::read(std::size_t n) {
  if (pos_ >= data_.size()) return {};
  std::string out = data_.substr(pos_, n);
  pos_ += out.size();
  return out;
}

}  // namespace vtx
