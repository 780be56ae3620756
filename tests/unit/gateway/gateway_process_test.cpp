// The real vorantelix-gateway on 127.0.0.1, driven over HTTP by the independent client.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "gateway_process.h"
#include "http_transport.h"

namespace vtx::gateway {
namespace {

using testing::GatewayProcess;
using testing::HttpConnection;
using testing::MakeCall;
using testing::ProtocolClient;
using Results = std::vector<std::unique_ptr<TRtcValue>>;

const std::vector<std::string> kBlackBox = {
    "--secure-key", "K3y!", "--encryption", "16", "--force-encryption", "--enable-echo"};

ProtocolClient::Settings withKey(const std::string& key, std::size_t length = 16) {
  ProtocolClient::Settings s;
  s.secureKey = key;
  s.encryptionKey = length;
  return s;
}

TEST(GatewayProcess, EncryptedEchoBatchesRefusalsAndCleanStop) {
  GatewayProcess g(kBlackBox);
  HttpConnection http(g.port());
  ProtocolClient c(http.transport(), withKey("K3y!", 24));
  ASSERT_EQ(c.handshake(), 200);
  Results r;
  std::vector<std::unique_ptr<TRtcFunctionInfo>> calls;
  std::vector<const TRtcValueObject*> batch;
  for (int i = 0; i < 50; ++i) {
    calls.push_back(
        MakeCall(i == 17 ? u"Missing" : u"Echo", i, u"n\u00famero " + Widen(std::to_string(i))));
    batch.push_back(calls.back().get());
  }
  for (int round = 0; round < 3; ++round) {  // keep-alive: the same connection every time
    ASSERT_EQ(c.call(batch, r), 200);
    ASSERT_EQ(r.size(), 50u);
    for (int i = 0; i < 50; ++i) {
      if (i == 17) {
        EXPECT_EQ(r[i]->asException(), u"Function \"Missing\" not found.");
        continue;
      }
      ASSERT_EQ(r[i]->isType(), rtc_Record);
      EXPECT_EQ(r[i]->asRecord()->asInteger("n"), i);
      EXPECT_EQ(r[i]->asRecord()->asText("text"), calls[i]->asText("text"));
    }
  }

  // Wrong secure key, and plain calls against forced encryption, from other connections.
  HttpConnection other(g.port());
  EXPECT_EQ(ProtocolClient(other.transport(), withKey("k3y!")).handshake(), 417);
  ProtocolClient plain(other.transport(), withKey("", 0));
  EXPECT_EQ(plain.call(*MakeCall(u"Echo", 1, u""), r), 412);
  // A wrong control key, then the client's reset.
  c.replayControlKey();
  EXPECT_EQ(c.call(*calls[0], r), 409);
  ASSERT_EQ(c.call({calls[1].get()}, r, true), 200);
  EXPECT_EQ(r[0]->asRecord()->asInteger("n"), 1);

  EXPECT_EQ(g.stop(), 0);
  const std::string log = g.log();
  EXPECT_NE(log.find("event=session-open"), std::string::npos) << log;
  EXPECT_NE(log.find("event=refused status=417"), std::string::npos) << log;
  EXPECT_NE(log.find("event=stopped"), std::string::npos) << log;
}

TEST(GatewayProcess, OversizedGarbageAndCutRequestsLeaveOthersServed) {
  GatewayProcess g({"--enable-echo", "--max-request-size", "65536", "--compression", "fast"});
  HttpConnection keeper(g.port());
  ProtocolClient c(keeper.transport(), {});
  ASSERT_EQ(c.handshake(), 200);
  Results r;
  const RtcWideString big(20000, u'q');
  ASSERT_EQ(c.call(*MakeCall(u"Echo", 1, big), r), 200);
  EXPECT_TRUE(c.lastReplyCompressed());
  EXPECT_EQ(r[0]->asRecord()->asText("text"), big);

  {
    HttpConnection huge(g.port());
    EXPECT_EQ(huge.post("/$rdgate?ID=NEW", std::string(70000, 'x')).status, 413);
    EXPECT_TRUE(huge.closedByPeer());
  }
  {
    HttpConnection junk(g.port());
    EXPECT_EQ(junk.raw("\x01\x02 nonsense\r\n\r\n").status, 400);
  }
  {
    HttpConnection cut(g.port());  // a body announced but never sent in full
    cut.raw("POST /$rdgate?ID=NEW HTTP/1.1\r\nContent-Length: 100\r\n\r\nFC=Echo;", false);
  }
  {
    HttpConnection garbage(g.port());
    EXPECT_EQ(garbage.post("/$rdgate?ID=NEW", "\xff\xfe garbage;;;").status, 400);
    EXPECT_EQ(garbage.post("/elsewhere", "").status, 404);  // and the connection lives on
  }
  ASSERT_EQ(c.call(*MakeCall(u"Echo", 2, u"still here"), r), 200);
  EXPECT_EQ(r[0]->asRecord()->asText("text"), u"still here");
}

TEST(GatewayProcess, IdleSessionsExpire) {
  GatewayProcess g({"--enable-echo", "--session-timeout", "0.3"});
  HttpConnection http(g.port());
  ProtocolClient c(http.transport(), {});
  ASSERT_EQ(c.handshake(), 200);
  Results r;
  ASSERT_EQ(c.call(*MakeCall(u"Echo", 1, u""), r), 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // past the idle time and a sweep
  EXPECT_EQ(c.call(*MakeCall(u"Echo", 1, u""), r), 410);
  c.setSessionId("");
  ASSERT_EQ(c.handshake(), 200);
  EXPECT_EQ(c.call(*MakeCall(u"Echo", 1, u""), r), 200);
  EXPECT_EQ(g.stop(), 0);
  EXPECT_NE(g.log().find("event=session-expired"), std::string::npos);
}

TEST(GatewayProcess, ParallelSessionsKeepTheirOwnCipherStreams) {
  GatewayProcess g(kBlackBox);
  std::vector<std::thread> clients;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t)
    clients.emplace_back([&, t] {
      HttpConnection http(g.port());
      ProtocolClient c(http.transport(), withKey("K3y!"), 100 + t);
      if (c.handshake() != 200) return;
      Results r;
      for (int i = 0; i < 40; ++i) {
        auto call = MakeCall(u"Echo", t * 1000 + i, u"x");
        if (c.call(*call, r) != 200 || r.size() != 1 || !r[0]->asRecord() ||
            r[0]->asRecord()->asInteger("n") != t * 1000 + i)
          return;
      }
      ++good;
    });
  for (auto& c : clients) c.join();
  EXPECT_EQ(good, 4);
}

TEST(GatewayProcess, HelpListsTheOptionsAndBadOptionsFail) {
  const std::string cmd = std::string(VTX_GATEWAY_PATH) + " --help";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_TRUE(p);
  std::string text;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p)) text += buf;
  EXPECT_EQ(::pclose(p), 0);
  for (const char* option :
       {"--listen", "--path", "--secure-key", "--encryption", "--force-encryption",
        "--session-timeout", "--max-request-size", "--enable-echo"})
    EXPECT_NE(text.find(option), std::string::npos) << option;
  const std::string bad = std::string(VTX_GATEWAY_PATH) + " --listen nowhere 2>/dev/null";
  EXPECT_NE(std::system(bad.c_str()), 0);
}

}  // namespace
}  // namespace vtx::gateway
