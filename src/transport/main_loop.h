// Main-thread dispatch. The program implements MainLoop on its GUI event loop; tools and tests
// use RunLoop, whose run() makes the calling thread the main thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vtx {

class MainLoop {
 public:
  using Task = std::function<void()>;
  virtual ~MainLoop() = default;
  // Queues `task` to run later on the main thread. False when the loop no longer takes tasks
  // (the task is then dropped).
  virtual bool post(Task task) = 0;
  // True on the thread that runs the loop.
  virtual bool isMainThread() const = 0;
  // Runs `task` on the main thread and waits for it; called on the main thread it runs at once.
  // Exceptions of the task reach the caller. False when the loop dropped the task.
  bool invoke(Task task);
  // Runs the tasks queued now (main thread only); used by waits that must not block the loop.
  virtual size_t processPending() { return 0; }
  // True once the loop was asked to quit; long waits on the main thread then stop early.
  virtual bool quitRequested() const { return false; }
};

// The process-wide main loop (not owned); null until the program or a test installs one.
void SetMainLoop(MainLoop* loop);
MainLoop* GetMainLoop();
// True on the main loop's thread; without a main loop no thread is the main thread.
bool InMainThread();

// A headless main loop.
class RunLoop final : public MainLoop {
 public:
  RunLoop() = default;
  ~RunLoop() override;
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  bool post(Task task) override;
  bool isMainThread() const override;
  // Runs tasks on the calling thread until quit(); that thread is the main thread meanwhile
  // (and the thread that constructed the loop before the first run()).
  void run();
  // Runs tasks until `done` returns true (checked after every task and on each wake-up).
  void runUntil(const std::function<bool()>& done);
  // Runs the tasks queued now, without waiting; returns how many ran. Main thread only.
  size_t processPending() override;
  bool quitRequested() const override;
  // Makes run() return after the current task.
  void quit();
  // Drops queued tasks and refuses new ones; waiting invokers are released with false.
  void close();

 private:
  bool runOne(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  std::thread::id owner_ = std::this_thread::get_id();
  bool quit_ = false;
  bool closed_ = false;
};

}  // namespace vtx
