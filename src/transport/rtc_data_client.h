// The data client: a queue of requests run one at a time over one client connection.
//
// Requests may be posted from any thread. The request loop and every request event run in the
// connection's context (its job queue when MultiThreaded, else the main thread). One lock guards
// the queue, the active request, the skip count and the idle state; it is never held while
// events run. Subclasses (the HTTP client) implement the writing and reading operations and
// report transport progress through the Trigger* notifications.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/rtc_client_request.h"
#include "transport/rtc_client_session.h"
#include "transport/rtc_connection.h"
#include "transport/rtc_data_client_link.h"

namespace vtx {

class TRtcDataClient : public TRtcClient {
 public:
  TRtcDataClient();
  ~TRtcDataClient() override;

  // Connects by itself when a request is posted; switching it on with requests waiting
  // connects at once.
  bool AutoConnect() const { return FAutoConnect; }
  void setAutoConnect(bool on);
  TRtcClientRequestFixup FixupRequest;

  // Those of the active request; when none is active, the connection's own spare pair.
  TRtcClientRequest& Request() const { return *FRequest; }
  TRtcClientResponse& Response() const { return *FResponse; }
  TRtcClientSession& Session() { return FSession; }
  // A request was inserted during the current begin step.
  bool RequestInserted() const { return FRequestInserted; }

  TRtcNotifyEvent OnBeginRequest, OnResponseData, OnResponseDone, OnRepostCheck, OnResponseAbort,
      OnResponseReject, OnSessionOpen, OnSessionClose;

  // Appends a request handled by the connection's own events. Unless FromInsideEvent, the
  // queue is started (connecting first with AutoConnect).
  void PostRequest(std::unique_ptr<TRtcClientRequest> Req, bool FromInsideEvent = false);
  // Puts a request in front of the active one; only from a begin handler.
  void InsertRequest(std::unique_ptr<TRtcClientRequest> Req);
  // The queue operations taking a request-info (the links' requests).
  void PostRequestInfo(std::unique_ptr<TRtcClientRequestInfo> info, bool FromInsideEvent);
  void InsertRequestInfo(std::unique_ptr<TRtcClientRequestInfo> info);
  // Drops every queued request without events; the active one is skipped at the next check.
  void SkipRequests();
  // Every queued and the active request end with their abort events as they come up.
  void CancelRequests();
  // Queued plus active.
  int RequestCount();

  // Waits until no request is queued or active. _Timeout in seconds, 0 = no limit.
  TRtcWaitForCompletionResult DoWaitForCompletion(bool UserInteractionAllowed = false,
                                                  int _Timeout = 0,
                                                  bool AllowMessageProcessing = true);
  bool WaitForCompletion(bool UserInteractionAllowed = false, int _Timeout = 0,
                         bool AllowMessageProcessing = true);
  // Raises ERtcWaitForCompletion unless the result is wait_OK.
  void WaitForCompletionEx(bool UserInteractionAllowed = false, int _Timeout = 0,
                           bool AllowMessageProcessing = true);

  // Request writing and response reading, implemented by the protocol.
  virtual void Flush() = 0;
  virtual void WriteHeader(bool SendNow = true) = 0;
  virtual void WriteHeader(const std::string& HeaderText, bool SendNow = true) = 0;
  virtual void Write(const std::string& s) = 0;
  virtual std::string Read() = 0;

  // The connection's own events, at the end of every chain of links.
  void CallBeginRequest();
  void CallResponseData();
  void CallResponseDone();
  void CallRepostCheck();
  // Marks the active request as aborted first.
  void CallResponseAbort();
  void CallResponseReject();
  void CallSessionOpen();
  void CallSessionClose();

  // Holds new requests back until the next connect.
  void Disconnect() override;

 protected:
  // An event scope of the connection; leaving the outermost one runs the deferred actions.
  class Scope {
   public:
    explicit Scope(TRtcDataClient& c) : c_(c) { c_.EnterEvent(); }
    ~Scope() { c_.leaveEventSafe(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    TRtcDataClient& c_;
  };

  // Transport progress while a request is active.
  void TriggerDataOut(uint32_t bytes) override;
  void TriggerDataSent() override;
  void TriggerDataIn(uint32_t bytes) override;
  void TriggerDataReceived() override;
  // The request flow's part of "data received", for protocols that parse the bytes first.
  void DataReceivedFlow();
  void DataSentFlow();
  // The transport can take more data.
  void ReadyToSendFlow();

  void DoAfterConnect() override;
  void DoConnectionLost() override;
  void DoConnectFail() override;
  void DoConnectError(const std::exception& e) override;
  bool CanReconnect() override;

  void TriggerReadyToRelease() override;
  void afterEvents() override;

  // Closes the transport without holding requests back (deferred inside an event). With
  // `reopen` the connection is opened again once closed, else only when AutoConnect is on and
  // requests remain.
  void closeTransport(bool reopen = false);

  // The request loop is running (its begin step may write).
  bool inRequestLoop() const { return FLoopDepth > 0; }
  // Called when the outermost request loop has ended.
  virtual void RequestLoopLeft() {}
  // Called when a request was finished (the protocol resets its per-exchange state).
  virtual void RequestFinished() {}
  // The protocol still reads into the request of an exchange that was cut short (a response
  // half read when the request was skipped): every request finished meanwhile is kept until
  // releaseRetired().
  virtual bool ExchangeInUse() const { return false; }
  void releaseRetired();
  // The active request-info (connection thread only).
  TRtcClientRequestInfo* ActiveInfo() const { return FActive.get(); }
  // Ends the connection's job queue and waits for a running job; the first step of every
  // destructor in the chain whose members jobs use.
  void stopJobs();

 private:
  friend class TRtcAbsDataClientLink;
  friend class TRtcDataRequestInfo;
  friend class TRtcClientSession;

  enum class AfterClose { None, IfRequests, Always };

  void startQueue();
  void startJob();
  void requestLoop();
  void requestLoopBody();
  bool beginStep();
  bool activateNext();
  bool stateCheck();
  void abortIfCancelled();
  void finishRequest();
  // The response of the active exchange said the peer closes the connection after it.
  bool peerCloses() const;
  void fireReject();
  void connectFailed(const std::exception* e);
  void disposeAfterFailure();
  void restartQueue();
  void reopenIfDue();
  void forgetLink(TRtcAbsDataClientLink* link);
  void linkAttached(TRtcAbsDataClientLink* link);
  void linkDetached(TRtcAbsDataClientLink* link);
  void markIdleLocked();
  bool idleNow();
  bool hasRequests();
  void leaveEventSafe() noexcept;

  std::atomic<bool> FAutoConnect{false};  // set by the application, read by jobs
  std::unique_ptr<TRtcClientRequest> FMyRequest;
  std::unique_ptr<TRtcClientResponse> FMyResponse;
  TRtcClientRequest* FRequest;
  TRtcClientResponse* FResponse;
  TRtcClientSession FSession{*this};
  bool FRequestInserted = false;

  std::mutex FLock;
  std::condition_variable FIdleEvent;
  std::deque<std::unique_ptr<TRtcClientRequestInfo>> FQueue;
  std::unique_ptr<TRtcClientRequestInfo> FActive;
  std::atomic<int> FSkipCount{0};  // also read outside the lock by the request loop
  bool FAbortActive = false;       // the active request was cancelled, not skipped
  bool FIdle = true;
  bool FMayInsert = false;
  // Disconnect may set these from any thread.
  std::atomic<bool> FHoldBack{false};
  int FLoopDepth = 0;
  std::atomic<bool> FClosePending{false};
  std::atomic<AfterClose> FAfterClose{AfterClose::None};
  std::vector<TRtcAbsDataClientLink*> FLinks;
  // Cleared by stopJobs on any thread; read by the jobs it guards.
  std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
  // Finished requests the protocol may still read from, kept until releaseRetired (guarded by
  // FLock: forgetLink reaches them from other threads).
  std::vector<std::unique_ptr<TRtcClientRequestInfo>> FRetired;
};

}  // namespace vtx
