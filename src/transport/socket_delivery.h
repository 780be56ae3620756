// Delivery of a socket transport's notifications into its connection's context: the
// connection's job queue when it is multi-threaded, else the main loop (or at once on the
// posting thread when the process has no main loop).
//
// The gate outlives its provider (jobs share it). Once closed, no delivery starts; Close waits
// for one that is running on another thread, so a destroyed provider or connection is never
// reached afterwards.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "transport/rtc_thread.h"
#include "transport/rtc_transport.h"

namespace vtx {

class SinkGate : public std::enable_shared_from_this<SinkGate> {
 public:
  using Delivery = std::function<void(TRtcConnectionSink&)>;

  explicit SinkGate(TRtcConnectionSink& sink) : sink_(sink) {}
  // Where deliveries go: `queue` for a multi-threaded connection, null for the main loop.
  void SetTarget(TRtcThread::Ptr queue);
  // Queues `fn`; it runs in the connection's context while the gate is open. False when the
  // context no longer takes jobs.
  bool Post(Delivery fn);
  // True while the gate is open; checked between sink calls of one delivery.
  bool Open() const;
  // True when deliveries run at once on the posting thread (no context to post to).
  bool Inline() const;
  void Close();

 private:
  void run(const Delivery& fn);

  TRtcConnectionSink& sink_;
  mutable std::mutex lock_;
  std::condition_variable idle_;
  TRtcThread::Ptr queue_;
  bool open_ = true;
  int running_ = 0;
  std::thread::id runner_;
};

}  // namespace vtx
