#include "transport/rtc_data_client_link.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "transport/main_loop.h"
#include "transport/rtc_data_client.h"
#include "util/exceptions.h"

namespace vtx {

// ---- TRtcDataRequestInfo ----

TRtcDataRequestInfo::TRtcDataRequestInfo(std::unique_ptr<TRtcClientRequest> request,
                                         TRtcAbsDataClientLink* events)
    : FRequest(request ? std::move(request) : std::make_unique<TRtcClientRequest>()),
      FEvents(events) {}

TRtcDataRequestInfo::~TRtcDataRequestInfo() = default;

// Reads the request's link under the connection's lock, so a link detaching meanwhile is either
// seen as gone or waits in its destructor until the event returns.
class TRtcDataRequestInfo::LinkScope {
 public:
  LinkScope(TRtcDataRequestInfo& info, TRtcDataClient& Sender) {
    std::lock_guard g(Sender.FLock);
    link_ = info.FEvents;
    if (!link_) return;
    use_ = link_->FUse;
    use_->enter();
  }
  ~LinkScope() {
    if (use_) use_->leave();
  }
  LinkScope(const LinkScope&) = delete;
  LinkScope& operator=(const LinkScope&) = delete;
  TRtcAbsDataClientLink* operator->() const { return link_; }
  explicit operator bool() const { return link_ != nullptr; }

 private:
  TRtcAbsDataClientLink* link_;
  std::shared_ptr<TRtcAbsDataClientLink::Use> use_;
};

void TRtcDataRequestInfo::Call_ResponseDone(TRtcDataClient& Sender) {
  LinkScope link(*this, Sender);
  link ? link->Call_ResponseDone(Sender) : Sender.CallResponseDone();
}
void TRtcDataRequestInfo::Call_ResponseData(TRtcDataClient& Sender) {
  LinkScope link(*this, Sender);
  link ? link->Call_ResponseData(Sender) : Sender.CallResponseData();
}
void TRtcDataRequestInfo::Call_ResponseAbort(TRtcDataClient& Sender) {
  LinkScope link(*this, Sender);
  link ? link->Call_ResponseAbort(Sender) : Sender.CallResponseAbort();
}
void TRtcDataRequestInfo::Call_ResponseReject(TRtcDataClient& Sender) {
  LinkScope link(*this, Sender);
  link ? link->Call_ResponseReject(Sender) : Sender.CallResponseReject();
}
void TRtcDataRequestInfo::Call_BeginRequest(TRtcDataClient& Sender) {
  LinkScope link(*this, Sender);
  link ? link->Call_BeginRequest(Sender) : Sender.CallBeginRequest();
}
void TRtcDataRequestInfo::Call_DataOut(TRtcDataClient& Sender) {
  if (LinkScope link(*this, Sender); link) link->Call_DataOut(Sender);
}
void TRtcDataRequestInfo::Call_DataIn(TRtcDataClient& Sender) {
  if (LinkScope link(*this, Sender); link) link->Call_DataIn(Sender);
}
void TRtcDataRequestInfo::Call_DataSent(TRtcDataClient& Sender) {
  if (LinkScope link(*this, Sender); link) link->Call_DataSent(Sender);
}
void TRtcDataRequestInfo::Call_ReadyToSend(TRtcDataClient& Sender) {
  if (LinkScope link(*this, Sender); link) link->Call_ReadyToSend(Sender);
}
void TRtcDataRequestInfo::Call_SessionOpen(TRtcDataClient& Sender) {
  LinkScope link(*this, Sender);
  link ? link->Call_SessionOpen(Sender) : Sender.CallSessionOpen();
}
void TRtcDataRequestInfo::Call_SessionClose(TRtcDataClient& Sender) {
  LinkScope link(*this, Sender);
  link ? link->Call_SessionClose(Sender) : Sender.CallSessionClose();
}
void TRtcDataRequestInfo::Call_DataReceived(TRtcDataClient& Sender) {
  if (LinkScope link(*this, Sender); link) link->Call_DataReceived(Sender);
}
void TRtcDataRequestInfo::Call_ConnectLost(TRtcDataClient& Sender) {
  if (LinkScope link(*this, Sender); link) link->Call_ConnectLost(Sender);
}
void TRtcDataRequestInfo::Call_RepostCheck(TRtcDataClient& Sender) {
  LinkScope link(*this, Sender);
  link ? link->Call_RepostCheck(Sender) : Sender.CallRepostCheck();
}

// ---- TRtcAbsDataClientLink ----

TRtcAbsDataClientLink::~TRtcAbsDataClientLink() {
  detachAndWait();
}

void TRtcAbsDataClientLink::detachAndWait() {
  if (TRtcDataClient* root = RootClient()) root->forgetLink(this);
  // A handler destroying its own link on its thread is not waited for. The main thread keeps
  // serving its loop: a handler with AutoSyncEvents waits for it.
  const auto self = std::this_thread::get_id();
  Use& use = *FUse;
  auto elsewhere = [&] {
    return std::any_of(use.users.begin(), use.users.end(),
                       [self](std::thread::id id) { return id != self; });
  };
  std::unique_lock l(use.lock);
  while (elsewhere()) {
    MainLoop* loop = GetMainLoop();
    if (loop && loop->isMainThread()) {
      l.unlock();
      loop->processPending();
      l.lock();
      if (!elsewhere()) break;
    }
    use.idle.wait_for(l, std::chrono::milliseconds(1));
  }
  l.unlock();
  // The running handler has passed its event up the chain: only now the chain may go.
  detach();
}

void TRtcAbsDataClientLink::Use::enter() {
  std::lock_guard g(lock);
  users.push_back(std::this_thread::get_id());
}

void TRtcAbsDataClientLink::Use::leave() {
  {
    std::lock_guard g(lock);
    users.erase(std::find(users.begin(), users.end(), std::this_thread::get_id()));
  }
  idle.notify_all();
}

void TRtcAbsDataClientLink::detach() {
  if (FClient) FClient->linkDetached(this);
  if (FLink) {
    auto& l = FLink->FLinks;
    l.erase(std::remove(l.begin(), l.end(), this), l.end());
  }
  FClient = nullptr;
  FLink = nullptr;
}

void TRtcAbsDataClientLink::setClient(TRtcDataClient* client) {
  if (client == FClient && !FLink) return;
  detach();
  FClient = client;
  if (FClient) FClient->linkAttached(this);
}

void TRtcAbsDataClientLink::setLink(TRtcDataClientLink* link) {
  if (link == FLink && !FClient) return;
  for (const TRtcAbsDataClientLink* p = link; p; p = p->FLink)
    if (p == this) throw ERtcInfo("Circular DataClientLink reference!");
  detach();
  FLink = link;
  if (FLink) FLink->FLinks.push_back(this);
}

TRtcDataClient* TRtcAbsDataClientLink::RootClient() const {
  const TRtcAbsDataClientLink* p = this;
  while (p->FLink) p = p->FLink;
  return p->FClient;
}

TRtcDataClient& TRtcAbsDataClientLink::requireClient(const char* operation) const {
  TRtcDataClient* c = RootClient();
  if (!c) throw ERtcConnection(std::string(operation) + ": Client connection undefined.");
  return *c;
}

void TRtcAbsDataClientLink::Call_DataReceived(TRtcDataClient& Sender) {
  if (FLink) FLink->Call_DataReceived(Sender);
}
void TRtcAbsDataClientLink::Call_DataOut(TRtcDataClient& Sender) {
  if (FLink) FLink->Call_DataOut(Sender);
}
void TRtcAbsDataClientLink::Call_DataIn(TRtcDataClient& Sender) {
  if (FLink) FLink->Call_DataIn(Sender);
}
void TRtcAbsDataClientLink::Call_DataSent(TRtcDataClient& Sender) {
  if (FLink) FLink->Call_DataSent(Sender);
}
void TRtcAbsDataClientLink::Call_ReadyToSend(TRtcDataClient& Sender) {
  if (FLink) FLink->Call_ReadyToSend(Sender);
}
void TRtcAbsDataClientLink::Call_ConnectLost(TRtcDataClient& Sender) {
  if (FLink) FLink->Call_ConnectLost(Sender);
}

void TRtcAbsDataClientLink::PostRequest(std::unique_ptr<TRtcClientRequest> Req,
                                        bool FromInsideEvent) {
  requireClient("PostRequest")
      .PostRequestInfo(std::make_unique<TRtcDataRequestInfo>(std::move(Req), this),
                       FromInsideEvent);
}

void TRtcAbsDataClientLink::InsertRequest(std::unique_ptr<TRtcClientRequest> Req) {
  requireClient("InsertRequest")
      .InsertRequestInfo(std::make_unique<TRtcDataRequestInfo>(std::move(Req), this));
}

std::vector<std::unique_ptr<TRtcClientRequestInfo>> TRtcAbsDataClientLink::takeQueuedRequests(
    TRtcDataClient& Sender) {
  std::vector<std::unique_ptr<TRtcClientRequestInfo>> taken;
  std::lock_guard g(Sender.FLock);
  auto& queue = Sender.FQueue;
  for (auto it = queue.begin(); it != queue.end();) {
    auto* d = dynamic_cast<TRtcDataRequestInfo*>(it->get());
    if (d && d->Events() == this) {
      taken.push_back(std::move(*it));
      it = queue.erase(it);
    } else {
      ++it;
    }
  }
  if (!Sender.FActive && queue.empty()) Sender.markIdleLocked();
  return taken;
}

void TRtcAbsDataClientLink::SkipRequests() {
  requireClient("SkipRequests").SkipRequests();
}

void TRtcAbsDataClientLink::CancelRequests() {
  requireClient("CancelRequests").CancelRequests();
}

int TRtcAbsDataClientLink::RequestCount() {
  return requireClient("RequestCount").RequestCount();
}

TRtcWaitForCompletionResult TRtcAbsDataClientLink::DoWaitForCompletion(
    bool UserInteractionAllowed, int _Timeout, bool AllowMessageProcessing) {
  return requireClient("DoWaitForCompletion")
      .DoWaitForCompletion(UserInteractionAllowed, _Timeout, AllowMessageProcessing);
}

bool TRtcAbsDataClientLink::WaitForCompletion(bool UserInteractionAllowed, int _Timeout,
                                              bool AllowMessageProcessing) {
  return requireClient("WaitForCompletion")
      .WaitForCompletion(UserInteractionAllowed, _Timeout, AllowMessageProcessing);
}

void TRtcAbsDataClientLink::WaitForCompletionEx(bool UserInteractionAllowed, int _Timeout,
                                                bool AllowMessageProcessing) {
  requireClient("WaitForCompletionEx")
      .WaitForCompletionEx(UserInteractionAllowed, _Timeout, AllowMessageProcessing);
}

void TRtcAbsDataClientLink::fireEvent(const TRtcClientRequest::Event& ev, TRtcDataClient& Sender) {
  if (!ev) return;
  if (AutoSyncEvents)
    Sender.Sync(ev);
  else
    ev(Sender);
}

void TRtcAbsDataClientLink::parentBeginRequest(TRtcDataClient& Sender) {
  if (FLink)
    FLink->Call_BeginRequest(Sender);
  else if (FClient == &Sender)
    Sender.CallBeginRequest();
}
void TRtcAbsDataClientLink::parentResponseDone(TRtcDataClient& Sender) {
  if (FLink)
    FLink->Call_ResponseDone(Sender);
  else if (FClient == &Sender)
    Sender.CallResponseDone();
}
void TRtcAbsDataClientLink::parentResponseData(TRtcDataClient& Sender) {
  if (FLink)
    FLink->Call_ResponseData(Sender);
  else if (FClient == &Sender)
    Sender.CallResponseData();
}
void TRtcAbsDataClientLink::parentResponseAbort(TRtcDataClient& Sender) {
  if (FLink)
    FLink->Call_ResponseAbort(Sender);
  else if (FClient == &Sender)
    Sender.CallResponseAbort();
}
void TRtcAbsDataClientLink::parentResponseReject(TRtcDataClient& Sender) {
  if (FLink)
    FLink->Call_ResponseReject(Sender);
  else if (FClient == &Sender)
    Sender.CallResponseReject();
}
void TRtcAbsDataClientLink::parentSessionOpen(TRtcDataClient& Sender) {
  if (FLink)
    FLink->Call_SessionOpen(Sender);
  else if (FClient == &Sender)
    Sender.CallSessionOpen();
}
void TRtcAbsDataClientLink::parentSessionClose(TRtcDataClient& Sender) {
  if (FLink)
    FLink->Call_SessionClose(Sender);
  else if (FClient == &Sender)
    Sender.CallSessionClose();
}
void TRtcAbsDataClientLink::parentRepostCheck(TRtcDataClient& Sender) {
  if (FLink)
    FLink->Call_RepostCheck(Sender);
  else if (FClient == &Sender)
    Sender.CallRepostCheck();
}

// ---- TRtcDataClientLink ----

TRtcDataClientLink::~TRtcDataClientLink() {
  detachAndWait();
  for (TRtcAbsDataClientLink* child : FLinks) child->FLink = nullptr;
  FLinks.clear();
}

void TRtcDataClientLink::Call_BeginRequest(TRtcDataClient& Sender) {
  parentBeginRequest(Sender);
  if (!Sender.RequestInserted()) fireEvent(OnBeginRequest, Sender);
}

void TRtcDataClientLink::Call_ResponseData(TRtcDataClient& Sender) {
  fireEvent(OnResponseData, Sender);
  if (!Sender.Request().Skipped && !Sender.Response().Rejected) parentResponseData(Sender);
}

void TRtcDataClientLink::Call_ResponseDone(TRtcDataClient& Sender) {
  fireEvent(OnResponseDone, Sender);
  if (!Sender.Request().Skipped && !Sender.Response().Rejected) parentResponseDone(Sender);
}

void TRtcDataClientLink::Call_RepostCheck(TRtcDataClient& Sender) {
  fireEvent(OnRepostCheck, Sender);
  if (!Sender.Request().Reposting) parentRepostCheck(Sender);
}

void TRtcDataClientLink::Call_ResponseAbort(TRtcDataClient& Sender) {
  fireEvent(OnResponseAbort, Sender);
  if (!Sender.Request().Reposting) parentResponseAbort(Sender);
}

void TRtcDataClientLink::Call_ResponseReject(TRtcDataClient& Sender) {
  fireEvent(OnResponseReject, Sender);
  parentResponseReject(Sender);
}

void TRtcDataClientLink::Call_SessionOpen(TRtcDataClient& Sender) {
  fireEvent(OnSessionOpen, Sender);
  parentSessionOpen(Sender);
}

void TRtcDataClientLink::Call_SessionClose(TRtcDataClient& Sender) {
  fireEvent(OnSessionClose, Sender);
  parentSessionClose(Sender);
}

}  // namespace vtx
