#include "transport/rtc_timer.h"

#include <algorithm>

#include "transport/main_loop.h"
#include "util/exceptions.h"
#include "util/log.h"
#include "util/ticks.h"

namespace vtx {

// ---- TimerService ----

TimerService::TimerService(Clock clock, bool ownThread) : clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return GetTickTime64(); };
  if (ownThread) thread_ = std::thread([this] { loop(); });
}

TimerService::~TimerService() {
  Shutdown();
}

TimerService& TimerService::Instance() {
  LoggingEnabled();        // the log outlives the timer thread
  ThreadPool::Instance();  // and so do the queues its timers post to
  static TimerService service;
  return service;
}

int64_t TimerService::Now() const {
  return clock_();
}

size_t TimerService::TimerCount() const {
  std::lock_guard g(lock_);
  return live_.size();
}

void TimerService::Shutdown() {
  std::map<const TRtcTimer*, std::shared_ptr<TRtcTimer>> dropped;
  {
    std::lock_guard g(lock_);
    stop_ = true;
    for (auto& [p, t] : live_) t->registered_ = false, t->FRunning = false;
    dropped.swap(live_);
    heap_ = {};
  }
  wake_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TimerService::scheduleLocked(const std::shared_ptr<TRtcTimer>& t) {
  heap_.push(Entry{t->nextTick_, seq_++, t, t->gen_});
  wake_.notify_all();
}

bool TimerService::tickOne(std::unique_lock<std::mutex>& lock, int64_t now) {
  if (heap_.empty() || heap_.top().due > now) return false;
  Entry e = heap_.top();
  heap_.pop();
  auto t = e.timer.lock();
  if (!t || !t->registered_ || !t->FRunning || t->gen_ != e.gen) return true;
  // Ticks keep their phase; a late tick neither drifts the next ones nor loses a period.
  t->nextTick_ = e.due + t->period_;
  if (t->nextTick_ <= now) t->nextTick_ = now + t->period_;
  scheduleLocked(t);
  if (now < t->FNextTrigger) return true;

  if (t->FAutoDisable) {
    t->FRunning = false;
    ++t->gen_;
  } else {
    t->FNextTrigger = e.due + t->FInterval;
  }
  TRtcTimer::TRtcTimerEvent event = t->FEvent;
  TRtcThread::Ptr thr = t->FThr;
  std::function<void()> job = t->FJob;
  if (!event && !job) t->FRunning = false, ++t->gen_;
  const uint64_t firedGen = t->gen_;
  const bool owned = !t->FAutoDestroy;
  std::shared_ptr<TRtcTimer> keep;  // released with the lock dropped
  if (t->FAutoDestroy) {
    t->registered_ = false;
    auto it = live_.find(t.get());
    if (it != live_.end()) keep = std::move(it->second), live_.erase(it);
  }
  bool multi = t->multi_;
  lock.unlock();
  try {
    if (job) {
      if (thr) thr->PostJob(std::move(job));
    } else if (event) {
      MainLoop* loop = multi ? nullptr : GetMainLoop();
      if (loop && !loop->isMainThread()) {
        // The owner may stop the timer and go away before the loop runs this: only a timer
        // still registered, and neither stopped nor disabled since, fires. A self-destroying
        // timer has no owner to stop it.
        std::weak_ptr<TRtcTimer> weak;
        if (owned) weak = t;
        loop->post([event, weak, firedGen, owned] {
          try {
            if (owned) {
              auto timer = weak.lock();
              if (!timer || !timer->stillDue(firedGen)) return;
            }
            event();
          } catch (const std::exception& ex) {
            WriteExceptionLog("WM_TIMER", ex);
          } catch (...) {
          }
        });
      } else {
        event();
      }
    }
  } catch (const std::exception& ex) {
    WriteExceptionLog("WM_TIMER", ex);
  } catch (...) {
  }
  event = nullptr;
  thr.reset();
  keep.reset();
  t.reset();
  lock.lock();
  return true;
}

size_t TimerService::ProcessDue() {
  std::unique_lock lock(lock_);
  size_t n = 0;
  int64_t now = clock_();
  while (!stop_ && tickOne(lock, now)) ++n;
  return n;
}

void TimerService::loop() {
  std::unique_lock lock(lock_);
  while (!stop_) {
    int64_t now = clock_();
    if (tickOne(lock, now)) continue;
    int64_t wait = heap_.empty() ? 1000 : std::clamp<int64_t>(heap_.top().due - now, 1, 1000);
    wake_.wait_for(lock, std::chrono::milliseconds(wait));
  }
}

// ---- TRtcTimer ----

TRtcTimer::Ptr TRtcTimer::Create(bool MultiThreaded, TimerService* service) {
  TimerService& s = service ? *service : TimerService::Instance();
  auto t = std::make_shared<TRtcTimer>(s, MultiThreaded);
  std::lock_guard g(s.lock_);
  if (s.stop_) throw ERtcInfo("Windows Message Thread terminated.");
  t->registered_ = true;
  s.live_[t.get()] = t;
  return t;
}

void TRtcTimer::enable(uint32_t wait, TRtcTimerEvent ev, TRtcThread::Ptr thr,
                       std::function<void()> job, bool autoDisable, bool autoDestroy) {
  std::unique_lock g(service_.lock_);
  if (!registered_) return;
  FAutoDisable = autoDisable || autoDestroy;
  FAutoDestroy = autoDestroy;
  FInterval = wait;
  FEvent = std::move(ev);
  FThr = std::move(thr);
  FJob = std::move(job);
  if (FRunning) return;
  int64_t now = service_.clock_();
  period_ = std::max<int64_t>(wait, 1);
  FNextTrigger = now + wait;
  nextTick_ = now + period_;
  FRunning = true;
  ++gen_;
  service_.scheduleLocked(shared_from_this());
}

void TRtcTimer::Enable(uint32_t Wait, TRtcTimerEvent Event, bool AutoDisable, bool AutoDestroy) {
  enable(Wait, std::move(Event), nullptr, nullptr, AutoDisable, AutoDestroy);
}

void TRtcTimer::Enable(uint32_t Wait, TRtcThread::Ptr Thr, std::function<void()> Job,
                       bool AutoDisable, bool AutoDestroy) {
  enable(Wait, nullptr, std::move(Thr), std::move(Job), AutoDisable, AutoDestroy);
}

void TRtcTimer::Disable() {
  std::lock_guard g(service_.lock_);
  if (!FRunning) return;
  FRunning = false;
  ++gen_;
}

void TRtcTimer::Reset() {
  std::lock_guard g(service_.lock_);
  if (registered_) FNextTrigger = service_.clock_() + FInterval;
}

void TRtcTimer::Stop(Ptr& me) {
  if (!me) return;
  std::shared_ptr<TRtcTimer> keep;
  {
    std::lock_guard g(me->service_.lock_);
    me->registered_ = false;
    me->FRunning = false;
    ++me->gen_;
    auto it = me->service_.live_.find(me.get());
    if (it != me->service_.live_.end()) keep = std::move(it->second), me->service_.live_.erase(it);
    me->FEvent = nullptr;
    me->FJob = nullptr;
    me->FThr.reset();
  }
  me.reset();
}

bool TRtcTimer::stillDue(uint64_t gen) const {
  std::lock_guard g(service_.lock_);
  return registered_ && gen_ == gen;
}

bool TRtcTimer::Running() const {
  std::lock_guard g(service_.lock_);
  return FRunning;
}

bool TRtcTimer::Registered() const {
  std::lock_guard g(service_.lock_);
  return registered_;
}

}  // namespace vtx
