// Byte strings and UTF-16 text, and the conversions the wire text uses between them.
#pragma once

#include <string>
#include <string_view>

namespace vtx {

using RtcString = std::string;         // 8-bit byte string
using RtcWideString = std::u16string;  // UTF-16 text

// Encodes each UTF-16 unit on its own (1 to 3 bytes); surrogate halves stay separate.
std::string Utf8Encode(std::u16string_view text);
void Utf8EncodeTo(std::u16string_view text, std::string& out);
// Reverses Utf8Encode; a standard four-byte sequence gives its surrogate pair. A cut-short
// sequence or a bad continuation byte gives empty text.
std::u16string Utf8Decode(std::string_view bytes);
// Standard UTF-8 for people and JSON: a surrogate pair becomes one four-byte sequence (the wire
// form, Utf8Encode, writes each unit on its own).
std::string Utf8EncodeStandard(std::u16string_view text);

// The 8-bit code page is Latin-1: widening maps each byte to the unit of the same value;
// narrowing maps units above 0xFF to '?'.
std::u16string Widen(std::string_view bytes);
std::string Narrow(std::u16string_view text);

// UTF-16 little-endian bytes and back (an odd trailing byte is ignored).
std::string ToUtf16LE(std::u16string_view text);
std::u16string FromUtf16LE(std::string_view bytes);

// Folds a-z to A-Z only.
std::string UpperCaseAscii(std::string_view s);
std::u16string UpperCaseAscii(std::u16string_view s);
bool SameTextAscii(std::u16string_view a, std::u16string_view b);

}  // namespace vtx
