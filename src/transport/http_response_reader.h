// The response side of one HTTP/1.1 exchange: an incremental reader fed the bytes the socket
// delivers, in chunks of any size. It fills the exchange's TRtcResponse, collects the body for
// Read() and tells the connection what happened. It never throws on received bytes and holds at
// most a bounded amount of them.
//
// Driving it: feed() every block read from the socket (bytes that arrive while no exchange is
// active wait in the reader); begin() once the request has been sent; fetch the body with Read()
// whenever an event says dataReceived; after done, bytes beyond the response stay for the next
// begin(). On InvalidResponse or ConnectionLost the connection disconnects; reset() (or a new
// reader) belongs to every new connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "values/http_request.h"
#include "values/http_response.h"

namespace vtx {

struct HttpResponseLimits {
  std::uint32_t MaxResponseSize = 0;  // longest status line in bytes; 0 = built-in ceiling
  std::uint32_t MaxHeaderSize = 0;    // longest header block in bytes; 0 = built-in ceiling
  std::uint64_t MaxBodySize = 0;      // largest body in bytes; 0 = built-in ceiling
};

enum class HttpReadError {
  None,
  InvalidResponse,  // the bytes are not a valid HTTP response
  ConnectionLost,   // the connection closed before the response was complete
};

// What one call of the reader produced.
struct HttpReadEvents {
  bool started = false;       // a response began (status line read, or a response without one)
  bool dataReceived = false;  // body bytes wait in Read(), or the response completed
  bool done = false;          // the response is complete; the reader waits for the next begin()
  HttpReadError error = HttpReadError::None;
  std::string reason;  // says which check failed
};

class HttpResponseReader {
 public:
  // Used when a limit is 0, so that a peer cannot make the reader hold bytes without end.
  static constexpr std::uint64_t kStatusLineCeiling = 64 * 1024;
  static constexpr std::uint64_t kHeaderCeiling = 1024 * 1024;
  static constexpr std::uint64_t kChunkLineCeiling = 4 * 1024;
  // Eight times the largest reply a relay queue holds, so escaped or uncompressed text fits.
  static constexpr std::uint64_t kBodyCeiling = 64 * 1024 * 1024;
  // Most bytes that may wait while no exchange is active.
  static constexpr std::uint64_t kPendingCeiling = 4 * 1024 * 1024;

  explicit HttpResponseReader(HttpResponseLimits limits = {}) : FLimits(limits) {}
  HttpResponseReader(const HttpResponseReader&) = delete;
  HttpResponseReader& operator=(const HttpResponseReader&) = delete;

  void setLimits(HttpResponseLimits limits) { FLimits = limits; }

  // Starts reading the response to request into response (cleared first). Both must outlive the
  // exchange. The request's Close flag is updated from what the response says; a "HEAD" request
  // gets no body. Bytes already waiting are read at once.
  HttpReadEvents begin(TRtcRequest& request, TRtcResponse& response);
  HttpReadEvents feed(std::string_view bytes);
  // The peer closed the connection: completes a body that runs to the close, else reports a
  // lost connection when a response was under way. Waiting bytes are dropped.
  HttpReadEvents connectionClosed();

  // The body bytes received since the last Read().
  std::string Read();

  // An exchange is under way (begin() called, the response not yet done or failed).
  bool active() const { return FStage != Stage::Idle && FStage != Stage::Failed; }
  bool chunked() const { return FChunked; }
  // Body bytes still expected with a known length; -1 = until the connection closes.
  std::int64_t LenToRead() const { return FLenToRead; }
  std::size_t pendingBytes() const { return FInput.size() - FPos; }

  // Forgets everything, for a new connection.
  void reset();

 private:
  enum class Stage {
    Idle,
    StatusLine,
    Header,
    KnownBody,
    UntilClose,
    ChunkSize,
    ChunkData,
    ChunkEnd,
    ChunkTrailer,
    Failed
  };

  void run(HttpReadEvents& ev);
  bool step(HttpReadEvents& ev);
  bool readStatusLine(HttpReadEvents& ev);
  bool readHeader(HttpReadEvents& ev);
  bool startBody(HttpReadEvents& ev, bool noHeader);
  bool readChunkSize(HttpReadEvents& ev);
  bool readChunkTrailer(HttpReadEvents& ev);
  bool takeBody(std::uint64_t most, HttpReadEvents& ev);
  bool finish(HttpReadEvents& ev);
  bool fail(HttpReadEvents& ev, HttpReadError error, std::string reason);
  std::string_view available() const { return std::string_view(FInput).substr(FPos); }
  std::uint64_t statusLimit() const;
  std::uint64_t headerLimit() const;
  std::uint64_t bodyLimit() const;
  // Counts `n` more body bytes; false (the response failed) beyond the limit.
  bool growBody(std::uint64_t n, HttpReadEvents& ev);
  void compact();

  HttpResponseLimits FLimits;
  TRtcRequest* FRequest = nullptr;    // not owned
  TRtcResponse* FResponse = nullptr;  // not owned
  std::string FInput;
  std::size_t FPos = 0;  // bytes of FInput already read
  std::string FBody;
  Stage FStage = Stage::Idle;
  std::int64_t FLenToRead = 0;
  std::int64_t FContentLength = 0;
  std::uint64_t FChunkLeft = 0;
  std::uint64_t FTrailerBytes = 0;
  std::uint64_t FBodyBytes = 0;  // body bytes of this response announced or taken so far
  bool FChunked = false;
};

}  // namespace vtx
