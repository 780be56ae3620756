#include "transport/socket_delivery.h"

#include <chrono>

#include "transport/main_loop.h"
#include "util/log.h"

namespace vtx {

void SinkGate::SetTarget(TRtcThread::Ptr queue) {
  std::lock_guard g(lock_);
  queue_ = std::move(queue);
}

bool SinkGate::Open() const {
  std::lock_guard g(lock_);
  return open_;
}

bool SinkGate::Inline() const {
  std::lock_guard g(lock_);
  return !queue_ && !GetMainLoop();
}

bool SinkGate::Post(Delivery fn) {
  TRtcThread::Ptr queue;
  {
    std::lock_guard g(lock_);
    if (!open_) return false;
    queue = queue_;
  }
  auto self = shared_from_this();
  auto job = [self, fn = std::move(fn)] { self->run(fn); };
  if (queue) return queue->PostJob(std::move(job));
  if (MainLoop* loop = GetMainLoop()) return loop->post(std::move(job));
  job();
  return true;
}

void SinkGate::run(const Delivery& fn) {
  {
    std::lock_guard g(lock_);
    if (!open_) return;
    ++running_;
    runner_ = std::this_thread::get_id();
  }
  struct Done {
    SinkGate* gate;
    ~Done() {
      std::lock_guard g(gate->lock_);
      if (--gate->running_ == 0) gate->runner_ = {};
      gate->idle_.notify_all();
    }
  } done{this};
  try {
    fn(sink_);
  } catch (const std::exception& e) {
    if (Open()) {
      try {
        sink_.TriggerException(e);
      } catch (const std::exception& again) {
        WriteExceptionLog("TRtcSocketProvider", again);
      }
    }
  }
}

void SinkGate::Close() {
  std::unique_lock g(lock_);
  open_ = false;
  queue_.reset();
  // Called from inside a delivery (the connection releasing its transport): nothing to wait for.
  while (running_ > 0 && runner_ != std::this_thread::get_id()) {
    idle_.wait_for(g, std::chrono::milliseconds(1));
    // A delivery may be waiting for the main thread (Sync): keep the loop turning.
    if (MainLoop* loop = GetMainLoop(); loop && loop->isMainThread()) {
      g.unlock();
      loop->processPending();
      g.lock();
    }
  }
}

}  // namespace vtx
