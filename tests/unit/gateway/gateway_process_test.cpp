// The real vorantelix-gateway on 127.0.0.1, driven over HTTP by the independent client.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "http_transport.h"

namespace vtx::gateway {
namespace {

using testing::HttpConnection;
using testing::MakeCall;
using testing::ProtocolClient;
using Results = std::vector<std::unique_ptr<TRtcValue>>;
namespace fs = std::filesystem;

// A running gateway; stopped with SIGTERM on destruction, which must end it cleanly.
class GatewayProcess {
 public:
  explicit GatewayProcess(std::vector<std::string> extra) {
    static int counter = 0;
    log_ = fs::temp_directory_path() /
           ("vtx-gateway-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".log");
    std::vector<std::string> args = {VTX_GATEWAY_PATH, "--listen", "127.0.0.1:0", "--threads", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(out[1], STDOUT_FILENO);
      const int err = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(err, STDERR_FILENO);
      ::close(out[0]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
    const std::string line = readLine(std::chrono::seconds(10));
    const std::string prefix = "vorantelix-gateway: ready 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) throw std::runtime_error("gateway did not start: " + line);
    port_ = static_cast<unsigned short>(std::stoi(line.substr(prefix.size())));
  }
  ~GatewayProcess() {
    if (pid_ > 0) {
      EXPECT_EQ(stop(), 0);
    }
    if (out_ >= 0) ::close(out_);
    std::error_code ec;
    fs::remove(log_, ec);
  }

  // SIGTERM, then the exit status (-1 when it had to be killed after 10 s).
  int stop() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
  }
  unsigned short port() const { return port_; }
  std::string log() const {
    std::ifstream f(log_);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }

 private:
  std::string readLine(std::chrono::milliseconds timeout) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char c;
      if (::read(out_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line.push_back(c);
    }
    return line;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  unsigned short port_ = 0;
  fs::path log_;
};

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
