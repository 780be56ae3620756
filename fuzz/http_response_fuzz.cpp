// Response bytes in arbitrary pieces: the reader must not crash, must stay bounded and must read
// the same responses whatever the pieces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "transport/http_response_reader.h"

namespace {

struct Result {
  std::vector<std::string> responses;  // status, body and close flag of each completed one
  vtx::HttpReadError error = vtx::HttpReadError::None;
  bool operator==(const Result&) const = default;
};

void note(const vtx::HttpReadEvents& ev, vtx::HttpResponseReader& reader, std::string& body,
          Result& out) {
  body += reader.Read();
  if (ev.error != vtx::HttpReadError::None) out.error = ev.error;
}

// Reads up to a few responses in a row; pieces come from the seed, or the whole input at once.
Result readAll(std::string_view wire, std::uint8_t flags, std::uint32_t seed, bool whole) {
  vtx::HttpResponseReader reader({flags & 1u ? 64u : 0u, flags & 2u ? 128u : 0u});
  vtx::TRtcRequest request;
  request.setMethod(flags & 4u ? "HEAD" : "POST");
  vtx::TRtcResponse response;
  Result out;
  std::string body;
  auto completed = [&] {
    out.responses.push_back(std::to_string(response.StatusCode()) + "|" + body + "|" +
                            (request.Close() ? "close" : "keep"));
    body.clear();
  };
  vtx::HttpReadEvents ev = reader.begin(request, response);
  note(ev, reader, body, out);
  std::size_t pos = 0;
  int begun = 1;
  while (out.error == vtx::HttpReadError::None) {
    if (ev.done) {
      completed();
      if (begun++ == 4) return out;
      ev = reader.begin(request, response);
      note(ev, reader, body, out);
      continue;
    }
    if (pos == wire.size()) break;
    seed = seed * 1103515245u + 12345u;
    const std::size_t n = whole ? wire.size() - pos : 1 + (seed >> 16) % (wire.size() - pos);
    ev = reader.feed(wire.substr(pos, n));
    pos += n;
    note(ev, reader, body, out);
    if (reader.pendingBytes() > vtx::HttpResponseReader::kPendingCeiling + wire.size())
      std::abort();
  }
  if (out.error == vtx::HttpReadError::None && (flags & 8u)) {
    ev = reader.connectionClosed();
    note(ev, reader, body, out);
    if (ev.done) completed();
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t flags = data[0];
  const std::uint32_t seed = data[1];
  const std::string_view wire(reinterpret_cast<const char*>(data) + 2, size - 2);
  if (!(readAll(wire, flags, seed, true) == readAll(wire, flags, seed, false))) std::abort();
  return 0;
}
