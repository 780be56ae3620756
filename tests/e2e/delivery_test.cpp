// Exactly-once delivery across lost connections: two portal clients, set up as the program sets
// its own (two channels, encrypted, compressed, events on the main loop), talk through a real
// gateway process behind a proxy that cuts their connections. Every message must arrive once,
// in order, with no error reaching the application.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/gateway_child.h"
#include "platform/system_info.h"
#include "portal/http_portal_client.h"
#include "portal/portal_module.h"
#include "support/fault_proxy.h"
#include "transport/main_loop.h"
#include "util/text.h"

namespace vtx {
namespace {

using namespace std::chrono_literals;
using testing::FaultProxy;
using testing::GatewayChild;

const char* const kPassword = "fyduzAKrpRQdnnwXjRM";
const char* const kSecureKey = "kgQWdXnb5mVpW";

// The numbers of the "Chat" messages received, and the errors the application saw.
class Inbox {
 public:
  void add(int n) {
    std::lock_guard g(lock_);
    got_.push_back(n);
    cv_.notify_all();
  }
  void error(const std::string& e) {
    std::lock_guard g(lock_);
    errors_.push_back(e);
  }
  bool waitForCount(std::size_t n, std::chrono::milliseconds limit = 20s) {
    std::unique_lock g(lock_);
    return cv_.wait_for(g, limit, [&] { return got_.size() >= n; });
  }
  std::vector<int> got() {
    std::lock_guard g(lock_);
    return got_;
  }
  std::vector<std::string> errors() {
    std::lock_guard g(lock_);
    return errors_;
  }

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  std::vector<int> got_;
  std::vector<std::string> errors_;
};

class ChatModule : public TRtcPModule {
 public:
  explicit ChatModule(Inbox& inbox) : inbox_(inbox) {}
  void HandleDataFromUser(TRtcConnection*, const std::string&, TRtcFunctionInfo& f) override {
    if (f.FunctionName() == u"Chat") inbox_.add(f.asInteger("n"));
  }

 private:
  Inbox& inbox_;
};

// The main loop the portal events are synchronised to, on its own thread.
class UiThread {
 public:
  UiThread() {
    std::promise<void> ready;
    thread_ = std::thread([this, &ready] {
      loop_ = std::make_unique<RunLoop>();
      SetMainLoop(loop_.get());
      ready.set_value();
      loop_->run();
    });
    ready.get_future().wait();
  }
  ~UiThread() {
    loop_->quit();
    loop_->post([] {});
    thread_.join();
    SetMainLoop(nullptr);
    loop_->close();
  }

 private:
  std::unique_ptr<RunLoop> loop_;
  std::thread thread_;
};

// A portal client with the program's settings: visible host or notified viewer.
struct Party {
  // `reconnectWait`: seconds before a lost connection is opened again (the program waits 2).
  // `caFile`: TLS, the gateway's certificate checked against it (through the proxy too).
  Party(const std::string& port, const std::string& caFile, const std::string& name, bool host,
        int reconnectWait)
      : module(inbox) {
    client.setGateAddr("127.0.0.1");
    client.setGatePort(port);
    if (!caFile.empty()) {
      client.setGate_SSL(true);
      client.setGate_SSLCAFile(caFile);
    }
    client.setUserVisible(host);
    client.setUserNotify(!host);
    client.setGwStoreParams(true);
    client.setAutoSyncEvents(true);
    client.setDataCompress(TrtcpCompressLevel::rtcpCompMax);
    client.setDataEncrypt(16);
    client.setDataForceEncrypt(true);
    client.setRetryOtherCalls(10);
    client.setMultiThreaded(true);
    client.setDataSecureKey(kSecureKey);
    client.setLoginPassword(kPassword);
    client.setLoginUserName(name);
    client.OnError = [this](TAbsPortalClient&, const std::string& m) { inbox.error(m); };
    client.OnFatalError = [this](TAbsPortalClient&, const std::string& m) {
      inbox.error("fatal " + m);
    };
    client.GetConnection().ReconnectOn.Wait = client.PutConnection().ReconnectOn.Wait =
        static_cast<std::uint32_t>(reconnectWait);
    module.setClient(&client);
  }
  ~Party() {
    module.setClient(nullptr);
    client.Stop();
  }
  bool loggedIn() {
    const auto end = std::chrono::steady_clock::now() + 15s;
    while (!client.LoggedIn() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(10ms);
    return client.LoggedIn();
  }
  void send(const std::string& to, int n) {
    auto f = std::make_unique<TRtcFunctionInfo>();
    f->setFunctionName(u"Chat");
    f->setAsInteger("n", n);
    client.SendToUser(nullptr, to, std::move(f));
  }

  FixedSystemInfo system{"PC-E2E", "tester", "127.0.0.1"};
  Inbox inbox;
  TRtcHttpPortalClient client{&system};
  ChatModule module;
};

std::vector<int> upTo(int n) {
  std::vector<int> v;
  for (int i = 1; i <= n; ++i) v.push_back(i);
  return v;
}

// The loops reconnect at once, so that they take seconds (the program waits 2 s); the
// remaining cases keep the program's wait.
class Delivery : public ::testing::Test {
 protected:
  explicit Delivery(int reconnectWait = 0)
      : gw_({"--threads", "2", "--login-password", kPassword, "--secure-key", kSecureKey,
             "--force-encryption", "--db", ":memory:"}),
        proxy_(gw_.port()),
        host_(proxy_.port(), gw_.caFile(), "host", true, reconnectWait),
        viewer_(proxy_.port(), gw_.caFile(), "viewer", false, reconnectWait) {}

  void SetUp() override {
    host_.client.setActive(true);
    ASSERT_TRUE(host_.loggedIn());
    viewer_.client.setActive(true);
    ASSERT_TRUE(viewer_.loggedIn());
  }

  // One chat line each way; true when both arrived.
  bool exchange() {
    ++sent_;
    host_.send("viewer", sent_);
    viewer_.send("host", sent_);
    return viewer_.inbox.waitForCount(sent_) && host_.inbox.waitForCount(sent_);
  }

  void expectExactlyOnceInOrder() {
    EXPECT_EQ(viewer_.inbox.got(), upTo(sent_));
    EXPECT_EQ(host_.inbox.got(), upTo(sent_));
    EXPECT_EQ(host_.inbox.errors(), std::vector<std::string>{});
    EXPECT_EQ(viewer_.inbox.errors(), std::vector<std::string>{});
    EXPECT_TRUE(host_.client.LoggedIn());
    EXPECT_TRUE(viewer_.client.LoggedIn());
  }

  UiThread ui_;
  GatewayChild gw_;
  FaultProxy proxy_;
  Party host_, viewer_;
  int sent_ = 0;
};

// Cuts at every point of a chat exchange in turn (a bounded number of points per direction,
// spread over the bytes one exchange moves): each cut loses and doubles nothing.
TEST_F(Delivery, EveryCutPointOfAChatExchange) {
  ASSERT_TRUE(exchange());
  const std::uint64_t up0 = proxy_.bytes(FaultProxy::Up), down0 = proxy_.bytes(FaultProxy::Down);
  ASSERT_TRUE(exchange());
  const std::uint64_t span[2] = {proxy_.bytes(FaultProxy::Up) - up0,
                                 proxy_.bytes(FaultProxy::Down) - down0};
  constexpr std::uint64_t kPoints = 25;
  for (auto dir : {FaultProxy::Up, FaultProxy::Down}) {
    const std::uint64_t stride = std::max<std::uint64_t>(1, span[dir] / kPoints);
    for (std::uint64_t at = 0; at < span[dir]; at += stride) {
      proxy_.cutAt(dir, at);
      ASSERT_TRUE(exchange()) << "cut " << (dir == FaultProxy::Up ? "up" : "down") << " at " << at
                              << " of " << span[dir];
      proxy_.disarm();
    }
  }
  EXPECT_GE(proxy_.cuts(), static_cast<int>(kPoints));
  ASSERT_TRUE(exchange());  // the session goes on
  expectExactlyOnceInOrder();
}

// 1,000 numbered messages each way, in bursts, with cuts at random points (seeded).
TEST_F(Delivery, ThousandMessagesBothWaysThroughRandomCuts) {
  std::mt19937 rng(14);
  constexpr int kMessages = 1000, kBurst = 10;
  for (int burst = 0; burst < kMessages / kBurst; ++burst) {
    if (!proxy_.armed()) proxy_.cutAt(rng() % 2 ? FaultProxy::Up : FaultProxy::Down, rng() % 6000);
    for (int i = 0; i < kBurst; ++i) {
      ++sent_;
      host_.send("viewer", sent_);
      viewer_.send("host", sent_);
    }
    ASSERT_TRUE(viewer_.inbox.waitForCount(sent_)) << "burst " << burst;
    ASSERT_TRUE(host_.inbox.waitForCount(sent_)) << "burst " << burst;
  }
  proxy_.disarm();
  EXPECT_GE(proxy_.cuts(), 20);
  expectExactlyOnceInOrder();
}

class DeliveryAsTheProgram : public Delivery {
 protected:
  DeliveryAsTheProgram() : Delivery(2) {}
};

// Every connection closed at once, a stalled link and a slow one: the session resumes with
// nothing lost.
TEST_F(DeliveryAsTheProgram, AllConnectionsCutAndAStalledLink) {
  ASSERT_TRUE(exchange());
  proxy_.cutAll();
  ASSERT_TRUE(exchange());
  proxy_.setStalled(true);
  ++sent_;
  host_.send("viewer", sent_);
  viewer_.send("host", sent_);
  std::this_thread::sleep_for(300ms);
  proxy_.setStalled(false);
  ASSERT_TRUE(viewer_.inbox.waitForCount(sent_));
  ASSERT_TRUE(host_.inbox.waitForCount(sent_));
  proxy_.setDelay(5ms);
  ASSERT_TRUE(exchange());
  proxy_.setDelay(0ms);
  expectExactlyOnceInOrder();
}

}  // namespace
}  // namespace vtx
