// Client connection lifecycle: connect, disconnect, reconnect, activity time-outs, the
// process-wide connection limits, event scopes and main-thread synchronisation.
//
// Threading: a MultiThreaded connection runs its events as jobs on its own TRtcThread queue;
// otherwise on the main thread. Connect, Disconnect and Reconnect called from inside one of the
// connection's own events only set flags; they take effect when the outermost event returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "transport/rtc_thread.h"
#include "transport/rtc_timer.h"
#include "transport/rtc_transport.h"

namespace vtx {

class TRtcConnection;

using TRtcNotifyEvent = std::function<void(TRtcConnection& Sender)>;
using TRtcErrorEvent = std::function<void(TRtcConnection& Sender, const std::exception& E)>;

// Process-wide connection counters (one lock).
struct ConnectionLimits {
  static constexpr int kMaxTotal = 32000;
  static constexpr int kMaxClients = 32000;
  static int Total();
  static int Clients();
  // After this, opening a connection fails with "Closing application.".
  static void SetClosingApplication(bool closing);
};

// Activity time-outs in seconds (0 = keep the running countdown, < 0 = disable).
struct TRtcTimeoutSettings {
  int32_t AfterConnecting = 0, AfterConnect = 0, AfterDataReceived = 0, AfterDataLost = 0,
          AfterDataSend = 0, AfterDataOut = 0, AfterDataIn = 0, AfterDataSent = 0;
};

struct TRtcTimeoutsOfAPI {
  uint32_t ResolveTimeout = 0, ConnectTimeout = 0, SendTimeout = 0, ReceiveTimeout = 0,
           ResponseTimeout = 0;
};

struct TRtcReconnectParam {
  bool ConnectError = false, ConnectFail = false, ConnectLost = false;
  uint32_t Wait = 0;  // seconds
};

// The activity time-out of one connection: it closes the connection once a full interval has
// passed since the countdown last (re)started. A timer ticking at most a second apart checks the
// deadline, so a restart is a plain store and the close comes at most a tick late.
class TRtcTimeout {
 public:
  static constexpr uint32_t kTickMs = 1000;

  explicit TRtcTimeout(TRtcConnection& conn) : conn_(conn) {}
  ~TRtcTimeout();
  // Applies one setting X (seconds): < 0 disables, 0 or the running interval restarts the
  // countdown, anything else re-arms for X seconds.
  void Apply(int32_t x);
  void Disable();
  int64_t Interval() const { return interval_; }

 private:
  void expired();
  int64_t now() const;
  TRtcConnection& conn_;
  TRtcTimer::Ptr timer_;
  int64_t interval_ = -1;
  std::atomic<int64_t> deadline_{0};  // ms on the timer service's clock
};

class TRtcConnection : protected TRtcConnectionSink {
 public:
  using ProviderFactory = std::function<std::unique_ptr<TRtcConnectionProvider>(TRtcConnection&)>;

  TRtcConnection();
  virtual ~TRtcConnection();
  TRtcConnection(const TRtcConnection&) = delete;
  TRtcConnection& operator=(const TRtcConnection&) = delete;

  // Settings.
  std::string ServerAddr, ServerPort;
  TRtcTimeoutSettings Timeout;
  TRtcTimeoutsOfAPI TimeoutsOfAPI;
  bool MultiThreaded() const { return multiThreaded_; }
  // Raises ERtcConnection "Can not change MultiThreaded after Connect." while connecting.
  void setMultiThreaded(bool on);
  // How the transport is made (the HTTP client sets its own; tests a scripted fake).
  void setProviderFactory(ProviderFactory f) { factory_ = std::move(f); }
  // The timer service for time-outs and reconnect waits (default: the process-wide one).
  void setTimerService(TimerService* s) { timers_ = s; }
  TimerService& Timers() const { return timers_ ? *timers_ : TimerService::Instance(); }
  // Writes "ABORT with Timeout. ..." lines under "TIMEOUT" when on (process-wide).
  static void setLogTimeouts(bool on);

  // State.
  uint32_t DataOut = 0, DataIn = 0;
  uint64_t ReadCount = 0, WriteCount = 0;
  bool OverLimit = false;
  bool TimedOut() const { return timedOut_; }
  bool isConnected() const;
  bool isConnecting() const;
  bool isClosing() const;
  TRtcConnectionState State() const;
  std::string PeerAddr() const;
  std::string PeerPort() const;
  std::string LocalAddr() const;
  std::string LocalPort() const;
  TRtcConnectionProvider* Provider() const { return provider_.get(); }
  const TRtcThread::Ptr& Thread() const { return thr_; }

  // Events.
  TRtcNotifyEvent OnConnecting, OnConnect, OnDisconnecting, OnDisconnect, OnDataOut, OnDataIn,
      OnDataSent, OnDataReceived, OnReadyToSend;
  TRtcErrorEvent OnException;

  // Threads.
  bool inMainThread() const;
  bool inThread() const;
  // Runs `job` in the connection's context: its queue when multi-threaded (false when the
  // queue is gone), else the main loop; without a transport and single-threaded, at once.
  bool PostJob(std::function<void()> job, bool HighPriority = false);
  bool PostEvent(const TRtcNotifyEvent& evnt, bool HighPriority = false);
  // Runs `handler(*this, args...)` on the main thread while this thread waits. False when the
  // handler is empty or the caller is neither the main thread nor the connection's thread.
  template <class... P, class... A>
  bool Sync(const std::function<void(TRtcConnection&, P...)>& handler, A&&... args) {
    if (!handler) return false;
    if (inMainThread()) return handler(*this, std::forward<A>(args)...), true;
    if (!inThread() || !thr_) return false;
    thr_->Sync([&] { handler(*this, std::forward<A>(args)...); });
    return true;
  }

  // Lifecycle (implemented by TRtcClient).
  virtual void Connect(bool Force = false, bool Reconnecting = false) = 0;
  virtual void Disconnect() = 0;

  // Event scopes: every event runs inside one.
  void EnterEvent() { ++depth_; }
  void LeaveEvent();
  // The depth belongs to the connection's thread: ask it only there.
  bool insideEvent() const { return inThread() && depth_ > 0; }

 protected:
  friend class TRtcTimeout;
  TRtcConnectionSink& Sink() { return *this; }
  // Ends the job queue and waits for a running job of it (not when called from that job).
  // Destructors call it before taking down what the connection's jobs use.
  void stopQueue();
  void ensureProvider();
  void releaseProvider();
  // Counts an opening connection; false (with `error` set) beyond the limits.
  bool countOpen(bool force, std::string& error);
  void uncount();
  void fire(const TRtcNotifyEvent& ev);
  void fireError(const TRtcErrorEvent& ev, const std::exception& e);
  // Deferred operations, run when the outermost event returns.
  virtual void afterEvents() = 0;
  void TriggerDataOut(uint32_t bytes) override;
  void TriggerDataSent() override;
  void TriggerDataIn(uint32_t bytes) override;
  void TriggerDataReceived() override;
  void TriggerException(const std::exception& e) override;

  std::unique_ptr<TRtcConnectionProvider> provider_;
  TRtcThread::Ptr thr_;
  TRtcTimeout timeout_{*this};
  ProviderFactory factory_;
  TimerService* timers_ = nullptr;
  bool multiThreaded_ = false;
  std::atomic<bool> timedOut_{false};
  bool counted_ = false;
  bool connectFired_ = false;
  // Flags of the lifecycle; Connect, Disconnect and Reconnect may set them from any thread.
  std::atomic<bool> Closing{false}, Disconnecting{false}, Releasing{false}, Connecting{false},
      WantConnect{false};
  std::atomic<bool> Reconnecting{false};
  int depth_ = 0;
  std::atomic<bool> forced_{false};
};

class TRtcClient : public TRtcConnection {
 public:
  TRtcClient() = default;
  ~TRtcClient() override;

  TRtcReconnectParam ReconnectOn;
  TRtcErrorEvent OnConnectError;
  TRtcNotifyEvent OnConnectFail, OnConnectLost, OnReconnect;

  void Connect(bool Force = false, bool Reconnecting = false) override;
  void Disconnect() override;
  // Reconnects after `WaitSeconds` (0: at once); a second call while one is pending does
  // nothing.
  void Reconnect(uint32_t WaitSeconds);
  // Disconnects and drops the transport once no event of the connection runs.
  void Release();
  // Releases the connection and destroys it once no event of it runs: at once outside its
  // events (the destructor waits for one running on its queue), else after the current event
  // has returned, as a job of its queue or of the main loop. Safe inside any of its events.
  static void Release(std::unique_ptr<TRtcClient> self);
  // Connect calls under way (the outermost serves the others) and calls not yet served.
  int ConnectLevel() const { return connectLevel_.load(); }
  int PendingConnects() const { return pendingConnects_.load(); }

 protected:
  // Hooks, each called inside an event scope.
  virtual void DoAfterConnect() { fire(OnConnect); }
  virtual void DoConnectionLost() { fire(OnConnectLost); }
  virtual void DoConnectFail() { fire(OnConnectFail); }
  virtual void DoConnectError(const std::exception& e) { fireError(OnConnectError, e); }
  virtual bool CanReconnect() { return true; }

  bool TriggerConnecting() override;
  void TriggerConnect() override;
  void TriggerConnectFail() override;
  void TriggerConnectError(const std::exception& e) override;
  void TriggerConnectionLost() override;
  void TriggerReadyToRelease() override;
  void afterEvents() override;

 private:
  // `epoch`: the reconnectEpoch_ its Reconnect() saw; a step from before a Disconnect() does
  // nothing.
  void reconnectStep(std::uint64_t epoch);
  void readyToRelease();
  void connectOnce();
  // A connect or reconnect is pending.
  bool pendingConnect() const { return Connecting || Reconnecting || pendingConnects_ > 0; }
  void stopReconnectTimer();

  std::unique_ptr<TRtcClient> releasedSelf_;  // see Release(self)
  // Disconnect (any thread) stops the timer the connection's thread arms when reconnecting.
  std::mutex reconnectLock_;
  TRtcTimer::Ptr reconnectTimer_;
  std::atomic<std::uint64_t> reconnectEpoch_{0};  // counts Disconnect() calls
  bool readyPending_ = false;
  bool disconnectPending_ = false;
  std::atomic<int> connectLevel_{0}, pendingConnects_{0};
};

}  // namespace vtx
