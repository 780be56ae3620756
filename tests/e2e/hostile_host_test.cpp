// A hostile host against the real analyst console through a real gateway on 127.0.0.1: a portal
// client of this process that logs in as the customer and speaks the file and chat messages
// itself. Whatever it sends, the console writes only what the analyst asked for, grants it
// nothing of the analyst's files, keeps the terminal safe and drops what no command uses.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_process.h"
#include "e2e/gateway_child.h"
#include "filetransfer/file_transfer.h"
#include "platform/system_info.h"
#include "portal/http_portal_client.h"
#include "portal/portal_chat.h"
#include "util/datetime.h"
#include "util/text.h"

namespace vtx {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using e2e::Child;
using e2e::readAll;

const char* const kPassword = "fyduzAKrpRQdnnwXjRM";
const char* const kSecureKey = "kgQWdXnb5mVpW";

std::unique_ptr<TRtcFunctionInfo> message(const char16_t* name) {
  auto f = std::make_unique<TRtcFunctionInfo>();
  f->setFunctionName(name);
  return f;
}

// A file module whose messages from the console the test may answer itself.
class HostileFiles : public TRtcPFileTransfer {
 public:
  // True when it answered the message (the module's own handling is skipped).
  std::function<bool(const std::string& user, TRtcFunctionInfo& data)> intercept;
  void HandleDataFromUser(TRtcConnection* Sender, const std::string& user,
                          TRtcFunctionInfo& Data) override {
    if (intercept && intercept(user, Data)) return;
    TRtcPFileTransfer::HandleDataFromUser(Sender, user, Data);
  }
};

struct HostileHost {
  HostileHost(const testing::GatewayChild& gw) {
    client.setGateAddr("127.0.0.1");
    client.setGatePort(gw.port());
    client.setGate_SSL(true);
    client.setGate_SSLCAFile(gw.caFile());
    client.setMultiThreaded(true);
    client.setDataEncrypt(16);
    client.setDataForceEncrypt(true);
    client.setDataSecureKey(kSecureKey);
    client.setLoginPassword(kPassword);
    client.setLoginUserName("cust");
    client.setUserVisible(true);
    files.setBeTheHost(true);
    files.setAccessControl(false);
    files.On_FileList = [this](TRtcPFileTransfer&, const std::string&, const std::string&,
                               TRtcDataSet&) {
      std::lock_guard g(lock);
      ++listings;
    };
    files.On_FileError = [this](TRtcPFileTransfer&, const std::string&, const std::string& file,
                                const std::string& msg) {
      std::lock_guard g(lock);
      errors.push_back(file + ": " + msg);
    };
    files.On_FileRecvStart = [this](TRtcPFileTransfer&, const std::string&, const std::string&,
                                    const std::string&, int64_t) {
      std::lock_guard g(lock);
      ++offersFromConsole;
    };
    files.setClient(&client);
    chat.setBeTheHost(true);
    chat.setAccessControl(false);
    chat.setClient(&client);
    client.OnStart = [this](TAbsPortalClient&, TRtcValue&) {
      std::lock_guard g(lock);
      started = true;
    };
    client.setActive(true);
  }
  ~HostileHost() {
    files.setClient(nullptr);
    chat.setClient(nullptr);
    client.Stop();
  }
  bool waitStarted() {
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < end) {
      {
        std::lock_guard g(lock);
        if (started) return true;
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  void send(std::unique_ptr<TRtcFunctionInfo> f) {
    client.SendToUser(nullptr, "ana", std::move(f));
  }
  void offer(const std::string& path, int64_t size) {
    auto f = message(u"putfile");
    f->setAsInteger("id", 77);
    f->setAsText("path", Utf8Decode(path));
    f->setAsText("to", u"");
    f->setAsLargeInt("size", size);
    send(std::move(f));
  }
  void chunk(const std::string& path, const std::string& file, const std::string& data,
             int64_t at = 0, bool last = true) {
    auto f = message(u"file");
    f->setAsText("file", Utf8Decode(file));
    f->setAsText("path", Utf8Decode(path));
    f->setAsString("data", data);
    f->setAsLargeInt("at", at);
    if (last) {
      f->setAsDateTime("fage", EncodeDate(2020, 1, 2));
      f->setAsInteger("fattr", 0x20);
      f->setAsBoolean("stop", true);
    }
    send(std::move(f));
  }
  void command(const std::string& c, const std::string& file, const std::string& extra = {}) {
    auto f = message(u"filecmd");
    f->setAsText("c", Utf8Decode(c));
    f->setAsText("file", Utf8Decode(file));
    f->setAsText(c == "md" ? "dir" : c == "run" ? "par" : "new", Utf8Decode(extra));
    send(std::move(f));
  }
  void chatLine(const std::string& author, const std::string& text) {
    auto f = message(u"msg");
    f->setAsText("s", Utf8Decode(text + "\r"));
    f->setAsText("user", Utf8Decode(author));
    send(std::move(f));
  }

  FixedSystemInfo system{"PC-CUST", "cust", "127.0.0.1"};
  TRtcHttpPortalClient client{&system};
  HostileFiles files;
  TRtcPChat chat;
  std::mutex lock;
  bool started = false;
  int listings = 0, offersFromConsole = 0;
  std::vector<std::string> errors;
};

class HostileHostE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtx-hostile-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    gw_ = std::make_unique<testing::GatewayChild>(std::vector<std::string>{
        "--threads", "2", "--login-password", kPassword, "--secure-key", kSecureKey, "--db",
        ":memory:", "--get-hold", "2", "--force-encryption"});
    host_ = std::make_unique<HostileHost>(*gw_);
    ASSERT_TRUE(host_->waitStarted());
  }
  void TearDown() override {
    host_.reset();
    gw_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // Runs the console to its end; its exit code (output in dir_/name and name.err).
  int console(const std::string& name, std::vector<std::string> command) {
    std::vector<std::string> a = {VTX_ANALYST_PATH, "--gateway",  "127.0.0.1:" + gw_->port(),
                                  "--user",         "ana",        "--password",
                                  kPassword,        "--key",      kSecureKey,
                                  "--tls-ca",       gw_->caFile()};
    a.insert(a.end(), command.begin(), command.end());
    Child c(a, dir_ / name);
    return c.wait();
  }
  HostileHost* h() { return host_.get(); }
  std::string out(const std::string& name) { return readAll(dir_ / name); }
  std::string err(const std::string& name) { return readAll(dir_ / (name + ".err")); }

  fs::path dir_;
  std::unique_ptr<testing::GatewayChild> gw_;
  std::unique_ptr<HostileHost> host_;
};

std::string lastLine(const std::string& text) {
  std::string t = text;
  while (!t.empty() && t.back() == '\n') t.pop_back();
  const auto nl = t.rfind('\n');
  return nl == std::string::npos ? t : t.substr(nl + 1);
}

TEST_F(HostileHostE2E, FetchWritesOnlyWhatWasAskedAndTheHostGetsNothingOfTheAnalysts) {
  const fs::path remote = dir_ / "remote", local = dir_ / "local", mine = dir_ / "analyst";
  fs::create_directories(remote);
  fs::create_directories(mine);
  std::ofstream(remote / "wanted.txt") << "the wanted contents";
  std::ofstream(mine / "private.txt") << "secret";
  std::ofstream(mine / "script.sh") << "#!/bin/sh\ntouch " << (mine / "ran").string() << "\n";
  fs::permissions(mine / "script.sh", fs::perms::owner_all);
  const std::string wanted = (remote / "wanted.txt").string();

  using Attack = std::function<void(HostileHost&)>;
  struct Case {
    const char* name;
    Attack before;  // sent when the console asks for the file, before the host answers
    bool answer;    // the host then sends the file as asked
    std::vector<std::string> options;
    int exit;
    std::string wantedContents;       // in local/ afterwards; "" none
    std::vector<std::string> absent;  // below local/
    std::string lastLine;             // part of the console's last line
  };
  auto h = host_.get();
  const std::string big(1 << 20, 'X');
  const std::vector<Case> cases = {
      {"as asked", nullptr, true, {}, 0, "the wanted contents", {}, "done: 1 file, 19 bytes"},
      {"unrequested offers and files beside it",
       [](HostileHost& x) {
         x.offer(".bashrc", 4);
         x.chunk(".bashrc", ".bashrc", "EVIL");
         x.offer(".ssh", 4);
         x.chunk(".ssh", ".ssh/authorized_keys", "EVIL");
       },
       true,
       {},
       9,
       "the wanted contents",
       {".bashrc", ".ssh"},
       "refused"},
      {"chunks that were never offered",
       [&](HostileHost& x) {
         for (int i = 0; i < 8; ++i) x.chunk("evil.bin", "evil.bin", big, i << 20, i == 7);
       },
       true,
       {},
       9,
       "the wanted contents",
       {"evil.bin"},
       "done: 1 file"},
      {"a name beyond the asked entry",
       [](HostileHost& x) {
         x.offer("wanted.txt", 4);
         x.chunk("wanted.txt", "wanted.txt.bashrc", "EVIL");
       },
       false,
       {},
       9,
       "",
       {"wanted.txt.bashrc"},
       "refused 1: wanted.txt.bashrc: Not requested!"},
      {"bytes beyond the offer",
       [](HostileHost& x) {
         x.offer("wanted.txt", 4);
         x.chunk("wanted.txt", "wanted.txt", std::string(100, 'E'));
       },
       false,
       {},
       9,
       "",
       {"wanted.txt"},
       "incomplete: 0 files"},
      {"over the size limit",
       nullptr,
       true,
       {"--max-fetch", "10"},
       9,
       "",
       {"wanted.txt"},
       "wanted.txt: Larger than the size limit!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(local);
    h->files.intercept = [&](const std::string&, TRtcFunctionInfo& data) {
      if (data.FunctionName() != u"getfile") return false;
      if (c.before) c.before(*h);
      return !c.answer;
    };
    std::vector<std::string> command = c.options;
    command.insert(command.end(), {"fetch", "cust", wanted, local.string()});
    EXPECT_EQ(console("fetch.out", command), c.exit) << err("fetch.out") << out("fetch.out");
    if (c.wantedContents.empty())
      EXPECT_FALSE(fs::exists(local / "wanted.txt"));
    else
      EXPECT_EQ(readAll(local / "wanted.txt"), c.wantedContents);
    for (const std::string& a : c.absent) EXPECT_FALSE(fs::exists(local / a)) << a;
    EXPECT_NE(lastLine(out("fetch.out")).find(c.lastLine), std::string::npos) << out("fetch.out");
    // Nothing half-written stays.
    if (fs::exists(local)) {
      for (auto& e : fs::recursive_directory_iterator(local))
        EXPECT_EQ(e.path().filename().string().find(".vtx-"), std::string::npos) << e.path();
    }
  }

  // An existing local file stays unless --overwrite.
  h->files.intercept = nullptr;
  fs::create_directories(local);
  std::ofstream(local / "wanted.txt") << "mine";
  EXPECT_EQ(console("keep.out", {"fetch", "cust", wanted, local.string()}), 9);
  EXPECT_EQ(readAll(local / "wanted.txt"), "mine");
  EXPECT_NE(out("keep.out").find("File exists!"), std::string::npos) << out("keep.out");
  EXPECT_EQ(console("over.out", {"--overwrite", "fetch", "cust", wanted, local.string()}), 0);
  EXPECT_EQ(readAll(local / "wanted.txt"), "the wanted contents");

  // While the console is in its file group, the host asks for the analyst's files.
  {
    std::lock_guard g(h->lock);
    h->errors.clear();
  }
  h->files.intercept = [&](const std::string&, TRtcFunctionInfo& data) {
    if (data.FunctionName() != u"getfile") return false;
    h->command("list", "/");
    h->command("list", mine.string());
    auto get = message(u"getfile");
    get->setAsText("file", Utf8Decode((mine / "private.txt").string()));
    get->setAsText("to", u"");
    h->send(std::move(get));
    h->command("del", (mine / "private.txt").string());
    h->command("ren", (mine / "private.txt").string(), (mine / "moved.txt").string());
    h->command("mov", (mine / "private.txt").string(), (dir_ / "moved.txt").string());
    h->command("md", "", (mine / "made").string());
    h->command("run", (mine / "script.sh").string());
    return false;
  };
  fs::remove_all(local);
  EXPECT_EQ(console("own.out", {"fetch", "cust", wanted, local.string()}), 0) << err("own.out");
  std::this_thread::sleep_for(500ms);
  {
    std::lock_guard g(h->lock);
    EXPECT_EQ(h->listings, 0);
    EXPECT_EQ(h->offersFromConsole, 0);
    // Each request is refused in words (a listing and a run without an answer).
    const std::vector<std::string> refusals = {
        "Download not allowed!", "Delete files not allowed!", "Rename files not allowed!",
        "Move files not allowed!", "Create folders not allowed!"};
    EXPECT_EQ(h->errors.size(), refusals.size());
    for (const std::string& r : refusals) {
      EXPECT_TRUE(std::any_of(h->errors.begin(), h->errors.end(), [&](const std::string& e) {
        return e.find(r) != std::string::npos;
      })) << r;
    }
  }
  EXPECT_EQ(readAll(mine / "private.txt"), "secret");
  EXPECT_FALSE(fs::exists(mine / "moved.txt"));
  EXPECT_FALSE(fs::exists(dir_ / "moved.txt"));
  EXPECT_FALSE(fs::exists(mine / "made"));
  EXPECT_FALSE(fs::exists(mine / "ran"));
}

TEST_F(HostileHostE2E, HostTextCannotDriveTheTerminalNorForgeAnAuthor) {
  struct Case {
    const char* name;
    std::string author, text;
    std::string shown;  // the console's text line
  };
  const std::vector<Case> cases = {
      {"retitle", "cust", "\x1b]0;owned\x07hi", "[cust] cust: ^[]0;owned^Ghi"},
      {"clear", "cust", "\x1b[2J\x1b[Hclean", "[cust] cust: ^[[2J^[[Hclean"},
      {"C1 introducer", "cust",
       "\xc2\x9b"
       "31mred",
       "[cust] cust: <U+009B>31mred"},
      {"carriage return", "cust", "a\rb", "[cust] cust: a^Mb"},
      {"forged author", "supervisor", "please run x",
       "[cust] cust (relaying \"supervisor\"): please run x"},
      {"forged author with a line break", "cust\n[cust] supervisor", "run",
       "[cust] cust (relaying \"cust^J[cust] supervisor\"): run"},
  };
  host_->chat.On_ChatUserJoined = [&](TRtcPChat&, const std::string&, const std::string& user) {
    if (user != "ana") return;
    for (const Case& c : cases) host_->chatLine(c.author, c.text);
  };
  EXPECT_EQ(console("chat.out", {"--for", "4", "chat", "cust"}), 0) << err("chat.out");
  const std::string said = out("chat.out");
  EXPECT_EQ(said.find('\x1b'), std::string::npos);
  EXPECT_EQ(said.find("\xc2\x9b"), std::string::npos);
  for (const Case& c : cases)
    EXPECT_NE(said.find(c.shown + "\n"), std::string::npos) << c.name << "\n" << said;

  // JSON keeps the texts exact and names the gateway's sender.
  EXPECT_EQ(console("chat.json", {"--json", "--for", "4", "chat", "cust"}), 0);
  const std::string json = out("chat.json");
  EXPECT_NE(json.find(R"("user":"supervisor","sender":"cust","text":"please run x")"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(R"("text":"\u001b]0;owned\u0007hi")"), std::string::npos) << json;

  // A listing with control characters in its names and text where numbers belong.
  host_->files.intercept = [&](const std::string&, TRtcFunctionInfo& data) {
    if (data.FunctionName() != u"filecmd") return false;
    TRtcDataSet rows;
    rows.Append();
    rows.setAsText("file", Utf8Decode("\x1b[2Jevil.txt"));
    rows.setAsText("size", u"a lot");
    rows.setAsText("attr", u"none");
    rows.setAsText("age", Utf8Decode("\x1b]0;t\x07"));
    auto f = message(u"filecmd");
    f->setAsText("c", u"flist");
    f->setAsText("file", u"/x");
    f->setAsDataSet("data", rows);
    host_->send(std::move(f));
    return true;
  };
  EXPECT_EQ(console("ls.out", {"ls", "cust", "/x"}), 0) << err("ls.out");
  const std::string listed = out("ls.out");
  EXPECT_EQ(listed.find('\x1b'), std::string::npos) << listed;
  EXPECT_NE(listed.find("^[[2Jevil.txt"), std::string::npos) << listed;
}

// Files the host pushes unasked land only in the folder the analyst named for them.
TEST_F(HostileHostE2E, PushesLandOnlyWhereTheAnalystAllowed) {
  const fs::path push = dir_ / "push";
  fs::create_directories(dir_ / "remote");
  struct Case {
    const char* name;
    bool allowed;
  };
  for (const Case& c : {Case{"not allowed", false}, Case{"allowed", true}}) {
    SCOPED_TRACE(c.name);
    h()->files.intercept = [&](const std::string&, TRtcFunctionInfo& data) {
      if (data.FunctionName() != u"filecmd") return false;
      h()->offer("pushed.txt", 6);
      h()->chunk("pushed.txt", "pushed.txt", "PUSHED");
      return false;
    };
    std::vector<std::string> command = {"ls", "cust", (dir_ / "remote").string()};
    if (c.allowed) command.insert(command.begin(), {"--accept-from-host", push.string()});
    EXPECT_EQ(console("push.out", command), 0) << err("push.out");
    EXPECT_EQ(readAll(push / "pushed.txt"), c.allowed ? "PUSHED" : "");
    EXPECT_FALSE(fs::exists(dir_ / "pushed.txt"));
    EXPECT_FALSE(fs::exists(fs::current_path() / "pushed.txt"));
  }
}

// A file command reports what the host did: the folder is listed after it, so a host that
// ignores the command and says nothing cannot make it look done.
TEST_F(HostileHostE2E, FileCommandsReportWhatTheHostDid) {
  const fs::path made = dir_ / "remote" / "made";
  fs::create_directories(dir_ / "remote");
  h()->files.setGAllow(TRtcPFileTransfer::capFolderCreate, true);
  enum class Host { Does, IgnoresAndLists, IgnoresSilently, Refuses };
  struct Case {
    const char* name;
    Host host;
    int exit;
    std::string says;  // in standard output and error
  };
  const std::vector<Case> cases = {
      {"done", Host::Does, 0, "done: md"},
      {"ignored, the listing shows it", Host::IgnoresAndLists, 9, "is not there"},
      {"ignored, no listing", Host::IgnoresSilently, 0, "does not list"},
      {"refused", Host::Refuses, 9, "No ^[[2Jway!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(made);
    h()->files.intercept = [&](const std::string&, TRtcFunctionInfo& data) {
      if (data.FunctionName() != u"filecmd" || c.host == Host::Does) return false;
      const std::string cmd = Utf8Encode(data.asText("c"));
      if (cmd == "md" && c.host == Host::Refuses) {
        auto f = message(u"error");
        f->setAsText("file", Utf8Decode(made.string()));
        f->setAsText("msg", Utf8Decode("No \x1b[2Jway!"));
        h()->send(std::move(f));
      }
      if (cmd == "list" && c.host == Host::IgnoresAndLists) return false;
      return true;
    };
    const int code = console("md.out", {"--wait", "2", "md", "cust", made.string()});
    EXPECT_EQ(code, c.exit) << err("md.out") << out("md.out");
    EXPECT_NE((out("md.out") + err("md.out")).find(c.says), std::string::npos)
        << out("md.out") << err("md.out");
    EXPECT_EQ(fs::exists(made), c.host == Host::Does);
  }
}

TEST_F(HostileHostE2E, MessagesNoCommandUsesAreDroppedAndCounted) {
  const fs::path remote = dir_ / "remote";
  fs::create_directories(remote);
  std::ofstream(remote / "one.txt") << "1";
  struct Case {
    const char* name;
    std::vector<std::string> command;
    int lines;  // chat lines the host sends unasked
  };
  const std::vector<Case> cases = {
      {"a listing", {"ls", "cust", remote.string()}, 3000},
      {"a fetch", {"fetch", "cust", (remote / "one.txt").string(), (dir_ / "got").string()}, 3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host_->files.intercept = [&](const std::string&, TRtcFunctionInfo& data) {
      const bool asks = data.FunctionName() == u"getfile" || data.FunctionName() == u"filecmd";
      if (asks)
        for (int i = 0; i < c.lines; ++i) host_->chatLine("cust", "flood " + std::to_string(i));
      return false;
    };
    EXPECT_EQ(console("flood.out", c.command), 0) << err("flood.out");
    const std::string e = err("flood.out");
    const auto at = e.find("dropped ");
    ASSERT_NE(at, std::string::npos) << e;
    EXPECT_GE(std::stol(e.substr(at + 8)), c.lines) << e;
    EXPECT_EQ(out("flood.out").find("flood"), std::string::npos);
  }
}

}  // namespace
}  // namespace vtx
