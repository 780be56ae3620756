// Decoding of reply bodies into UTF-8 by the character set their content type names.
#pragma once

#include <string>
#include <string_view>

namespace vtx {

// The "charset" parameter of a Content-Type value, lower-cased and unquoted; empty when absent.
std::string CharsetDe(std::string_view contentType);

// The body as UTF-8 text.
// - "utf-8"/"utf8": kept; invalid sequences become U+FFFD.
// - "iso-8859-1", "latin1", "windows-1252", "cp1252" (all read as Windows-1252, as browsers do),
//   "iso-8859-15", "us-ascii" (bytes above 127 read as Windows-1252).
// - no charset: UTF-8 when the bytes are valid UTF-8, else Windows-1252.
// - any other charset throws EWebServico naming it.
std::string DecodificaTexto(std::string_view corpo, std::string_view contentType);

bool Utf8Valido(std::string_view bytes);

}  // namespace vtx
