// The gateway's relay under load: N host/viewer pairs on 127.0.0.1, each host sending 100
// messages of 1 KiB a second to its viewer through a real vorantelix-gateway process, hosts and
// viewers being light peers (two remote function client channels each). Reports relayed
// messages per second, median and 99th-percentile relay latency (a timestamp inside each
// message), gateway CPU seconds per 1,000 messages, and gateway memory per idle logged-in
// session with 2,000 idle sessions. The baseline, measured in the same run, is a plain Echo
// round trip on the same loopback.
//
//   bench_relay [--pairs 50,500] [--seconds 5] [--idle 2000]
//
// With --soak SECONDS (see bench/relay_soak.sh) it runs only the soak instead: --clients N
// clients in pairs log in, relay 20 timestamped rows from host to viewer and log out, over and
// over; every 10 s it prints the gateway's resident memory, and at the end the relay latency
// percentiles and the memory at the start, highest and at the end. --ended-ids N passes
// --max-ended-ids N to the gateway (a low bound is reached within a short run).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/unit/gateway/portal_peer.h"

namespace {

using namespace vtx;
using namespace vtx::gateway::testing;
using Steady = std::chrono::steady_clock;

constexpr const char* kKey = "Bench-Key-13";

// The gateway as a child process; SIGTERM at the end.
class Gateway {
 public:
  explicit Gateway(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {VTX_GATEWAY_PATH,
                                     "--listen",
                                     "127.0.0.1:0",
                                     "--secure-key",
                                     kKey,
                                     "--force-encryption",
                                     "--db",
                                     ":memory:",
                                     "--login-password",
                                     "pw",
                                     "--enable-echo",
                                     "--max-sessions",
                                     "100000",
                                     "--max-sessions-per-peer",
                                     "100000",
                                     "--max-users-per-peer",
                                     "100000",  // every client comes from 127.0.0.1
                                     "--trust-shared-password"};
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(out[1], STDOUT_FILENO);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDERR_FILENO);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    ::close(out[0]);
    const auto colon = line.rfind(':');
    if (line.find("ready") == std::string::npos || colon == std::string::npos)
      throw std::runtime_error("gateway did not start: " + line);
    port_ = line.substr(colon + 1);
  }
  ~Gateway() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  const std::string& port() const { return port_; }
  // CPU seconds (user + system) so far.
  double cpuSeconds() const {
    std::ifstream f("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream in(text.substr(text.rfind(')') + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
      if (i == 14) utime = std::stod(field);
      if (i == 15) stime = std::stod(field);
    }
    return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  // Resident set in bytes.
  std::size_t rss() const {
    std::ifstream f("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(f, line))
      if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    return 0;
  }

 private:
  pid_t pid_ = -1;
  std::string port_;
};

double ownCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch())
      .count();
}

PeerSettings peer(const Gateway& g, const std::string& user) {
  return PeerSettings{g.port(), kKey, Widen(user), u"pw", user + "-id"};
}

void baseline(const Gateway& g, double& median, double& p99, double& perSecond) {
  PortalChannel c(peer(g, "echo"));
  c.callAndWait("Echo");
  std::vector<double> ms;
  const auto start = Steady::now();
  for (int i = 0; i < 2000; ++i) {
    const auto t = Steady::now();
    c.callAndWait("Echo", [i](TRtcFunctionInfo& f) { f.setAsInteger("n", i); });
    ms.push_back(std::chrono::duration<double, std::milli>(Steady::now() - t).count());
  }
  perSecond = 2000 / std::chrono::duration<double>(Steady::now() - start).count();
  median = percentile(ms, 0.5);
  p99 = percentile(ms, 0.99);
}

// A viewer's endless Get loop, noting the latency of every message it receives.
struct Viewer {
  explicit Viewer(const PeerSettings& s) : peer(s) {}
  void poll(bool inside) {
    if (stop) {
      stopped = true;
      return;
    }
    peer.get.call(
        "Get", [](TRtcFunctionInfo& f) { f.setAsInteger("x", 1); },
        [this](TRtcValue& result) {
          if (TRtcRecord* r = result.asRecord())
            if (TRtcArray* items = origin.empty() ? nullptr : r->asArray(origin)) {
              const std::int64_t now = nowNs();
              std::lock_guard<std::mutex> hold(lock);
              for (int i = 0; i < items->Count(); ++i) {
                if (items->isType(i) != rtc_String) continue;
                const std::string d = items->asString(i);
                const std::int64_t sent = std::stoll(d.substr(0, 20));
                if (measuring) latencies.push_back(static_cast<double>(now - sent) / 1e6);
                ++received;
              }
            }
          poll(true);
        },
        inside);
  }
  PortalPeer peer;
  std::string origin;  // the host whose messages count
  std::mutex lock;
  std::vector<double> latencies;
  std::atomic<long> received{0};
  std::atomic<bool> measuring{false}, stop{false}, stopped{false};
};

// A host: a message falls due every 10 ms; all due ones leave in the next Put.
struct Host {
  explicit Host(const PeerSettings& s) : peer(s) {}
  void due() {
    bool start = false;
    {
      std::lock_guard<std::mutex> hold(lock);
      ++pending;
      start = !sending;
      if (start) sending = true;
    }
    if (start) send(false);
  }
  void send(bool inside) {
    int n = 0;
    {
      std::lock_guard<std::mutex> hold(lock);
      n = pending;
      pending = 0;
      if (n == 0) {
        sending = false;
        return;
      }
    }
    peer.put.call(
        "Put",
        [this, n](TRtcFunctionInfo& f) {
          f.setAsInteger("x", 1);
          TRtcDataSet& p = f.NewDataSet("p");
          for (int i = 0; i < n; ++i) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%020lld", static_cast<long long>(nowNs()));
            p.Append();
            p.setAsText("to", viewer);
            p.setAsString("d", std::string(stamp) + std::string(1024 - 20, 'm'));
          }
        },
        [this](TRtcValue&) { send(true); }, inside);
  }
  PortalPeer peer;
  RtcWideString viewer;
  std::mutex lock;
  int pending = 0;
  bool sending = false;
};

void pairs(const Gateway& g, int n, int seconds) {
  std::vector<std::unique_ptr<Host>> hosts;
  std::vector<std::unique_ptr<Viewer>> viewers;
  for (int i = 0; i < n; ++i) {
    hosts.push_back(
        std::make_unique<Host>(peer(g, "h" + std::to_string(i) + "-" + std::to_string(n))));
    viewers.push_back(
        std::make_unique<Viewer>(peer(g, "v" + std::to_string(i) + "-" + std::to_string(n))));
  }
  std::vector<std::string> hostNames;
  for (int i = 0; i < n; ++i) {
    hostNames.push_back("h" + std::to_string(i) + "-" + std::to_string(n));
    hosts[i]->viewer = Widen("v" + std::to_string(i) + "-" + std::to_string(n));
    viewers[i]->origin = hostNames.back();
  }
  auto on = [](TRtcFunctionInfo& f) { f.setAsBoolean("on", true); };
  for (int i = 0; i < n; ++i) {
    hosts[i]->peer.put.callAndWait("User.Get");
    viewers[i]->peer.put.callAndWait("User.Get");
    hosts[i]->peer.get.callAndWait("Host", on);
  }
  for (auto& v : viewers) v->poll(false);

  std::atomic<bool> running{true};
  std::thread pacer([&] {
    // Each host every 10 ms, the hosts spread over the ten 1 ms slices.
    auto next = Steady::now();
    for (unsigned slice = 0; running; slice = (slice + 1) % 10) {
      next += std::chrono::milliseconds(1);
      for (std::size_t i = slice; i < hosts.size(); i += 10) hosts[i]->due();
      std::this_thread::sleep_until(next);
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(1));  // warm up
  const double cpu0 = g.cpuSeconds(), own0 = ownCpuSeconds();
  long got0 = 0;
  for (auto& v : viewers) {
    got0 += v->received;
    v->measuring = true;
  }
  const auto t0 = Steady::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  long got1 = 0;
  for (auto& v : viewers) {
    v->measuring = false;
    got1 += v->received;
  }
  const double elapsed = std::chrono::duration<double>(Steady::now() - t0).count();
  const double cpu = g.cpuSeconds() - cpu0, own = ownCpuSeconds() - own0;
  running = false;
  pacer.join();
  std::vector<double> all;
  for (auto& v : viewers) {
    std::lock_guard<std::mutex> hold(v->lock);
    all.insert(all.end(), v->latencies.begin(), v->latencies.end());
  }
  const long relayed = got1 - got0;
  std::printf(
      "pairs=%d offered=%d/s relayed=%.0f/s median=%.2fms p99=%.2fms gateway-cpu=%.3fs/1000msg "
      "(%.2f cores; peers %.2f cores)\n",
      n, n * 100, relayed / elapsed, percentile(all, 0.5), percentile(all, 0.99),
      relayed > 0 ? cpu * 1000.0 / static_cast<double>(relayed) : 0.0, cpu / elapsed,
      own / elapsed);
  std::fflush(stdout);
  // Log out so the held Gets end, then let the peers go.
  for (auto& v : viewers) v->stop = true;
  auto out = [](PortalPeer& p, const RtcWideString& user) {
    p.put.callAndWait("Logout", [user](TRtcFunctionInfo& f) {
      f.setAsText("user", user);
      f.setAsText("pwd", u"pw");
    });
  };
  for (int i = 0; i < n; ++i) {
    out(viewers[i]->peer, hosts[i]->viewer);
    out(hosts[i]->peer, Widen(hostNames[i]));
  }
}

void idle(const Gateway& g, int count) {
  const std::size_t before = g.rss();
  std::vector<std::unique_ptr<Viewer>> holders;
  for (int i = 0; i < count; ++i) {
    auto v = std::make_unique<Viewer>(peer(g, "idle" + std::to_string(i)));
    v->peer.put.callAndWait("User.Get");
    v->poll(false);  // a held Get, as an idle client keeps one
    holders.push_back(std::move(v));
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const std::size_t after = g.rss();
  std::printf("idle sessions=%d rss-before=%zuKiB rss-after=%zuKiB per-session=%.1fKiB\n", count,
              before / 1024, after / 1024,
              static_cast<double>(after - before) / 1024.0 / static_cast<double>(count));
  std::fflush(stdout);
  for (auto& v : holders) v->stop = true;
  for (int i = 0; i < count; ++i)
    holders[i]->peer.put.callAndWait("Logout", [i](TRtcFunctionInfo& f) {
      f.setAsText("user", Widen("idle" + std::to_string(i)));
      f.setAsText("pwd", u"pw");
    });
}

// One host/viewer pair logging in, relaying and logging out until `running` ends.
void soakPair(const Gateway& g, int index, std::atomic<bool>& running, std::mutex& lock,
              std::vector<double>& latencies, std::atomic<long>& cycles) {
  for (int round = 0; running; ++round) {
    const std::string tag = std::to_string(index) + "-" + std::to_string(round);
    const std::string host = "sh" + std::to_string(index), viewer = "sv" + std::to_string(index);
    PeerSettings hs = peer(g, host), vs = peer(g, viewer);
    hs.id = host + "-" + tag;
    vs.id = viewer + "-" + tag;
    PortalPeer h(hs), v(vs);
    h.put.callAndWait("User.Get");
    v.put.callAndWait("User.Get");
    std::vector<double> mine;
    for (int i = 0; i < 20 && running; ++i) {
      const auto sent = Steady::now();
      h.put.callAndWait("Put", [&](TRtcFunctionInfo& f) {
        f.setAsInteger("x", i + 1);
        TRtcDataSet& p = f.NewDataSet("p");
        p.Append();
        p.setAsText("to", Widen(viewer));
        p.setAsString("d", std::string(1024, 'm'));
      });
      for (int tries = 0; tries < 3; ++tries) {
        auto got = v.get.callAndWait(
            "Get", [&](TRtcFunctionInfo& f) { f.setAsInteger("x", i * 3 + tries + 1); });
        if (got && got->asRecord() && got->asRecord()->asArray(host)) {
          mine.push_back(std::chrono::duration<double, std::milli>(Steady::now() - sent).count());
          break;
        }
      }
    }
    for (auto [p, name] : {std::pair{&h, host}, std::pair{&v, viewer}})
      p->put.callAndWait("Logout", [name](TRtcFunctionInfo& f) {
        f.setAsText("user", Widen(name));
        f.setAsText("pwd", u"pw");
      });
    std::lock_guard<std::mutex> hold(lock);
    latencies.insert(latencies.end(), mine.begin(), mine.end());
    ++cycles;
  }
}

void soak(int clients, int seconds, const std::string& endedIds) {
  Gateway g(endedIds.empty() ? std::vector<std::string>{}
                             : std::vector<std::string>{"--max-ended-ids", endedIds});
  std::atomic<bool> running{true};
  std::atomic<long> cycles{0};
  std::mutex lock;
  std::vector<double> latencies;
  std::vector<std::thread> pairs;
  const std::size_t start = g.rss();
  std::size_t highest = start;
  for (int i = 0; i < clients / 2; ++i)
    pairs.emplace_back(soakPair, std::cref(g), i, std::ref(running), std::ref(lock),
                       std::ref(latencies), std::ref(cycles));
  const auto t0 = Steady::now();
  for (int s = 10; s <= seconds; s += 10) {
    std::this_thread::sleep_until(t0 + std::chrono::seconds(s));
    const std::size_t now = g.rss();
    highest = std::max(highest, now);
    std::printf("t=%ds rss=%zuKiB cycles=%ld\n", s, now / 1024, cycles.load());
    std::fflush(stdout);
  }
  running = false;
  for (auto& t : pairs) t.join();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const std::size_t end = g.rss();
  std::lock_guard<std::mutex> hold(lock);
  std::printf(
      "soak clients=%d seconds=%d cycles=%ld rows=%zu latency median=%.2fms p90=%.2fms "
      "p99=%.2fms max=%.2fms rss start=%zuKiB highest=%zuKiB end=%zuKiB\n",
      clients, seconds, cycles.load(), latencies.size(), percentile(latencies, 0.5),
      percentile(latencies, 0.9), percentile(latencies, 0.99), percentile(latencies, 1.0),
      start / 1024, highest / 1024, end / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {50, 500};
  int seconds = 5, idleCount = 2000, soakSeconds = 0, clients = 500;
  std::string endedIds;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--pairs") {
      sizes.clear();
      std::stringstream in(v);
      std::string part;
      while (std::getline(in, part, ',')) sizes.push_back(std::stoi(part));
    } else if (a == "--seconds") {
      seconds = std::stoi(v);
    } else if (a == "--idle") {
      idleCount = std::stoi(v);
    } else if (a == "--soak") {
      soakSeconds = std::stoi(v);
    } else if (a == "--clients") {
      clients = std::stoi(v);
    } else if (a == "--ended-ids") {
      endedIds = v;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  try {
    if (soakSeconds > 0) {
      soak(clients, soakSeconds, endedIds);
      return 0;
    }
    Gateway g;
    double median = 0, p99 = 0, rate = 0;
    baseline(g, median, p99, rate);
    std::printf("baseline echo round trip: median=%.2fms p99=%.2fms calls=%.0f/s\n", median, p99,
                rate);
    std::fflush(stdout);
    for (int n : sizes) pairs(g, n, seconds);
    if (idleCount > 0) {
      Gateway fresh;
      idle(fresh, idleCount);
    }
  } catch (const std::exception& e) {
    std::cerr << "bench_relay: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
