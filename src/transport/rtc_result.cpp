#include "transport/rtc_result.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "transport/main_loop.h"

namespace vtx {
namespace {

// Live handlers, and the threads running an event of each. A handler's destructor unregisters
// it (no call starts after that) and then waits for calls running on other threads.
struct Registry {
  std::mutex lock;
  std::condition_variable idle;
  std::unordered_set<const TRtcResult*> live;
  std::unordered_map<const TRtcResult*, std::vector<std::thread::id>> running;
};

Registry& registry() {
  static Registry* r = new Registry;  // outlives handlers destroyed during exit
  return *r;
}

bool runningElsewhere(Registry& r, const TRtcResult* handler) {
  auto it = r.running.find(handler);
  if (it == r.running.end()) return false;
  const auto self = std::this_thread::get_id();
  return std::any_of(it->second.begin(), it->second.end(),
                     [self](std::thread::id id) { return id != self; });
}

// Marks a call of `handler` as running on this thread while it lives, when the handler is live.
class CallScope {
 public:
  explicit CallScope(const TRtcResult* handler) : handler_(handler) {
    if (!handler) return;
    Registry& r = registry();
    std::lock_guard g(r.lock);
    if (!r.live.count(handler)) return;
    r.running[handler].push_back(std::this_thread::get_id());
    entered_ = true;
  }
  ~CallScope() {
    if (!entered_) return;
    Registry& r = registry();
    {
      std::lock_guard g(r.lock);
      auto it = r.running.find(handler_);
      if (it != r.running.end()) {
        auto& ids = it->second;
        ids.erase(std::find(ids.begin(), ids.end(), std::this_thread::get_id()));
        if (ids.empty()) r.running.erase(it);
      }
    }
    r.idle.notify_all();
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
  bool entered() const { return entered_; }

 private:
  const TRtcResult* handler_;
  bool entered_ = false;
};

}  // namespace

TRtcResult::TRtcResult() {
  Registry& r = registry();
  std::lock_guard g(r.lock);
  r.live.insert(this);
}

TRtcResult::~TRtcResult() {
  Registry& r = registry();
  std::unique_lock l(r.lock);
  r.live.erase(this);
  // A call running on this thread (the handler destroys itself) is not waited for. The main
  // thread keeps serving its loop meanwhile: the running call may be waiting for it.
  while (runningElsewhere(r, this)) {
    MainLoop* loop = GetMainLoop();
    if (loop && loop->isMainThread()) {
      l.unlock();
      loop->processPending();
      l.lock();
      if (!runningElsewhere(r, this)) break;
    }
    r.idle.wait_for(l, std::chrono::milliseconds(1));
  }
}

bool TRtcResult::IsRegistered(const TRtcResult* handler) {
  if (!handler) return false;
  Registry& r = registry();
  std::lock_guard g(r.lock);
  return r.live.count(handler) > 0;
}

bool TRtcResult::Call_Return(TRtcResult* handler, TRtcConnection* Sender, TRtcValue& Data,
                             TRtcValue& Result) {
  CallScope call(handler);
  if (!call.entered()) return false;
  if (handler->OnReturn) handler->OnReturn(Sender, Data, Result);
  return true;
}

bool TRtcResult::Call_Aborted(TRtcResult* handler, TRtcConnection* Sender, TRtcValue& Data,
                              TRtcValue& Result) {
  CallScope call(handler);
  if (!call.entered()) return false;
  if (handler->RequestAborted) handler->RequestAborted(Sender, Data, Result);
  return true;
}

}  // namespace vtx
