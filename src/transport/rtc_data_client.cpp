#include "transport/rtc_data_client.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "transport/main_loop.h"
#include "util/exceptions.h"
#include "util/log.h"
#include "values/http_text.h"

namespace vtx {

TRtcDataClient::TRtcDataClient()
    : FMyRequest(std::make_unique<TRtcClientRequest>()),
      FMyResponse(std::make_unique<TRtcClientResponse>()),
      FRequest(FMyRequest.get()),
      FResponse(FMyResponse.get()) {}

TRtcDataClient::~TRtcDataClient() {
  stopJobs();
  for (TRtcAbsDataClientLink* link : FLinks) link->FClient = nullptr;
  FLinks.clear();
  std::lock_guard g(FLock);
  FQueue.clear();
  FActive.reset();
  FRetired.clear();
}

void TRtcDataClient::stopJobs() {
  *FAlive = false;
  stopQueue();
}

void TRtcDataClient::leaveEventSafe() noexcept {
  try {
    LeaveEvent();
  } catch (const std::exception& e) {
    TriggerException(e);
  }
}

void TRtcDataClient::setAutoConnect(bool on) {
  FAutoConnect = on;
  if (on && hasRequests() && State() == TRtcConnectionState::conInactive && !Reconnecting)
    Connect();
}

// ---- queue operations ----

void TRtcDataClient::PostRequest(std::unique_ptr<TRtcClientRequest> Req, bool FromInsideEvent) {
  PostRequestInfo(std::make_unique<TRtcDataRequestInfo>(std::move(Req), nullptr), FromInsideEvent);
}

void TRtcDataClient::InsertRequest(std::unique_ptr<TRtcClientRequest> Req) {
  InsertRequestInfo(std::make_unique<TRtcDataRequestInfo>(std::move(Req), nullptr));
}

void TRtcDataClient::PostRequestInfo(std::unique_ptr<TRtcClientRequestInfo> info,
                                     bool FromInsideEvent) {
  {
    std::lock_guard g(FLock);
    FQueue.push_back(std::move(info));
    FIdle = false;
  }
  if (!FromInsideEvent) startQueue();
}

void TRtcDataClient::InsertRequestInfo(std::unique_ptr<TRtcClientRequestInfo> info) {
  std::lock_guard g(FLock);
  if (!FMayInsert) throw ERtcConnection("You are not allowed to insert requests.");
  if (FSkipCount > 0) throw ERtcConnection("Operation Interrupted by a \"RequestSkipped\" call.");
  FRequestInserted = true;
  info->FWasInjected = true;
  FQueue.push_front(std::move(FActive));
  FActive = std::move(info);
  FRequest = &FActive->Get_Request();
  FIdle = false;
}

void TRtcDataClient::SkipRequests() {
  std::deque<std::unique_ptr<TRtcClientRequestInfo>> dropped;
  {
    std::lock_guard g(FLock);
    FSkipCount = 0;
    dropped.swap(FQueue);
    if (FActive)
      FSkipCount = 1;
    else
      markIdleLocked();
  }
}

void TRtcDataClient::CancelRequests() {
  bool idle;
  {
    std::lock_guard g(FLock);
    FSkipCount = static_cast<int>(FQueue.size()) + (FActive ? 1 : 0);
    idle = !FActive;
    FAbortActive = !idle;
    if (idle && FQueue.empty()) markIdleLocked();
  }
  // With nothing active nothing would bring the queued requests up: abort them now. Called
  // from another thread, a reply half read is ended in the connection's context at once, not
  // at its next bytes: its connection goes with it, so the rest of that reply is never read
  // as the next request's.
  if (FSkipCount < 1 || insideEvent() || (!idle && inThread())) return;
  std::weak_ptr<std::atomic<bool>> alive = FAlive;
  PostJob([this, alive] {
    auto a = alive.lock();
    if (!a || !*a) return;
    Scope s(*this);
    if (!FActive)
      activateNext();
    else if (FRequest->Active)
      stateCheck();
  });
}

int TRtcDataClient::RequestCount() {
  std::lock_guard g(FLock);
  return static_cast<int>(FQueue.size()) + (FActive ? 1 : 0);
}

bool TRtcDataClient::hasRequests() {
  std::lock_guard g(FLock);
  return FActive || !FQueue.empty();
}

void TRtcDataClient::markIdleLocked() {
  FIdle = true;
  FIdleEvent.notify_all();
}

// ---- waiting ----

bool TRtcDataClient::idleNow() {
  {
    std::lock_guard g(FLock);
    if (FIdle) return true;
  }
  return !isConnecting();
}

TRtcWaitForCompletionResult TRtcDataClient::DoWaitForCompletion(bool UserInteractionAllowed,
                                                                int _Timeout,
                                                                bool AllowMessageProcessing) {
  using R = TRtcWaitForCompletionResult;
  auto finalResult = [this](R r) {
    if (r == R::wait_OK && RequestCount() > 0) return R::wait_Error;
    return r;
  };
  if (idleNow()) return finalResult(R::wait_OK);

  if (MultiThreaded() && !inThread() && !AllowMessageProcessing && !UserInteractionAllowed) {
    const long steps = _Timeout > 0 ? static_cast<long>(_Timeout) * 10 : -1;
    for (long step = 0; steps < 0 || step < steps; ++step) {
      bool signalled;
      {
        std::unique_lock lock(FLock);
        signalled =
            FIdleEvent.wait_for(lock, std::chrono::milliseconds(100), [this] { return FIdle; });
      }
      if (signalled || idleNow()) return finalResult(R::wait_OK);
    }
    return RequestCount() > 0 ? R::wait_Timeout : R::wait_OK;
  }

  // The message-loop wait: the main thread keeps serving its loop while it waits.
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(_Timeout);
  for (;;) {
    MainLoop* loop = GetMainLoop();
    if (loop && loop->isMainThread() && loop->processPending() > 0) continue;
    if (idleNow()) return finalResult(R::wait_OK);
    if (_Timeout > 0 && std::chrono::steady_clock::now() >= deadline) return R::wait_Timeout;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool TRtcDataClient::WaitForCompletion(bool UserInteractionAllowed, int _Timeout,
                                       bool AllowMessageProcessing) {
  return DoWaitForCompletion(UserInteractionAllowed, _Timeout, AllowMessageProcessing) ==
         TRtcWaitForCompletionResult::wait_OK;
}

void TRtcDataClient::WaitForCompletionEx(bool UserInteractionAllowed, int _Timeout,
                                         bool AllowMessageProcessing) {
  switch (DoWaitForCompletion(UserInteractionAllowed, _Timeout, AllowMessageProcessing)) {
    case TRtcWaitForCompletionResult::wait_OK:
      return;
    case TRtcWaitForCompletionResult::wait_Timeout:
      throw ERtcWaitForCompletion("WaitForCompletionEx: Request timed out.");
    case TRtcWaitForCompletionResult::wait_Quit:
      throw ERtcWaitForCompletion("WaitForCompletionEx: Application terminating.");
    case TRtcWaitForCompletionResult::wait_Msg:
      throw ERtcWaitForCompletion(
          "WaitForCompletionEx: Loop terminated, unknown Message received.");
    case TRtcWaitForCompletionResult::wait_Error:
      throw ERtcWaitForCompletion("WaitForCompletionEx: Connection error.");
  }
}

// ---- the connection's own events ----

void TRtcDataClient::CallBeginRequest() {
  fire(OnBeginRequest);
}
void TRtcDataClient::CallResponseData() {
  fire(OnResponseData);
}
void TRtcDataClient::CallResponseDone() {
  fire(OnResponseDone);
}
void TRtcDataClient::CallRepostCheck() {
  fire(OnRepostCheck);
}
void TRtcDataClient::CallResponseAbort() {
  if (FActive) FActive->FWasAborted = true;
  fire(OnResponseAbort);
}
void TRtcDataClient::CallResponseReject() {
  fire(OnResponseReject);
}
void TRtcDataClient::CallSessionOpen() {
  fire(OnSessionOpen);
}
void TRtcDataClient::CallSessionClose() {
  fire(OnSessionClose);
}

// ---- the request loop ----

void TRtcDataClient::startQueue() {
  if (FAutoConnect) WantConnect = true;
  std::weak_ptr<std::atomic<bool>> alive = FAlive;
  auto job = [this, alive] {
    auto a = alive.lock();
    if (a && *a) startJob();
  };
  if (PostJob(job)) return;
  if (!FAutoConnect) return;  // the connect event starts the queue
  if (State() == TRtcConnectionState::conInactive && !Reconnecting) Connect();
  PostJob(job);
}

void TRtcDataClient::startJob() {
  try {
    requestLoop();
  } catch (const std::exception& e) {
    WriteExceptionLog("TRtcDataClient.StartRequest", e);
  }
}

void TRtcDataClient::restartQueue() {
  if (MultiThreaded()) {
    std::weak_ptr<std::atomic<bool>> alive = FAlive;
    PostJob([this, alive] {
      auto a = alive.lock();
      if (a && *a) startJob();
    });
  } else {
    startJob();
  }
}

void TRtcDataClient::requestLoop() {
  struct Depth {
    int& d;
    explicit Depth(int& d) : d(d) { ++d; }
    ~Depth() { --d; }
  };
  {
    Depth depth(FLoopDepth);
    Scope s(*this);  // its end runs the deferred connection actions
    requestLoopBody();
  }
  if (FLoopDepth == 0) RequestLoopLeft();
}

void TRtcDataClient::requestLoopBody() {
  for (;;) {
    if (!isConnected()) {
      if (FAutoConnect && State() == TRtcConnectionState::conInactive && !Reconnecting &&
          hasRequests())
        Connect();
      return;
    }
    if (FHoldBack) return;
    if (!activateNext()) return;
    if (!beginStep()) return;
  }
}

// Activates the first queued request when none is active and aborts skipped ones as they come
// up. True when a request is active.
bool TRtcDataClient::activateNext() {
  for (;;) {
    {
      std::lock_guard g(FLock);
      if (!FActive && !FQueue.empty()) {
        FActive = std::move(FQueue.front());
        FQueue.pop_front();
        FRequest = &FActive->Get_Request();
      }
      if (!FActive) {
        FSkipCount = 0;
        if (FQueue.empty()) markIdleLocked();
        return false;
      }
      // A request on the wire is skipped by the state check, never here.
      if (FSkipCount < 1 || FRequest->Active) return true;
    }
    Scope s(*this);
    FActive->Call_ResponseAbort(*this);
    finishRequest();
  }
}

// The begin step of the active request. True when the loop goes on with the next request.
bool TRtcDataClient::beginStep() {
  Scope s(*this);
  if (!isConnected() || !FActive || FRequest->Active) return false;
  if (!FSession.ID().empty() && FSession.PeerAddr() != PeerAddr()) FSession.Init();
  if (FSkipCount > 0) FRequest->Skip();
  if (!FRequest->Skipped) {
    try {
      {
        std::lock_guard g(FLock);
        FMayInsert = true;
      }
      do {
        FRequestInserted = false;
        fire(FRequest->OnBegin);
        if (!FRequestInserted) FActive->Call_BeginRequest(*this);
      } while (FRequestInserted);
      {
        std::lock_guard g(FLock);
        FMayInsert = false;
      }
      Flush();
    } catch (const std::exception& e) {
      // A failing begin handler ends its request (and a half-written exchange its connection)
      // instead of stalling the queue.
      {
        std::lock_guard g(FLock);
        FMayInsert = false;
      }
      TriggerException(e);
      if (!FActive) return true;
      const bool onWire = FRequest->Active;
      FActive->Call_ResponseAbort(*this);
      if (FActive) fire(FRequest->OnAbort);
      if (FActive) finishRequest();
      if (onWire) {
        closeTransport(true);
        return false;
      }
      return true;
    }
  }
  if (!isConnected() || !FActive) return false;
  if (FRequest->Active) {
    if (FResponse->Done) {
      if (FRequest->Skipped) {
        abortIfCancelled();
        if (FActive) finishRequest();
      } else if (FResponse->Rejected) {
        fireReject();
        if (FActive) finishRequest();
      } else if (FRequest->Reposting) {
        FRequest->Reposting = false;
        const bool closes = peerCloses();
        FResponse->Clear();
        if (closes) {
          if (isConnected()) closeTransport(true);
          return false;
        }
      }
      return true;
    }
    if (FSkipCount > 0) FRequest->Skip();
    if (FRequest->Skipped) {
      abortIfCancelled();
      if (FActive) finishRequest();
      if (isConnected()) closeTransport(true);
      return false;
    }
    if (FResponse->Rejected) {
      fireReject();
      finishRequest();
      if (isConnected()) closeTransport(true);
      return false;
    }
    if (FRequest->Reposting) {
      FRequest->Reposting = false;
      FResponse->Clear();
      if (isConnected()) closeTransport(true);
      return false;
    }
    return false;  // in flight: the transport's events carry it on
  }
  if (FResponse->Rejected)
    fireReject();
  else if (FRequest->Skipped)
    abortIfCancelled();
  if (FActive) finishRequest();
  return true;
}

// A cancelled request ends with its abort events, a skipped one without.
void TRtcDataClient::abortIfCancelled() {
  if (!FActive || !FAbortActive) return;
  FAbortActive = false;
  FActive->Call_ResponseAbort(*this);
  if (FActive) fire(FRequest->OnAbort);
}

void TRtcDataClient::fireReject() {
  if (!FActive) return;
  FActive->Call_ResponseReject(*this);
  if (FActive) fire(FRequest->OnReject);
}

bool TRtcDataClient::stateCheck() {
  if (!FActive) return true;
  if (FSkipCount > 0) FRequest->Skip();
  if (FRequest->Skipped || FResponse->Rejected) {
    if (FResponse->Rejected)
      fireReject();
    else
      abortIfCancelled();
    if (!FActive) return true;
    const bool onWire = FRequest->Active;
    finishRequest();
    if (onWire) {
      // A half-sent or half-read exchange cannot go on on this connection.
      if (isConnected()) closeTransport(true);
    } else if (hasRequests()) {
      restartQueue();
    }
    return true;
  }
  if (FRequest->Reposting) {
    FRequest->Reposting = false;
    // A peer that closes after its response takes the connection with it.
    const bool done = FResponse->Done && !peerCloses();
    FResponse->Clear();
    if (done)
      restartQueue();  // sent again on the same connection
    else if (isConnected())
      closeTransport(true);  // sent again after reconnecting
    return true;
  }
  return false;
}

void TRtcDataClient::finishRequest() {
  std::unique_ptr<TRtcClientRequestInfo> info;
  {
    std::lock_guard g(FLock);
    if (FSkipCount > 0) --FSkipCount;
    info = std::move(FActive);
    FAbortActive = false;
    if (FQueue.empty()) markIdleLocked();
  }
  FRequest = FMyRequest.get();
  FMyRequest->Clear();
  FResponse->Clear();
  RequestFinished();
  if (!info) return;
  const bool close = info->Get_Request().Close();
  if (info->FWasInjected && info->FWasAborted) {
    // The request it was inserted for cannot go on without it.
    bool next = false;
    {
      std::lock_guard g(FLock);
      if (!FQueue.empty()) {
        FActive = std::move(FQueue.front());
        FQueue.pop_front();
        FRequest = &FActive->Get_Request();
        next = true;
      }
    }
    if (next) {
      FActive->Call_ResponseAbort(*this);
      if (FActive) finishRequest();
    }
  }
  // A request whose response is still being read stays alive until the reader lets go.
  // The reader may point into any of them, not only the last one.
  if (ExchangeInUse()) {
    std::lock_guard g(FLock);
    FRetired.push_back(std::move(info));
  }
  info.reset();
  if (close) closeTransport(false);
}

bool TRtcDataClient::peerCloses() const {
  return httpUpper(FResponse->ValueCS("CONNECTION")) == "CLOSE";
}

void TRtcDataClient::releaseRetired() {
  std::vector<std::unique_ptr<TRtcClientRequestInfo>> gone;
  {
    std::lock_guard g(FLock);
    if (FRetired.empty()) return;
    gone.swap(FRetired);
  }
}

// ---- transport progress ----

void TRtcDataClient::TriggerDataOut(uint32_t bytes) {
  DataOut = bytes;
  WriteCount += bytes;
  timeout_.Apply(Timeout.AfterDataOut);
  Scope s(*this);
  if (FActive) FActive->Call_DataOut(*this);
  fire(OnDataOut);
  Flush();
}

void TRtcDataClient::TriggerDataIn(uint32_t bytes) {
  DataIn = bytes;
  ReadCount += bytes;
  timeout_.Apply(Timeout.AfterDataIn);
  Scope s(*this);
  if (FActive) FActive->Call_DataIn(*this);
  fire(OnDataIn);
}

void TRtcDataClient::TriggerDataSent() {
  timeout_.Apply(Timeout.AfterDataSent);
  DataSentFlow();
}

void TRtcDataClient::TriggerDataReceived() {
  timeout_.Apply(Timeout.AfterDataReceived);
  DataReceivedFlow();
}

void TRtcDataClient::DataSentFlow() {
  Scope s(*this);
  if (!FActive) return fire(OnDataSent);
  FActive->Call_DataSent(*this);
  Flush();
  stateCheck();
}

void TRtcDataClient::ReadyToSendFlow() {
  Scope s(*this);
  if (!FActive) return fire(OnReadyToSend);
  FActive->Call_ReadyToSend(*this);
  Flush();
  stateCheck();
}

void TRtcDataClient::DataReceivedFlow() {
  Scope s(*this);
  if (!FActive) return fire(OnDataReceived);
  FActive->Call_DataReceived(*this);
  Flush();
  if (stateCheck()) return;
  FActive->Call_ResponseData(*this);
  Flush();
  if (stateCheck()) return;
  fire(FRequest->OnData);
  Flush();
  if (stateCheck()) return;
  if (!FResponse->Done) return;
  FActive->Call_ResponseDone(*this);
  if (stateCheck()) return;
  fire(FRequest->OnDone);
  if (stateCheck()) return;
  finishRequest();
  // In the connection's own context the next request starts here, not one job later.
  if (hasRequests()) inThread() ? startJob() : restartQueue();
}

// ---- connection hooks ----

void TRtcDataClient::DoAfterConnect() {
  FHoldBack = false;
  FAfterClose = AfterClose::None;
  fire(OnConnect);
  if (hasRequests()) startJob();
}

void TRtcDataClient::DoConnectionLost() {
  // A request waiting to be sent again after a deliberate reconnect is not hurt by the close.
  const bool keep = FActive && !FRequest->Started && FAfterClose == AfterClose::Always;
  if (FActive && !keep) {
    FActive->Call_ConnectLost(*this);
    if (FActive && !FResponse->Done && !FRequest->Reposting) FActive->Call_RepostCheck(*this);
    if (FActive && !FResponse->Done && !FRequest->Reposting) {
      FActive->Call_ResponseAbort(*this);
      if (FActive && !FRequest->Reposting) fire(FRequest->OnAbort);
    }
  }
  fire(OnConnectLost);
  if (!keep) disposeAfterFailure();
  activateNext();
  // A request kept for resending needs a connection.
  if (FAutoConnect && hasRequests() && FAfterClose == AfterClose::None)
    FAfterClose = AfterClose::IfRequests;
}

void TRtcDataClient::DoConnectFail() {
  connectFailed(nullptr);
}

void TRtcDataClient::DoConnectError(const std::exception& e) {
  connectFailed(&e);
}

void TRtcDataClient::connectFailed(const std::exception* e) {
  FAfterClose = AfterClose::None;
  activateNext();
  if (FActive) {
    FActive->Call_RepostCheck(*this);
    if (FActive && !FResponse->Done && !FRequest->Reposting) {
      FActive->Call_ResponseAbort(*this);
      if (FActive) fire(FRequest->OnAbort);
    }
  }
  if (e)
    fireError(OnConnectError, *e);
  else
    fire(OnConnectFail);
  disposeAfterFailure();
  activateNext();
}

void TRtcDataClient::disposeAfterFailure() {
  if (!FActive) return;
  if (FRequest->Skipped) {
    abortIfCancelled();
    if (FActive) finishRequest();
  } else if (FResponse->Rejected) {
    fireReject();
    if (FActive) finishRequest();
  } else if (FRequest->Reposting) {
    FRequest->Reposting = false;  // stays active, sent again once reconnected
    FResponse->Clear();
  } else if (FResponse->Done) {
    finishRequest();
  } else {
    // Only the requests queued at the loss go down with it: one posted meanwhile from another
    // thread (after a waiter saw the failed request finish) is kept.
    int queued;
    {
      std::lock_guard g(FLock);
      queued = static_cast<int>(FQueue.size());
    }
    finishRequest();
    std::lock_guard g(FLock);
    FSkipCount = std::min<int>(queued, static_cast<int>(FQueue.size()));
  }
}

bool TRtcDataClient::CanReconnect() {
  return !FAutoConnect || hasRequests();
}

void TRtcDataClient::Disconnect() {
  FHoldBack = true;
  FAfterClose = AfterClose::None;
  FClosePending = false;
  TRtcClient::Disconnect();
}

void TRtcDataClient::closeTransport(bool reopen) {
  if (reopen)
    FAfterClose = AfterClose::Always;
  else if (FAfterClose == AfterClose::None && FAutoConnect)
    FAfterClose = AfterClose::IfRequests;
  if (insideEvent()) {
    FClosePending = true;
    return;
  }
  FClosePending = false;
  if (provider_ && State() != TRtcConnectionState::conInactive)
    provider_->Disconnect();
  else
    reopenIfDue();
}

void TRtcDataClient::reopenIfDue() {
  if (FAfterClose == AfterClose::None || insideEvent() || Reconnecting || Releasing || Closing ||
      Disconnecting || State() != TRtcConnectionState::conInactive)
    return;
  const bool always = FAfterClose == AfterClose::Always;
  FAfterClose = AfterClose::None;
  if (always || hasRequests()) Connect();
}

void TRtcDataClient::TriggerReadyToRelease() {
  TRtcClient::TriggerReadyToRelease();
  if (!insideEvent()) reopenIfDue();
}

void TRtcDataClient::afterEvents() {
  TRtcClient::afterEvents();
  if (insideEvent()) return;
  if (FClosePending) {
    FClosePending = false;
    if (provider_ && State() != TRtcConnectionState::conInactive) {
      provider_->Disconnect();
      return;
    }
  }
  reopenIfDue();
}

// ---- links ----

void TRtcDataClient::linkAttached(TRtcAbsDataClientLink* link) {
  if (std::find(FLinks.begin(), FLinks.end(), link) == FLinks.end()) FLinks.push_back(link);
}

void TRtcDataClient::linkDetached(TRtcAbsDataClientLink* link) {
  FLinks.erase(std::remove(FLinks.begin(), FLinks.end(), link), FLinks.end());
}

void TRtcDataClient::forgetLink(TRtcAbsDataClientLink* link) {
  std::lock_guard g(FLock);
  auto forget = [link](std::unique_ptr<TRtcClientRequestInfo>& info) {
    if (auto* d = dynamic_cast<TRtcDataRequestInfo*>(info.get()); d && d->Events() == link)
      d->DetachEvents();
  };
  for (auto& info : FQueue) forget(info);
  if (FActive) forget(FActive);
  for (auto& info : FRetired) forget(info);
}

}  // namespace vtx
