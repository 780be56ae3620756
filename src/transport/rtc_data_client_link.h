// Links: objects that send requests through a data client and handle their events, and the
// request-info objects that tie a queued request to the link driving it.
//
// A link attaches either to a client (Client) or to a parent link (Link); its events run in the
// connection's thread, or on the main thread through Sync when AutoSyncEvents is set. Events
// travel up the chain of links and end at the connection's own Call* methods.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/rtc_client_request.h"

namespace vtx {

class TRtcDataClient;
class TRtcDataClientLink;
class TRtcAbsDataClientLink;

enum class TRtcWaitForCompletionResult { wait_OK, wait_Timeout, wait_Quit, wait_Msg, wait_Error };

// One queued request and whoever handles it. Every operation takes the connection as Sender.
class TRtcClientRequestInfo {
 public:
  virtual ~TRtcClientRequestInfo() = default;
  bool FWasInjected = false;  // inserted in front of another request
  bool FWasAborted = false;

  virtual void Call_ResponseDone(TRtcDataClient& Sender) = 0;
  virtual void Call_ResponseData(TRtcDataClient& Sender) = 0;
  virtual void Call_ResponseAbort(TRtcDataClient& Sender) = 0;
  virtual void Call_ResponseReject(TRtcDataClient& Sender) = 0;
  virtual void Call_BeginRequest(TRtcDataClient& Sender) = 0;
  virtual void Call_DataOut(TRtcDataClient& Sender) = 0;
  virtual void Call_DataIn(TRtcDataClient& Sender) = 0;
  virtual void Call_DataSent(TRtcDataClient& Sender) = 0;
  virtual void Call_ReadyToSend(TRtcDataClient& Sender) = 0;
  virtual void Call_SessionOpen(TRtcDataClient& Sender) = 0;
  virtual void Call_SessionClose(TRtcDataClient& Sender) = 0;
  virtual void Call_DataReceived(TRtcDataClient& Sender) = 0;
  virtual void Call_ConnectLost(TRtcDataClient& Sender) = 0;
  virtual void Call_RepostCheck(TRtcDataClient& Sender) = 0;
  virtual TRtcClientRequest& Get_Request() = 0;
};

// A request owned by the queue and the link that handles it (not owned). Without a link the
// connection's own events handle it.
class TRtcDataRequestInfo final : public TRtcClientRequestInfo {
 public:
  TRtcDataRequestInfo(std::unique_ptr<TRtcClientRequest> request, TRtcAbsDataClientLink* events);
  ~TRtcDataRequestInfo() override;

  void Call_ResponseDone(TRtcDataClient& Sender) override;
  void Call_ResponseData(TRtcDataClient& Sender) override;
  void Call_ResponseAbort(TRtcDataClient& Sender) override;
  void Call_ResponseReject(TRtcDataClient& Sender) override;
  void Call_BeginRequest(TRtcDataClient& Sender) override;
  void Call_DataOut(TRtcDataClient& Sender) override;
  void Call_DataIn(TRtcDataClient& Sender) override;
  void Call_DataSent(TRtcDataClient& Sender) override;
  void Call_ReadyToSend(TRtcDataClient& Sender) override;
  void Call_SessionOpen(TRtcDataClient& Sender) override;
  void Call_SessionClose(TRtcDataClient& Sender) override;
  void Call_DataReceived(TRtcDataClient& Sender) override;
  void Call_ConnectLost(TRtcDataClient& Sender) override;
  void Call_RepostCheck(TRtcDataClient& Sender) override;
  TRtcClientRequest& Get_Request() override { return *FRequest; }

  // Read and written under the connection's lock.
  TRtcAbsDataClientLink* Events() const { return FEvents; }
  // The link is going away: its requests fall back to the connection's events.
  void DetachEvents() { FEvents = nullptr; }

 private:
  // The link an event goes to, marked in use until the scope ends (null: the connection's own).
  class LinkScope;
  std::unique_ptr<TRtcClientRequest> FRequest;
  TRtcAbsDataClientLink* FEvents;
};

class TRtcAbsDataClientLink {
 public:
  TRtcAbsDataClientLink() = default;
  virtual ~TRtcAbsDataClientLink();
  TRtcAbsDataClientLink(const TRtcAbsDataClientLink&) = delete;
  TRtcAbsDataClientLink& operator=(const TRtcAbsDataClientLink&) = delete;

  // At most one of Client and Link is set; setting one clears the other. A Link chain that
  // leads back to this link raises ERtcInfo "Circular DataClientLink reference!".
  TRtcDataClient* Client() const { return FClient; }
  void setClient(TRtcDataClient* client);
  TRtcDataClientLink* Link() const { return FLink; }
  void setLink(TRtcDataClientLink* link);
  // The client at the end of the chain (null when there is none).
  TRtcDataClient* RootClient() const;

  bool AutoSyncEvents = false;

  // Handlers, called by the request flow with the connection as Sender.
  virtual void Call_BeginRequest(TRtcDataClient& Sender) = 0;
  virtual void Call_ResponseDone(TRtcDataClient& Sender) = 0;
  virtual void Call_ResponseData(TRtcDataClient& Sender) = 0;
  virtual void Call_ResponseAbort(TRtcDataClient& Sender) = 0;
  virtual void Call_ResponseReject(TRtcDataClient& Sender) = 0;
  virtual void Call_SessionOpen(TRtcDataClient& Sender) = 0;
  virtual void Call_SessionClose(TRtcDataClient& Sender) = 0;
  // Transport progress; passed on to the parent link only.
  virtual void Call_DataReceived(TRtcDataClient& Sender);
  virtual void Call_DataOut(TRtcDataClient& Sender);
  virtual void Call_DataIn(TRtcDataClient& Sender);
  virtual void Call_DataSent(TRtcDataClient& Sender);
  virtual void Call_ReadyToSend(TRtcDataClient& Sender);
  virtual void Call_ConnectLost(TRtcDataClient& Sender);
  virtual void Call_RepostCheck(TRtcDataClient& Sender) = 0;

  // Queue operations of the client at the end of the chain; without one they raise
  // ERtcConnection "<Operation>: Client connection undefined.". Requests posted here are
  // handled by this link.
  virtual void PostRequest(std::unique_ptr<TRtcClientRequest> Req, bool FromInsideEvent = false);
  virtual void InsertRequest(std::unique_ptr<TRtcClientRequest> Req);
  virtual void SkipRequests();
  virtual void CancelRequests();
  virtual int RequestCount();
  virtual TRtcWaitForCompletionResult DoWaitForCompletion(bool UserInteractionAllowed = false,
                                                          int _Timeout = 0,
                                                          bool AllowMessageProcessing = true);
  virtual bool WaitForCompletion(bool UserInteractionAllowed = false, int _Timeout = 0,
                                 bool AllowMessageProcessing = true);
  virtual void WaitForCompletionEx(bool UserInteractionAllowed = false, int _Timeout = 0,
                                   bool AllowMessageProcessing = true);

 protected:
  // Takes the link off its connection and waits for its handlers running on other threads;
  // the first step of every destructor in the chain whose members handlers use.
  void detachAndWait();
  // Fires `ev` directly, or on the main thread when AutoSyncEvents.
  void fireEvent(const TRtcClientRequest::Event& ev, TRtcDataClient& Sender);
  // The parent's end of each chain: the parent link, else the client's own event when Sender
  // is the client this link is attached to.
  void parentBeginRequest(TRtcDataClient& Sender);
  void parentResponseDone(TRtcDataClient& Sender);
  void parentResponseData(TRtcDataClient& Sender);
  void parentResponseAbort(TRtcDataClient& Sender);
  void parentResponseReject(TRtcDataClient& Sender);
  void parentSessionOpen(TRtcDataClient& Sender);
  void parentSessionClose(TRtcDataClient& Sender);
  void parentRepostCheck(TRtcDataClient& Sender);
  // Takes this link's queued requests (not the active one) off the connection, without events.
  std::vector<std::unique_ptr<TRtcClientRequestInfo>> takeQueuedRequests(TRtcDataClient& Sender);

 private:
  friend class TRtcDataClient;
  friend class TRtcDataClientLink;
  friend class TRtcDataRequestInfo;
  TRtcDataClient& requireClient(const char* operation) const;
  void detach();

  // Threads running a handler of this link through a queued request. Shared with those calls,
  // so a link that destroys itself inside its own handler leaves them something to sign off.
  struct Use {
    std::mutex lock;
    std::condition_variable idle;
    std::vector<std::thread::id> users;
    void enter();
    void leave();
  };
  std::shared_ptr<Use> FUse = std::make_shared<Use>();

  TRtcDataClient* FClient = nullptr;
  TRtcDataClientLink* FLink = nullptr;
};

class TRtcDataClientLink : public TRtcAbsDataClientLink {
 public:
  TRtcDataClientLink() = default;
  ~TRtcDataClientLink() override;

  TRtcClientRequest::Event OnBeginRequest, OnResponseData, OnResponseDone, OnRepostCheck,
      OnResponseAbort, OnResponseReject, OnSessionOpen, OnSessionClose;

  void Call_BeginRequest(TRtcDataClient& Sender) override;
  void Call_ResponseDone(TRtcDataClient& Sender) override;
  void Call_ResponseData(TRtcDataClient& Sender) override;
  void Call_ResponseAbort(TRtcDataClient& Sender) override;
  void Call_ResponseReject(TRtcDataClient& Sender) override;
  void Call_SessionOpen(TRtcDataClient& Sender) override;
  void Call_SessionClose(TRtcDataClient& Sender) override;
  void Call_RepostCheck(TRtcDataClient& Sender) override;

  // Links attached to this one (observed).
  const std::vector<TRtcAbsDataClientLink*>& Links() const { return FLinks; }

 private:
  friend class TRtcAbsDataClientLink;
  std::vector<TRtcAbsDataClientLink*> FLinks;
};

}  // namespace vtx
