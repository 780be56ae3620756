#include "transport/rtc_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "transport/main_loop.h"
#include "util/exceptions.h"

namespace vtx {
namespace {

// A thread-less timer service on a manual clock: each step advances 1 ms and handles due ticks.
class TimerTest : public ::testing::Test {
 protected:
  TimerService svc{[this] { return now_; }, false};
  int64_t now_ = 1000;
  std::vector<int64_t> fired;

  void advanceTo(int64_t t) {
    while (now_ < t) {
      ++now_;
      svc.ProcessDue();
    }
  }
  TRtcTimer::TRtcTimerEvent record() {
    return [this] { fired.push_back(now_); };
  }
};

TEST_F(TimerTest, PeriodicTimerFiresEveryWaitUntilDisabled) {
  auto t = TRtcTimer::Create(true, &svc);
  t->Enable(10, record());
  advanceTo(1035);
  EXPECT_EQ(fired, (std::vector<int64_t>{1010, 1020, 1030}));
  t->Disable();
  advanceTo(1100);
  EXPECT_EQ(fired.size(), 3u);
  EXPECT_TRUE(t->Registered());
}

TEST_F(TimerTest, AutoDisableFiresOnceAndAutoDestroyUnregisters) {
  auto once = TRtcTimer::Create(true, &svc);
  once->Enable(10, record(), /*AutoDisable=*/true);
  TRtcTimer::Ptr gone = TRtcTimer::Create(true, &svc);
  std::weak_ptr<TRtcTimer> watch = gone;
  gone->Enable(15, record(), false, /*AutoDestroy=*/true);
  gone.reset();  // the registry keeps it until it fires
  advanceTo(1100);
  EXPECT_EQ(fired, (std::vector<int64_t>{1010, 1015}));
  EXPECT_FALSE(once->Running());
  EXPECT_TRUE(once->Registered());
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(svc.TimerCount(), 1u);
}

TEST_F(TimerTest, ResetFiresAtTheFirstTickAtOrAfterTheNewDueTime) {
  auto t = TRtcTimer::Create(true, &svc);
  t->Enable(10, record());
  advanceTo(1013);
  t->Reset();  // due 1023: ticks run at 1020, 1030 → fires at 1030
  advanceTo(1045);
  EXPECT_EQ(fired, (std::vector<int64_t>{1010, 1030, 1040}));
}

TEST_F(TimerTest, EnableWhileRunningKeepsTheCountdownAndStopClearsTheReference) {
  auto t = TRtcTimer::Create(true, &svc);
  t->Enable(10, record());
  advanceTo(1005);
  int other = 0;
  t->Enable(10, [&] { ++other; });
  advanceTo(1010);
  EXPECT_TRUE(fired.empty());
  EXPECT_EQ(other, 1);
  TRtcTimer::Stop(t);
  EXPECT_EQ(t, nullptr);
  advanceTo(1050);
  EXPECT_EQ(other, 1);
  EXPECT_EQ(svc.TimerCount(), 0u);
}

TEST_F(TimerTest, ThrowingEventIsSwallowedAndTimerKeepsTicking) {
  auto t = TRtcTimer::Create(true, &svc);
  int n = 0;
  t->Enable(10, [&] {
    ++n;
    throw ERtcInfo("tick failed");
  });
  advanceTo(1030);
  EXPECT_EQ(n, 3);
}

TEST_F(TimerTest, SingleThreadedDeliversOnMainLoopAndJobsGoToTheirQueue) {
  RunLoop loop;
  SetMainLoop(&loop);
  std::thread::id ranOn;
  auto t = TRtcTimer::Create(false, &svc);
  t->Enable(
      5, [&] { ranOn = std::this_thread::get_id(); }, true);
  std::thread([&] { advanceTo(1010); }).join();  // ticks handled off the main thread
  EXPECT_EQ(ranOn, std::thread::id{});
  EXPECT_EQ(loop.processPending(), 1u);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  SetMainLoop(nullptr);

  ThreadPool pool;
  auto q = TRtcThread::Create(&pool);
  std::atomic<int> jobs{0};
  auto j = TRtcTimer::Create(true, &svc);
  j->Enable(
      10, q, [&] { ++jobs; }, false, true);
  advanceTo(1050);
  for (int i = 0; i < 10000 && jobs == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  pool.Shutdown();
  EXPECT_EQ(jobs.load(), 1);
}

// A firing that waits in the main loop belongs to the timer as it was: once the timer is stopped
// (its owner going away) or disabled, the loop drops it. Under AddressSanitizer the event's
// freed owner shows up here.
TEST_F(TimerTest, FiringsWaitingInTheMainLoopAreDroppedOnceTheTimerStopsOrIsDisabled) {
  RunLoop loop;
  SetMainLoop(&loop);
  struct Owner {
    int fired = 0;
  };
  auto owner = std::make_unique<Owner>();
  auto stopped = TRtcTimer::Create(false, &svc);
  stopped->Enable(
      5, [o = owner.get()] { ++o->fired; }, true);
  int disabledFired = 0;
  auto disabled = TRtcTimer::Create(false, &svc);
  disabled->Enable(5, [&] { ++disabledFired; });
  int keptFired = 0;
  auto kept = TRtcTimer::Create(false, &svc);
  kept->Enable(5, [&] { ++keptFired; });
  std::thread([&] { advanceTo(1005); }).join();
  TRtcTimer::Stop(stopped);
  owner.reset();
  disabled->Disable();
  EXPECT_EQ(loop.processPending(), 3u);
  EXPECT_EQ(disabledFired, 0);
  EXPECT_EQ(keptFired, 1);
  SetMainLoop(nullptr);
}

TEST(TimerServiceTest, RealThreadFiresAndShutdownRefusesNewTimers) {
  TimerService svc;
  std::atomic<int> n{0};
  auto t = TRtcTimer::Create(true, &svc);
  t->Enable(1, [&] { ++n; });
  for (int i = 0; i < 10000 && n < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_GE(n.load(), 3);
  svc.Shutdown();
  EXPECT_FALSE(t->Registered());
  EXPECT_THROW(TRtcTimer::Create(true, &svc), ERtcInfo);
}

}  // namespace
}  // namespace vtx
