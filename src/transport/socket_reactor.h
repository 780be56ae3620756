// The socket reactor: one process-wide epoll thread that owns every non-blocking socket.
//
// Started on first use and stopped at process exit. Other threads hand it work with Post;
// handlers, fd registrations and timers are touched on the reactor thread only. A handler is
// kept alive (shared) while it is registered, so an event never reaches a destroyed object.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vtx {

class SocketReactor {
 public:
  class Handler {
   public:
    virtual ~Handler() = default;
    // Readiness of the registered fd (EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP bits).
    virtual void OnEvents(uint32_t events) = 0;
  };

  // The process-wide reactor, started lazily.
  static std::shared_ptr<SocketReactor> Get();

  SocketReactor();
  ~SocketReactor();
  SocketReactor(const SocketReactor&) = delete;
  SocketReactor& operator=(const SocketReactor&) = delete;

  // Runs `fn` on the reactor thread. False after Shutdown (the function is dropped).
  bool Post(std::function<void()> fn);
  bool InReactorThread() const { return std::this_thread::get_id() == thread_.get_id(); }
  // Stops the thread and drops every registration and queued task.
  void Shutdown();

  // Reactor thread only.
  void Add(int fd, uint32_t events, std::shared_ptr<Handler> handler);
  void Modify(int fd, uint32_t events);
  void Remove(int fd);  // does not close the fd
  // One-shot timer; returns its id (never 0).
  uint64_t RunAfter(uint32_t ms, std::function<void()> fn);
  void Cancel(uint64_t timerId);

 private:
  struct Entry {
    std::shared_ptr<Handler> handler;
    uint32_t gen = 0;
  };
  struct Timer {
    uint64_t id;
    std::function<void()> fn;
  };
  void loop();
  int nextWaitMs();
  void runDueTimers();

  int epfd_ = -1, wakefd_ = -1;
  std::thread thread_;
  std::mutex lock_;  // guards tasks_ and stopped_
  std::vector<std::function<void()>> tasks_;
  bool stopped_ = false;
  // Reactor thread only.
  std::map<int, Entry> entries_;
  std::multimap<int64_t, Timer> timers_;
  uint32_t nextGen_ = 1;
  uint64_t nextTimer_ = 1;
};

}  // namespace vtx
