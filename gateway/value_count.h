// Counts the values of call code text without building them, so that a request whose values
// would take far more memory than its bytes can be refused first.
#pragma once

#include <cstddef>
#include <string_view>

namespace vtx::gateway {

// The values (items of any kind, containers and nulls included) in `text`, counting stops once
// past `stopAfter`. Text that does not read stops the count where it fails: the reader proper
// reports it.
std::size_t CountValues(std::string_view text, std::size_t stopAfter);

// Whether every item of `text` reads within the reader's nesting limit when the text's items
// sit `depth` levels deep in a larger value (text that does not read is the reader's to refuse).
bool ReadsNestedAt(std::string_view text, int depth);

}  // namespace vtx::gateway
