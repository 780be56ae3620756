// Files between the analyst console and the headless host, each a process of its own, through
// a real gateway process on 127.0.0.1: contents, times and trees arrive whole, commands work or
// are refused with their text, a cancel from either side or a killed gateway leaves no file
// that looks complete, and a hostile peer's names never write outside the target folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_process.h"
#include "e2e/gateway_child.h"
#include "filetransfer/file_transfer.h"
#include "platform/system_info.h"
#include "portal/http_portal_client.h"
#include "util/datetime.h"
#include "util/text.h"

namespace vtx {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using e2e::Child;
using e2e::readAll;
using e2e::waitForText;

const char* const kPassword = "fyduzAKrpRQdnnwXjRM";
const char* const kSecureKey = "kgQWdXnb5mVpW";

void writeRandom(const fs::path& p, std::size_t size, unsigned seed) {
  fs::create_directories(p.parent_path());
  std::mt19937_64 gen(seed);
  std::string data(size, '\0');
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    const uint64_t v = gen();
    std::memcpy(&data[i], &v, 8);
  }
  std::ofstream(p, std::ios::binary) << data;
}

std::string tail(const fs::path& file) {
  const std::string all = readAll(file);
  return all.size() > 1500 ? all.substr(all.size() - 1500) : all;
}

int count(const fs::path& file, const std::string& text) {
  const std::string all = readAll(file);
  int n = 0;
  for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
  return n;
}

bool waitForCount(const fs::path& file, const std::string& text, int n,
                  std::chrono::milliseconds limit = 30s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (count(file, text) < n) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// Byte for byte, without holding either file whole.
bool sameContents(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::file_size(a, ec) != fs::file_size(b, ec) || ec) return false;
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::vector<char> bx(1 << 20), by(1 << 20);
  while (x && y) {
    x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
    y.read(by.data(), static_cast<std::streamsize>(by.size()));
    if (x.gcount() != y.gcount() || !std::equal(bx.begin(), bx.begin() + x.gcount(), by.begin()))
      return false;
  }
  return true;
}

// Sanitizer builds run every process many times slower: smaller files there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kBigFile = 64u << 20;
#else
constexpr std::size_t kBigFile = 64u << 20;
#endif

// The sender is done when its last chunk left; the receiver writes it a moment later.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 30s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// Every file below `root`, relative, with its contents.
std::map<std::string, std::string> tree(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) out[fs::relative(e.path(), root).string()] = readAll(e.path());
  return out;
}

class FileTransferE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtx-ft-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::create_directories(dir_ / "inbox");
    std::vector<std::string> args = {
        "--threads", "2",        "--login-password", kPassword, "--secure-key",      kSecureKey,
        "--db",      ":memory:", "--get-hold",       "2",       "--force-encryption"};
    for (const std::string& a : extraGatewayArgs()) args.push_back(a);
    gw_ = std::make_unique<testing::GatewayChild>(std::move(args));
    host_ = std::make_unique<Child>(
        std::vector<std::string>{VTX_TOOL_PATH, "host", "--gateway", "127.0.0.1:" + gw_->port(),
                                 "--user", "cust", "--password", kPassword, "--key", kSecureKey,
                                 "--inbox", (dir_ / "inbox").string(), "--tls-ca", gw_->caFile()},
        dir_ / "host.out", std::vector<std::string>{"XDG_DATA_HOME=" + (dir_ / "data").string()});
    ASSERT_TRUE(waitForText(dir_ / "host.out", "\"show\":\"ready\"", 20s));
  }
  virtual std::vector<std::string> extraGatewayArgs() const { return {}; }
  void TearDown() override {
    host_.reset();
    gw_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // Runs the console to its end; its exit code (output in dir_/name).
  int analyst(const std::string& name, std::vector<std::string> command) {
    Child c(console(std::move(command)), dir_ / name);
    return c.wait();
  }
  std::vector<std::string> console(std::vector<std::string> command) const {
    std::vector<std::string> a = {VTX_ANALYST_PATH, "--gateway",  "127.0.0.1:" + gw_->port(),
                                  "--user",         "ana",        "--password",
                                  kPassword,        "--key",      kSecureKey,
                                  "--tls-ca",       gw_->caFile()};
    a.insert(a.end(), command.begin(), command.end());
    return a;
  }
  // Nothing named like the transfer, and no temporary file, anywhere below `folder`.
  void expectNoTrace(const fs::path& folder, const std::string& name) {
    if (!fs::exists(folder)) return;
    for (auto& e : fs::recursive_directory_iterator(folder)) {
      const std::string f = e.path().filename().string();
      EXPECT_TRUE(f != name && f.find(".vtx-") == std::string::npos) << "left: " << e.path();
    }
  }

  fs::path dir_;
  std::unique_ptr<testing::GatewayChild> gw_;
  std::unique_ptr<Child> host_;
};

TEST_F(FileTransferE2E, FilesAndTreesArriveWholeBothWays) {
  const std::size_t size = kBigFile;
  writeRandom(dir_ / "local/big.bin", size, 11);
  const auto mtime = fs::last_write_time(dir_ / "local/big.bin") - std::chrono::hours(50);
  fs::last_write_time(dir_ / "local/big.bin", mtime);
  ASSERT_EQ(analyst("send.out", {"--json", "send", "cust", (dir_ / "local/big.bin").string()}), 0)
      << readAll(dir_ / "send.out.err") << tail(dir_ / "send.out") << tail(dir_ / "host.out");
  EXPECT_TRUE(eventually([&] { return fs::exists(dir_ / "inbox/big.bin"); }));
  EXPECT_TRUE(sameContents(dir_ / "inbox/big.bin", dir_ / "local/big.bin"));
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(
                fs::last_write_time(dir_ / "inbox/big.bin") - mtime)
                .count(),
            0);
  EXPECT_NE(readAll(dir_ / "send.out").find("\"event\":\"progress\""), std::string::npos);

  writeRandom(dir_ / "remote/back.bin", size, 12);
  ASSERT_EQ(analyst("fetch.out", {"fetch", "cust", (dir_ / "remote/back.bin").string(),
                                  (dir_ / "fetched").string()}),
            0)
      << readAll(dir_ / "fetch.out.err") << readAll(dir_ / "fetch.out").substr(0, 2000);
  EXPECT_TRUE(sameContents(dir_ / "fetched/back.bin", dir_ / "remote/back.bin"));

  // A tree with nested folders, empty files and names beyond ASCII.
  writeRandom(dir_ / "local/tree/a/b/c/deep.bin", 300000, 13);
  std::ofstream(dir_ / "local/tree/empty.txt");
  std::ofstream(dir_ / "local/tree/a/vazio.txt");
  std::ofstream(dir_ / "local/tree/a/ação ñ €.txt") << "acentuação";
  ASSERT_EQ(analyst("tree.out",
                    {"send", "cust", (dir_ / "local/tree").string(), (dir_ / "chosen").string()}),
            0)
      << readAll(dir_ / "tree.out.err");
  EXPECT_TRUE(eventually([&] {
    return fs::exists(dir_ / "chosen/tree") &&
           tree(dir_ / "chosen/tree") == tree(dir_ / "local/tree");
  }));
  ASSERT_EQ(analyst("treeback.out",
                    {"fetch", "cust", (dir_ / "chosen/tree").string(), (dir_ / "back").string()}),
            0);
  EXPECT_EQ(tree(dir_ / "back/tree"), tree(dir_ / "local/tree"));
  // No temporary file stays anywhere.
  for (auto& e : fs::recursive_directory_iterator(dir_))
    EXPECT_EQ(e.path().filename().string().find(".vtx-"), std::string::npos) << e.path();
}

TEST_F(FileTransferE2E, CommandsAndRefusals) {
  fs::create_directories(dir_ / "remote/folder");
  std::ofstream(dir_ / "remote/one.txt") << "1";
  ASSERT_EQ(analyst("ls.out", {"--json", "ls", "cust", (dir_ / "remote").string()}), 0);
  const std::string listing = readAll(dir_ / "ls.out");
  EXPECT_NE(listing.find("\"file\":\"one.txt\""), std::string::npos) << listing;
  EXPECT_NE(listing.find("\"attr\":16"), std::string::npos);
  ASSERT_EQ(analyst("drives.out", {"--json", "ls", "cust"}), 0);
  EXPECT_NE(readAll(dir_ / "drives.out").find("\"drive\":\"/\""), std::string::npos);

  EXPECT_EQ(analyst("ren.out", {"ren", "cust", (dir_ / "remote/one.txt").string(),
                                (dir_ / "remote/two.txt").string()}),
            0);
  EXPECT_TRUE(eventually([&] { return fs::exists(dir_ / "remote/two.txt"); }));
  EXPECT_EQ(analyst("mv.out", {"mv", "cust", (dir_ / "remote/two.txt").string(),
                               (dir_ / "remote/folder/two.txt").string()}),
            0);
  EXPECT_TRUE(eventually([&] { return fs::exists(dir_ / "remote/folder/two.txt"); }));
  EXPECT_EQ(analyst("md.out", {"md", "cust", (dir_ / "remote/x/y").string()}), 0);
  EXPECT_TRUE(eventually([&] { return fs::is_directory(dir_ / "remote/x/y"); }));
  EXPECT_EQ(analyst("rm.out", {"rm", "cust", (dir_ / "remote/folder").string()}), 0);
  EXPECT_TRUE(eventually([&] { return !fs::exists(dir_ / "remote/folder"); }));
  EXPECT_TRUE(eventually([&] { return fs::exists(dir_ / "data/Trash/files/folder/two.txt"); }));
  // Refused: the host's text, exit code 9.
  EXPECT_EQ(analyst("run.out", {"run", "cust", (dir_ / "remote/none.sh").string()}), 9);
  EXPECT_NE(readAll(dir_ / "run.out.err").find("File not found!"), std::string::npos);
  EXPECT_EQ(analyst("nosend.out", {"send", "cust", (dir_ / "missing.bin").string()}), 9);

  // A bare new name renames in place; a missing folder lists as such.
  std::ofstream(dir_ / "remote/old.txt") << "o";
  EXPECT_EQ(analyst("inplace.out", {"ren", "cust", (dir_ / "remote/old.txt").string(), "new.txt"}),
            0);
  EXPECT_TRUE(eventually([&] { return fs::exists(dir_ / "remote/new.txt"); }));
  EXPECT_EQ(analyst("missing.out", {"ls", "cust", (dir_ / "remote/none").string()}), 0);
  EXPECT_NE(readAll(dir_ / "missing.out").find("is empty or does not exist"), std::string::npos)
      << readAll(dir_ / "missing.out");
}

TEST_F(FileTransferE2E, GatewayKilledMidTransferLeavesNoCompleteLookingFile) {
  writeRandom(dir_ / "local/cut.bin", 48u << 20, 21);
  std::vector<std::string> a = {VTX_ANALYST_PATH, "--gateway",   "127.0.0.1:" + gw_->port(),
                                "--user",         "ana",         "--password",
                                kPassword,        "--key",       kSecureKey,
                                "--tls-ca",       gw_->caFile(), "--json",
                                "send",           "cust",        (dir_ / "local/cut.bin").string()};
  Child sender(a, dir_ / "cut.out");
  ASSERT_TRUE(waitForText(dir_ / "host.out", "\"event\":\"FileWrite\"", 60s));
  gw_->stop(true);
  const int code = sender.wait();
  EXPECT_TRUE(code == 7 || code == 9) << code;
  ASSERT_TRUE(waitForText(dir_ / "host.out", "Transfer interrupted!", 30s))
      << readAll(dir_ / "host.out").substr(0, 2000);
  EXPECT_FALSE(fs::exists(dir_ / "inbox/cut.bin"));
  for (auto& e : fs::directory_iterator(dir_ / "inbox"))
    ADD_FAILURE() << "left behind: " << e.path();
}

// Each side cancels each direction: both report it, the console says the transfer did not
// arrive, and no partial file stays under any name.
TEST_F(FileTransferE2E, CancelFromEitherSideLeavesNoPartialFile) {
  writeRandom(dir_ / "local/up.bin", 32u << 20, 31);
  writeRandom(dir_ / "remote/down.bin", 32u << 20, 32);
  const fs::path host = dir_ / "host.out";
  struct Case {
    const char* name;
    bool sending;      // the console sends (else it fetches)
    bool consoleSide;  // the console cancels (else the host)
  };
  int writes = 0, reads = 0, writeCancels = 0, readCancels = 0;
  for (const Case& c : {Case{"send-console", true, true}, Case{"send-host", true, false},
                        Case{"fetch-console", false, true}, Case{"fetch-host", false, false}}) {
    SCOPED_TRACE(c.name);
    const fs::path out = dir_ / (std::string(c.name) + ".out");
    const fs::path target = c.sending ? dir_ / "inbox" : dir_ / "fetched";
    const std::string file = c.sending ? "up.bin" : "down.bin";
    std::vector<std::string> command = {"--json", c.sending ? "send" : "fetch", "cust"};
    if (c.sending)
      command.push_back((dir_ / "local/up.bin").string());
    else
      command.insert(command.end(), {(dir_ / "remote/down.bin").string(), target.string()});
    Child console(this->console(command), out);
    // Under way: the host wrote or read a chunk.
    ASSERT_TRUE(c.sending ? waitForCount(host, "\"event\":\"FileWrite\"", writes + 1, 60s)
                          : waitForCount(host, "\"event\":\"FileRead\"", reads + 1, 60s));
    if (c.consoleSide)
      console.kill(SIGINT);
    else if (c.sending)
      host_->send("/cancel-fetch ana up.bin");
    else
      host_->send("/cancel-send ana " + (dir_ / "remote/down.bin").string());
    EXPECT_EQ(console.wait(), 9) << readAll(out.string() + ".err");
    const std::string said = readAll(out);
    EXPECT_NE(said.find(c.sending ? "\"send_cancelled\"" : "\"receive_cancelled\""),
              std::string::npos)
        << said.substr(0, 2000);
    if (c.consoleSide) {
      EXPECT_NE(said.find("\"event\":\"cancel\""), std::string::npos);
    }
    EXPECT_TRUE(c.sending ? waitForCount(host, "\"event\":\"FileWriteCancel\"", ++writeCancels)
                          : waitForCount(host, "\"event\":\"FileReadCancel\"", ++readCancels))
        << readAll(host).substr(0, 2000);
    writes = count(host, "\"event\":\"FileWrite\"");
    reads = count(host, "\"event\":\"FileRead\"");
    // Chunks still on their way must not bring a partial file back.
    std::this_thread::sleep_for(500ms);
    expectNoTrace(target, file);
  }
  EXPECT_FALSE(waitForText(host, "Transfer interrupted!", 100ms));
}

// A peer that speaks the protocol itself, through the same gateway.
// Receivers' queues of 1 MiB, and each receiver stopped for a while mid-transfer: the gateway
// refuses the sender's chunks again and again, and none may be lost or arrive twice.
class FileTransferE2ESmallQueue : public FileTransferE2E {
 protected:
  std::vector<std::string> extraGatewayArgs() const override {
    return {"--queue-limit", "1048576"};
  }
};

TEST_F(FileTransferE2ESmallQueue, AStalledReceiverGetsEveryByteBothWays) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr std::size_t kSize = 8u << 20;
#else
  constexpr std::size_t kSize = 16u << 20;
#endif
  writeRandom(dir_ / "local/up.bin", kSize, 41);
  {
    Child sender(console({"--json", "send", "cust", (dir_ / "local/up.bin").string()}),
                 dir_ / "up.out");
    ASSERT_TRUE(waitForText(dir_ / "host.out", "\"event\":\"FileWrite\"", 60s));
    host_->kill(SIGSTOP);
    std::this_thread::sleep_for(1500ms);
    host_->kill(SIGCONT);
    ASSERT_EQ(sender.wait(), 0) << readAll(dir_ / "up.out.err") << tail(dir_ / "up.out")
                                << tail(dir_ / "host.out");
  }
  EXPECT_TRUE(eventually([&] { return fs::exists(dir_ / "inbox/up.bin"); }));
  EXPECT_TRUE(sameContents(dir_ / "inbox/up.bin", dir_ / "local/up.bin"));

  // Stopped once it accepted a small file: its last chunks are refused too, and still arrive.
  writeRandom(dir_ / "local/tail.bin", 2u << 20, 43);
  {
    Child sender(console({"send", "cust", (dir_ / "local/tail.bin").string()}), dir_ / "tail.out");
    ASSERT_TRUE(waitForCount(dir_ / "host.out", "\"event\":\"FileWriteStart\"", 2, 60s));
    host_->kill(SIGSTOP);
    std::this_thread::sleep_for(2s);
    host_->kill(SIGCONT);
    ASSERT_EQ(sender.wait(), 0) << readAll(dir_ / "tail.out.err");
  }
  EXPECT_TRUE(eventually([&] { return fs::exists(dir_ / "inbox/tail.bin"); }, 10s));
  EXPECT_TRUE(sameContents(dir_ / "inbox/tail.bin", dir_ / "local/tail.bin"));

  writeRandom(dir_ / "remote/down.bin", kSize, 42);
  {
    Child fetcher(console({"fetch", "cust", (dir_ / "remote/down.bin").string(),
                           (dir_ / "fetched").string()}),
                  dir_ / "down.out");
    ASSERT_TRUE(waitForText(dir_ / "host.out", "\"event\":\"FileRead\"", 60s));
    fetcher.kill(SIGSTOP);
    std::this_thread::sleep_for(1500ms);
    fetcher.kill(SIGCONT);
    ASSERT_EQ(fetcher.wait(), 0) << readAll(dir_ / "down.out.err") << tail(dir_ / "down.out")
                                 << tail(dir_ / "host.out");
  }
  EXPECT_TRUE(sameContents(dir_ / "fetched/down.bin", dir_ / "remote/down.bin"));
  EXPECT_EQ(readAll(dir_ / "host.out").find("FileError"), std::string::npos)
      << tail(dir_ / "host.out");
}

struct HostilePeer {
  HostilePeer(const std::string& port, const std::string& name, const std::string& caFile) {
    client.setGateAddr("127.0.0.1");
    client.setGatePort(port);
    if (!caFile.empty()) {  // TLS, the gateway's certificate checked
      client.setGate_SSL(true);
      client.setGate_SSLCAFile(caFile);
    }
    client.setMultiThreaded(true);
    client.setDataEncrypt(16);
    client.setDataForceEncrypt(true);
    client.setDataSecureKey(kSecureKey);
    client.setLoginPassword(kPassword);
    client.setLoginUserName(name);
    files.On_FileTransOpen = [this](TRtcPFileTransfer&, const std::string&) {
      std::lock_guard g(lock);
      joined = true;
    };
    files.On_FileError = [this](TRtcPFileTransfer&, const std::string&, const std::string& file,
                                const std::string& msg) {
      std::lock_guard g(lock);
      errors.emplace_back(file, msg);
    };
    files.setClient(&client);
  }
  ~HostilePeer() {
    files.setClient(nullptr);
    client.Stop();
  }
  template <class Pred>
  bool waitFor(Pred pred, std::chrono::milliseconds limit = 20s) {
    return eventually(
        [&] {
          std::lock_guard g(lock);
          return pred();
        },
        limit);
  }
  // One complete chunk under `name`, as if it were the only chunk of a small file.
  void sendChunk(const std::string& host, const std::string& name) {
    auto f = std::make_unique<TRtcFunctionInfo>();
    f->setFunctionName(u"file");
    f->setAsText("file", Utf8Decode(name));
    f->setAsText("path", Utf8Decode(name));
    f->setAsString("data", "EVIL");
    f->setAsLargeInt("at", 0);
    f->setAsDateTime("fage", EncodeDate(2020, 1, 2));
    f->setAsInteger("fattr", 0x20);
    f->setAsBoolean("stop", true);
    client.SendToUser(nullptr, host, std::move(f));
  }

  FixedSystemInfo system{"PC-EVIL", "mallory", "127.0.0.1"};
  TRtcHttpPortalClient client{&system};
  TRtcPFileTransfer files;
  std::mutex lock;
  bool joined = false;
  std::vector<std::pair<std::string, std::string>> errors;
};

TEST_F(FileTransferE2E, HostilePeersNamesAreRefusedAndNothingIsWrittenOutside) {
  fs::create_directories(dir_ / "outside");
  fs::create_directory_symlink(dir_ / "outside", dir_ / "inbox/link");
  fs::create_directories(dir_ / "inbox/sub");
  fs::create_directory_symlink(dir_ / "outside", dir_ / "inbox/sub/deep");
  const std::string outside = (dir_ / "outside/abs.txt").string();
  std::string longPath;
  for (int i = 0; i < 120; ++i) longPath += std::string(40, 'd') + "/";
  const std::vector<std::string> hostile = {
      outside,                      // absolute
      "\\" + outside.substr(1),     // absolute with "\\" separators
      "C:\\evil.txt",               // drive prefix
      "../evil.txt",                // up and out
      "..\\evil.txt",               // up and out with "\\"
      "a/../../evil.txt",           // out through a folder
      "a\\..\\..\\evil.txt",        // the same with "\\"
      "..",                         // the parent itself
      "../outside/evil.txt",        // into the neighbour folder
      "link/evil.txt",              // through a symbolic link
      "link\\evil.txt",             // the same with "\\"
      "sub/deep/evil.txt",          // a link further down
      std::string("n\0ul.txt", 8),  // NUL byte
      "x\ny.txt",                   // control character
      std::string(300, 'e'),        // over-long component
      longPath + "evil.txt",        // over-long name
      "",                           // empty
      "a//evil.txt",                // empty component
      "./evil.txt",                 // "." component
  };
  ASSERT_GE(hostile.size(), 15u);

  HostilePeer peer(gw_->port(), "mallory", gw_->caFile());
  peer.client.setActive(true);
  peer.files.Open("cust");
  ASSERT_TRUE(peer.waitFor([&] { return peer.joined; }));
  for (const std::string& name : hostile) peer.sendChunk("cust", name);
  ASSERT_TRUE(peer.waitFor([&] { return peer.errors.size() >= hostile.size(); }))
      << peer.errors.size();
  {
    std::lock_guard g(peer.lock);
    for (const auto& [file, msg] : peer.errors) EXPECT_EQ(msg, "Invalid file name!") << file;
  }
  EXPECT_TRUE(
      waitForCount(dir_ / "host.out", "Invalid file name!", static_cast<int>(hostile.size())));
  EXPECT_EQ(count(dir_ / "host.out", "\"event\":\"FileError\""), static_cast<int>(hostile.size()));
  // A plain name from the same peer still arrives: the refusals stopped nothing else.
  peer.sendChunk("cust", "sub\\fine.txt");
  EXPECT_TRUE(eventually([&] { return readAll(dir_ / "inbox/sub/fine.txt") == "EVIL"; }));

  EXPECT_TRUE(fs::is_empty(dir_ / "outside"));
  EXPECT_FALSE(fs::exists(dir_ / "evil.txt"));
  for (auto& e : fs::recursive_directory_iterator(dir_ / "inbox")) {
    const std::string rel = e.path().lexically_relative(dir_ / "inbox").string();
    EXPECT_TRUE(rel == "link" || rel == "sub" || rel == "sub/deep" || rel == "sub/fine.txt") << rel;
  }
}

}  // namespace
}  // namespace vtx
