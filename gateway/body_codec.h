// zlib pieces of the remote-call body: a compressed body is the zlib stream followed by one
// 0x00 byte. Bodies shorter than 256 bytes are never compressed, and the compressed form is
// used only when it is at least 2 bytes shorter than the text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vtx::gateway {

enum class Compression { None, Fast, Default, Max };

inline constexpr std::size_t kMinCompressedBody = 256;

// zlib stream (window 15, memory level 8, default strategy) at the level's zlib setting.
std::string Deflate(std::string_view text, Compression level);

// Inflates a zlib stream; none when it is damaged, incomplete, followed by extra bytes or would
// grow beyond `limit` bytes.
std::optional<std::string> Inflate(std::string_view data, std::size_t limit);
// The same; `tooLarge` says whether it failed for the limit rather than for damage.
std::optional<std::string> Inflate(std::string_view data, std::size_t limit, bool& tooLarge);

// The body text as sent: compressed with the 0x00 mark when the rule above allows, else as is.
std::string CompressBody(std::string text, Compression level);

}  // namespace vtx::gateway
