#include "transport/rtc_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "transport/main_loop.h"
#include "util/exceptions.h"
#include "util/log.h"

namespace vtx {
namespace {

// Waits (generously) until `cond` holds.
template <class F>
bool eventually(F cond) {
  for (int i = 0; i < 20000 && !cond(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return cond();
}

struct Recorder {
  std::mutex m;
  std::vector<int> order;
  void add(int v) {
    std::lock_guard g(m);
    order.push_back(v);
  }
  std::vector<int> get() {
    std::lock_guard g(m);
    return order;
  }
};

class CountingJob : public TRtcJob {
 public:
  CountingJob(std::atomic<int>& runs, std::atomic<int>& kills) : runs_(runs), kills_(kills) {}
  bool Run(TRtcThread*) override {
    ++runs_;
    return true;
  }
  void Kill() override { ++kills_; }

 private:
  std::atomic<int>& runs_;
  std::atomic<int>& kills_;
};

TEST(RtcThread, JobsOfOneQueueRunInOrderAndNeverOverlap) {
  ThreadPool pool;
  auto q = TRtcThread::Create(&pool);
  Recorder rec;
  std::atomic<int> running{0}, overlaps{0};
  for (int i = 0; i < 500; ++i)
    ASSERT_TRUE(q->PostJob([&, i] {
      if (++running > 1) ++overlaps;
      rec.add(i);
      --running;
    }));
  ASSERT_TRUE(eventually([&] { return rec.get().size() == 500; }));
  auto order = rec.get();
  for (int i = 0; i < 500; ++i) ASSERT_EQ(order[i], i);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_LE(pool.WorkerCount(), ThreadPool::kMaxWorkers);
}

TEST(RtcThread, HighPriorityJumpsTheQueueAndPauseHoldsIt) {
  ThreadPool pool;
  auto q = TRtcThread::Create(&pool);
  Recorder rec;
  q->Pause();
  q->PostJob([&] { rec.add(1); });
  q->PostJob([&] { rec.add(2); });
  q->PostJob([&] { rec.add(0); }, true);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(rec.get().empty());
  q->PostJob([&] { rec.add(3); }, false, /*AutoResume=*/true);
  ASSERT_TRUE(eventually([&] { return rec.get().size() == 4; }));
  EXPECT_EQ(rec.get(), (std::vector<int>{0, 1, 2, 3}));
}

TEST(RtcThread, StopKillsQueuedJobsAfterTheRunningOneAndPostFailsAfterwards) {
  ThreadPool pool;
  auto q = TRtcThread::Create(&pool);
  std::atomic<int> runs{0}, kills{0};
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  q->PostJob([&] {
    entered.set_value();
    released.wait();
  });
  entered.get_future().wait();
  for (int i = 0; i < 3; ++i) q->PostJob(std::make_unique<CountingJob>(runs, kills));
  EXPECT_TRUE(q->Stop());
  EXPECT_EQ(kills.load(), 3);
  std::unique_ptr<TRtcJob> late = std::make_unique<CountingJob>(runs, kills);
  EXPECT_FALSE(q->PostJob(late));  // quitting
  EXPECT_NE(late, nullptr);        // still the caller's
  release.set_value();
  ASSERT_TRUE(eventually([&] { return !q->Alive(); }));
  EXPECT_FALSE(q->PostJob(late));
  EXPECT_NE(late, nullptr);
  EXPECT_FALSE(q->Stop());
  EXPECT_EQ(runs.load(), 0);
}

TEST(RtcThread, ThrowingJobEndsOnlyItsQueue) {
  ThreadPool pool;
  auto bad = TRtcThread::Create(&pool), good = TRtcThread::Create(&pool);
  std::atomic<int> runs{0}, kills{0};
  bad->PostJob([] { throw ERtcInfo("broken"); });
  // Either queued behind the failing job (then killed, never run) or refused once it failed.
  bool posted = bad->PostJob(std::make_unique<CountingJob>(runs, kills));
  ASSERT_TRUE(eventually([&] { return !bad->Alive(); }));
  // The queue reports itself dead before it has finished killing what was queued behind.
  EXPECT_TRUE(eventually([&] { return kills.load() == (posted ? 1 : 0); }));
  EXPECT_EQ(runs.load(), 0);
  std::atomic<bool> ran{false};
  EXPECT_TRUE(good->PostJob([&] { ran = true; }));
  EXPECT_TRUE(eventually([&] { return ran.load(); }));
}

TEST(RtcThread, ReadyQueuesAreServedInRotation) {
  ThreadPool pool;
  // One gate queue holds the only... rather: pause all, fill, resume together and check that no
  // queue runs its second job before every queue ran its first.
  std::vector<TRtcThread::Ptr> qs;
  Recorder rec;
  for (int i = 0; i < 8; ++i) qs.push_back(TRtcThread::Create(&pool));
  for (int i = 0; i < 8; ++i) {
    qs[i]->Pause();
    for (int j = 0; j < 3; ++j) qs[i]->PostJob([&rec, i, j] { rec.add(j * 100 + i); });
  }
  for (auto& q : qs) q->Resume();
  ASSERT_TRUE(eventually([&] { return rec.get().size() == 24; }));
  // Per queue the order holds; and every first job precedes the last third job of any queue.
  auto order = rec.get();
  std::vector<int> pos(300, -1);
  for (size_t k = 0; k < order.size(); ++k) pos[order[k]] = static_cast<int>(k);
  for (int i = 0; i < 8; ++i) {
    EXPECT_LT(pos[i], pos[100 + i]);
    EXPECT_LT(pos[100 + i], pos[200 + i]);
  }
}

TEST(RtcThread, SyncRunsOnTheMainThreadAndShutdownKeepsTheLoopGoing) {
  RunLoop loop;
  SetMainLoop(&loop);
  auto pool = std::make_unique<ThreadPool>();
  auto q = TRtcThread::Create(pool.get());
  EXPECT_THROW(q->Sync([] {}), ERtcInfo);  // never served yet
  std::atomic<bool> onMain{false}, insideFromMain{false}, done{false};
  q->PostJob([&] {
    q->Sync([&] {
      onMain = loop.isMainThread();
      insideFromMain = q->InsideThread();
    });
    // A second Sync while the main thread is busy shutting the pool down must still complete.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    q->Sync([] {});
    done = true;
  });
  loop.runUntil([&] { return onMain.load(); });
  pool->Shutdown();  // from the main thread, while the job still needs it
  EXPECT_TRUE(done.load());
  EXPECT_TRUE(onMain.load());
  EXPECT_TRUE(insideFromMain.load());
  EXPECT_FALSE(q->InsideThread());
  EXPECT_THROW(TRtcThread::Create(pool.get()), ERtcInfo);
  SetMainLoop(nullptr);
}

TEST(RtcThread, ManyPostersManyQueuesKeepPerQueueOrderWhilePausingAndResuming) {
  ThreadPool pool;
  constexpr int kQueues = 40, kPosters = 4, kJobs = 300;
  struct Track {
    std::atomic<int> running{0}, overlaps{0}, ran{0};
    std::mutex m;
    std::vector<int> last = std::vector<int>(kPosters, -1);
    std::atomic<int> disorder{0};
  };
  std::vector<TRtcThread::Ptr> qs;
  std::vector<Track> tracks(kQueues);
  for (int i = 0; i < kQueues; ++i) qs.push_back(TRtcThread::Create(&pool));
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p)
    posters.emplace_back([&, p] {
      for (int j = 0; j < kJobs; ++j)
        for (int i = 0; i < kQueues; ++i) {
          Track& t = tracks[i];
          qs[i]->PostJob([&t, p, j] {
            if (++t.running > 1) ++t.overlaps;
            {
              std::lock_guard g(t.m);
              if (t.last[p] >= j) ++t.disorder;
              t.last[p] = j;
            }
            --t.running;
            ++t.ran;
          });
          if (p == 0 && j % 50 == 0) qs[i]->Pause();
          if (p == 1 && j % 50 == 10) qs[i]->Resume();
        }
    });
  for (auto& t : posters) t.join();
  for (auto& q : qs) q->Resume();
  ASSERT_TRUE(eventually([&] {
    for (auto& t : tracks)
      if (t.ran.load() != kPosters * kJobs) return false;
    return true;
  }));
  for (auto& t : tracks) {
    EXPECT_EQ(t.overlaps.load(), 0);
    EXPECT_EQ(t.disorder.load(), 0);
  }
  EXPECT_LE(pool.WorkerCount(), ThreadPool::kMaxWorkers);
}

TEST(RtcThread, AJobMayShutTheIdlePoolDownWithoutWaitingForItself) {
  ThreadPool pool(std::chrono::milliseconds(5000));
  auto q = TRtcThread::Create(&pool);
  std::atomic<int> result{-1};
  q->PostJob([&] { result = pool.Shutdown() ? 1 : 0; });
  ASSERT_TRUE(eventually([&] { return result.load() >= 0; }));
  EXPECT_TRUE(pool.Closed());
}

TEST(RtcThread, StopEndsAPausedQueue) {
  ThreadPool pool;
  auto q = TRtcThread::Create(&pool);
  std::atomic<int> runs{0}, kills{0};
  q->Pause();
  for (int i = 0; i < 3; ++i) q->PostJob(std::make_unique<CountingJob>(runs, kills));
  EXPECT_TRUE(q->Stop());
  EXPECT_TRUE(eventually([&] { return !q->Alive(); }));
  EXPECT_EQ(kills.load(), 3);
  EXPECT_EQ(runs.load(), 0);
}

// Counts the hooks; optionally throws from the start and stop hooks.
class CountingCallback : public TRtcThreadCallback {
 public:
  struct Counts {
    std::mutex m;
    std::set<std::thread::id> started, stopped;
    std::atomic<int> destroyed{0};
  };
  CountingCallback(Counts& c, bool fail) : c_(c), fail_(fail) {}
  void AfterThreadStart() override {
    {
      std::lock_guard g(c_.m);
      c_.started.insert(std::this_thread::get_id());
    }
    if (fail_) throw ERtcInfo("start hook");
  }
  void BeforeThreadStop() override {
    {
      std::lock_guard g(c_.m);
      c_.stopped.insert(std::this_thread::get_id());
    }
    if (fail_) throw ERtcInfo("stop hook");
  }
  void DestroyCallback() override { ++c_.destroyed; }

 private:
  Counts& c_;
  bool fail_;
};

std::string readAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(RtcThread, EveryWorkerRunsTheCallbacksAndTheirFailuresAreOnlyLogged) {
  namespace fs = std::filesystem;
  fs::path root = fs::temp_directory_path() / ("vtx-cb-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "bin");
  ResetLogForTest();
  SetLogProgramPathForTest(root / "bin" / "vtx");
  StartLogging();

  CountingCallback::Counts quiet, failing;
  {
    ThreadPool pool;
    pool.AddThreadCallback(std::make_unique<CountingCallback>(quiet, false));
    pool.AddThreadCallback(std::make_unique<CountingCallback>(failing, true));
    std::vector<TRtcThread::Ptr> qs;
    std::atomic<int> ran{0};
    for (int i = 0; i < 8; ++i) {
      qs.push_back(TRtcThread::Create(&pool));
      qs.back()->PostJob([&] { ++ran; });
    }
    ASSERT_TRUE(eventually([&] { return ran.load() == 8; }));
    int workers = pool.WorkerCount();
    EXPECT_GE(workers, 1);
    EXPECT_TRUE(pool.Shutdown());
    EXPECT_EQ(quiet.started.size(), static_cast<size_t>(workers));
    EXPECT_EQ(quiet.stopped, quiet.started);
    EXPECT_EQ(failing.stopped, quiet.started);  // a throwing hook stops nothing
    EXPECT_EQ(quiet.destroyed.load(), 1);
    // Added after shutdown: destroyed at once.
    pool.AddThreadCallback(std::make_unique<CountingCallback>(quiet, false));
    EXPECT_EQ(quiet.destroyed.load(), 2);
  }
  EXPECT_EQ(failing.destroyed.load(), 1);
  StopLogging();
  std::string log = readAll(root / "bin" / "LOG" / "vtx.log");
  ResetLogForTest();
  fs::remove_all(root);
  EXPECT_NE(log.find("DoAfterThreadStart TRtcThreadCallback.AfterThreadStart Exception! "
                     "ERtcInfo: start hook"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("DoBeforeThreadStop TRtcThreadCallback.BeforeThreadStop Exception! "
                     "ERtcInfo: stop hook"),
            std::string::npos);
}

TEST(RtcThread, ShutdownAbandonsAJobThatHangsPastTheLimit) {
  auto pool = std::make_unique<ThreadPool>(std::chrono::milliseconds(100));
  CountingCallback::Counts counts;
  pool->AddThreadCallback(std::make_unique<CountingCallback>(counts, false));
  auto hung = TRtcThread::Create(pool.get()), other = TRtcThread::Create(pool.get());
  std::atomic<int> runs{0}, kills{0};
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  std::atomic<bool> finished{false};
  hung->PostJob([&] {
    entered.set_value();
    released.wait_for(std::chrono::seconds(30));
    finished = true;
  });
  entered.get_future().wait();
  other->Pause();
  other->PostJob(std::make_unique<CountingJob>(runs, kills));
  EXPECT_FALSE(pool->Shutdown());  // returns although the job still runs
  EXPECT_FALSE(finished.load());
  EXPECT_FALSE(hung->Alive());
  EXPECT_EQ(kills.load(), 1);  // queues left are finished
  EXPECT_EQ(counts.destroyed.load(), 1);
  pool.reset();  // the abandoned worker keeps the pool's state alive
  EXPECT_FALSE(hung->PostJob([] {}));
  release.set_value();
  EXPECT_TRUE(eventually([&] { return finished.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the detached thread end
  std::lock_guard g(counts.m);
  EXPECT_EQ(counts.stopped.size() + 1, counts.started.size());  // the abandoned one ran none
}

TEST(RtcThread, AQuitOfTheMainLoopEndsTheShutdownWaitAtOnce) {
  RunLoop loop;
  SetMainLoop(&loop);
  auto pool = std::make_unique<ThreadPool>(std::chrono::seconds(60));
  auto q = TRtcThread::Create(pool.get());
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  std::atomic<bool> finished{false};
  q->PostJob([&] {
    entered.set_value();
    // Gives up long before the pool's limit: a shutdown that ignored the quit would see it end.
    released.wait_for(std::chrono::seconds(10));
    finished = true;
  });
  entered.get_future().wait();
  loop.post([&] { loop.quit(); });
  EXPECT_FALSE(pool->Shutdown());
  EXPECT_FALSE(finished.load());
  release.set_value();
  EXPECT_TRUE(eventually([&] { return finished.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the detached thread end
  pool.reset();
  SetMainLoop(nullptr);
}

TEST(MainLoopTest, InvokeFromMainThreadRunsInlineAndCloseReleasesWaiters) {
  RunLoop loop;
  int n = 0;
  EXPECT_TRUE(loop.invoke([&] { ++n; }));
  EXPECT_EQ(n, 1);
  std::future<bool> r = std::async(std::launch::async, [&] { return loop.invoke([&] { ++n; }); });
  while (loop.processPending() == 0) std::this_thread::yield();
  EXPECT_TRUE(r.get());
  EXPECT_EQ(n, 2);
  std::future<bool> dropped = std::async(std::launch::async, [&] { return loop.invoke([] {}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  loop.close();
  EXPECT_FALSE(dropped.get());
  EXPECT_FALSE(loop.post([] {}));
}

}  // namespace
}  // namespace vtx
