// Small byte-string helpers shared by the HTTP objects.
#pragma once

#include <string>
#include <string_view>

namespace vtx {

// ASCII upper-casing; other bytes stay as they are.
std::string httpUpper(std::string_view s);
// Strips spaces and control characters (bytes 0..32) from both ends.
std::string httpTrim(std::string_view s);

// Percent-encodes every byte outside "$()*,-./0-9:@A-Z_a-z"; a space becomes "+". With
// keepQuerySeparators the bytes "&;=?" are copied unchanged too.
std::string URL_Encode(std::string_view s, bool keepQuerySeparators = false);

}  // namespace vtx
