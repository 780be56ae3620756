#include "portal/payload.h"

#include <zlib.h>

#include "util/exceptions.h"

namespace vtx {

int ZlibLevel(TrtcpCompressLevel level) {
  switch (level) {
    case TrtcpCompressLevel::rtcpCompMax:
      return 9;
    case TrtcpCompressLevel::rtcpCompFast:
      return 1;
    case TrtcpCompressLevel::rtcpCompOff:
      return 0;
    case TrtcpCompressLevel::rtcpCompNormal:
      break;
  }
  return Z_DEFAULT_COMPRESSION;
}

TrtcpCompressLevel PackedLevel(TrtcpCompressLevel level) {
  return level == TrtcpCompressLevel::rtcpCompOff ? level : TrtcpCompressLevel::rtcpCompFast;
}

TrtcpCompressLevel CheaperLevel(TrtcpCompressLevel a, TrtcpCompressLevel b) {
  auto cost = [](TrtcpCompressLevel l) {
    switch (l) {
      case TrtcpCompressLevel::rtcpCompOff:
        return 0;
      case TrtcpCompressLevel::rtcpCompFast:
        return 1;
      case TrtcpCompressLevel::rtcpCompNormal:
        return 2;
      case TrtcpCompressLevel::rtcpCompMax:
        break;
    }
    return 3;
  };
  return cost(b) < cost(a) ? b : a;
}

std::string CompressPayload(std::string_view data, TrtcpCompressLevel level) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  const int rc = compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                           reinterpret_cast<const Bytef*>(data.data()),
                           static_cast<uLong>(data.size()), ZlibLevel(level));
  if (rc != Z_OK) throw ERtcInfo("Unable to compress data.");
  out.resize(size);
  return out;
}

std::string DecompressPayload(std::string_view data, std::size_t limit) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) throw ERtcInfo("Invalid compressed data.");
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char buf[65536];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) break;
    out.append(buf, sizeof buf - z.avail_out);
    if (out.size() > limit) {
      inflateEnd(&z);
      throw ERtcInfo("Compressed data too large.");
    }
    if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0) break;  // truncated stream
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) throw ERtcInfo("Invalid compressed data.");
  return out;
}

}  // namespace vtx
