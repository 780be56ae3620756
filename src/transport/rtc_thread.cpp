#include "transport/rtc_thread.h"

#include <chrono>
#include <system_error>

#include "transport/main_loop.h"
#include "util/exceptions.h"
#include "util/log.h"

namespace vtx {

namespace {
thread_local TRtcThread* tl_queue = nullptr;  // the queue whose job this thread runs
}

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
  if (!pool_) return false;
  std::vector<std::unique_ptr<TRtcJob>> killed;
  {
    std::lock_guard g(pool_->lock_);
    if (!alive_ || quitting_) return false;
    if (!job) return true;
    if (dynamic_cast<TRtcQuitMessage*>(job.get())) {
      quitting_ = true;
      for (auto& j : jobs_) killed.push_back(std::move(j));
      jobs_.clear();
    }
    if (HighPriority)
      jobs_.push_front(std::move(job));
    else
      jobs_.push_back(std::move(job));
    if (AutoResume) paused_ = false;
    pool_->makeReadyLocked(this);
  }
  ThreadPool::killAll(killed);
  return true;
}

bool TRtcThread::Stop() {
  return PostJob(std::make_unique<TRtcQuitMessage>(), true);
}

void TRtcThread::Pause() {
  if (!pool_) return;
  std::lock_guard g(pool_->lock_);
  if (!alive_) return;
  paused_ = true;
  pool_->ready_.erase(id_);
}

void TRtcThread::Resume() {
  if (!pool_) return;
  std::lock_guard g(pool_->lock_);
  if (!alive_) return;
  paused_ = false;
  pool_->makeReadyLocked(this);
}

bool TRtcThread::Lock() {
  if (!pool_) return false;
  pool_->lock_.lock();
  if (alive_) return true;
  pool_->lock_.unlock();
  return false;
}

void TRtcThread::UnLock() {
  pool_->lock_.unlock();
}

bool TRtcThread::Alive() const {
  if (!pool_) return false;
  std::lock_guard g(pool_->lock_);
  return alive_;
}

size_t TRtcThread::PendingJobs() const {
  if (!pool_) return 0;
  std::lock_guard g(pool_->lock_);
  return jobs_.size();
}

void TRtcThread::Sync(const std::function<void()>& event) {
  auto* w = static_cast<ThreadPool::Worker*>(thr_.load());
  if (!w) throw ERtcInfo("No thread assigned.");
  MainLoop* loop = GetMainLoop();
  if (!loop) {
    event();
    return;
  }
  bool outer = !w->insideMain.exchange(true);
  struct Restore {
    ThreadPool::Worker* w;
    bool outer;
    ~Restore() {
      if (outer) w->insideMain = false;
    }
  } restore{w, outer};
  loop->invoke(event);
}

bool TRtcThread::InsideThread() const {
  if (tl_queue == this) return true;
  auto* w = static_cast<ThreadPool::Worker*>(thr_.load());
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

ThreadPool::ThreadPool() = default;

ThreadPool::~ThreadPool() {
  Shutdown();
}

ThreadPool& ThreadPool::Instance() {
  LoggingEnabled();  // the log outlives the pool: its workers may still write while ending
  static ThreadPool pool;
  return pool;
}

bool ThreadPool::Closed() const {
  std::lock_guard g(lock_);
  return closed_;
}

int ThreadPool::WorkerCount() const {
  std::lock_guard g(lock_);
  int n = 0;
  for (auto& w : workers_) n += w->done ? 0 : 1;
  return n;
}

void ThreadPool::registerQueue(const TRtcThread::Ptr& q) {
  std::lock_guard g(lock_);
  if (closed_) throw ERtcInfo("Thread Pool already closed.");
  q->pool_ = this;
  q->id_ = nextId_++;
  q->alive_ = true;
  live_[q->id_] = q;
}

void ThreadPool::killAll(std::vector<std::unique_ptr<TRtcJob>>& killed) {
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

void ThreadPool::makeReadyLocked(TRtcThread* q) {
  if (q->paused_ || !q->alive_ || q->jobs_.empty()) return;
  if (ready_.count(q->id_) || served_.count(q->id_)) return;
  ready_.insert(q->id_);
  // Workers between jobs pick ready queues themselves; wake one only when they cannot cover it.
  if (static_cast<int>(ready_.size()) > searching_) wakeWorkerLocked();
}

void ThreadPool::spawnLocked() {
  auto w = std::make_unique<Worker>();
  Worker* raw = w.get();
  try {
    raw->thread = std::thread([this, raw] { workerLoop(raw); });
  } catch (const std::system_error& e) {
    bool none = true;
    for (auto& x : workers_) none = none && x->done;
    if (none) throw EThreadLimitReached(std::string("EOSError:") + e.what());
    return;
  }
  ++starting_;
  ++searching_;
  workers_.push_back(std::move(w));
}

void ThreadPool::wakeWorkerLocked() {
  if (closed_) return;
  if (!idle_.empty()) {
    Worker* w = idle_.back();
    idle_.pop_back();
    w->msg = true;
    ++searching_;
    w->run.notify_one();
  } else if (starting_ == 0 && WorkerCountLocked() < kMaxWorkers) {
    spawnLocked();
  }
  while (static_cast<int>(idle_.size()) + starting_ < kStandingWorkers &&
         WorkerCountLocked() < kMaxWorkers)
    spawnLocked();
}

int ThreadPool::WorkerCountLocked() const {
  int n = 0;
  for (auto& w : workers_) n += w->done ? 0 : 1;
  return n;
}

TRtcThread::Ptr ThreadPool::pickLocked() {
  if (ready_.empty()) return nullptr;
  auto it = ready_.upper_bound(lastServed_);
  if (it == ready_.end()) it = ready_.begin();
  uint64_t id = *it;
  ready_.erase(it);
  auto q = live_.find(id);
  if (q == live_.end()) return nullptr;
  served_.insert(id);
  lastServed_ = id;
  return q->second;
}

void ThreadPool::finishLocked(TRtcThread* q, std::vector<std::unique_ptr<TRtcJob>>& killed) {
  q->alive_ = false;
  q->quitting_ = true;
  for (auto& j : q->jobs_) killed.push_back(std::move(j));
  q->jobs_.clear();
  ready_.erase(q->id_);
  served_.erase(q->id_);
  live_.erase(q->id_);  // the caller still holds a reference
}

void ThreadPool::serve(Worker* w, const TRtcThread::Ptr& q, std::unique_lock<std::mutex>& lock,
                       std::vector<std::unique_ptr<TRtcJob>>& killed) {
  q->thr_ = w;
  if (q->jobs_.empty()) {
    served_.erase(q->id_);
    return;
  }
  std::unique_ptr<TRtcJob> job = std::move(q->jobs_.front());
  q->jobs_.pop_front();
  if (dynamic_cast<TRtcQuitMessage*>(job.get())) {
    finishLocked(q.get(), killed);
    killed.push_back(std::move(job));
    return;
  }
  const char* jobClass = job ? job->className() : "nil";  // static names, no copy
  lock.unlock();
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
  lock.lock();
  if (failed) return finishLocked(q.get(), killed);
  served_.erase(q->id_);
  if (q->alive_ && !q->paused_ && !q->jobs_.empty()) ready_.insert(q->id_);
}

void ThreadPool::workerLoop(Worker* w) {
  std::unique_lock lock(lock_);
  --starting_;
  while (!w->quit) {
    TRtcThread::Ptr q = pickLocked();
    if (q) {
      std::vector<std::unique_ptr<TRtcJob>> killed;
      --searching_;
      serve(w, q, lock, killed);
      ++searching_;
      lock.unlock();
      q.reset();
      killAll(killed);
      lock.lock();
      continue;
    }
    if (static_cast<int>(idle_.size()) >= kMaxIdleWorkers) break;
    --searching_;
    idle_.push_back(w);
    w->msg = false;
    w->run.wait(lock, [w] { return w->msg || w->quit; });
  }
  if (!std::erase(idle_, w)) --searching_;
  w->done = true;
  workerGone_.notify_all();
}

void ThreadPool::Shutdown() {
  std::unique_lock lock(lock_);
  if (closed_ && workers_.empty()) return;
  closed_ = true;
  for (auto& w : workers_) {
    w->quit = true;
    w->run.notify_one();
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto allDone = [this] {
    for (auto& w : workers_)
      if (!w->done) return false;
    return true;
  };
  while (!allDone() && std::chrono::steady_clock::now() < deadline) {
    if (InMainThread()) {
      lock.unlock();
      if (MainLoop* loop = GetMainLoop()) loop->processPending();
      lock.lock();
    }
    workerGone_.wait_for(lock, std::chrono::milliseconds(5));
  }
  // Ended workers stay allocated until the pool goes: queues may still ask who served them.
  std::vector<Worker*> workers;
  for (auto& w : workers_) workers.push_back(w.get()), retired_.push_back(std::move(w));
  workers_.clear();
  idle_.clear();
  std::vector<std::unique_ptr<TRtcJob>> killed;
  std::vector<TRtcThread::Ptr> queues;
  for (auto& [id, q] : live_) queues.push_back(q);
  for (auto& q : queues) finishLocked(q.get(), killed);
  lock.unlock();
  for (auto& w : workers)
    if (w->thread.joinable()) w->thread.join();
  killAll(killed);
  queues.clear();
}

}  // namespace vtx
