#include "gateway/body_codec.h"

#include <zlib.h>

#include <stdexcept>

namespace vtx::gateway {

namespace {
int zlibLevel(Compression level) {
  switch (level) {
    case Compression::Fast:
      return 1;
    case Compression::Max:
      return 9;
    default:
      return Z_DEFAULT_COMPRESSION;
  }
}
}  // namespace

std::string Deflate(std::string_view text, Compression level) {
  z_stream z{};
  if (deflateInit2(&z, zlibLevel(level), Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::bad_alloc();
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

std::optional<std::string> Inflate(std::string_view data, std::size_t limit) {
  bool tooLarge = false;
  return Inflate(data, limit, tooLarge);
}

std::optional<std::string> Inflate(std::string_view data, std::size_t limit, bool& tooLarge) {
  tooLarge = false;
  z_stream z{};
  if (inflateInit2(&z, 15) != Z_OK) return std::nullopt;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char chunk[16384];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    rc = inflate(&z, Z_NO_FLUSH);
    const std::size_t produced = sizeof chunk - z.avail_out;
    if (out.size() + produced > limit) {
      tooLarge = true;
      rc = Z_MEM_ERROR;
      break;
    }
    out.append(chunk, produced);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;  // input ended before the stream did
  }
  const bool whole = rc == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  if (!whole) return std::nullopt;
  return out;
}

std::string CompressBody(std::string text, Compression level) {
  if (level == Compression::None || text.size() < kMinCompressedBody) return text;
  std::string packed = Deflate(text, level);
  if (packed.size() + 1 >= text.size()) return text;
  packed.push_back('\0');
  return packed;
}

}  // namespace vtx::gateway
