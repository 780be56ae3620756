// One-shot and periodic timers on one timer thread with a due-time heap.
//
// A timer ticks every `Wait` ms from the moment it was enabled; a tick fires the timer when the
// due time (FNextTrigger) has come, so Reset postpones the next firing to the first tick at or
// after now + interval. Single-threaded timers deliver their event through the main loop
// (inline when none is installed) and are dropped there if the timer was stopped or disabled
// meanwhile; multi-threaded ones call it on the timer thread, or post their job to a queue.
// Exceptions of events are logged under "WM_TIMER" and swallowed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

#include "transport/rtc_thread.h"

namespace vtx {

class TRtcTimer;

// The timer thread and its registry. Instance() is the process-wide one (steady clock, own
// thread); tests build one with a manual clock and no thread and drive it with ProcessDue().
class TimerService {
 public:
  using Clock = std::function<int64_t()>;  // milliseconds, monotonic
  explicit TimerService(Clock clock = {}, bool ownThread = true);
  ~TimerService();
  TimerService(const TimerService&) = delete;
  TimerService& operator=(const TimerService&) = delete;
  static TimerService& Instance();

  int64_t Now() const;
  // Fires every tick due now; returns how many ticks were handled. For thread-less services.
  size_t ProcessDue();
  // Ends the timer thread; timers left are unregistered.
  void Shutdown();
  size_t TimerCount() const;

 private:
  friend class TRtcTimer;
  struct Entry {
    int64_t due;
    uint64_t seq;
    std::weak_ptr<TRtcTimer> timer;
    uint64_t gen;
    bool operator>(const Entry& o) const { return due != o.due ? due > o.due : seq > o.seq; }
  };
  void scheduleLocked(const std::shared_ptr<TRtcTimer>& t);
  void loop();
  bool tickOne(std::unique_lock<std::mutex>& lock, int64_t now);

  Clock clock_;
  mutable std::mutex lock_;  // the timer registry lock
  std::condition_variable wake_;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> heap_;
  std::map<const TRtcTimer*, std::shared_ptr<TRtcTimer>> live_;
  uint64_t seq_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

class TRtcTimer : public std::enable_shared_from_this<TRtcTimer> {
 public:
  using Ptr = std::shared_ptr<TRtcTimer>;
  using TRtcTimerEvent = std::function<void()>;

  // A registered, not running timer. Raises ERtcInfo "Windows Message Thread terminated." when
  // the service has shut down.
  static Ptr Create(bool MultiThreaded, TimerService* service = nullptr);

  // Stores the settings and, when not running, starts ticking every `Wait` ms. A running timer
  // only takes the new settings; its countdown continues.
  void Enable(uint32_t Wait, TRtcTimerEvent Event, bool AutoDisable = false,
              bool AutoDestroy = false);
  void Enable(uint32_t Wait, TRtcThread::Ptr Thr, std::function<void()> Job,
              bool AutoDisable = false, bool AutoDestroy = false);
  void Disable();
  // The next firing is due one full interval from now.
  void Reset();
  // Unregisters the timer and clears the reference.
  static void Stop(Ptr& me);
  bool Running() const;
  bool Registered() const;
  bool MultiThreaded() const { return multi_; }

  explicit TRtcTimer(TimerService& s, bool multi) : service_(s), multi_(multi) {}

 private:
  friend class TimerService;
  void enable(uint32_t wait, TRtcTimerEvent ev, TRtcThread::Ptr thr, std::function<void()> job,
              bool autoDisable, bool autoDestroy);

  TimerService& service_;
  const bool multi_;
  // Guarded by the service's registry lock.
  bool FRunning = false, FAutoDisable = false, FAutoDestroy = false, registered_ = false;
  TRtcTimerEvent FEvent;
  TRtcThread::Ptr FThr;
  std::function<void()> FJob;
  int64_t FInterval = 0, FNextTrigger = 0;
  int64_t period_ = 0, nextTick_ = 0;  // the ticking, fixed when enabled
  uint64_t gen_ = 0;                   // bumps when ticking stops, voiding queued ticks
  // A firing posted to the main loop still counts: not stopped, disabled or re-enabled since.
  bool stillDue(uint64_t gen) const;
};

}  // namespace vtx
