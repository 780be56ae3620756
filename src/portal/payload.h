// Message payloads: the zlib streams that carry the wire text of the portal's messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vtx {

enum class TrtcpCompressLevel { rtcpCompNormal, rtcpCompMax, rtcpCompFast, rtcpCompOff };

// The zlib level of a setting: -1 (default), 9, 1 or 0 (stored, still a zlib stream).
int ZlibLevel(TrtcpCompressLevel level);

// The level for content that is packed already: fast, or off when `level` is off.
TrtcpCompressLevel PackedLevel(TrtcpCompressLevel level);
// Of two levels, the one that costs less time.
TrtcpCompressLevel CheaperLevel(TrtcpCompressLevel a, TrtcpCompressLevel b);

// A zlib stream of `data`.
std::string CompressPayload(std::string_view data, TrtcpCompressLevel level);
// The inflated stream; ERtcInfo "Invalid compressed data." when `data` is no complete zlib
// stream, or "Compressed data too large." beyond `limit` bytes.
std::string DecompressPayload(std::string_view data, std::size_t limit = 64u << 20);

}  // namespace vtx
