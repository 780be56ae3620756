// Number, currency, boolean and date-time texts of the value tree and its wire text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "values/kinds.h"

namespace vtx {

// False when empty or (upper-cased) "0", "F", "N", "FALSE", "NO"; true otherwise.
bool TextToBoolean(std::string_view text);
// Decimal with an optional sign and surrounding blanks; EConvertError
// "'{text}' is not a valid integer value" when malformed or out of range.
std::int32_t TextToInteger(std::string_view text);
std::uint32_t TextToCardinal(std::string_view text);  // also takes -2^31.. (two's complement)
std::int64_t TextToLargeInt(std::string_view text);
// True and the number when the text is a plain decimal integer in 32-bit signed range.
bool TryTextToInt32(std::string_view text, std::int32_t& value);
// "." as separator, optional exponent; EConvertError "'{text}' is not a valid floating point
// value".
double TextToFloat(std::string_view text);
RtcCurrency TextToCurrency(std::string_view text);
// The date-time text of the wire; failures are EConvertError ending "\r\nInvalid date format.".
double TextToDateTime(std::string_view text);

// Shortest text that reads back to the same double, e.g. "1.5", "-0.25", "1E20", "1.5E-10".
std::string FloatToText(double v);
std::string CurrencyToText(RtcCurrency c);  // "12.5", "-3", "0.0001"
// "2024-5-5 12:30:0.0", "2024-1-31", "6:0:0.0"; EConvertError for values outside years 1..9999.
std::string DateTimeToText(double v);

// Rounding helpers of the conversion table; EConvertError when the result does not fit.
std::int64_t RoundToInt64(double v);          // to nearest, ties to even
std::int64_t TruncToInt64(double v);          // toward zero
RtcCurrency FloatToCurrency(double v);        // v × 10000, rounded
std::int64_t CurrencyToInt64(RtcCurrency c);  // units / 10000, rounded ties to even

}  // namespace vtx
