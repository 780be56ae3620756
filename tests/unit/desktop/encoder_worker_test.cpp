#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "desktop/gdi_screen_encoder.h"
#include "desktop/screen_encoder.h"
#include "platform/fake/fake_desktop.h"

namespace vtx {
namespace {

// A worker whose capture job throws on request and counts how often it ran.
class ProbeEncoder final : public TRtcBaseScreenEncoder {
 public:
  explicit ProbeEncoder(EncoderContext c) : TRtcBaseScreenEncoder(std::move(c)) {}
  ~ProbeEncoder() override { Stop(); }
  TRtcValue& GetInitialScreenData() override { return v_; }
  TRtcValue& GetScreenData() override { return v_; }
  bool ScreenChanged() override { return false; }
  std::atomic<int> runs{0};
  std::atomic<bool> fail{false};
  std::thread::id worker;

 protected:
  bool CaptureJob(int, bool initial) override {
    ++runs;
    worker = std::this_thread::get_id();
    if (fail) throw std::runtime_error("probe failure");
    return initial;
  }
  void GrabDirect() override { Capture(0, false); }
  const std::string& BuildScreenDelta() override { return none_; }
  std::string BuildScreen() override { return {}; }
  bool CheckSupported() override { return true; }

 private:
  TRtcValue v_;
  const std::string none_;
};

EncoderContext context(FakeDesktop& d) {
  EncoderContext c;
  c.screen = d.OpenScreen();
  c.input = d.Input();
  return c;
}

TEST(EncoderWorker, JobsRunOnTheWorkerAndFailuresReleaseTheRequester) {
  FakeDesktop d(32, 8);
  ProbeEncoder e(context(d));
  EXPECT_TRUE(e.Capture(0, true));
  EXPECT_FALSE(e.Capture(0, false));
  EXPECT_NE(e.worker, std::this_thread::get_id());

  e.fail = true;  // the requester is released with a false result, the worker goes on
  EXPECT_FALSE(e.Capture(0, true));
  e.fail = false;
  EXPECT_TRUE(e.Capture(0, true));
  EXPECT_EQ(e.runs, 4);

  auto unknown = std::make_unique<TRtcRecord>();
  unknown->setAsInteger("JOB", 7);  // keys match ignoring case; job 7 does nothing
  EXPECT_FALSE(e.RunJob(std::move(unknown)));
  EXPECT_FALSE(e.RunJob(std::make_unique<TRtcRecord>()));  // job 0 without settings
  EXPECT_EQ(e.runs, 5);

  EXPECT_TRUE(e.keybd_event(65, 30, 2, 7));
  EXPECT_TRUE(e.mouse_event(1, 100, 200, 3, 9));
  EXPECT_TRUE(e.cad());
  EXPECT_EQ(d.InputLog(),
            (std::vector<std::string>{"key 65 30 2 7", "mouse 1 100 200 3 9", "sas"}));

  e.Stop();
  e.Stop();                          // idempotent
  EXPECT_FALSE(e.Capture(0, true));  // after Stop nothing runs and nobody waits
  EXPECT_EQ(e.runs, 5);
}

TEST(EncoderWorker, ConcurrentRequestsAreSerialisedAndStopReturnsPromptly) {
  FakeDesktop d(64, 32);
  d.Noise({0, 0, 64, 32}, 1);
  auto start = std::chrono::steady_clock::now();
  {
    TRtcGDIScreenEncoder idle(context(d));  // stopped without any job
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  TRtcGDIScreenEncoder e(context(d));
  EncoderSetup s;
  s.maxBlockCount = 4;
  e.Setup(s);
  std::vector<std::thread> threads;
  std::atomic<int> done{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        if (t % 2)
          e.Capture(0, false);
        else
          e.mouse_event(1, i, i, 0, 0);
        ++done;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(done, 100);
  EXPECT_EQ(d.InputLog().size(), 50u);
}

}  // namespace
}  // namespace vtx
