#include "transport/socket_reactor.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include "util/exceptions.h"
#include "util/log.h"

namespace vtx {

namespace {
int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Stops the process-wide reactor at exit.
struct ReactorHolder {
  std::shared_ptr<SocketReactor> reactor = std::make_shared<SocketReactor>();
  ~ReactorHolder() { reactor->Shutdown(); }
};
}  // namespace

std::shared_ptr<SocketReactor> SocketReactor::Get() {
  // The TLS library first, so its exit handlers run after the reactor has stopped.
  static const bool tlsReady = OPENSSL_init_ssl(0, nullptr) == 1;
  (void)tlsReady;
  static ReactorHolder holder;
  return holder.reactor;
}

SocketReactor::SocketReactor() {
  epfd_ = epoll_create1(EPOLL_CLOEXEC);
  wakefd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epfd_ < 0 || wakefd_ < 0) throw ERtcConnection("Cannot create the socket reactor.");
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = 0;  // the wake-up fd
  epoll_ctl(epfd_, EPOLL_CTL_ADD, wakefd_, &ev);
  thread_ = std::thread([this] { loop(); });
}

SocketReactor::~SocketReactor() {
  Shutdown();
  close(epfd_);
  close(wakefd_);
}

bool SocketReactor::Post(std::function<void()> fn) {
  {
    std::lock_guard g(lock_);
    if (stopped_) return false;
    tasks_.push_back(std::move(fn));
    // Tasks already waiting have woken the reactor, which takes them all at once.
    if (tasks_.size() > 1) return true;
  }
  uint64_t one = 1;
  ssize_t r = write(wakefd_, &one, sizeof one);
  (void)r;
  return true;
}

void SocketReactor::Shutdown() {
  {
    std::lock_guard g(lock_);
    if (stopped_) return;
    stopped_ = true;
  }
  uint64_t one = 1;
  ssize_t r = write(wakefd_, &one, sizeof one);
  (void)r;
  if (thread_.joinable()) {
    if (InReactorThread())
      thread_.detach();
    else
      thread_.join();
  }
}

void SocketReactor::Add(int fd, uint32_t events, std::shared_ptr<Handler> handler) {
  Entry& e = entries_[fd];
  e.handler = std::move(handler);
  e.gen = nextGen_++;
  if (nextGen_ == 0) nextGen_ = 1;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = (static_cast<uint64_t>(e.gen) << 32) | static_cast<uint32_t>(fd);
  epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev);
}

void SocketReactor::Modify(int fd, uint32_t events) {
  auto it = entries_.find(fd);
  if (it == entries_.end()) return;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = (static_cast<uint64_t>(it->second.gen) << 32) | static_cast<uint32_t>(fd);
  epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev);
}

void SocketReactor::Remove(int fd) {
  auto it = entries_.find(fd);
  if (it == entries_.end()) return;
  epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
  // The handler may be the caller: release it after the current event.
  auto keep = std::move(it->second.handler);
  entries_.erase(it);
  (void)keep;
}

uint64_t SocketReactor::RunAfter(uint32_t ms, std::function<void()> fn) {
  uint64_t id = nextTimer_++;
  timers_.emplace(nowMs() + ms, Timer{id, std::move(fn)});
  return id;
}

void SocketReactor::Cancel(uint64_t timerId) {
  if (timerId == 0) return;
  for (auto it = timers_.begin(); it != timers_.end(); ++it)
    if (it->second.id == timerId) {
      timers_.erase(it);
      return;
    }
}

int SocketReactor::nextWaitMs() {
  if (timers_.empty()) return -1;
  int64_t d = timers_.begin()->first - nowMs();
  return d <= 0 ? 0 : static_cast<int>(d > INT_MAX ? INT_MAX : d);
}

void SocketReactor::runDueTimers() {
  int64_t now = nowMs();
  while (!timers_.empty() && timers_.begin()->first <= now) {
    auto fn = std::move(timers_.begin()->second.fn);
    timers_.erase(timers_.begin());
    fn();
  }
}

void SocketReactor::loop() {
  // Writes to a closed peer report EPIPE instead of killing the process.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  epoll_event events[64];
  for (;;) {
    int n = epoll_wait(epfd_, events, 64, nextWaitMs());
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      uint64_t data = events[i].data.u64;
      if (data == 0) {
        uint64_t v;
        ssize_t r = read(wakefd_, &v, sizeof v);
        (void)r;
        continue;
      }
      int fd = static_cast<int>(data & 0xffffffffu);
      uint32_t gen = static_cast<uint32_t>(data >> 32);
      auto it = entries_.find(fd);
      if (it == entries_.end() || it->second.gen != gen) continue;  // removed meanwhile
      std::shared_ptr<Handler> h = it->second.handler;
      try {
        h->OnEvents(events[i].events);
      } catch (const std::exception& e) {
        WriteExceptionLog("SocketReactor", e);
      }
    }
    std::vector<std::function<void()>> tasks;
    {
      std::lock_guard g(lock_);
      if (stopped_) break;
      tasks.swap(tasks_);
    }
    for (auto& t : tasks) {
      try {
        t();
      } catch (const std::exception& e) {
        WriteExceptionLog("SocketReactor", e);
      }
    }
    try {
      runDueTimers();
    } catch (const std::exception& e) {
      WriteExceptionLog("SocketReactor", e);
    }
  }
  // Stopped: drop what is left; handlers close their sockets when released.
  std::vector<std::function<void()>> rest;
  {
    std::lock_guard g(lock_);
    rest.swap(tasks_);
  }
  rest.clear();
  timers_.clear();
  for (auto& [fd, e] : entries_) epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
  entries_.clear();
  // TLS sessions left per-thread state here; the library may already be past its exit handlers.
  OPENSSL_thread_stop();
}

}  // namespace vtx
