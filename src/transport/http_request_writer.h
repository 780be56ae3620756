// The request side of one HTTP/1.1 exchange on the wire: the header block and the accounting of
// the body bytes that may follow it. Transport-free: it returns the bytes to send and the
// connection hands them to its socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "values/http_request.h"

namespace vtx {

// Adjustments applied to a request when its header is written.
struct HttpRequestFixup {
  bool EncodeFileName = false;  // URL-encode the file name
  bool EncodeQuery = false;     // URL-encode each query item's name and value
  bool ForceOldHttp10 = false;  // send as HTTP/1.0 and close the connection afterwards
};

// The header block for the request: request line, the request's header text, CR LF. With
// Request.Close (set here by ForceOldHttp10) the header "CONNECTION" is set to "close" and the
// version is HTTP/1.0. No other header is added. The file name and query are encoded only on the
// wire, so a request written again (a repost) is not encoded twice. Raises ERtcConnection when the
// method or the path on the wire would hold a line break, a space in the method, or when the
// request's Content-Length is not a number.
std::string HttpRequestHeader(TRtcRequest& request, const HttpRequestFixup& fixup);

// One exchange's send state. The connection calls writeHeader once, then write for each body
// block, sends whatever they return and reports socket progress with sent().
class HttpRequestWriter {
 public:
  // Raises "Last header intercepted with new header, before data sent out." when this exchange
  // already has a header. Returns the bytes to send now: the header when sendNow is set or no body
  // is declared; otherwise "" and the header leaves with the first body block.
  std::string writeHeader(TRtcRequest& request, const HttpRequestFixup& fixup, bool sendNow);
  // Raises "Trying to send Data without Header. Call WriteHeader before Write." before a header
  // and "Trying to send more Data out than specified in Header." beyond the declared length
  // (nothing is counted then). Returns the bytes to send: a held header, then the data.
  std::string write(std::string_view data);
  // Hands out a held header ("" when none is held).
  std::string releaseHeader();
  // The socket sent n bytes. True once the header and the whole declared body are out.
  bool sent(std::size_t n);

  bool headerSent() const { return FHeaderSent; }
  bool complete() const { return FHeaderSent && !FHeaderHeld && FToConfirm == 0; }
  std::int64_t LenToWrite() const { return FLenToWrite; }
  std::int64_t DataOut() const { return FDataOut; }

  // Readies the writer for the next exchange.
  void reset();

 private:
  std::string FHeldHeader;
  std::int64_t FLenToWrite = 0;  // body bytes still allowed
  std::int64_t FDataOut = 0;     // body bytes accepted
  std::uint64_t FToConfirm = 0;  // header and body bytes the socket has yet to report as sent
  bool FHeaderSent = false;
  bool FHeaderHeld = false;
};

}  // namespace vtx
