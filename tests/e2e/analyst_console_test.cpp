// The analyst console and the headless host, each a process of its own, through a real
// gateway process on 127.0.0.1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "e2e/gateway_child.h"

namespace vtx {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
namespace fs = std::filesystem;

const char* const kPassword = "fyduzAKrpRQdnnwXjRM";
const char* const kSecureKey = "kgQWdXnb5mVpW";

// A child process with its standard input, output and error on pipes; output lines are kept.
class Proc {
 public:
  explicit Proc(std::vector<std::string> args) {
    int in[2], out[2], err[2];
    if (::pipe(in) || ::pipe(out) || ::pipe(err)) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    readers_.emplace_back([this, fd = out[0]] { read(fd, out_); });
    readers_.emplace_back([this, fd = err[0]] { read(fd, err_); });
  }
  ~Proc() {
    closeInput();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (auto& t : readers_) t.join();
  }

  void send(const std::string& line) {
    const std::string l = line + "\n";
    ASSERT_EQ(::write(in_, l.data(), l.size()), static_cast<ssize_t>(l.size()));
  }
  void kill(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
  }
  void closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }
  // Waits for an output line containing `text`; true when it came.
  bool waitFor(const std::string& text, std::chrono::milliseconds limit = 20s) {
    std::unique_lock g(lock_);
    return cv_.wait_for(g, limit, [&] {
      for (const auto& l : out_)
        if (l.find(text) != std::string::npos) return true;
      return false;
    });
  }
  // The exit status, waiting at most `limit` (-1 on time-out or a signal).
  int exitCode(std::chrono::milliseconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }
  std::vector<std::string> out() {
    std::lock_guard g(lock_);
    return out_;
  }
  std::string err() {
    std::lock_guard g(lock_);
    std::string all;
    for (const auto& l : err_) all += l + "\n";
    return all;
  }
  // Parsed JSON output lines.
  std::vector<json> events() {
    std::vector<json> v;
    for (const auto& l : out()) {
      json j = json::parse(l, nullptr, false);
      if (!j.is_discarded()) v.push_back(std::move(j));
    }
    return v;
  }

 private:
  void read(int fd, std::vector<std::string>& into) {
    std::string partial;
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      partial.append(buf, static_cast<size_t>(n));
      std::size_t nl;
      while ((nl = partial.find('\n')) != std::string::npos) {
        std::lock_guard g(lock_);
        into.push_back(partial.substr(0, nl));
        partial.erase(0, nl + 1);
        cv_.notify_all();
      }
    }
    ::close(fd);
  }
  pid_t pid_ = -1;
  int in_ = -1;
  std::mutex lock_;
  std::condition_variable cv_;
  std::vector<std::string> out_, err_;
  std::vector<std::thread> readers_;
};

std::vector<std::string> Common(const std::string& port, const std::string& user) {
  return {"--gateway",  "127.0.0.1:" + port, "--user", user,
          "--password", kPassword,           "--key",  kSecureKey};
}

// The common options with the gateway's certificate to check it against (it serves TLS).
std::vector<std::string> Checked(const testing::GatewayChild& gw, const std::string& user) {
  auto a = Common(gw.port(), user);
  if (!gw.caFile().empty()) a.insert(a.end(), {"--tls-ca", gw.caFile()});
  return a;
}

std::unique_ptr<Proc> Host(const testing::GatewayChild& gw, const std::string& user) {
  std::vector<std::string> a = {VTX_TOOL_PATH, "host"};
  for (auto& s : Checked(gw, user)) a.push_back(s);
  auto p = std::make_unique<Proc>(a);
  EXPECT_TRUE(p->waitFor("\"show\":\"ready\"")) << p->err();
  return p;
}

std::unique_ptr<Proc> Analyst(const testing::GatewayChild& gw, const std::string& user,
                              std::vector<std::string> rest) {
  std::vector<std::string> a = {VTX_ANALYST_PATH};
  for (auto& s : Checked(gw, user)) a.push_back(s);
  a.insert(a.end(), rest.begin(), rest.end());
  return std::make_unique<Proc>(a);
}

std::vector<std::string> GatewayArgs() {
  return {"--threads", "2",        "--login-password", kPassword, "--secure-key",      kSecureKey,
          "--db",      ":memory:", "--get-hold",       "2",       "--force-encryption"};
}

// The chat lines of a room as "user: text", in order of arrival.
std::vector<std::string> Lines(Proc& p, const std::string& room) {
  std::vector<std::string> v;
  for (const auto& e : p.events())
    if (e.value("event", "") == "line" && e.value("room", "") == room)
      v.push_back(e.value("user", "") + ": " + e.value("text", ""));
  return v;
}
std::vector<std::string> HostLines(Proc& host) {
  std::vector<std::string> v;
  for (const auto& e : host.events())
    if (e.value("event", "") == "ChatMessageLine") {
      std::string msg = e["data"].value("msg", "");
      if (!msg.empty() && msg.back() == '\r') msg.pop_back();
      v.push_back(e["data"].value("user", "") + ": " + msg);
    }
  return v;
}

TEST(AnalystConsole, ChatBothWaysWithASecondAnalystAndCommands) {
  testing::GatewayChild gw(GatewayArgs());
  auto host = Host(gw, "cust");
  const fs::path timeline =
      fs::temp_directory_path() / ("vtx-timeline-" + std::to_string(getpid()) + ".jsonl");
  fs::remove(timeline);
  auto ana = Analyst(gw, "ana", {"--timeline", timeline.string(), "session"});
  auto bob = Analyst(gw, "bob", {"session"});
  bob->send("chat cust bob is here");
  ASSERT_TRUE(bob->waitFor("bob is here")) << bob->err();

  const std::string unicode = "ol\xc3\xa1 \xe6\x97\xa5\xe6\x9c\xac \xe2\x9c\x93";
  const std::string longLine(10000, 'L');
  ana->send("chat cust hello");
  ana->send("piece cust a");
  ana->send("piece cust b");
  ana->send("chat cust c");
  ana->send("chat cust " + unicode);
  ana->send("chat cust \xf0\x9f\x99\x82 \xff");  // not UTF-8: refused
  ASSERT_TRUE(ana->waitFor("\"event\":\"bad-command\""));
  ana->send("chat cust smile \xf0\x9f\x99\x82");  // beyond 16 bits: a surrogate pair
  ASSERT_TRUE(ana->waitFor("\"text\":\"smile \xf0\x9f\x99\x82\"")) << ana->err();
  ana->send("chat cust " + longLine);
  ASSERT_TRUE(ana->waitFor("\"text\":\"" + longLine)) << ana->err();
  host->send("from the host");
  ana->send("wait-line cust ^from the host$ 20");
  ASSERT_TRUE(ana->waitFor("\"event\":\"matched\"")) << ana->err();
  ASSERT_TRUE(bob->waitFor("\"text\":\"from the host\""));

  const std::vector<std::string> expected = {"ana: hello",       "ana: abc",
                                             "ana: " + unicode,  "ana: smile \xf0\x9f\x99\x82",
                                             "ana: " + longLine, "cust: from the host"};
  EXPECT_EQ(Lines(*ana, "cust"), expected);
  const auto bobLines = Lines(*bob, "cust");
  ASSERT_EQ(bobLines.size(), 7u);
  EXPECT_EQ(bobLines[0], "bob: bob is here");
  EXPECT_EQ(std::vector<std::string>(bobLines.begin() + 1, bobLines.end()), expected);
  const auto hostLines = HostLines(*host);
  ASSERT_EQ(hostLines.size(), 7u);
  EXPECT_EQ(hostLines[1], "ana: hello");
  EXPECT_EQ(hostLines[5], "ana: " + longLine);

  // Commands: from an analyst in the room and from one who never joined any group.
  ana->send("cmd cust <INBOX>");
  auto carl = Analyst(gw, "carl", {"cmd", "cust", "<CLOSE_HOST>"});
  EXPECT_EQ(carl->exitCode(), 0) << carl->err();
  EXPECT_TRUE(host->waitFor(R"({"show":"command","user":"ana","msg":"<INBOX>"})"));
  EXPECT_TRUE(host->waitFor(R"({"show":"command","user":"carl","msg":"<CLOSE_HOST>"})"));

  // The host closes the room; both analysts see it.
  host->send("/close");
  EXPECT_TRUE(ana->waitFor(R"({"event":"left","room":"cust"})"));
  EXPECT_TRUE(bob->waitFor(R"({"event":"left","room":"cust"})"));
  ana->send("quit");
  EXPECT_EQ(ana->exitCode(), 0) << ana->err();

  // The timeline has the room's lines as JSON objects.
  std::ifstream in(timeline);
  int chatLines = 0;
  for (std::string l; std::getline(in, l);) {
    const json j = json::parse(l);
    if (j["event"] == "ChatMessage") ++chatLines;
  }
  EXPECT_EQ(chatLines, 8);  // every piece ana received after joining
  fs::remove(timeline);
}

TEST(AnalystConsole, ClearExitCodesForWhatGoesWrong) {
  testing::GatewayChild gw(GatewayArgs());
  auto host = Host(gw, "cust");

  auto badPassword = std::make_unique<Proc>(std::vector<std::string>{
      VTX_ANALYST_PATH, "--gateway", "127.0.0.1:" + gw.port(), "--user", "ana", "--password",
      "wrong", "--key", kSecureKey, "--tls-ca", gw.caFile(), "hosts"});
  EXPECT_EQ(badPassword->exitCode(), 4);
  EXPECT_NE(badPassword->err().find("wrong user or password"), std::string::npos);

  auto noHost = Analyst(gw, "ana", {"--wait", "1", "chat", "nobody", "hi"});
  EXPECT_EQ(noHost->exitCode(), 5);
  EXPECT_NE(noHost->err().find("host \"nobody\" is not logged in"), std::string::npos);

  auto hosts = Analyst(gw, "ana", {"--json", "--for", "1", "hosts"});
  EXPECT_EQ(hosts->exitCode(), 0);
  EXPECT_TRUE(hosts->waitFor(R"("user":"cust")", 1s));

  // A name that reads as false is refused by the host's access test.
  auto refused = Analyst(gw, "no", {"--wait", "3", "chat", "cust", "hi"});
  EXPECT_EQ(refused->exitCode(), 6);
  EXPECT_NE(refused->err().find("refused access"), std::string::npos);

  // The gateway goes away in the middle of a session.
  auto ana = Analyst(gw, "ana", {"session"});
  ana->send("chat cust still here");
  ASSERT_TRUE(ana->waitFor("still here"));
  gw.stop(true);
  EXPECT_EQ(ana->exitCode(60s), 7);
  EXPECT_NE(ana->err().find("lost the connection to the gateway"), std::string::npos);

  auto unreachable = Analyst(gw, "ana", {"hosts"});
  EXPECT_EQ(unreachable->exitCode(), 3);
  EXPECT_NE(unreachable->err().find("cannot reach the gateway"), std::string::npos);
}

// Every test runs over TLS with the gateway's own certificate; here the console that does not
// check it against that certificate: plain HTTP, or a certificate nobody vouches for (the
// system's store), cannot reach the gateway.
TEST(AnalystConsole, OverTlsOnlyWithTheGatewaysCertificate) {
  testing::GatewayChild gw(GatewayArgs());
  ASSERT_FALSE(gw.caFile().empty());
  auto host = Host(gw, "cust");
  auto hosts = Analyst(gw, "ana", {"--json", "--for", "1", "hosts"});
  EXPECT_EQ(hosts->exitCode(), 0) << hosts->err();
  EXPECT_TRUE(hosts->waitFor(R"("user":"cust")", 1s));

  auto run = [&](const std::string& user, std::vector<std::string> rest) {
    std::vector<std::string> a = {VTX_ANALYST_PATH};
    for (auto& s : Common(gw.port(), user)) a.push_back(s);
    a.insert(a.end(), rest.begin(), rest.end());
    return std::make_unique<Proc>(a);
  };
  auto plain = run("bob", {"--for", "1", "hosts"});
  EXPECT_EQ(plain->exitCode(), 3);
  auto untrusted = run("carl", {"--tls", "--for", "1", "hosts"});
  EXPECT_EQ(untrusted->exitCode(), 3);
}

// The host tool ends at the end of its input unless told to wait for a signal, and says why.
TEST(AnalystConsole, HostToolSaysWhyItStops) {
  testing::GatewayChild gw(GatewayArgs());
  struct Case {
    const char* name;
    bool untilSignal;
    int signal;  // sent once input ended; 0 none
    const char* why;
  };
  for (const Case& c : {Case{"end of input", false, 0, "end of standard input"},
                        Case{"until SIGTERM", true, SIGTERM, "SIGTERM"},
                        Case{"until SIGINT", true, SIGINT, "SIGINT"}}) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> a = {VTX_TOOL_PATH, "host"};
    for (auto& s : Checked(gw, "cust")) a.push_back(s);
    if (c.untilSignal) a.push_back("--until-signal");
    Proc host(a);
    ASSERT_TRUE(host.waitFor("\"show\":\"ready\"")) << host.err();
    host.closeInput();
    if (c.signal) {
      EXPECT_EQ(host.exitCode(1500ms), -1) << "ended at the end of its input";
      host.kill(c.signal);
    }
    EXPECT_EQ(host.exitCode(), 0) << host.err();
    EXPECT_NE(host.err().find(c.why), std::string::npos) << host.err();
  }
}

// Each way of not getting in is named: the analyst can tell a TLS fault from a wrong key, a
// wrong password or nothing listening.
TEST(AnalystConsole, ConnectionFaultsAreNamed) {
  testing::GatewayChild gw(GatewayArgs());
  testing::GatewayChild plain(GatewayArgs(), testing::GatewayChild::Transport::Plain);
  struct Case {
    const char* name;
    std::string port;
    std::vector<std::string> options;
    int exit;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"plain client on TLS", gw.port(), {"--key", kSecureKey}, 3, "if it speaks TLS"},
      {"untrusted certificate",
       gw.port(),
       {"--key", kSecureKey, "--tls"},
       3,
       "certificate verification failed"},
      {"TLS client on plain HTTP",
       plain.port(),
       {"--key", kSecureKey, "--tls-ca", gw.caFile()},
       3,
       "speaks plain HTTP, not TLS"},
      {"wrong key", gw.port(), {"--key", "nope", "--tls-ca", gw.caFile()}, 4, "secure key"},
      {"wrong password",
       gw.port(),
       {"--key", kSecureKey, "--tls-ca", gw.caFile(), "--password", "nope"},
       4,
       "wrong user or password"},
      {"nothing listening", "1", {"--key", kSecureKey}, 3, "nothing accepts connections"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> a = {VTX_ANALYST_PATH, "--gateway", "127.0.0.1:" + c.port,
                                  "--user",         "ana",       "--password",
                                  kPassword};
    a.insert(a.end(), c.options.begin(), c.options.end());
    a.insert(a.end(), {"--for", "0", "hosts"});
    Proc p(a);
    EXPECT_EQ(p.exitCode(60s), c.exit) << p.err();
    EXPECT_NE(p.err().find(c.says), std::string::npos) << p.err();
  }
}

// The timeline is the analyst's own trail: each action with its host and details, typed text
// by its length only.
TEST(AnalystConsole, TimelineRecordsTheAnalystsActions) {
  testing::GatewayChild gw(GatewayArgs());
  auto host = Host(gw, "cust");
  const fs::path timeline =
      fs::temp_directory_path() / ("vtx-trail-" + std::to_string(getpid()) + ".jsonl");
  fs::remove(timeline);
  const fs::path folder = fs::temp_directory_path() / ("vtx-trail-" + std::to_string(getpid()));
  auto ana = Analyst(gw, "ana", {"--timeline", timeline.string(), "session"});
  ana->send("cmd cust <INBOX>");
  ana->send("ls cust /");
  ana->send("md cust " + folder.string());
  ana->send("settings cust frame=max");
  ana->send("quit");
  EXPECT_EQ(ana->exitCode(), 0) << ana->err();
  struct Want {
    std::string action, detail, value;
  };
  const std::vector<Want> wants = {{"cmd", "Text", "<INBOX>"},
                                   {"ls", "Path", "/"},
                                   {"md", "Path", folder.string()},
                                   {"settings", "Set", "frame=max"}};
  std::vector<json> actions;
  std::ifstream in(timeline);
  for (std::string l; std::getline(in, l);) {
    const json j = json::parse(l);
    if (j["event"] == "AnalystAction") actions.push_back(j["entries"]);
  }
  ASSERT_EQ(actions.size(), wants.size());
  for (std::size_t i = 0; i < wants.size(); ++i) {
    EXPECT_EQ(actions[i].value("Action", ""), wants[i].action);
    EXPECT_EQ(actions[i].value("Host", ""), "cust");
    EXPECT_EQ(actions[i].value(wants[i].detail, ""), wants[i].value) << actions[i].dump();
  }
  fs::remove(timeline);
  std::error_code ec;
  fs::remove_all(folder, ec);
}

// A command ends once its work is done: the logout does not wait out the gateway's hold of the
// long poll.
TEST(AnalystConsole, CommandsEndWithoutWaitingOutTheGatewaysHold) {
  std::vector<std::string> args = GatewayArgs();
  const auto hold = std::find(args.begin(), args.end(), "--get-hold");
  ASSERT_NE(hold, args.end());
  *(hold + 1) = "25";
  testing::GatewayChild gw(args);
  auto host = Host(gw, "cust");
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"--for", "0.5", "hosts"},
        std::vector<std::string>{"cmd", "cust", "<INBOX>"}}) {
    SCOPED_TRACE(command.back());
    const auto start = std::chrono::steady_clock::now();
    auto ana = Analyst(gw, "ana", command);
    EXPECT_EQ(ana->exitCode(), 0) << ana->err();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  }
}

// An interrupt or SIGTERM ends any command with a logout: the host sees the analyst leave.
TEST(AnalystConsole, InterruptLogsOut) {
  testing::GatewayChild gw(GatewayArgs());
  auto host = Host(gw, "cust");
  int left = 0;
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    auto ana = Analyst(gw, "ana", {"--json", "chat", "cust"});
    ASSERT_TRUE(ana->waitFor("\"event\":\"joined\"")) << ana->err();
    ana->kill(sig);
    EXPECT_EQ(ana->exitCode(), 128 + sig) << ana->err();
    ++left;
    const auto end = std::chrono::steady_clock::now() + 20s;
    int seen = 0;
    while (std::chrono::steady_clock::now() < end) {
      seen = 0;
      for (const auto& e : host->events())
        if (e.value("event", "") == "ChatUserLeft") ++seen;
      if (seen >= left) break;
      std::this_thread::sleep_for(50ms);
    }
    EXPECT_GE(seen, left) << "the host never saw the analyst leave";
  }
}

// The analyst's password is never the program's own: it comes from --password or the config
// file, else (with no terminal to ask on) the command is a usage error.
TEST(AnalystConsole, PasswordFromOptionOrConfigElseAUsageError) {
  testing::GatewayChild gw(GatewayArgs());
  const fs::path config =
      fs::temp_directory_path() / ("vtx-analyst-" + std::to_string(getpid()) + ".json");
  std::ofstream(config) << "{\"password\": \"" << kPassword << "\"}";
  const std::vector<std::string> base = {VTX_ANALYST_PATH, "--gateway", "127.0.0.1:" + gw.port(),
                                         "--user",         "ana",       "--key",
                                         kSecureKey,       "--tls-ca",  gw.caFile()};
  struct Case {
    const char* name;
    std::vector<std::string> extra;
    std::string env;
    int exit;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"none", {}, "", 2, "no password"},
      {"option", {"--password", kPassword}, "", 0, ""},
      {"config", {}, "VORANTELIX_ANALYST_CONFIG=" + config.string(), 0, ""},
      {"wrong", {"--password", "nope"}, "", 4, "wrong user or password"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> a = {"/usr/bin/env", "-u", "VORANTELIX_ANALYST_CONFIG"};
    if (!c.env.empty()) a.push_back(c.env);
    a.insert(a.end(), base.begin(), base.end());
    a.insert(a.end(), c.extra.begin(), c.extra.end());
    a.insert(a.end(), {"--for", "0", "hosts"});
    Proc p(a);
    EXPECT_EQ(p.exitCode(), c.exit) << p.err();
    EXPECT_NE(p.err().find(c.says), std::string::npos) << p.err();
  }
  fs::remove(config);
}

}  // namespace
}  // namespace vtx
