#include "values/http_header.h"

#include <gtest/gtest.h>

#include "util/exceptions.h"
#include "values/http_request.h"
#include "values/http_response.h"

namespace vtx {
namespace {

TEST(TRtcHttpHeader, NamesKeepFirstSpellingAndPosition) {
  TRtcRequest r;
  r.setValue("Host", "a");
  r.setValue("X-One", "1");
  r.setValue("HOST", "b");
  EXPECT_EQ(r.HeaderText(), "Host: b\r\nX-One: 1\r\n");
  EXPECT_EQ(r.Value("host"), "b");
  EXPECT_EQ(r.ValueCS("HOST"), "b");
  EXPECT_EQ(r.Value("missing"), "");
  r.setValue("x-one", "");
  EXPECT_EQ(r.ItemCount(), 2u);  // name kept, text skips it
  EXPECT_EQ(r.HeaderText(), "Host: b\r\n");
}

TEST(TRtcHttpHeader, HeaderTextParsing) {
  TRtcResponse r;
  r.setHeaderText("  Content-Type :\t text/plain \r\nno colon here\nX: a:b\r\n\r\n");
  EXPECT_EQ(r.ContentType(), "text/plain");
  EXPECT_EQ(r.Value("x"), "a:b");
  EXPECT_EQ(r.ItemCount(), 2u);
}

TEST(TRtcHttpHeader, LineBreaksCannotForgeHeaders) {
  TRtcRequest r;
  EXPECT_THROW(r.setValue("X", "a\r\nEvil: 1"), ERtcInfo);
  EXPECT_THROW(r.setValue("X\n", "a"), ERtcInfo);
  r.setHeaderText("A: x\ry\r\n: nameless\r\nB: 2\r\n");
  EXPECT_EQ(r.HeaderText(), "B: 2\r\n");
  r.Cookie().setValue("c", "v\r\nEvil: 1");
  r.Cookie().setValue("d", "4");
  EXPECT_EQ(r.HeaderText(), "B: 2\r\nCookie: d=4\r\n");
}

TEST(TRtcHttpHeader, ContentLengthAndChunked) {
  TRtcResponse r;
  EXPECT_EQ(r.ContentLength(), 0);
  r.setHeaderText("Content-Length:  1234567890123 \r\n");
  EXPECT_EQ(r.ContentLength(), 1234567890123);
  r.setContentLength(5);
  EXPECT_EQ(r.Value("content-length"), "5");
  for (const char* bad : {"12abc", "-1", "99999999999999999999", "0x10"}) {
    r.setValue("Content-Length", bad);
    EXPECT_THROW(r.ContentLength(), EConvertError) << bad;
  }
  EXPECT_THROW(r.setContentLength(-2), EConvertError);

  EXPECT_FALSE(r.ChunkedTransferEncoding());
  r.setValue("transfer-encoding", "ChUnKeD");
  EXPECT_TRUE(r.ChunkedTransferEncoding());
  r.setChunkedTransferEncoding(false);
  EXPECT_FALSE(r.ChunkedTransferEncoding());
  r.setChunkedTransferEncoding(true);
  EXPECT_EQ(r.Value("TRANSFER-ENCODING"), "chunked");
}

TEST(TRtcHttpHeader, SetCookieLinesAccumulate) {
  TRtcResponse r;
  r.setHeaderText("HTTP/1.1 200 OK\r\nSet-Cookie: ID=1A2B; path=/\r\nset-cookie: X=5\r\n");
  EXPECT_EQ(r.Cookie().Value("ID"), "1A2B");
  EXPECT_EQ(r.Cookie().Value("path"), "/");
  EXPECT_EQ(r.Cookie().Value("X"), "5");
  EXPECT_EQ(r.Value("SET-COOKIE"), "ID=1A2B; path=/;X=5");
  ASSERT_EQ(r.ItemCount(), 3u);
  EXPECT_EQ(r.ItemName(0), "Set-Cookie");
  EXPECT_EQ(r.ItemValue(2), "X=5");
  EXPECT_EQ(r.HeaderText(), "Set-Cookie: ID=1A2B\r\nSet-Cookie: path=/\r\nSet-Cookie: X=5\r\n");
  r.Clear();
  EXPECT_EQ(r.ItemCount(), 0u);
  EXPECT_EQ(r.Cookie().Value("ID"), "");
}

TEST(TRtcHttpHeader, RequestCookieHeaderIsCookie) {
  TRtcRequest r;
  r.setValue("Set-Cookie", "a=1");  // an ordinary header on a request
  r.setValue("cookie", "ID=7");
  EXPECT_EQ(r.Cookie().Value("ID"), "7");
  EXPECT_EQ(r.HeaderText(), "Set-Cookie: a=1\r\nCookie: ID=7\r\n");
}

TEST(TRtcResponse, StatusLine) {
  TRtcResponse r;
  r.setHeaderText("http/1.0 404 Not Found Here\r\nA: 1");
  EXPECT_EQ(r.StatusCode(), 404);
  EXPECT_EQ(r.StatusText(), "Not Found Here");
  EXPECT_EQ(r.Value("a"), "1");

  r.setHeaderText("HTTPS/1.1 abc Bad\n");
  EXPECT_EQ(r.StatusCode(), 0);
  EXPECT_EQ(r.StatusText(), "Bad");
  r.setHeaderText("HTTP/1.1 200");
  EXPECT_EQ(r.StatusCode(), 200);
  EXPECT_EQ(r.StatusText(), "");
  r.setHeaderText("HTTP/1.1 99999999999 X");
  EXPECT_EQ(r.StatusCode(), 0);

  TRtcResponse plain;
  plain.setHeaderText("Server: x\r\n");
  EXPECT_EQ(plain.StatusCode(), 0);
  EXPECT_EQ(plain.Value("server"), "x");
}

}  // namespace
}  // namespace vtx
