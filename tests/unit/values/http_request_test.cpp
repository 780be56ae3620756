#include "values/http_request.h"

#include <gtest/gtest.h>

namespace vtx {
namespace {

TEST(TRtcRequest, MethodAndNames) {
  TRtcRequest r;
  r.setMethod("post");
  EXPECT_EQ(r.Method(), "POST");
  r.setFileName("/gate");
  EXPECT_EQ(r.FullName(), "/gate");
  r.setFullName("/other");
  r.setFileName("/next");  // names differed: full name stays
  EXPECT_EQ(r.FullName(), "/other");
  EXPECT_EQ(r.FileName(), "/next");
  r.setFileName("//a/b/");
  EXPECT_EQ(r.FilePath(), (std::vector<std::string>{"a", "b"}));
}

TEST(TRtcRequest, UriAndUrl) {
  TRtcRequest r;
  r.setURI("/$rdgate?ACTION=HELLO&ID=");
  EXPECT_EQ(r.FileName(), "/$rdgate");
  EXPECT_EQ(r.FullName(), "/$rdgate");
  EXPECT_EQ(r.Query().Value("ACTION"), "HELLO");
  r.Query().setValue("ID", "NEW");
  EXPECT_EQ(r.URI(), "/$rdgate?ACTION=HELLO&ID=NEW");
  r.setHost("gw:1025");
  EXPECT_EQ(r.URL(), "gw:1025/$rdgate?ACTION=HELLO&ID=NEW");

  r.setURI("/mapped");  // a file name is set: only the full name changes; no "?" clears query
  EXPECT_EQ(r.FileName(), "/$rdgate");
  EXPECT_EQ(r.FullName(), "/mapped");
  EXPECT_EQ(r.Query().ItemCount(), 0u);
  EXPECT_EQ(r.URI(), "/mapped");
}

TEST(TRtcRequest, RequestLine) {
  TRtcRequest r;
  r.setHeaderText("get /a/b?x=1 HTTP/1.1\r\nHost: h\r\nUser-Agent: t\r\nCookie: ID=9\r\n");
  EXPECT_EQ(r.Method(), "GET");
  EXPECT_EQ(r.FileName(), "/a/b");
  EXPECT_EQ(r.Query().Value("x"), "1");
  EXPECT_EQ(r.Host(), "h");
  EXPECT_EQ(r.Agent(), "t");
  EXPECT_EQ(r.Cookie().Value("id"), "9");

  TRtcRequest s;
  s.setHeaderText("PUT /x HTTPS/1.0\nA: 1");
  EXPECT_EQ(s.Method(), "PUT");
  EXPECT_EQ(s.FileName(), "/x");

  TRtcRequest headersOnly;
  headersOnly.setHeaderText("Referer: r\r\nX-Forwarded-For: 1.2.3.4");
  EXPECT_EQ(headersOnly.Method(), "");
  EXPECT_EQ(headersOnly.Referer(), "r");
  EXPECT_EQ(headersOnly.ForwardedFor(), "1.2.3.4");
}

TEST(TRtcRequest, ClearResetsEverything) {
  TRtcRequest r;
  r.setHeaderText("POST /p?q=1 HTTP/1.1\r\nHost: h\r\nCookie: c=1\r\n");
  r.Params().setText("f=2");
  r.setClose(true);
  r.Info().setAsBoolean("CLIMOD.LOGIN$", true);
  ASSERT_TRUE(r.Info().asBoolean("CLIMOD.LOGIN$"));
  r.Clear();
  EXPECT_FALSE(r.Info().asBoolean("CLIMOD.LOGIN$"));
  EXPECT_EQ(r.Method(), "");
  EXPECT_EQ(r.FileName(), "");
  EXPECT_EQ(r.FullName(), "");
  EXPECT_EQ(r.URI(), "");
  EXPECT_EQ(r.Params().ItemCount(), 0u);
  EXPECT_EQ(r.ItemCount(), 0u);
  EXPECT_FALSE(r.Close());
  EXPECT_TRUE(r.FilePath().empty());
}

}  // namespace
}  // namespace vtx
