// Chat lines from an analyst to a host and back through a real vorantelix-gateway process on
// 127.0.0.1: the analyst's portal client sends a line to the host's room, the host's chat
// module relays it to the room, the analyst's chat module assembles it. Reports the round
// trip's median and 99th percentile against a plain Echo round trip on the same gateway, in the
// same run, with the same cipher.
//
//   bench_chat [--lines 300]
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_peer.h"
#include "e2e/gateway_child.h"
#include "portal/portal_chat.h"
#include "unit/gateway/portal_peer.h"

namespace {

using namespace vtx;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr const char* kKey = "Bench-Key-15";

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

using Side = bench::BenchSide<TRtcPChat>;

}  // namespace

int main(int argc, char** argv) {
  int lines = 300;
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::string(argv[i]) == "--lines") lines = std::max(10, std::atoi(argv[i + 1]));

  testing::GatewayChild gw(bench::GatewayArgs(kKey, {"--enable-echo"}),
                           testing::GatewayChild::Transport::Plain);

  // Baseline: Echo on one channel.
  std::vector<double> echo;
  {
    gateway::testing::PortalChannel c(
        gateway::testing::PeerSettings{gw.port(), kKey, u"echo", u"pw", "echo-id"});
    c.callAndWait("Echo");
    for (int i = 0; i < lines; ++i) {
      const auto t = Steady::now();
      c.callAndWait("Echo", [i](TRtcFunctionInfo& f) { f.setAsInteger("n", i); });
      echo.push_back(std::chrono::duration<double, std::milli>(Steady::now() - t).count());
    }
  }

  Side host(gw.port(), "host", true, kKey), analyst(gw.port(), "analyst", false, kKey);
  std::mutex lock;
  std::condition_variable cv;
  std::string lastLine;
  bool joined = false;
  analyst.module.On_ChatOpen = [&](TRtcPChat&, const std::string&) {
    std::lock_guard g(lock);
    joined = true;
    cv.notify_all();
  };
  analyst.module.On_ChatMessageLine = [&](TRtcPChat&, const std::string&, const std::string&,
                                          const std::string& line) {
    std::lock_guard g(lock);
    lastLine = line;
    cv.notify_all();
  };
  host.client.setActive(true);
  analyst.client.setActive(true);
  if (!host.loggedIn() || !analyst.loggedIn()) {
    std::fprintf(stderr, "bench_chat: the clients did not log in\n");
    return 1;
  }
  std::this_thread::sleep_for(500ms);  // both Get loops running
  analyst.module.Open("host");
  {
    std::unique_lock g(lock);
    if (!cv.wait_for(g, 15s, [&] { return joined; })) {
      std::fprintf(stderr, "bench_chat: the host did not take the analyst in\n");
      return 1;
    }
  }
  std::vector<double> chat;
  for (int i = 0; i < lines + 5; ++i) {
    const std::string text = "line " + std::to_string(i) + " of the analyst\r";
    const auto t = Steady::now();
    analyst.module.Send("host", text);
    std::unique_lock g(lock);
    if (!cv.wait_for(g, 10s, [&] { return lastLine == text; })) {
      std::fprintf(stderr, "bench_chat: line %d did not come back\n", i);
      return 1;
    }
    if (i >= 5)  // the first lines warm the connections
      chat.push_back(std::chrono::duration<double, std::milli>(Steady::now() - t).count());
  }
  host.client.setActive(false);
  analyst.client.setActive(false);

  const double em = percentile(echo, 0.5), e99 = percentile(echo, 0.99);
  const double cm = percentile(chat, 0.5), c99 = percentile(chat, 0.99);
  std::printf("echo round trip:      median %.3f ms, p99 %.3f ms (%d calls)\n", em, e99, lines);
  std::printf("chat line round trip: median %.3f ms, p99 %.3f ms (%d lines)\n", cm, c99, lines);
  std::printf("ratio chat/echo:      median %.2fx, p99 %.2fx (goal: median within 3x)\n",
              em > 0 ? cm / em : 0, e99 > 0 ? c99 / e99 : 0);
  return 0;
}
