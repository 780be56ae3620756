#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/http_request_writer.h"
#include "transport/http_response_reader.h"
#include "util/exceptions.h"

namespace vtx {
namespace {

// ---- request writer ----

void gatewayPost(TRtcRequest& r, const std::string& body) {
  r.setMethod("POST");
  r.setFileName("/$rdgate");
  r.Query().setValue("ID", "NEW");
  r.setValue("HOST", "gw.example:80");
  r.setContentLength(static_cast<std::int64_t>(body.size()));
}

TEST(HttpRequestWriter, GatewayPostLeavesAsOneHeaderWithTheFirstBodyBlock) {
  TRtcRequest r;
  gatewayPost(r, "abcde");
  HttpRequestWriter w;
  EXPECT_EQ(w.writeHeader(r, {}, false), "");  // held for the body
  const std::string header =
      "POST /$rdgate?ID=NEW HTTP/1.1\r\nHOST: gw.example:80\r\nCONTENT-LENGTH: 5\r\n\r\n";
  EXPECT_EQ(w.write("abc"), header + "abc");
  EXPECT_FALSE(w.sent(header.size() + 3));
  EXPECT_EQ(w.write("de"), "de");
  EXPECT_EQ(w.DataOut(), 5);
  EXPECT_EQ(w.LenToWrite(), 0);
  EXPECT_TRUE(w.sent(2));
  EXPECT_TRUE(w.complete());
  EXPECT_EQ(r.Value("CONNECTION"), "");  // nothing added by itself
}

TEST(HttpRequestWriter, CloseSendsHttp10AndConnectionClose) {
  TRtcRequest r;
  r.setMethod("get");
  r.setFileName("/x");
  r.setClose(true);
  HttpRequestWriter w;
  EXPECT_EQ(w.writeHeader(r, {}, false), "GET /x HTTP/1.0\r\nCONNECTION: close\r\n\r\n");
  EXPECT_TRUE(w.complete() == false);
  EXPECT_TRUE(w.sent(1000));  // no body: complete once the header is out

  TRtcRequest old;
  old.setMethod("GET");
  old.setFileName("/");
  old.setValue("Connection", "keep-alive");
  HttpRequestFixup fixup;
  fixup.ForceOldHttp10 = true;
  EXPECT_EQ(HttpRequestHeader(old, fixup), "GET / HTTP/1.0\r\nConnection: close\r\n\r\n");
  EXPECT_TRUE(old.Close());
}

TEST(HttpRequestWriter, EncodesFileNameAndQueryOnlyOnTheWire) {
  TRtcRequest r;
  r.setMethod("GET");
  r.setFileName("/a b/c%");
  r.Query().setText("n m=x&y=1?2&y=3");
  HttpRequestFixup fixup;
  fixup.EncodeFileName = true;
  fixup.EncodeQuery = true;
  const std::string expected = "GET /a+b/c%25?n+m=x&y=1%3F2&y=3 HTTP/1.1\r\n\r\n";
  EXPECT_EQ(HttpRequestHeader(r, fixup), expected);
  EXPECT_EQ(HttpRequestHeader(r, fixup), expected);  // a repost is not encoded twice
  EXPECT_EQ(r.FileName(), "/a b/c%");

  TRtcRequest plain;
  plain.setMethod("GET");
  plain.setFileName("/");
  plain.Query().setText("a b?c");  // no items: the whole text, separators kept
  EXPECT_EQ(HttpRequestHeader(plain, fixup), "GET /?a+b?c HTTP/1.1\r\n\r\n");
}

template <typename F>
void expectRefused(F&& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no exception";
  } catch (const ERtcConnection& e) {
    EXPECT_EQ(e.message(), message);
  }
}

TEST(HttpRequestWriter, RefusesMisuseAndForgedRequestLines) {
  TRtcRequest r;
  gatewayPost(r, "abc");
  HttpRequestWriter w;
  expectRefused([&] { w.write("x"); },
                "Trying to send Data without Header. Call WriteHeader before Write.");
  EXPECT_FALSE(w.writeHeader(r, {}, true).empty());
  expectRefused([&] { w.writeHeader(r, {}, true); },
                "Last header intercepted with new header, before data sent out.");
  EXPECT_EQ(w.write("ab"), "ab");
  expectRefused([&] { w.write("cd"); }, "Trying to send more Data out than specified in Header.");
  EXPECT_EQ(w.DataOut(), 2);  // the refused block is not counted
  w.reset();
  EXPECT_FALSE(w.headerSent());

  TRtcRequest forged;
  forged.setMethod("GET");
  forged.setFileName("/x HTTP/1.1\r\nEvil: 1\r\n");
  EXPECT_THROW(HttpRequestHeader(forged, {}), ERtcConnection);
  HttpRequestFixup enc;
  enc.EncodeFileName = true;
  EXPECT_NO_THROW(HttpRequestHeader(forged, enc));

  TRtcRequest badLength;
  badLength.setMethod("POST");
  badLength.setValue("Content-Length", "12x");
  HttpRequestWriter w2;
  EXPECT_THROW(w2.writeHeader(badLength, {}, false), ERtcConnection);
  EXPECT_FALSE(w2.headerSent());
}

// ---- response reader ----

struct Outcome {
  int status = 0;
  std::string statusText;
  std::vector<std::string> headers;  // "NAME=value"
  std::string body;
  bool done = false;
  bool close = false;
  HttpReadError error = HttpReadError::None;
  std::string rest;  // bytes left for the next response (size)

  bool operator==(const Outcome&) const = default;
};

void collect(const HttpReadEvents& ev, HttpResponseReader& reader, Outcome& out) {
  out.body += reader.Read();
  out.done = out.done || ev.done;
  if (ev.error != HttpReadError::None) out.error = ev.error;
}

Outcome finish(HttpResponseReader& reader, TRtcRequest& req, TRtcResponse& resp, Outcome out,
               bool closeAfter) {
  if (closeAfter && !out.done && out.error == HttpReadError::None)
    collect(reader.connectionClosed(), reader, out);
  out.status = resp.StatusCode();
  out.statusText = resp.StatusText();
  for (std::size_t i = 0; i < resp.ItemCount(); ++i)
    out.headers.push_back(resp.ItemName(i) + "=" + resp.ItemValue(i));
  out.close = req.Close();
  out.rest = std::to_string(reader.pendingBytes());
  return out;
}

// Feeds the wire bytes in the pieces given by the cut offsets.
Outcome readPieces(const std::string& wire, const std::vector<std::size_t>& cuts,
                   bool closeAfter = false, const std::string& method = "GET",
                   HttpResponseLimits limits = {}) {
  HttpResponseReader reader(limits);
  TRtcRequest req;
  req.setMethod(method);
  TRtcResponse resp;
  Outcome out;
  collect(reader.begin(req, resp), reader, out);
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    collect(reader.feed(std::string_view(wire).substr(from, cut - from)), reader, out);
    from = cut;
  }
  collect(reader.feed(std::string_view(wire).substr(from)), reader, out);
  return finish(reader, req, resp, out, closeAfter);
}

// Every split into two pieces, and byte by byte, read like the whole.
Outcome grind(const std::string& wire, bool closeAfter = false, const std::string& method = "GET",
              HttpResponseLimits limits = {}) {
  const Outcome whole = readPieces(wire, {}, closeAfter, method, limits);
  for (std::size_t i = 0; i <= wire.size(); ++i)
    EXPECT_EQ(readPieces(wire, {i}, closeAfter, method, limits), whole) << "split at " << i;
  std::vector<std::size_t> bytes;
  for (std::size_t i = 1; i < wire.size(); ++i) bytes.push_back(i);
  EXPECT_EQ(readPieces(wire, bytes, closeAfter, method, limits), whole) << "byte by byte";
  return whole;
}

TEST(HttpResponseReader, ContentLengthResponseWithCookies) {
  const Outcome o = grind(
      "HTTP/1.1 200 OK fine\r\nContent-Type: text/plain\r\nContent-Length:  5 \r\n"
      "Set-Cookie: a=1\r\nSet-Cookie: b=2\r\nno colon line\r\n\r\nhello");
  EXPECT_TRUE(o.done);
  EXPECT_EQ(o.error, HttpReadError::None);
  EXPECT_EQ(o.status, 200);
  EXPECT_EQ(o.statusText, "OK fine");
  EXPECT_EQ(o.body, "hello");
  EXPECT_FALSE(o.close);
  EXPECT_EQ(o.headers, (std::vector<std::string>{"Content-Type=text/plain", "Content-Length=5",
                                                 "Set-Cookie=a=1", "Set-Cookie=b=2"}));
}

TEST(HttpResponseReader, ChunkedBodyWithExtensionsTrailersAndOddWhitespace) {
  const Outcome o = grind(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\nContent-Length: 3\r\n\r\n"
      "  5 \r\nhello\r\n1A;name=fe\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\nX-Sum: 1\r\n\r\n"
      "HTTP/1.1");
  EXPECT_TRUE(o.done);
  EXPECT_EQ(o.body, "helloabcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(o.rest, "8");  // the next response's beginning waits

  const Outcome bad = grind("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabXY");
  EXPECT_EQ(bad.error, HttpReadError::InvalidResponse);
  const Outcome huge =
      grind("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1ffffffffffffffff\r\n");
  EXPECT_EQ(huge.error, HttpReadError::InvalidResponse);
}

TEST(HttpResponseReader, InterimContinueIsSkipped) {
  const Outcome o = grind(
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\nX-A: 1\r\n\r\n"
      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  EXPECT_TRUE(o.done);
  EXPECT_EQ(o.status, 200);
  EXPECT_EQ(o.body, "ok");
  EXPECT_EQ(o.headers, (std::vector<std::string>{"Content-Length=2"}));
  EXPECT_FALSE(o.close);
}

TEST(HttpResponseReader, BodyOfUnknownLengthEndsWithTheConnection) {
  Outcome o = readPieces("HTTP/1.1 200 OK\r\nX: y\r\n\r\nsome body", {});
  EXPECT_FALSE(o.done);
  EXPECT_EQ(o.body, "some body");
  EXPECT_TRUE(o.close);

  o = grind("HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\nsome body", true);
  EXPECT_TRUE(o.done);
  EXPECT_EQ(o.body, "some body");
  EXPECT_TRUE(o.close);

  o = grind("HTTP/1.0 200 OK\r\n\r\nno header", true);  // no header: body to the close
  EXPECT_TRUE(o.done);
  EXPECT_EQ(o.body, "no header");
  EXPECT_TRUE(o.close);

  o = grind("<html>no status line", true);
  EXPECT_TRUE(o.done);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.body, "<html>no status line");
  EXPECT_TRUE(o.close);

  o = grind("HT", true);  // too short for a status line
  EXPECT_TRUE(o.done);
  EXPECT_EQ(o.body, "HT");
}

TEST(HttpResponseReader, ResponsesWithoutBody) {
  const std::string next = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz";
  Outcome o = grind("HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n" + next, false, "HEAD");
  EXPECT_TRUE(o.done);
  EXPECT_EQ(o.body, "");
  EXPECT_EQ(o.rest, std::to_string(next.size()));
  for (const char* status : {"204 No Content", "304 Not Modified", "102 Processing"}) {
    o = grind(std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 7\r\n\r\n" + next);
    EXPECT_TRUE(o.done) << status;
    EXPECT_EQ(o.body, "") << status;
    EXPECT_EQ(o.rest, std::to_string(next.size())) << status;
  }
  o = grind("HTTP/1.1 204 No Content\r\n\r\n");  // no header, yet no body to wait for
  EXPECT_TRUE(o.done);
  EXPECT_TRUE(o.close);
  o = grind("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: CLOSE\r\n\r\n");
  EXPECT_TRUE(o.done);
  EXPECT_TRUE(o.close);
}

TEST(HttpResponseReader, TwoResponsesInOneReadAndBytesBeforeBegin) {
  HttpResponseReader reader;
  TRtcRequest req;
  req.setMethod("POST");
  TRtcResponse resp;
  // Arrives before the request is out: waits.
  EXPECT_FALSE(reader
                   .feed("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc"
                         "HTTP/1.1 201 Made\r\nContent-Length: 2\r\nSet-Cookie: s=1\r\n\r\nde")
                   .dataReceived);
  HttpReadEvents ev = reader.begin(req, resp);
  EXPECT_TRUE(ev.done);
  EXPECT_EQ(reader.Read(), "abc");
  EXPECT_EQ(resp.StatusCode(), 200);
  EXPECT_FALSE(reader.active());
  EXPECT_EQ(reader.connectionClosed().error, HttpReadError::None);  // idle: nothing lost

  reader.feed("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcHTTP/1.1 201 Made\r\n");
  reader.begin(req, resp);
  EXPECT_EQ(reader.Read(), "abc");
  reader.feed("Content-Length: 2\r\nSet-Cookie: s=1\r\n\r\nde");
  ev = reader.begin(req, resp);
  EXPECT_TRUE(ev.done);
  EXPECT_EQ(reader.Read(), "de");
  EXPECT_EQ(resp.StatusCode(), 201);
  EXPECT_EQ(resp.Cookie().Value("s"), "1");
  EXPECT_EQ(resp.ItemCount(), 2u);  // the first response's headers are gone
}

TEST(HttpResponseReader, ClosedConnectionMidResponseIsLost) {
  for (const char* wire : {"", "HTTP/1.1 200", "HTTP/1.1 200 OK\r\nContent-Le",
                           "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc",
                           "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab",
                           "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n"}) {
    const Outcome o = grind(wire, true);
    EXPECT_EQ(o.error, HttpReadError::ConnectionLost) << wire;
    EXPECT_FALSE(o.done) << wire;
  }
  HttpResponseReader reader;
  TRtcRequest req;
  TRtcResponse resp;
  reader.begin(req, resp);
  reader.feed("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
  EXPECT_EQ(reader.connectionClosed().reason, "Connection closed with 7 of 10 body bytes missing.");
  // A last chunk whose closing CR LF never came still completes the body.
  EXPECT_TRUE(
      grind("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n", true).done);
}

TEST(HttpResponseReader, MalformedResponsesAreInvalid) {
  for (const char* wire : {"HTTP/1.1-200-OK\r\n\r\n", "http/1.1\r\n\r\n",
                           "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
                           "HTTP/1.1 200 OK\r\nContent-Length: 1, 1\r\n\r\nx",
                           "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n"}) {
    const Outcome o = grind(wire, true);
    EXPECT_EQ(o.error, HttpReadError::InvalidResponse) << wire;
  }
  const Outcome odd = grind("HTTP/1.1 2x0 Odd\r\nContent-Length: 0\r\n\r\n");
  EXPECT_TRUE(odd.done);
  EXPECT_EQ(odd.status, 0);
  EXPECT_EQ(odd.statusText, "Odd");
}

TEST(HttpResponseReader, StatusLineAndHeaderLimits) {
  const std::string status = "HTTP/1.1 200 OK";    // 15 bytes
  const std::string header = "Content-Length: 1";  // 17 bytes
  const std::string wire = status + "\r\n" + header + "\r\n\r\nx";
  HttpResponseLimits fits{15, 18};
  EXPECT_TRUE(grind(wire, false, "GET", fits).done);
  HttpResponseLimits statusTooLong{14, 0};
  EXPECT_EQ(grind(wire, false, "GET", statusTooLong).error, HttpReadError::InvalidResponse);
  HttpResponseLimits headerTooLong{0, 17};
  EXPECT_EQ(grind(wire, false, "GET", headerTooLong).error, HttpReadError::InvalidResponse);

  // Without an end in sight the limits apply to what has arrived.
  HttpResponseReader reader({20, 20});
  TRtcRequest req;
  TRtcResponse resp;
  reader.begin(req, resp);
  EXPECT_EQ(reader.feed(std::string(22, 'H').replace(0, 5, "HTTP/")).error, HttpReadError::None);
  const HttpReadEvents ev = reader.feed("H");
  EXPECT_EQ(ev.error, HttpReadError::InvalidResponse);
  EXPECT_EQ(ev.reason, "Status line longer than 20 bytes.");
  EXPECT_EQ(reader.pendingBytes(), 0u);
  EXPECT_EQ(reader.feed("more").error, HttpReadError::None);  // ignored once failed
  EXPECT_EQ(reader.pendingBytes(), 0u);

  // No limit set: the built-in ceiling still bounds what is held.
  HttpResponseReader unlimited;
  unlimited.begin(req, resp);
  unlimited.feed("HTTP/1.1 200 OK\r\nX: ");
  const std::string filler(64 * 1024, 'a');
  HttpReadEvents last;
  for (int i = 0; i < 20 && last.error == HttpReadError::None; ++i) last = unlimited.feed(filler);
  EXPECT_EQ(last.error, HttpReadError::InvalidResponse);
}

}  // namespace
}  // namespace vtx
