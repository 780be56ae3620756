// Job queues (TRtcThread) served by a bounded pool of worker threads (ThreadPool).
//
// A queue runs at most one job at a time, in posting order (high-priority jobs go first), so
// everything posted to one queue is serialised while different queues run in parallel. Ready
// queues are served in rotation (in the order they became ready), one job per pick; a worker
// goes on with the same queue's next job only while no other queue is waiting. Queues are
// shared objects: the pool keeps a queue alive until it is stopped (or a job fails), holders of
// a handle may keep the object after that, but every operation on a finished queue does nothing
// or returns false.
//
// Locks: each queue has its own lock for its job list and flags; the pool lock guards the ready
// list, the live set and the workers. Neither is held while a job runs, and they are never
// nested.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace vtx {

class TRtcThread;
class ThreadPool;
namespace detail {
struct PoolCore;
struct PoolWorker;
}  // namespace detail

// One unit of work. The queue owns a posted job: it is destroyed after Run returns true or
// after Kill; when Run returns false the job is released (it manages its own life).
class TRtcJob {
 public:
  virtual ~TRtcJob() = default;
  // The job is discarded without running (queue stopped).
  virtual void Kill() {}
  virtual bool Run(TRtcThread* thr) = 0;
  virtual const char* className() const { return "TRtcJob"; }
};

// A job that calls a function.
class TRtcFunctionJob final : public TRtcJob {
 public:
  explicit TRtcFunctionJob(std::function<void()> fn) : fn_(std::move(fn)) {}
  bool Run(TRtcThread*) override {
    fn_();
    return true;
  }
  const char* className() const override { return "TRtcFunctionJob"; }

 private:
  std::function<void()> fn_;
};

// The marker that, posted to a queue, ends it.
class TRtcQuitMessage final : public TRtcJob {
 public:
  bool Run(TRtcThread*) override { return true; }
  const char* className() const override { return "TRtcQuitMessage"; }
};

// Hooks every worker thread runs when it starts and before it stops. Exceptions are logged and
// ignored. DestroyCallback is called once when the pool shuts down, after the workers ended.
class TRtcThreadCallback {
 public:
  virtual ~TRtcThreadCallback() = default;
  virtual void AfterThreadStart() = 0;
  virtual void BeforeThreadStop() = 0;
  virtual void DestroyCallback() {}
};

// Adds `cb` to the process-wide pool's callback list.
void AddThreadCallback(std::unique_ptr<TRtcThreadCallback> cb);

class TRtcThread : public std::enable_shared_from_this<TRtcThread> {
 public:
  using Ptr = std::shared_ptr<TRtcThread>;

  // A new queue registered with `pool`. Raises ERtcInfo "Thread Pool already closed." after
  // the pool has shut down.
  static Ptr Create(ThreadPool* pool = nullptr);
  template <class T, class... A>
  static std::shared_ptr<T> CreateAs(ThreadPool* pool, A&&... args);

  virtual ~TRtcThread();
  TRtcThread(const TRtcThread&) = delete;
  TRtcThread& operator=(const TRtcThread&) = delete;

  // Queues `job`. On success the queue owns it and `job` is empty; false when the queue is
  // finished or quitting, and the job stays with the caller. An empty job counts as posted.
  // Raises EThreadLimitReached when no worker thread exists and none can be created (the job
  // stays queued).
  bool PostJob(std::unique_ptr<TRtcJob>& job, bool HighPriority = false, bool AutoResume = false);
  bool PostJob(std::unique_ptr<TRtcJob>&& job, bool HighPriority = false, bool AutoResume = false);
  bool PostJob(std::function<void()> fn, bool HighPriority = false, bool AutoResume = false);
  // Ends the queue: queued jobs are killed, a running job finishes first. Ends a paused queue
  // too.
  bool Stop();
  void Pause();
  void Resume();
  // Holds the queue's lock while the queue is alive (true); pair with UnLock.
  bool Lock();
  void UnLock();
  // Runs `event` on the main thread while the calling worker waits. Raises ERtcInfo
  // "No thread assigned." when the queue has never been served.
  void Sync(const std::function<void()>& event);
  // The caller is the worker serving this queue, or the main thread during its Sync.
  bool InsideThread() const;
  // The queue is registered and not finished.
  bool Alive() const;
  // Jobs waiting (not counting the running one).
  size_t PendingJobs() const;
  uint64_t Id() const { return id_; }
  // Free per-queue store for subclasses.
  void* FInfo = nullptr;

 protected:
  TRtcThread() = default;
  // Runs one job. Subclasses may interpret their own job types; exceptions end the queue.
  virtual void Work(std::unique_ptr<TRtcJob>& job);

 private:
  friend class ThreadPool;
  friend struct detail::PoolCore;

  std::shared_ptr<detail::PoolCore> pool_;
  uint64_t id_ = 0;
  mutable std::mutex lock_;                    // the job list and the flags below
  std::deque<std::unique_ptr<TRtcJob>> jobs_;  // guarded by lock_
  bool paused_ = false, quitting_ = false, alive_ = false;
  // The queue holds the one scheduling token: it is in the ready list or a worker serves it.
  bool scheduled_ = false;
  TRtcThread* nextReady_ = nullptr;                // ready list link, guarded by the pool lock
  std::atomic<detail::PoolWorker*> thr_{nullptr};  // the worker serving it (or last)
};

// The worker pool. ThreadPool::Instance() is the process-wide one, created on first use and
// shut down at process exit; tests may create their own.
class ThreadPool {
 public:
  static constexpr int kMaxWorkers = 64;
  static constexpr int kStandingWorkers = 3;
  static constexpr int kMaxIdleWorkers = 2048;
  static constexpr std::chrono::milliseconds kShutdownLimit{10000};

  // `shutdownLimit`: how long Shutdown waits for the last worker.
  explicit ThreadPool(std::chrono::milliseconds shutdownLimit = kShutdownLimit);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  static ThreadPool& Instance();

  // Tells every worker to quit after its current job and waits for them, at most the shutdown
  // limit; on the main thread the main loop keeps running meanwhile, so a job inside Sync can
  // finish. A worker still busy after the limit is abandoned: its thread is detached, runs its
  // job to the end and then ends without running the stop callbacks; the pool's state stays
  // allocated until it has gone. Then the callback list is destroyed and the queues left are
  // finished, their jobs killed. Returns false when a worker was abandoned.
  bool Shutdown();
  bool Closed() const;
  int WorkerCount() const;
  // Run by every worker of this pool at start and stop (see TRtcThreadCallback). After
  // shutdown the callback is destroyed at once.
  void AddThreadCallback(std::unique_ptr<TRtcThreadCallback> cb);

 private:
  friend class TRtcThread;
  void registerQueue(const TRtcThread::Ptr& q);
  std::shared_ptr<detail::PoolCore> core_;
};

template <class T, class... A>
std::shared_ptr<T> TRtcThread::CreateAs(ThreadPool* pool, A&&... args) {
  auto q = std::make_shared<T>(std::forward<A>(args)...);
  (pool ? *pool : ThreadPool::Instance()).registerQueue(q);
  return q;
}

}  // namespace vtx
