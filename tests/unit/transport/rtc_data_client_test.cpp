#include "transport/rtc_data_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_http_transport.h"
#include "util/exceptions.h"

namespace vtx {
namespace {
using testing::FakeHttpClient;
using testing::FakeHttpTransport;

std::unique_ptr<TRtcClientRequest> Get(const std::string& path) {
  auto r = std::make_unique<TRtcClientRequest>();
  r->setMethod("GET");
  r->setFileName(path);
  return r;
}

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

// The request flow seen through a link whose handlers log what they get.
class DataClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client.setAutoConnect(true);
    link.setClient(&client);
    link.OnBeginRequest = [this](TRtcConnection&) {
      log.push_back("begin " + name());
      client.WriteHeader();
    };
    link.OnResponseDone = [this](TRtcConnection&) { log.push_back("done " + name()); };
    link.OnResponseAbort = [this](TRtcConnection&) { log.push_back("abort " + name()); };
  }
  std::string name() { return client.Request().FileName(); }
  FakeHttpTransport& fake() { return *client.Fake(); }

  FakeHttpTransport::Script script;
  FakeHttpClient client{script};
  TRtcDataClientLink link;
  std::vector<std::string> log;
};

TEST_F(DataClientTest, RequestsPostedInsideAnEventWaitForTheCurrentOne) {
  link.PostRequest(Get("/a"));
  link.PostRequest(Get("/b"), true);
  EXPECT_EQ(log, (std::vector<std::string>{"begin /a"}));
  EXPECT_EQ(client.RequestCount(), 2);
  fake().Feed(kOk);
  EXPECT_EQ(log, (std::vector<std::string>{"begin /a", "done /a", "begin /b"}));
  fake().Feed(kOk);
  EXPECT_EQ(client.RequestCount(), 0);
  EXPECT_TRUE(client.WaitForCompletion(false, 1));
}

TEST_F(DataClientTest, CancelAbortsEveryRequestInOrderAndSkipDropsTheQueuedSilently) {
  link.PostRequest(Get("/a"));
  for (auto p : {"/b", "/c", "/d"}) link.PostRequest(Get(p), true);
  log.clear();
  client.CancelRequests();
  fake().Feed(kOk);  // the state check takes the active request down with its connection
  EXPECT_EQ(log, (std::vector<std::string>{"abort /a", "abort /b", "abort /c", "abort /d"}));
  EXPECT_EQ(client.RequestCount(), 0);

  link.PostRequest(Get("/e"));
  for (auto p : {"/f", "/g"}) link.PostRequest(Get(p), true);
  log.clear();
  client.SkipRequests();
  EXPECT_EQ(client.RequestCount(), 1);
  fake().Feed(kOk);
  EXPECT_EQ(log, std::vector<std::string>{});
  EXPECT_EQ(client.RequestCount(), 0);
}

TEST_F(DataClientTest, CancelWithNothingActiveAbortsTheQueueAtOnce) {
  script.connectOk = {false};
  client.setAutoConnect(false);
  link.PostRequest(Get("/a"));
  link.PostRequest(Get("/b"));
  client.CancelRequests();
  EXPECT_EQ(log, (std::vector<std::string>{"abort /a", "abort /b"}));
  EXPECT_EQ(client.RequestCount(), 0);
}

TEST_F(DataClientTest, InsertionOnlyFromABeginHandlerAndAnAbortedInsertTakesItsRequestDown) {
  try {
    link.InsertRequest(Get("/x"));
    FAIL();
  } catch (const ERtcConnection& e) {
    EXPECT_STREQ(e.what(), "You are not allowed to insert requests.");
  }
  bool inserted = false;
  link.OnBeginRequest = [&](TRtcConnection&) {
    log.push_back("begin " + name());
    if (!inserted) {
      inserted = true;
      link.InsertRequest(Get("/handshake"));
      return;
    }
    client.WriteHeader();
  };
  link.PostRequest(Get("/call"));
  EXPECT_EQ(log, (std::vector<std::string>{"begin /call", "begin /handshake"}));
  EXPECT_NE(script.written.find("GET /handshake"), std::string::npos);
  fake().Drop();  // nobody reposts: both end
  EXPECT_EQ(log, (std::vector<std::string>{"begin /call", "begin /handshake", "abort /handshake",
                                           "abort /call"}));
  EXPECT_EQ(client.RequestCount(), 0);
}

TEST_F(DataClientTest, ConnectFailureAbortsAndWaitReportsTheError) {
  script.connectOk = {false};
  client.setAutoConnect(false);
  link.PostRequest(Get("/a"));
  EXPECT_EQ(client.DoWaitForCompletion(false, 1), TRtcWaitForCompletionResult::wait_Error);
  try {
    client.WaitForCompletionEx(false, 1);
    FAIL();
  } catch (const ERtcWaitForCompletion& e) {
    EXPECT_STREQ(e.what(), "WaitForCompletionEx: Connection error.");
  }
  script.connectOk = {false};
  client.Connect();
  EXPECT_EQ(log, (std::vector<std::string>{"abort /a"}));
  EXPECT_EQ(client.DoWaitForCompletion(), TRtcWaitForCompletionResult::wait_OK);
}

TEST_F(DataClientTest, LinksChainTheirEventsAndRefuseCircles) {
  TRtcDataClientLink parent, child;
  parent.setClient(&client);
  child.setLink(&parent);
  EXPECT_EQ(parent.Client(), &client);
  EXPECT_EQ(child.RootClient(), &client);
  std::vector<std::string> order;
  client.OnBeginRequest = [&](TRtcConnection&) { order.push_back("client begin"); };
  parent.OnBeginRequest = [&](TRtcConnection&) { order.push_back("parent begin"); };
  child.OnBeginRequest = [&](TRtcConnection&) {
    order.push_back("child begin");
    client.WriteHeader();
  };
  client.OnResponseDone = [&](TRtcConnection&) { order.push_back("client done"); };
  parent.OnResponseDone = [&](TRtcConnection&) { order.push_back("parent done"); };
  child.OnResponseDone = [&](TRtcConnection&) { order.push_back("child done"); };
  child.PostRequest(Get("/c"));
  fake().Feed(kOk);
  EXPECT_EQ(order, (std::vector<std::string>{"client begin", "parent begin", "child begin",
                                             "child done", "parent done", "client done"}));

  try {
    parent.setLink(&child);
    FAIL();
  } catch (const ERtcInfo& e) {
    EXPECT_STREQ(e.what(), "Circular DataClientLink reference!");
  }
  TRtcDataClientLink loose;
  for (auto [f, text] : std::vector<std::pair<std::function<void()>, const char*>>{
           {[&] { loose.PostRequest(Get("/")); }, "PostRequest: Client connection undefined."},
           {[&] { loose.RequestCount(); }, "RequestCount: Client connection undefined."},
           {[&] { loose.WaitForCompletionEx(); },
            "WaitForCompletionEx: Client connection undefined."}}) {
    try {
      f();
      FAIL() << text;
    } catch (const ERtcConnection& e) {
      EXPECT_STREQ(e.what(), text);
    }
  }
}

TEST_F(DataClientTest, ALinkDestroyedWithQueuedRequestsLeavesThemToTheConnection) {
  auto temp = std::make_unique<TRtcDataClientLink>();
  temp->setClient(&client);
  link.PostRequest(Get("/a"));
  temp->PostRequest(Get("/t"), true);
  temp.reset();
  int ownBegins = 0;
  client.OnBeginRequest = [&](TRtcConnection&) {
    ++ownBegins;
    if (name() == "/t") client.WriteHeader();
  };
  fake().Feed(kOk);
  fake().Feed(kOk);
  EXPECT_EQ(client.RequestCount(), 0);
  EXPECT_EQ(ownBegins, 1);  // the orphan, handled by the connection itself
}

TEST_F(DataClientTest, ASessionOpenedOnOnePeerIsResetWhenThePeerChanges) {
  int opened = 0, closed = 0;
  link.OnSessionOpen = [&](TRtcConnection&) { ++opened; };
  link.OnSessionClose = [&](TRtcConnection&) { ++closed; };
  link.OnResponseDone = [&](TRtcConnection&) {
    if (client.Session().ID().empty()) client.Session().Open("S1");
  };
  link.PostRequest(Get("/a"));
  fake().Feed(kOk);
  EXPECT_EQ(client.Session().ID(), "S1");
  EXPECT_EQ(client.Session().PeerAddr(), "10.0.0.1");
  EXPECT_EQ(opened, 1);

  fake().Drop();
  script.peer = "10.0.0.2";
  link.OnResponseDone = nullptr;
  std::string idAtBegin = "?";
  link.OnBeginRequest = [&](TRtcConnection&) {
    idAtBegin = client.Session().ID();
    client.WriteHeader();
  };
  link.PostRequest(Get("/b"));
  EXPECT_EQ(idAtBegin, "");
  EXPECT_EQ(closed, 1);
}

}  // namespace
}  // namespace vtx
