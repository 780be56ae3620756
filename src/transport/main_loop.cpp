#include "transport/main_loop.h"

#include <atomic>
#include <future>
#include <memory>

namespace vtx {

namespace {
std::atomic<MainLoop*> g_mainLoop{nullptr};
}

void SetMainLoop(MainLoop* loop) {
  g_mainLoop.store(loop);
}
MainLoop* GetMainLoop() {
  return g_mainLoop.load();
}
bool InMainThread() {
  MainLoop* loop = GetMainLoop();
  return loop && loop->isMainThread();
}

bool MainLoop::invoke(Task task) {
  if (isMainThread()) {
    task();
    return true;
  }
  std::future<void> result;
  bool posted;
  {
    // Only the task holds the promise, so a task dropped unrun breaks it.
    auto done = std::make_shared<std::promise<void>>();
    result = done->get_future();
    posted = post([task = std::move(task), done]() {
      try {
        task();
        done->set_value();
      } catch (...) {
        done->set_exception(std::current_exception());
      }
    });
  }
  if (!posted) return false;
  try {
    result.get();
  } catch (const std::future_error&) {
    return false;  // dropped unrun by close()
  }
  return true;
}

RunLoop::~RunLoop() {
  MainLoop* self = this;
  g_mainLoop.compare_exchange_strong(self, nullptr);
  close();
}

bool RunLoop::post(Task task) {
  {
    std::lock_guard g(mutex_);
    if (closed_) return false;
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
  return true;
}

bool RunLoop::isMainThread() const {
  std::lock_guard g(mutex_);
  return owner_ == std::this_thread::get_id();
}

bool RunLoop::runOne(std::unique_lock<std::mutex>& lock) {
  if (tasks_.empty()) return false;
  Task task = std::move(tasks_.front());
  tasks_.pop_front();
  lock.unlock();
  task();
  task = nullptr;  // captured state goes while unlocked
  lock.lock();
  return true;
}

void RunLoop::run() {
  runUntil([] { return false; });
}

void RunLoop::runUntil(const std::function<bool()>& done) {
  std::unique_lock lock(mutex_);
  owner_ = std::this_thread::get_id();
  quit_ = false;
  while (!quit_ && !closed_) {
    if (runOne(lock)) {
      lock.unlock();
      bool finished = done();
      lock.lock();
      if (finished) break;
      continue;
    }
    lock.unlock();
    bool finished = done();
    lock.lock();
    if (finished) break;
    wake_.wait_for(lock, std::chrono::milliseconds(10));
  }
  quit_ = false;
}

size_t RunLoop::processPending() {
  std::unique_lock lock(mutex_);
  size_t n = tasks_.size(), ran = 0;
  while (ran < n && runOne(lock)) ++ran;
  return ran;
}

bool RunLoop::quitRequested() const {
  std::lock_guard g(mutex_);
  return quit_;
}

void RunLoop::quit() {
  {
    std::lock_guard g(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
}

void RunLoop::close() {
  std::deque<Task> dropped;
  {
    std::lock_guard g(mutex_);
    closed_ = true;
    dropped.swap(tasks_);
  }
  wake_.notify_all();
  // Destroying the tasks unlocked releases any invoke() waiting on them.
}

}  // namespace vtx
