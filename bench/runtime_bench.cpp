// Runtime measurements against baselines taken in the same run:
//  1. job throughput: Q queues x J jobs on the pool vs one std::thread per queue draining a
//     std::deque under a mutex;
//  2. post-to-run latency of one job on an idle pool vs a condition-variable hand-off;
//  3. lateness of 100 periodic 10 ms timers vs one thread sleeping to the same due times.
// Usage: bench_runtime [queues] [jobs-per-queue]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/rtc_thread.h"
#include "transport/rtc_timer.h"

using namespace vtx;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double poolThroughput(int queues, int jobs) {
  std::atomic<long> done{0};
  std::vector<TRtcThread::Ptr> qs;
  for (int i = 0; i < queues; ++i) qs.push_back(TRtcThread::Create());
  long total = static_cast<long>(queues) * jobs;
  auto t0 = Clock::now();
  for (int j = 0; j < jobs; ++j)
    for (auto& q : qs) q->PostJob([&done] { done.fetch_add(1, std::memory_order_relaxed); });
  while (done.load() < total) std::this_thread::sleep_for(std::chrono::microseconds(200));
  auto t1 = Clock::now();
  for (auto& q : qs) q->Stop();
  return total / seconds(t0, t1);
}

double baselineThroughput(int queues, int jobs) {
  struct Q {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> jobs;
    bool quit = false;
  };
  std::vector<std::unique_ptr<Q>> qs;
  std::vector<std::thread> threads;
  std::atomic<long> done{0};
  for (int i = 0; i < queues; ++i) {
    qs.push_back(std::make_unique<Q>());
    Q* q = qs.back().get();
    threads.emplace_back([q] {
      std::unique_lock l(q->m);
      for (;;) {
        q->cv.wait(l, [q] { return q->quit || !q->jobs.empty(); });
        if (q->jobs.empty()) return;
        auto f = std::move(q->jobs.front());
        q->jobs.pop_front();
        l.unlock();
        f();
        l.lock();
      }
    });
  }
  long total = static_cast<long>(queues) * jobs;
  auto t0 = Clock::now();
  for (int j = 0; j < jobs; ++j)
    for (auto& q : qs) {
      {
        std::lock_guard g(q->m);
        q->jobs.push_back([&done] { done.fetch_add(1, std::memory_order_relaxed); });
      }
      q->cv.notify_one();
    }
  while (done.load() < total) std::this_thread::sleep_for(std::chrono::microseconds(200));
  auto t1 = Clock::now();
  for (auto& q : qs) {
    {
      std::lock_guard g(q->m);
      q->quit = true;
    }
    q->cv.notify_one();
  }
  for (auto& t : threads) t.join();
  return total / seconds(t0, t1);
}

double poolLatencyUs(int rounds) {
  auto q = TRtcThread::Create();
  std::vector<double> us;
  for (int i = 0; i < rounds; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(500));  // let the pool go idle
    std::atomic<int64_t> ran{0};
    auto t0 = Clock::now();
    q->PostJob([&ran] { ran = Clock::now().time_since_epoch().count(); });
    while (ran.load() == 0) std::this_thread::yield();
    us.push_back(std::chrono::duration<double, std::micro>(Clock::duration(ran.load()) -
                                                           t0.time_since_epoch())
                     .count());
  }
  q->Stop();
  return median(us);
}

double baselineLatencyUs(int rounds) {
  std::mutex m;
  std::condition_variable cv;
  bool go = false, quit = false;
  std::atomic<int64_t> ran{0};
  std::thread t([&] {
    std::unique_lock l(m);
    for (;;) {
      cv.wait(l, [&] { return go || quit; });
      if (quit) return;
      go = false;
      ran = Clock::now().time_since_epoch().count();
    }
  });
  std::vector<double> us;
  for (int i = 0; i < rounds; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    ran = 0;
    auto t0 = Clock::now();
    {
      std::lock_guard g(m);
      go = true;
    }
    cv.notify_one();
    while (ran.load() == 0) std::this_thread::yield();
    us.push_back(std::chrono::duration<double, std::micro>(Clock::duration(ran.load()) -
                                                           t0.time_since_epoch())
                     .count());
  }
  {
    std::lock_guard g(m);
    quit = true;
  }
  cv.notify_one();
  t.join();
  return median(us);
}

double timerLatenessMs(int timers, int periodMs, int runMs) {
  std::mutex m;
  std::vector<double> late;
  std::vector<TRtcTimer::Ptr> ts;
  auto start = Clock::now();
  for (int i = 0; i < timers; ++i) {
    auto t = TRtcTimer::Create(true);
    auto enabled = Clock::now();
    auto count = std::make_shared<int>(0);
    t->Enable(periodMs, [&m, &late, enabled, count, periodMs] {
      auto due = enabled + std::chrono::milliseconds(periodMs) * ++*count;
      double ms = std::chrono::duration<double, std::milli>(Clock::now() - due).count();
      std::lock_guard g(m);
      late.push_back(ms);
    });
    ts.push_back(t);
  }
  std::this_thread::sleep_until(start + std::chrono::milliseconds(runMs));
  for (auto& t : ts) TRtcTimer::Stop(t);
  std::lock_guard g(m);
  return median(late);
}

double baselineLatenessMs(int periodMs, int runMs) {
  std::vector<double> late;
  auto start = Clock::now();
  for (int k = 1; k * periodMs <= runMs; ++k) {
    auto due = start + std::chrono::milliseconds(periodMs) * k;
    std::this_thread::sleep_until(due);
    late.push_back(std::chrono::duration<double, std::milli>(Clock::now() - due).count());
  }
  return median(late);
}

}  // namespace

int main(int argc, char** argv) {
  int queues = argc > 1 ? std::atoi(argv[1]) : 1000;
  int jobs = argc > 2 ? std::atoi(argv[2]) : 1000;

  double base = baselineThroughput(queues, jobs);
  double pool = poolThroughput(queues, jobs);
  std::printf(
      "throughput %dx%d: pool %.0f jobs/s with <= %d threads (%d now), baseline %.0f "
      "jobs/s with %d threads, ratio %.2f (goal >= 1)\n",
      queues, jobs, pool, ThreadPool::kMaxWorkers, ThreadPool::Instance().WorkerCount(), base,
      queues, pool / base);

  double lb = baselineLatencyUs(1000), lp = poolLatencyUs(1000);
  std::printf(
      "post-to-run latency: pool median %.1f us, condvar baseline %.1f us, ratio %.2f "
      "(goal: median < 50 us, %.2f of goal)\n",
      lp, lb, lp / lb, lp / 50.0);

  double tb = baselineLatenessMs(10, 1000), tp = timerLatenessMs(100, 10, 1000);
  std::printf(
      "timer lateness 100x10ms: median %.3f ms, sleep_until baseline %.3f ms, ratio "
      "%.2f (goal: median < 2 ms, %.2f of goal)\n",
      tp, tb, tb > 0 ? tp / tb : 0, tp / 2.0);
  return 0;
}
