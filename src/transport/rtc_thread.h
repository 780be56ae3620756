// Job queues (TRtcThread) served by a bounded pool of worker threads (ThreadPool).
//
// A queue runs at most one job at a time, in posting order (high-priority jobs go first), so
// everything posted to one queue is serialised while different queues run in parallel. Ready
// queues are served in rotation, one job per pick. Queues are shared objects: the pool keeps a
// queue alive until it is stopped (or a job fails), holders of a handle may keep the object
// after that, but every operation on a finished queue does nothing or returns false.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vtx {

class TRtcThread;
class ThreadPool;

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
  bool PostJob(std::unique_ptr<TRtcJob>& job, bool HighPriority = false, bool AutoResume = false);
  bool PostJob(std::unique_ptr<TRtcJob>&& job, bool HighPriority = false, bool AutoResume = false);
  bool PostJob(std::function<void()> fn, bool HighPriority = false, bool AutoResume = false);
  // Ends the queue: queued jobs are killed, a running job finishes first.
  bool Stop();
  void Pause();
  void Resume();
  // Holds the pool lock while the queue is alive (true); pair with UnLock.
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

  ThreadPool* pool_ = nullptr;
  uint64_t id_ = 0;
  std::deque<std::unique_ptr<TRtcJob>> jobs_;  // guarded by the pool lock
  bool paused_ = false, quitting_ = false, alive_ = false;
  std::atomic<void*> thr_{nullptr};  // the ThreadPool worker serving it (or last)
};

// The worker pool. ThreadPool::Instance() is the process-wide one, created on first use and
// shut down at process exit; tests may create their own.
class ThreadPool {
 public:
  static constexpr int kMaxWorkers = 64;
  static constexpr int kStandingWorkers = 3;
  static constexpr int kMaxIdleWorkers = 2048;

  ThreadPool();
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  static ThreadPool& Instance();

  // Ends every worker after its current job and joins it. While waiting on the main thread the
  // main loop keeps running, so a job inside Sync can finish. Queues left are finished, their
  // jobs killed.
  void Shutdown();
  bool Closed() const;
  int WorkerCount() const;

 private:
  friend class TRtcThread;
  struct Worker {
    std::thread thread;
    std::condition_variable run;
    bool msg = false, quit = false, done = false;
    std::atomic<bool> insideMain{false};
  };

  void registerQueue(const TRtcThread::Ptr& q);
  void makeReadyLocked(TRtcThread* q);
  void wakeWorkerLocked();
  void spawnLocked();
  int WorkerCountLocked() const;
  void workerLoop(Worker* w);
  TRtcThread::Ptr pickLocked();
  void finishLocked(TRtcThread* q, std::vector<std::unique_ptr<TRtcJob>>& killed);
  void serve(Worker* w, const TRtcThread::Ptr& q, std::unique_lock<std::mutex>& lock,
             std::vector<std::unique_ptr<TRtcJob>>& killed);
  static void killAll(std::vector<std::unique_ptr<TRtcJob>>& killed);

  mutable std::mutex lock_;
  std::condition_variable workerGone_;
  uint64_t nextId_ = 1;
  uint64_t lastServed_ = 0;
  bool closed_ = false;
  std::map<uint64_t, TRtcThread::Ptr> live_;
  std::set<uint64_t> ready_;
  std::set<uint64_t> served_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<Worker*> idle_;
  std::vector<std::unique_ptr<Worker>> retired_;
  int starting_ = 0;
  int searching_ = 0;  // awake workers between jobs
};

template <class T, class... A>
std::shared_ptr<T> TRtcThread::CreateAs(ThreadPool* pool, A&&... args) {
  auto q = std::make_shared<T>(std::forward<A>(args)...);
  (pool ? *pool : ThreadPool::Instance()).registerQueue(q);
  return q;
}

}  // namespace vtx
