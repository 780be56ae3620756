#include "transport/rtc_connection.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "transport/main_loop.h"
#include "util/exceptions.h"
#include "util/log.h"

namespace vtx {

namespace {
std::mutex g_countLock;
int g_total = 0, g_clients = 0;
bool g_closing = false;
std::atomic<bool> g_logTimeouts{false};
}  // namespace

int ConnectionLimits::Total() {
  std::lock_guard g(g_countLock);
  return g_total;
}
int ConnectionLimits::Clients() {
  std::lock_guard g(g_countLock);
  return g_clients;
}
void ConnectionLimits::SetClosingApplication(bool closing) {
  std::lock_guard g(g_countLock);
  g_closing = closing;
}

// ---- TRtcTimeout ----

TRtcTimeout::~TRtcTimeout() {
  if (timer_) TRtcTimer::Stop(timer_);
}

void TRtcTimeout::Disable() {
  if (timer_) timer_->Disable();
  interval_ = -1;
}

int64_t TRtcTimeout::now() const {
  return conn_.Timers().Now();
}

void TRtcTimeout::Apply(int32_t x) {
  if (x < 0) return Disable();
  if (x == 0 || x == interval_) {
    if (interval_ > 0) deadline_ = now() + interval_ * 1000;
    return;
  }
  interval_ = x;
  deadline_ = now() + interval_ * 1000;
  if (!timer_) timer_ = TRtcTimer::Create(conn_.MultiThreaded(), &conn_.Timers());
  timer_->Disable();
  const uint32_t tick = std::min<uint32_t>(static_cast<uint32_t>(x) * 1000u, kTickMs);
  if (conn_.MultiThreaded() && conn_.Thread())
    timer_->Enable(tick, conn_.Thread(), [this] { expired(); });
  else
    timer_->Enable(tick, [this] { expired(); });
}

void TRtcTimeout::expired() {
  if (interval_ <= 0 || now() < deadline_) return;
  deadline_ = now() + interval_ * 1000;  // repeats while the connection stays
  if (g_logTimeouts)
    WriteLog("ABORT with Timeout. Local " + conn_.LocalAddr() + ":" + conn_.LocalPort() +
                 ", Peer " + conn_.PeerAddr() + ":" + conn_.PeerPort(),
             "TIMEOUT");
  conn_.timedOut_ = true;
  if (conn_.provider_) conn_.provider_->Disconnect();
}

// ---- TRtcConnection ----

TRtcConnection::TRtcConnection() = default;

TRtcConnection::~TRtcConnection() {
  timeout_.Disable();
  uncount();
  stopQueue();
}

void TRtcConnection::stopQueue() {
  if (!thr_) return;
  // Jobs of the queue refer to this connection: let a running one finish first.
  thr_->Stop();
  while (!thr_->InsideThread() && thr_->Alive()) {
    if (MainLoop* loop = GetMainLoop(); loop && loop->isMainThread()) loop->processPending();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TRtcConnection::setLogTimeouts(bool on) {
  g_logTimeouts = on;
}

void TRtcConnection::setMultiThreaded(bool on) {
  if (on == multiThreaded_) return;
  if (isConnecting() || isConnected())
    throw ERtcConnection("Can not change MultiThreaded after Connect.");
  releaseProvider();
  multiThreaded_ = on;
}

TRtcConnectionState TRtcConnection::State() const {
  return provider_ ? provider_->State() : TRtcConnectionState::conInactive;
}
bool TRtcConnection::isConnected() const {
  return !Closing && !Disconnecting && State() == TRtcConnectionState::conActive;
}
bool TRtcConnection::isConnecting() const {
  return WantConnect || Connecting || Reconnecting;
}
bool TRtcConnection::isClosing() const {
  auto s = State();
  return Releasing || Closing || Disconnecting || !provider_ ||
         s == TRtcConnectionState::conInactive || s == TRtcConnectionState::conClosing;
}
std::string TRtcConnection::PeerAddr() const {
  return provider_ ? provider_->PeerAddr() : "";
}
std::string TRtcConnection::PeerPort() const {
  return provider_ ? provider_->PeerPort() : "";
}
std::string TRtcConnection::LocalAddr() const {
  return provider_ ? provider_->LocalAddr() : ServerAddr;
}
std::string TRtcConnection::LocalPort() const {
  return provider_ ? provider_->LocalPort() : ServerPort;
}

bool TRtcConnection::inMainThread() const {
  return !multiThreaded_ || InMainThread();
}

bool TRtcConnection::inThread() const {
  if (multiThreaded_) return thr_ && thr_->InsideThread();
  if (!provider_) return true;
  return !GetMainLoop() || InMainThread();
}

bool TRtcConnection::PostJob(std::function<void()> job, bool HighPriority) {
  if (multiThreaded_) return thr_ && thr_->PostJob(std::move(job), HighPriority);
  MainLoop* loop = GetMainLoop();
  if (!provider_ || !loop) {
    job();
    return true;
  }
  return loop->post(std::move(job));
}

bool TRtcConnection::PostEvent(const TRtcNotifyEvent& evnt, bool HighPriority) {
  if (!evnt) return true;
  return PostJob([this, evnt] { fire(evnt); }, HighPriority);
}

void TRtcConnection::ensureProvider() {
  if (multiThreaded_ && !thr_) thr_ = TRtcThread::Create();
  if (!provider_) {
    if (!factory_) throw ERtcConnection("No connection provider.");
    provider_ = factory_(*this);
  }
  provider_->SetAddr(ServerAddr, ServerPort);
  provider_->SetMultiThreaded(multiThreaded_);
}

void TRtcConnection::releaseProvider() {
  provider_.reset();
}

bool TRtcConnection::countOpen(bool force, std::string& error) {
  std::lock_guard g(g_countLock);
  if (counted_) return true;
  if (g_closing) {
    error = "Closing application.";
    return false;
  }
  bool over = false;
  if (g_total >= ConnectionLimits::kMaxTotal) {
    error = "Total connection limit reached.", over = true;
  } else if (g_clients >= ConnectionLimits::kMaxClients) {
    error = "Client connection limit reached.", over = true;
  }
  if (over && !force) return false;
  OverLimit = over;
  ++g_total, ++g_clients;
  counted_ = true;
  return true;
}

void TRtcConnection::uncount() {
  std::lock_guard g(g_countLock);
  if (!counted_) return;
  --g_total, --g_clients;
  counted_ = false;
}

void TRtcConnection::fire(const TRtcNotifyEvent& ev) {
  if (!ev) return;
  EnterEvent();
  struct Leave {
    TRtcConnection* c;
    ~Leave() { c->LeaveEvent(); }
  } leave{this};
  ev(*this);
}

void TRtcConnection::fireError(const TRtcErrorEvent& ev, const std::exception& e) {
  if (!ev) return;
  EnterEvent();
  struct Leave {
    TRtcConnection* c;
    ~Leave() { c->LeaveEvent(); }
  } leave{this};
  ev(*this, e);
}

void TRtcConnection::LeaveEvent() {
  if (--depth_ == 0) afterEvents();
}

void TRtcConnection::TriggerDataOut(uint32_t bytes) {
  DataOut = bytes;
  WriteCount += bytes;
  timeout_.Apply(Timeout.AfterDataOut);
  fire(OnDataOut);
}
void TRtcConnection::TriggerDataSent() {
  timeout_.Apply(Timeout.AfterDataSent);
  fire(OnDataSent);
}
void TRtcConnection::TriggerDataIn(uint32_t bytes) {
  DataIn = bytes;
  ReadCount += bytes;
  timeout_.Apply(Timeout.AfterDataIn);
  fire(OnDataIn);
}
void TRtcConnection::TriggerDataReceived() {
  timeout_.Apply(Timeout.AfterDataReceived);
  fire(OnDataReceived);
}
void TRtcConnection::TriggerException(const std::exception& e) {
  if (OnException)
    fireError(OnException, e);
  else
    WriteExceptionLog("TRtcConnection", e);
}

// ---- TRtcClient ----

TRtcClient::~TRtcClient() {
  stopReconnectTimer();
  // An event running on the queue still uses the handlers cleared below.
  stopQueue();
  // No event reaches handlers while the connection is going away.
  OnConnecting = OnConnect = OnDisconnecting = OnDisconnect = OnDataOut = OnDataIn = OnDataSent =
      OnDataReceived = OnReadyToSend = OnConnectFail = OnConnectLost = OnReconnect = nullptr;
  OnException = OnConnectError = nullptr;
  WantConnect = false;
  try {
    if (provider_ && State() != TRtcConnectionState::conInactive) provider_->Disconnect();
  } catch (const std::exception& e) {
    WriteExceptionLog("TRtcConnection.Destroy", e);
  }
  releaseProvider();
}

void TRtcClient::stopReconnectTimer() {
  TRtcTimer::Ptr timer;
  {
    std::lock_guard g(reconnectLock_);
    timer.swap(reconnectTimer_);
  }
  TRtcTimer::Stop(timer);
}

void TRtcClient::Connect(bool Force, bool) {
  WantConnect = true;
  timedOut_ = false;
  forced_ = Force;
  // Nested calls (a reconnect run from a transport that reports synchronously) only count
  // themselves; the outermost call makes one transport connect per pending call, so failures
  // retried at once never deepen the stack.
  ++pendingConnects_;
  for (;;) {
    int outer = 0;
    if (!connectLevel_.compare_exchange_strong(outer, 1)) return;
    struct Level {
      std::atomic<int>& level;
      ~Level() { level = 0; }
    } level{connectLevel_};
    while (pendingConnects_ > 0) {
      --pendingConnects_;
      connectOnce();
    }
    if (pendingConnects_ == 0) return;  // else a call counted itself just as this one ended
  }
}

void TRtcClient::connectOnce() {
  if (insideEvent()) {
    Connecting = true;
    return;
  }
  if (provider_ && State() != TRtcConnectionState::conInactive) return;  // already under way
  ensureProvider();
  Connecting = false;
  provider_->Connect();
}

void TRtcClient::Disconnect() {
  ++reconnectEpoch_;  // a reconnect step already on the queue ends at once
  stopReconnectTimer();
  Reconnecting = false;
  WantConnect = false;
  Connecting = false;
  if (insideEvent()) {
    Closing = Disconnecting = true;
    disconnectPending_ = true;
    return;
  }
  if (provider_ && State() != TRtcConnectionState::conInactive) provider_->Disconnect();
}

void TRtcClient::Release() {
  Releasing = true;
  if (insideEvent()) return;
  Disconnect();
  if (State() == TRtcConnectionState::conInactive) {  // nothing left to close
    Releasing = false;
    releaseProvider();
  }
}

void TRtcClient::Release(std::unique_ptr<TRtcClient> self) {
  if (!self) return;
  TRtcClient* c = self.get();
  c->Release();
  if (!c->insideEvent()) return;  // destroyed here
  // The event that called this, and the transport that raised it, are still on the stack.
  auto holder = std::make_shared<std::unique_ptr<TRtcClient>>(std::move(self));
  auto destroy = [holder] { holder->reset(); };
  if (c->multiThreaded_ && c->thr_ && c->thr_->PostJob(destroy)) return;
  MainLoop* loop = GetMainLoop();
  if (loop && loop->post(destroy)) return;
  // Events delivered inline without a main loop leave no later point to destroy at.
  WriteLog("Release inside an event without a job queue or main loop: kept alive.", "ERROR");
  c->releasedSelf_ = std::move(*holder);
}

void TRtcClient::Reconnect(uint32_t WaitSeconds) {
  WantConnect = true;
  if (insideEvent() && !Reconnecting) {
    Connecting = true;
    return;
  }
  if (Reconnecting.exchange(true)) return;
  const std::uint64_t epoch = reconnectEpoch_;
  if (WaitSeconds == 0) return reconnectStep(epoch);
  std::lock_guard g(reconnectLock_);
  if (!reconnectTimer_) reconnectTimer_ = TRtcTimer::Create(multiThreaded_, &Timers());
  uint32_t ms = WaitSeconds * 1000u;
  if (multiThreaded_ && thr_)
    reconnectTimer_->Enable(
        ms, thr_, [this, epoch] { reconnectStep(epoch); }, true);
  else
    reconnectTimer_->Enable(
        ms, [this, epoch] { reconnectStep(epoch); }, true);
}

void TRtcClient::reconnectStep(std::uint64_t epoch) {
  if (multiThreaded_ && thr_ && !inThread()) {
    if (thr_->PostJob([this, epoch] { reconnectStep(epoch); })) return;
  }
  if (epoch != reconnectEpoch_) return;  // disconnected since
  Reconnecting = false;
  try {
    if (State() == TRtcConnectionState::conActive && provider_) provider_->Disconnect();
    if (State() != TRtcConnectionState::conInactive) {
      Reconnect(std::max<uint32_t>(ReconnectOn.Wait, 1));
      return;
    }
    timeout_.Disable();
    fire(OnReconnect);
    if (!Releasing && !Connecting && !Disconnecting && WantConnect) Connect(false, true);
  } catch (const std::exception& e) {
    TriggerException(e);
  }
}

bool TRtcClient::TriggerConnecting() {
  std::string error;
  if (!countOpen(forced_, error)) {
    // Refused before the connection existed: the transport closes quietly.
    TriggerConnectError(EClientLimitReached(error));
    return false;
  }
  timeout_.Apply(Timeout.AfterConnecting);
  connectFired_ = false;
  fire(OnConnecting);
  return true;
}

void TRtcClient::TriggerConnect() {
  timeout_.Apply(Timeout.AfterConnect);
  EnterEvent();
  struct Leave {
    TRtcConnection* c;
    ~Leave() { c->LeaveEvent(); }
  } leave{this};
  connectFired_ = true;
  DoAfterConnect();
}

void TRtcClient::TriggerConnectionLost() {
  EnterEvent();
  struct Leave {
    TRtcConnection* c;
    ~Leave() { c->LeaveEvent(); }
  } leave{this};
  Closing = true;
  if (connectFired_) {
    connectFired_ = false;
    fire(OnDisconnect);
  }
  timeout_.Disable();
  uncount();
  DoConnectionLost();
  if (WantConnect && ReconnectOn.ConnectLost && !Disconnecting && !Releasing && !Reconnecting &&
      CanReconnect())
    Connecting = true;
  else if (!pendingConnect())
    WantConnect = false;
}

void TRtcClient::TriggerConnectFail() {
  EnterEvent();
  struct Leave {
    TRtcConnection* c;
    ~Leave() { c->LeaveEvent(); }
  } leave{this};
  Closing = true;
  timeout_.Disable();
  uncount();
  DoConnectFail();
  if (WantConnect && ReconnectOn.ConnectFail && !Disconnecting && !Releasing && !Reconnecting &&
      CanReconnect())
    Connecting = true;
  else if (!pendingConnect())
    WantConnect = false;
}

void TRtcClient::TriggerConnectError(const std::exception& e) {
  bool raise = false;
  {
    EnterEvent();
    struct Leave {
      TRtcConnection* c;
      ~Leave() { c->LeaveEvent(); }
    } leave{this};
    Closing = true;
    timeout_.Disable();
    uncount();
    DoConnectError(e);
    bool limit = dynamic_cast<const EClientLimitReached*>(&e) != nullptr;
    if (WantConnect && ReconnectOn.ConnectError && CanReconnect()) {
      if (!Disconnecting && !Releasing && !Reconnecting && !limit)
        Connecting = true;
      else if (!pendingConnect())
        WantConnect = false;
    } else if (!pendingConnect()) {
      WantConnect = false;
      raise = !OnConnectError;
    }
  }
  if (raise) throw ERtcConnection(e.what());
}

void TRtcClient::TriggerReadyToRelease() {
  if (insideEvent()) {
    readyPending_ = true;
    return;
  }
  readyToRelease();
}

void TRtcClient::readyToRelease() {
  readyPending_ = false;
  if (Releasing) {
    timeout_.Disable();
    Closing = Releasing = Connecting = false;
    disconnectPending_ = false;
    releaseProvider();
  } else if (Connecting) {
    timeout_.Disable();
    // Connecting is set only by a connect asked for after any Disconnect, which the close just
    // finished: the disconnect is over and must not block the reconnect step.
    Closing = Connecting = Disconnecting = false;
    if (disconnectPending_) {
      disconnectPending_ = Disconnecting = false;
      return;
    }
    Reconnect(ReconnectOn.Wait);
  } else {
    timeout_.Disable();
    Closing = Disconnecting = false;
    disconnectPending_ = false;
  }
}

void TRtcClient::afterEvents() {
  if (readyPending_) return readyToRelease();
  if (disconnectPending_) {
    // A Disconnect asked for inside an event: carry it out now.
    disconnectPending_ = false;
    if (provider_ && State() != TRtcConnectionState::conInactive) {
      provider_->Disconnect();
    } else {
      Closing = Disconnecting = false;
    }
    return;
  }
  if (Connecting && !Closing && (!provider_ || State() == TRtcConnectionState::conInactive)) {
    Connecting = false;
    Connect(forced_, false);
  }
}

}  // namespace vtx
