#include "transport/rtc_thread.h"

#include <condition_variable>
#include <map>
#include <system_error>
#include <thread>
#include <vector>

#include "transport/main_loop.h"
#include "util/exceptions.h"
#include "util/log.h"

namespace vtx {

namespace detail {

struct PoolWorker {
  std::thread thread;
  std::condition_variable run;  // sleeps on the pool lock
  bool msg = false;             // woken for work (pool lock)
  bool done = false;            // the loop has ended (pool lock)
  std::atomic<bool> quit{false};
  std::atomic<bool> insideMain{false};
};

using Killed = std::vector<std::unique_ptr<TRtcJob>>;

struct PoolCore : std::enable_shared_from_this<PoolCore> {
  explicit PoolCore(std::chrono::milliseconds limit) : shutdownLimit(limit) {}

  void registerQueue(const TRtcThread::Ptr& q);
  bool post(TRtcThread* q, std::unique_ptr<TRtcJob>& job, bool high, bool resume);
  void schedule(TRtcThread* q);
  void pushReadyLocked(TRtcThread* q);
  TRtcThread::Ptr popReadyLocked();
  void wakeLocked();
  void spawnLocked();
  int workerCountLocked() const;
  void workerLoop(PoolWorker* w);
  bool serve(PoolWorker* w, const TRtcThread::Ptr& q);
  void finish(TRtcThread* q, Killed& killed);
  void runCallbacks(bool start);
  bool shutdown();
  static void killAll(Killed& killed);

  const std::chrono::milliseconds shutdownLimit;
  mutable std::mutex lock;  // the pool lock
  std::condition_variable workerGone;
  uint64_t nextId = 1;
  bool closed = false;
  bool callbacksGone = false;
  std::map<uint64_t, TRtcThread::Ptr> live;
  TRtcThread *readyHead = nullptr, *readyTail = nullptr;
  std::atomic<int> readyCount{0};  // written under the pool lock, read anywhere
  std::vector<std::unique_ptr<PoolWorker>> workers;
  std::vector<PoolWorker*> idle;
  int starting = 0;   // created, not yet in their loop
  int searching = 0;  // awake workers between jobs (spinning ones included)
  int spinning = 0;
  std::vector<std::shared_ptr<TRtcThreadCallback>> callbacks;
};

namespace {
thread_local TRtcThread* tl_queue = nullptr;  // the queue whose job this thread runs
thread_local PoolWorker* tl_worker = nullptr;

constexpr int kMaxSpinners = 2;
constexpr auto kSpinTime = std::chrono::microseconds(50);

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}
}  // namespace

void PoolCore::registerQueue(const TRtcThread::Ptr& q) {
  std::lock_guard g(lock);
  if (closed) throw ERtcInfo("Thread Pool already closed.");
  q->pool_ = shared_from_this();
  q->id_ = nextId++;
  q->alive_ = true;
  live[q->id_] = q;
}

void PoolCore::killAll(Killed& killed) {
  for (auto& j : killed) {
    try {
      if (j) j->Kill();
    } catch (const std::exception& e) {
      WriteExceptionLog("TRtcThread.Kill", e, "THREAD");
    } catch (...) {
    }
    j.reset();
  }
  killed.clear();
}

bool PoolCore::post(TRtcThread* q, std::unique_ptr<TRtcJob>& job, bool high, bool resume) {
  Killed killed;
  bool wake = false;
  {
    std::lock_guard g(q->lock_);
    if (!q->alive_ || q->quitting_) return false;
    if (!job) return true;
    if (dynamic_cast<TRtcQuitMessage*>(job.get())) {
      q->quitting_ = true;
      for (auto& j : q->jobs_) killed.push_back(std::move(j));
      q->jobs_.clear();
    }
    if (high)
      q->jobs_.push_front(std::move(job));
    else
      q->jobs_.push_back(std::move(job));
    if (resume) q->paused_ = false;
    // A quit marker is served even in a paused queue, so Stop always ends it.
    if (!q->scheduled_ && (!q->paused_ || q->quitting_)) wake = q->scheduled_ = true;
  }
  if (wake) schedule(q);
  killAll(killed);
  return true;
}

void PoolCore::schedule(TRtcThread* q) {
  std::lock_guard g(lock);
  pushReadyLocked(q);
}

void PoolCore::pushReadyLocked(TRtcThread* q) {
  if (closed) return;  // shutdown finishes every queue
  q->nextReady_ = nullptr;
  if (readyTail)
    readyTail->nextReady_ = q;
  else
    readyHead = q;
  readyTail = q;
  int n = readyCount.fetch_add(1, std::memory_order_relaxed) + 1;
  // Workers between jobs pick ready queues themselves; wake one only when they cannot cover it.
  if (n > searching) wakeLocked();
}

TRtcThread::Ptr PoolCore::popReadyLocked() {
  TRtcThread* q = readyHead;
  if (!q) return nullptr;
  readyHead = q->nextReady_;
  if (!readyHead) readyTail = nullptr;
  q->nextReady_ = nullptr;
  readyCount.fetch_sub(1, std::memory_order_relaxed);
  return q->shared_from_this();  // a scheduled queue is alive, so the live set holds it
}

int PoolCore::workerCountLocked() const {
  int n = 0;
  for (auto& w : workers) n += w->done ? 0 : 1;
  return n;
}

void PoolCore::spawnLocked() {
  auto w = std::make_unique<PoolWorker>();
  PoolWorker* raw = w.get();
  try {
    // The thread shares the pool's state, so an abandoned worker never outlives it.
    raw->thread = std::thread([self = shared_from_this(), raw] { self->workerLoop(raw); });
  } catch (const std::system_error& e) {
    if (workerCountLocked() == 0) throw EThreadLimitReached(std::string("EOSError:") + e.what());
    return;
  }
  ++starting;
  ++searching;
  workers.push_back(std::move(w));
}

void PoolCore::wakeLocked() {
  if (closed) return;
  if (!idle.empty()) {
    PoolWorker* w = idle.back();
    idle.pop_back();
    w->msg = true;
    ++searching;
    w->run.notify_one();
  } else if (starting == 0 && workerCountLocked() < ThreadPool::kMaxWorkers) {
    spawnLocked();
  }
  while (static_cast<int>(idle.size()) + starting < ThreadPool::kStandingWorkers &&
         workerCountLocked() < ThreadPool::kMaxWorkers)
    spawnLocked();
}

void PoolCore::finish(TRtcThread* q, Killed& killed) {
  {
    std::lock_guard g(q->lock_);
    q->alive_ = false;
    q->quitting_ = true;
    q->scheduled_ = false;
    for (auto& j : q->jobs_) killed.push_back(std::move(j));
    q->jobs_.clear();
  }
  std::lock_guard g(lock);
  live.erase(q->id_);  // the caller still holds a reference
}

// Serves the queue whose token this worker holds, one job at a time; goes on with the same
// queue while no other queue is ready. True: the queue keeps its token and goes back to the end
// of the ready list.
bool PoolCore::serve(PoolWorker* w, const TRtcThread::Ptr& q) {
  q->thr_ = w;
  std::unique_lock ql(q->lock_);
  for (;;) {
    if (!q->alive_ || q->jobs_.empty() || (q->paused_ && !q->quitting_)) {
      q->scheduled_ = false;
      return false;
    }
    std::unique_ptr<TRtcJob> job = std::move(q->jobs_.front());
    q->jobs_.pop_front();
    if (dynamic_cast<TRtcQuitMessage*>(job.get())) {
      ql.unlock();
      Killed killed;
      finish(q.get(), killed);
      killed.push_back(std::move(job));
      killAll(killed);
      return false;
    }
    const char* jobClass = job ? job->className() : "nil";  // static names, no copy
    ql.unlock();
    bool failed = false;
    tl_queue = q.get();
    try {
      q->Work(job);
    } catch (const std::exception& e) {
      failed = true;
      WriteExceptionLog(std::string("TRtcThread.Work(") + jobClass + ")", e, "THREAD");
    } catch (...) {
      failed = true;
      WriteLog(std::string("TRtcThread.Work(") + jobClass + ") Exception! unknown", "THREAD");
    }
    tl_queue = nullptr;
    job.reset();  // a job left behind by a failing Work
    if (failed) {
      Killed killed;
      finish(q.get(), killed);
      killAll(killed);
      return false;
    }
    ql.lock();
    if (!q->alive_ || q->jobs_.empty() || (q->paused_ && !q->quitting_)) continue;  // releases
    if (readyCount.load(std::memory_order_relaxed) == 0 && !w->quit.load()) continue;
    return true;
  }
}

void PoolCore::runCallbacks(bool start) {
  std::vector<std::shared_ptr<TRtcThreadCallback>> list;
  {
    std::lock_guard g(lock);
    if (callbacksGone) return;
    list = callbacks;
  }
  for (auto& cb : list) {
    try {
      if (start)
        cb->AfterThreadStart();
      else
        cb->BeforeThreadStop();
    } catch (const std::exception& e) {
      WriteExceptionLog(start ? "DoAfterThreadStart TRtcThreadCallback.AfterThreadStart"
                              : "DoBeforeThreadStop TRtcThreadCallback.BeforeThreadStop",
                        e);
    } catch (...) {
    }
  }
}

void PoolCore::workerLoop(PoolWorker* w) {
  tl_worker = w;
  runCallbacks(true);
  std::unique_lock lk(lock);
  --starting;
  while (!w->quit) {
    TRtcThread::Ptr q = popReadyLocked();
    if (!q && spinning < kMaxSpinners) {
      // A short spin catches the next post without a sleep and a wake-up.
      ++spinning;
      lk.unlock();
      auto until = std::chrono::steady_clock::now() + kSpinTime;
      for (int i = 1; readyCount.load(std::memory_order_relaxed) == 0 && !w->quit; ++i) {
        cpuRelax();
        if (i % 64 == 0) {
          if (std::chrono::steady_clock::now() >= until) break;
          std::this_thread::yield();
        }
      }
      lk.lock();
      --spinning;
      if (w->quit) break;
      q = popReadyLocked();
    }
    if (q) {
      --searching;
      if (readyCount.load(std::memory_order_relaxed) > searching) wakeLocked();
      lk.unlock();
      bool again = serve(w, q);
      if (!again) q.reset();  // may be the last reference: dropped unlocked
      lk.lock();
      ++searching;  // counted before the queue goes back, so it wakes nobody for itself
      if (again) pushReadyLocked(q.get()), q.reset();
      continue;
    }
    if (static_cast<int>(idle.size()) >= ThreadPool::kMaxIdleWorkers) break;
    --searching;
    idle.push_back(w);
    w->msg = false;
    w->run.wait(lk, [w] { return w->msg || w->quit; });
  }
  if (!std::erase(idle, w)) --searching;
  bool abandoned = closed && callbacksGone;
  lk.unlock();
  if (!abandoned) runCallbacks(false);
  lk.lock();
  w->done = true;
  workerGone.notify_all();
}

bool PoolCore::shutdown() {
  std::unique_lock lk(lock);
  if (closed && callbacksGone) return true;
  closed = true;
  for (auto& w : workers) {
    w->quit = true;
    w->run.notify_one();
  }
  auto allDone = [this] {
    for (auto& w : workers)
      if (!w->done && w.get() != tl_worker) return false;
    return true;
  };
  auto deadline = std::chrono::steady_clock::now() + shutdownLimit;
  MainLoop* loop = InMainThread() ? GetMainLoop() : nullptr;
  while (!allDone() && std::chrono::steady_clock::now() < deadline) {
    if (loop) {
      lk.unlock();
      loop->processPending();
      bool quit = loop->quitRequested();
      lk.lock();
      if (quit) break;
    }
    workerGone.wait_for(lk, std::chrono::milliseconds(loop ? 2 : 5));
  }
  bool complete = allDone();
  callbacksGone = true;  // from here on an ending worker runs no stop callbacks
  std::vector<std::thread> joinable, abandoned;
  for (auto& w : workers) {
    if (!w->thread.joinable()) continue;
    if (w->done)
      joinable.push_back(std::move(w->thread));
    else
      abandoned.push_back(std::move(w->thread));
  }
  idle.clear();
  readyHead = readyTail = nullptr;
  readyCount = 0;
  std::vector<TRtcThread::Ptr> queues;
  for (auto& [id, q] : live) queues.push_back(q);
  auto cbs = std::move(callbacks);
  callbacks.clear();
  lk.unlock();
  for (auto& t : joinable) t.join();
  for (auto& t : abandoned) t.detach();  // runs its job to the end, then leaves quietly
  Killed killed;
  for (auto& q : queues) finish(q.get(), killed);
  killAll(killed);
  queues.clear();
  for (auto& cb : cbs) {
    try {
      cb->DestroyCallback();
    } catch (const std::exception& e) {
      WriteExceptionLog("TRtcThreadCallback.DestroyCallback", e);
    } catch (...) {
    }
  }
  cbs.clear();
  if (loop && complete) {
    // Let what the last workers posted to the main thread run.
    auto quietSince = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - quietSince < std::chrono::milliseconds(100)) {
      if (loop->processPending() > 0) quietSince = std::chrono::steady_clock::now();
      if (loop->quitRequested()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return complete;
}

}  // namespace detail

using detail::PoolCore;
using detail::PoolWorker;

// ---- TRtcThread ----

TRtcThread::Ptr TRtcThread::Create(ThreadPool* pool) {
  Ptr q(new TRtcThread);
  (pool ? *pool : ThreadPool::Instance()).registerQueue(q);
  return q;
}

TRtcThread::~TRtcThread() = default;

bool TRtcThread::PostJob(std::unique_ptr<TRtcJob>&& job, bool HighPriority, bool AutoResume) {
  return PostJob(job, HighPriority, AutoResume);
}

bool TRtcThread::PostJob(std::function<void()> fn, bool HighPriority, bool AutoResume) {
  std::unique_ptr<TRtcJob> job = std::make_unique<TRtcFunctionJob>(std::move(fn));
  return PostJob(job, HighPriority, AutoResume);
}

bool TRtcThread::PostJob(std::unique_ptr<TRtcJob>& job, bool HighPriority, bool AutoResume) {
  return pool_ && pool_->post(this, job, HighPriority, AutoResume);
}

bool TRtcThread::Stop() {
  return PostJob(std::make_unique<TRtcQuitMessage>(), true);
}

void TRtcThread::Pause() {
  std::lock_guard g(lock_);
  // A queue left in the ready list is dropped by the worker that picks it.
  if (alive_) paused_ = true;
}

void TRtcThread::Resume() {
  if (!pool_) return;
  bool wake = false;
  {
    std::lock_guard g(lock_);
    if (!alive_) return;
    paused_ = false;
    if (!scheduled_ && !jobs_.empty()) wake = scheduled_ = true;
  }
  if (wake) pool_->schedule(this);
}

bool TRtcThread::Lock() {
  lock_.lock();
  if (alive_) return true;
  lock_.unlock();
  return false;
}

void TRtcThread::UnLock() {
  lock_.unlock();
}

bool TRtcThread::Alive() const {
  std::lock_guard g(lock_);
  return alive_;
}

size_t TRtcThread::PendingJobs() const {
  std::lock_guard g(lock_);
  return jobs_.size();
}

void TRtcThread::Sync(const std::function<void()>& event) {
  PoolWorker* w = thr_.load();
  if (!w) throw ERtcInfo("No thread assigned.");
  MainLoop* loop = GetMainLoop();
  if (!loop) {
    event();
    return;
  }
  bool outer = !w->insideMain.exchange(true);
  struct Restore {
    PoolWorker* w;
    bool outer;
    ~Restore() {
      if (outer) w->insideMain = false;
    }
  } restore{w, outer};
  loop->invoke(event);
}

bool TRtcThread::InsideThread() const {
  if (detail::tl_queue == this) return true;
  PoolWorker* w = thr_.load();
  return w && w->insideMain && InMainThread();
}

void TRtcThread::Work(std::unique_ptr<TRtcJob>& job) {
  if (!job) throw ERtcInfo("Error!! TRtcThread -> Job = nil");
  if (job->Run(this))
    job.reset();
  else
    (void)job.release();  // a reusable job owns itself
}

// ---- ThreadPool ----

ThreadPool::ThreadPool(std::chrono::milliseconds shutdownLimit)
    : core_(std::make_shared<PoolCore>(shutdownLimit)) {}

ThreadPool::~ThreadPool() {
  Shutdown();
}

ThreadPool& ThreadPool::Instance() {
  LoggingEnabled();  // the log outlives the pool: its workers may still write while ending
  static ThreadPool pool;
  return pool;
}

bool ThreadPool::Shutdown() {
  return core_->shutdown();
}

bool ThreadPool::Closed() const {
  std::lock_guard g(core_->lock);
  return core_->closed;
}

int ThreadPool::WorkerCount() const {
  std::lock_guard g(core_->lock);
  return core_->workerCountLocked();
}

void ThreadPool::registerQueue(const TRtcThread::Ptr& q) {
  core_->registerQueue(q);
}

void ThreadPool::AddThreadCallback(std::unique_ptr<TRtcThreadCallback> cb) {
  if (!cb) return;
  {
    std::lock_guard g(core_->lock);
    if (!core_->callbacksGone) {
      core_->callbacks.push_back(std::move(cb));
      return;
    }
  }
  cb->DestroyCallback();
}

void AddThreadCallback(std::unique_ptr<TRtcThreadCallback> cb) {
  ThreadPool::Instance().AddThreadCallback(std::move(cb));
}

}  // namespace vtx
