// A file from an analyst to a host through a real vorantelix-gateway process on 127.0.0.1, with
// the program's settings (maximum compression, encryption forced), once of random bytes and
// once of text. Baseline in the same run: zlib compressing and then decompressing the same bytes
// at level 9 in one process. Also reports the CPU time of both clients (this process) and of
// the gateway, and this process's resident memory growth.
//
//   bench_file_transfer [--mib 64]
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "bench_peer.h"
#include "e2e/gateway_child.h"
#include "filetransfer/file_transfer.h"

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

using Side = bench::BenchSide<TRtcPFileTransfer>;

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

  testing::GatewayChild gw(bench::GatewayArgs(kKey), testing::GatewayChild::Transport::Plain);
  Side host(gw.port(), "host", true, kKey), analyst(gw.port(), "analyst", false, kKey);
  host.module.setFileInboxPath((dir / "inbox").string());
  std::mutex lock;
  std::condition_variable cv;
  bool open = false, done = false;
  std::string failure;
  analyst.module.On_FileTransOpen = [&](TRtcPFileTransfer&, const std::string&) {
    std::lock_guard g(lock);
    open = true;
    cv.notify_all();
  };
  host.module.On_FileError = [&](TRtcPFileTransfer&, const std::string&, const std::string& file,
                                 const std::string& msg) {
    std::lock_guard g(lock);
    failure = file + ": " + msg;
    cv.notify_all();
  };
  host.module.On_FileRecvStop = [&](TRtcPFileTransfer&, const std::string&, const std::string&,
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
  analyst.module.Open("host");
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
    const double gwCpu = bench::ChildrenCpuSeconds();
    const std::clock_t cpu = std::clock();
    analyst.module.Send("host", file.string());
    long peak = rssKiB();
    {
      std::unique_lock g(lock);
      while (!done) {
        if (!failure.empty()) {
          std::fprintf(stderr, "bench_file_transfer: the %s file failed: %s\n", kind,
                       failure.c_str());
          return 1;
        }
        if (cv.wait_for(g, 200ms) == std::cv_status::timeout) peak = std::max(peak, rssKiB());
        if (Steady::now() - t > 600s) {
          std::fprintf(stderr, "bench_file_transfer: the %s file did not arrive\n", kind);
          return 1;
        }
      }
    }
    const double took = std::chrono::duration<double>(Steady::now() - t).count();
    const double peers = static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
    const double gateway = bench::ChildrenCpuSeconds() - gwCpu;
    std::printf(
        "%-6s %zu MiB: transfer %.2f s (%.1f MiB/s), zlib-9 baseline %.2f s, ratio %.2fx "
        "(goal <= 1.5x); CPU: both clients %.2f s (%.0f%%), gateway %.2f s (%.0f%%); RSS growth "
        "during transfer %ld KiB (idle %ld KiB)\n",
        kind, mib, took, static_cast<double>(mib) / took, base, took / base, peers,
        100 * peers / took, gateway, 100 * gateway / took, peak - before, idle);
    std::fflush(stdout);
    fs::remove(file);
  }
  host.client.setActive(false);
  analyst.client.setActive(false);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
