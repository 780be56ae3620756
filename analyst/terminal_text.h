// Text from the host made safe for the analyst's terminal.
#pragma once

#include <string>
#include <string_view>

namespace vtx::analyst {

// `text` with every control character shown instead of acted on: C0 and DEL as "^X" ("^[" for
// ESC, "^?" for DEL), C1 (U+0080..U+009F) as "<U+0085>", and bytes that are not UTF-8 as
// "<xNN>". Tab stays.
std::string Visible(std::string_view text);

}  // namespace vtx::analyst
