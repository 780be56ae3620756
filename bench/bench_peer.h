// A portal client set up as the program sets its own (maximum compression, encryption forced)
// against a gateway started by the bench, with one module attached, and the helpers the
// gateway benches share.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/system_info.h"
#include "portal/http_portal_client.h"

namespace vtx::bench {

// The gateway's options every bench uses, with `more` after them.
inline std::vector<std::string> GatewayArgs(const char* key, std::vector<std::string> more = {}) {
  std::vector<std::string> a = {
      "--threads",        "2", "--db", ":memory:", "--secure-key", key, "--force-encryption",
      "--login-password", "pw"};
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// `Module` has setBeTheHost and setClient.
template <class Module>
struct BenchSide {
  BenchSide(const std::string& port, const std::string& name, bool host, const char* key) {
    client.setGateAddr("127.0.0.1");
    client.setGatePort(port);
    client.setMultiThreaded(true);
    client.setDataEncrypt(16);
    client.setDataForceEncrypt(true);
    client.setDataSecureKey(key);
    client.setDataCompress(TrtcpCompressLevel::rtcpCompMax);
    client.setLoginPassword("pw");
    client.setLoginUserName(name);
    client.setUserVisible(host);
    client.setUserNotify(!host);
    module.setBeTheHost(host);
    module.setClient(&client);
  }
  ~BenchSide() {
    module.setClient(nullptr);
    client.Stop();
  }
  BenchSide(const BenchSide&) = delete;
  BenchSide& operator=(const BenchSide&) = delete;
  bool loggedIn() {
    for (int i = 0; i < 1500 && !client.LoggedIn(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return client.LoggedIn();
  }
  FixedSystemInfo system{"BENCH", "bench", "127.0.0.1"};
  TRtcHttpPortalClient client{&system};
  Module module;
};

// User + system CPU seconds of this process's child processes still running (the gateway).
inline double ChildrenCpuSeconds() {
  double total = 0;
  const long tick = ::sysconf(_SC_CLK_TCK);
  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  while (dirent* e = ::readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    std::vector<std::string> f;
    while (rest >> field && f.size() < 13) f.push_back(field);
    // state ppid ... utime (12th after the name) stime (13th).
    if (f.size() < 13 || std::atol(f[1].c_str()) != ::getpid()) continue;
    total += static_cast<double>(std::atoll(f[11].c_str()) + std::atoll(f[12].c_str())) /
             static_cast<double>(tick);
  }
  ::closedir(proc);
  return total;
}

}  // namespace vtx::bench
