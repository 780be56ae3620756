// Files between the analyst console and the headless host, each a process of its own, through
// a real gateway process on 127.0.0.1: contents, times and trees arrive whole, commands work or
// are refused with their text, and a killed gateway leaves no file that looks complete.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/gateway_child.h"

namespace vtx {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const char* const kPassword = "fyduzAKrpRQdnnwXjRM";
const char* const kSecureKey = "kgQWdXnb5mVpW";

// A child process; standard input stays open until the object ends, output goes to a file.
class Child {
 public:
  Child(std::vector<std::string> args, const fs::path& out, std::vector<std::string> env = {}) {
    int in[2];
    if (::pipe(in) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(in[0], STDIN_FILENO);
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, STDOUT_FILENO);
      const int err = ::open((out.string() + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(err, STDERR_FILENO);
      ::close(in[1]);
      for (auto& e : env) ::putenv(e.data());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    in_ = in[1];
  }
  ~Child() {
    if (in_ >= 0) ::close(in_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // The exit code, waiting at most `limit` (-1 on time-out or a signal).
  int wait(std::chrono::milliseconds limit = 120s) {
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

 private:
  pid_t pid_ = -1;
  int in_ = -1;
};

std::string readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool waitForText(const fs::path& file, const std::string& text, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (readAll(file).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

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
    gw_ = std::make_unique<testing::GatewayChild>(std::vector<std::string>{
        "--threads", "2", "--login-password", kPassword, "--secure-key", kSecureKey, "--db",
        ":memory:", "--get-hold", "2", "--force-encryption"});
    host_ = std::make_unique<Child>(
        std::vector<std::string>{VTX_TOOL_PATH, "host", "--gateway", "127.0.0.1:" + gw_->port(),
                                 "--user", "cust", "--password", kPassword, "--key", kSecureKey,
                                 "--inbox", (dir_ / "inbox").string(), "--tls-ca", gw_->caFile()},
        dir_ / "host.out", std::vector<std::string>{"XDG_DATA_HOME=" + (dir_ / "data").string()});
    ASSERT_TRUE(waitForText(dir_ / "host.out", "\"show\":\"ready\"", 20s));
  }
  void TearDown() override {
    host_.reset();
    gw_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // Runs the console to its end; its exit code (output in dir_/name).
  int analyst(const std::string& name, std::vector<std::string> command) {
    std::vector<std::string> a = {VTX_ANALYST_PATH, "--gateway",  "127.0.0.1:" + gw_->port(),
                                  "--user",         "ana",        "--password",
                                  kPassword,        "--key",      kSecureKey,
                                  "--tls-ca",       gw_->caFile()};
    a.insert(a.end(), command.begin(), command.end());
    Child c(a, dir_ / name);
    return c.wait();
  }

  fs::path dir_;
  std::unique_ptr<testing::GatewayChild> gw_;
  std::unique_ptr<Child> host_;
};

TEST_F(FileTransferE2E, FilesAndTreesArriveWholeBothWays) {
  const std::size_t size = 16u << 20;
  writeRandom(dir_ / "local/big.bin", size, 11);
  const auto mtime = fs::last_write_time(dir_ / "local/big.bin") - std::chrono::hours(50);
  fs::last_write_time(dir_ / "local/big.bin", mtime);
  ASSERT_EQ(analyst("send.out", {"--json", "send", "cust", (dir_ / "local/big.bin").string()}), 0)
      << readAll(dir_ / "send.out.err");
  EXPECT_TRUE(eventually(
      [&] { return readAll(dir_ / "inbox/big.bin") == readAll(dir_ / "local/big.bin"); }));
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(
                fs::last_write_time(dir_ / "inbox/big.bin") - mtime)
                .count(),
            0);
  EXPECT_NE(readAll(dir_ / "send.out").find("\"event\":\"progress\""), std::string::npos);

  writeRandom(dir_ / "remote/back.bin", size, 12);
  ASSERT_EQ(analyst("fetch.out", {"fetch", "cust", (dir_ / "remote/back.bin").string(),
                                  (dir_ / "fetched").string()}),
            0)
      << readAll(dir_ / "fetch.out.err");
  EXPECT_TRUE(readAll(dir_ / "fetched/back.bin") == readAll(dir_ / "remote/back.bin"));

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

}  // namespace
}  // namespace vtx
