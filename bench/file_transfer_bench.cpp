// A file from an analyst to a host through a real vorantelix-gateway process on 127.0.0.1, with
// the program's settings (maximum compression, encryption forced), once of random bytes and
// once of text. Baseline in the same run: zlib compressing and then decompressing the same bytes
// at level 9 in one process. Also reports the process's resident memory growth.
//
//   bench_file_transfer [--mib 64]
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "e2e/gateway_child.h"
#include "filetransfer/file_transfer.h"
#include "platform/system_info.h"
#include "portal/http_portal_client.h"

namespace {

using namespace vtx;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* kKey = "Bench-Key-16";

long rssKiB() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

struct Side {
  Side(const std::string& port, const std::string& name, bool host) {
    client.setGateAddr("127.0.0.1");
    client.setGatePort(port);
    client.setMultiThreaded(true);
    client.setDataEncrypt(16);
    client.setDataForceEncrypt(true);
    client.setDataSecureKey(kKey);
    client.setDataCompress(TrtcpCompressLevel::rtcpCompMax);
    client.setLoginPassword("pw");
    client.setLoginUserName(name);
    client.setUserVisible(host);
    client.setUserNotify(!host);
    files.setBeTheHost(host);
    files.setClient(&client);
  }
  ~Side() {
    files.setClient(nullptr);
    client.Stop();
  }
  bool loggedIn() {
    for (int i = 0; i < 1500 && !client.LoggedIn(); ++i) std::this_thread::sleep_for(10ms);
    return client.LoggedIn();
  }
  FixedSystemInfo system{"BENCH", "bench", "127.0.0.1"};
  TRtcHttpPortalClient client{&system};
  TRtcPFileTransfer files;
};

double zlibBaseline(const std::string& data) {
  const auto t = Steady::now();
  uLongf packedSize = compressBound(data.size());
  std::string packed(packedSize, '\0');
  compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
            reinterpret_cast<const Bytef*>(data.data()), data.size(), 9);
  std::string back(data.size(), '\0');
  uLongf backSize = back.size();
  uncompress(reinterpret_cast<Bytef*>(back.data()), &backSize,
             reinterpret_cast<const Bytef*>(packed.data()), packedSize);
  return std::chrono::duration<double>(Steady::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mib = 64;
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::string(argv[i]) == "--mib") mib = std::max(1, std::atoi(argv[i + 1]));
  const fs::path dir = fs::temp_directory_path() / ("vtx-ft-bench-" + std::to_string(getpid()));
  fs::create_directories(dir / "inbox");

  testing::GatewayChild gw({"--threads", "2", "--db", ":memory:", "--secure-key", kKey,
                            "--force-encryption", "--login-password", "pw"},
                           testing::GatewayChild::Transport::Plain);
  Side host(gw.port(), "host", true), analyst(gw.port(), "analyst", false);
  host.files.setFileInboxPath((dir / "inbox").string());
  std::mutex lock;
  std::condition_variable cv;
  bool open = false, done = false;
  analyst.files.On_FileTransOpen = [&](TRtcPFileTransfer&, const std::string&) {
    std::lock_guard g(lock);
    open = true;
    cv.notify_all();
  };
  host.files.On_FileRecvStop = [&](TRtcPFileTransfer&, const std::string&, const std::string&,
                                   const std::string&, int64_t) {
    std::lock_guard g(lock);
    done = true;
    cv.notify_all();
  };
  host.client.setActive(true);
  analyst.client.setActive(true);
  if (!host.loggedIn() || !analyst.loggedIn()) {
    std::fprintf(stderr, "bench_file_transfer: the clients did not log in\n");
    return 1;
  }
  std::this_thread::sleep_for(500ms);
  analyst.files.Open("host");
  {
    std::unique_lock g(lock);
    if (!cv.wait_for(g, 15s, [&] { return open; })) {
      std::fprintf(stderr, "bench_file_transfer: the host did not take the analyst in\n");
      return 1;
    }
  }
  const long idle = rssKiB();
  for (const char* kind : {"random", "text"}) {
    std::string data(mib << 20, '\0');
    std::mt19937_64 gen(5);
    if (std::string(kind) == "random") {
      for (char& c : data) c = static_cast<char>(gen());
    } else {
      const char* words[] = {"chamado ", "suporte ", "arquivo ", "analista ", "cliente\n",
                             "servico ", "pasta ",   "remoto ",  "tela ",     "empresa "};
      std::size_t at = 0;
      while (at < data.size()) {
        const char* w = words[gen() % 10];
        for (; *w && at < data.size(); ++w) data[at++] = *w;
      }
    }
    const fs::path file = dir / (std::string(kind) + ".bin");
    std::ofstream(file, std::ios::binary) << data;
    const double base = zlibBaseline(data);
    data.clear();
    data.shrink_to_fit();
    const long before = rssKiB();
    {
      std::lock_guard g(lock);
      done = false;
    }
    const auto t = Steady::now();
    analyst.files.Send("host", file.string());
    long peak = rssKiB();
    {
      std::unique_lock g(lock);
      while (!done) {
        if (cv.wait_for(g, 200ms) == std::cv_status::timeout) peak = std::max(peak, rssKiB());
        if (Steady::now() - t > 600s) {
          std::fprintf(stderr, "bench_file_transfer: the %s file did not arrive\n", kind);
          return 1;
        }
      }
    }
    const double took = std::chrono::duration<double>(Steady::now() - t).count();
    std::printf(
        "%-6s %zu MiB: transfer %.2f s (%.1f MiB/s), zlib-9 baseline %.2f s, ratio %.2fx "
        "(goal <= 1.5x); RSS growth during transfer %ld KiB (idle %ld KiB)\n",
        kind, mib, took, static_cast<double>(mib) / took, base, took / base, peak - before, idle);
    fs::remove(file);
  }
  host.client.setActive(false);
  analyst.client.setActive(false);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
