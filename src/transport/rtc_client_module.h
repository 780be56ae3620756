// The remote function client: a link on a data client that batches function calls into HTTP
// POST requests written as code text, keeps a server session, runs the HELLO/START handshake
// that keys the body ciphers, logs in automatically, reposts failed requests and hands each
// result back to the handler of the call it answers (results are matched by order).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/crypt.h"
#include "transport/rtc_data_client.h"
#include "transport/rtc_result.h"
#include "transport/rtc_timer.h"
#include "values/values.h"

namespace vtx {

enum class TRtcDataFormat { fmt_RTC, fmt_XMLRPC };
enum class TRtcCompressLevel { cNone, cFast, cDefault, cMax };

using TRtcFunctionPrepareEvent = std::function<void(TRtcConnection& Sender, TRtcValue& Data)>;
using TRtcModuleResultEvent =
    std::function<void(TRtcConnection& Sender, TRtcValue& Data, TRtcValue& Result)>;
using TRtcResultErrorEvent = std::function<void(TRtcConnection& Sender, TRtcValue& Data,
                                                TRtcValue& Result, const std::exception& E)>;

// The calls of one request, in order, with one handler (or none) per call.
class TRtcClientModuleCallsArray : public TRtcObject {
 public:
  std::vector<std::unique_ptr<TRtcValue>> FCalls;
  std::vector<TRtcResult*> FEvents;
  int Count() const { return static_cast<int>(FCalls.size()); }
};

// Cipher state of one connection session, kept in the session's object store.
class TRtcCryptClient : public TRtcObject {
 public:
  bool HaveHello = false, HaveStart = false, AllReady = false;
  // An enciphered request went out and no reply was read with the cipher since: the exchange
  // was abandoned (cut, skipped or aborted) and the next request restarts both ciphers.
  bool Owed = false;
  int32_t ControlCounter = 0;
  std::string ClientHello, ServerHello, ClientKey, ServerKey, ControlKey;
  std::unique_ptr<TRtcCrypt> Read, Write;
  void Init();
};

// Call preparation state of one thread (or the shared one).
struct TRtcClientModuleData {
  std::unique_ptr<TRtcClientRequest> FRequest;
  std::unique_ptr<TRtcValue> FData;
  int FPostLevel = 0;
  std::unique_ptr<TRtcClientModuleCallsArray> FCalls;
};

// A result whose handler asked (EPostInteractive) to receive it later, outside the connection.
struct TRtcInteractiveResult {
  TRtcResult* FEvent = nullptr;
  std::unique_ptr<TRtcValue> Data, Result;
};

// A fresh control key: check digits, the counter (advanced, 1..99) and 5..9 random digits.
std::string NewControlKey(int32_t& counter);

class TRtcClientModule : public TRtcAbsDataClientLink {
 public:
  TRtcClientModule();
  ~TRtcClientModule() override;

  // Configuration.
  const std::string& ModuleFileName() const { return FModuleFileName; }
  void setModuleFileName(const std::string& name);  // "/" prepended when missing
  const std::string& ModuleHost() const { return FModuleHost; }
  void setModuleHost(const std::string& host);  // stored upper-cased
  TRtcDataFormat DataFormat = TRtcDataFormat::fmt_RTC;
  int32_t EncryptionKey() const { return FEncryptionKey; }
  void setEncryptionKey(int32_t len);
  std::string SecureKey;
  bool ForceEncryption() const { return FForceEncryption; }
  void setForceEncryption(bool on);
  bool AutoSessions() const { return FAutoSessions; }
  void setAutoSessions(bool on);
  bool AutoLogin() const { return FAutoLogin; }
  void setAutoLogin(bool on);
  // Written by the application, read by the connection's jobs.
  std::atomic<int32_t> AutoRepost{0};  // negative: without limit
  TRtcCompressLevel Compression = TRtcCompressLevel::cNone;
  bool HyperThreading = false;

  // Events.
  TRtcNotifyEvent OnBeginRequest, OnResponseDone, OnResponseAbort, OnResponseReject,
      OnResponseError, OnRepostCheck, OnSessionOpen, OnSessionClose, OnSessionExpired,
      OnConnectLost, OnEncryptWrongKey, OnEncryptNotSupported, OnEncryptRequired;
  TRtcFunctionPrepareEvent OnLogin;
  TRtcModuleResultEvent OnLoginResult, OnLoginAborted;
  TRtcResultErrorEvent OnResultError;

  // The value the current thread prepares (created on first use).
  TRtcValue& Data();
  // The call inside Data; ERtcInfo when Data holds no function call.
  TRtcFunctionInfo& Param();
  // The request the next Post sends (created on first use).
  TRtcClientRequest& Request();
  int CallsLevel();
  TRtcValue* LastResult() const { return FLastResult.get(); }

  // Clears Data and starts a call of that name in it.
  TRtcFunctionInfo& Prepare(const std::string& FunctionName);
  // Queues the prepared value with its handler; posts at once unless a batch is open.
  void Call(TRtcResult* ResultHandler, bool FromInsideEvent = false,
            TRtcDataClient* Sender = nullptr);
  void StartCalls();
  void Post(bool FromInsideEvent = false, TRtcDataClient* Sender = nullptr);
  void CancelCalls();
  // Synchronous call. The result stays the module's (LastResult); ERtcExecuteError on failure.
  TRtcValue& Execute(int _Timeout = 0, bool AllowMessageProcessing = true);
  // The same, handing the result to the caller.
  std::unique_ptr<TRtcValue> ExecuteDetached(int _Timeout = 0, bool AllowMessageProcessing = true);
  // The next request closes the session first.
  void ResetLogin() { FResetLogin = true; }
  // Hands the module its own ownership: it destroys itself once its pending interactive
  // results are delivered (at once when there are none).
  static void Release(std::unique_ptr<TRtcClientModule> self);
  // Interactive results not yet delivered.
  std::size_t InteractiveCount();

  // The name of the cipher state in the session's object store.
  std::string CryptObjectName() const { return FModuleHost + FModuleFileName + ".$CLI-CRYPT$"; }

  // Link handlers.
  void Call_BeginRequest(TRtcDataClient& Sender) override;
  void Call_ResponseDone(TRtcDataClient& Sender) override;
  void Call_ResponseData(TRtcDataClient& Sender) override;
  void Call_ResponseAbort(TRtcDataClient& Sender) override;
  void Call_ResponseReject(TRtcDataClient& Sender) override;
  void Call_SessionOpen(TRtcDataClient& Sender) override;
  void Call_SessionClose(TRtcDataClient& Sender) override;
  void Call_DataReceived(TRtcDataClient& Sender) override;
  void Call_ConnectLost(TRtcDataClient& Sender) override;
  void Call_RepostCheck(TRtcDataClient& Sender) override;

 private:
  TRtcClientModuleData& threadData();
  void dropThreadData();
  std::unique_ptr<TRtcClientRequest> newRequest(std::unique_ptr<TRtcClientRequest> req) const;
  void executeCall(int timeout, bool allowMessages);

  TRtcCryptClient* cryptState(TRtcDataClient& Sender) const;
  TRtcCryptClient& newCryptState(TRtcDataClient& Sender);
  void dropCryptState(TRtcDataClient& Sender);
  void insertHandshake(TRtcDataClient& Sender, const char* action);
  void insertLogin(TRtcDataClient& Sender);
  void writeHello(TRtcDataClient& Sender);
  void writeStart(TRtcDataClient& Sender);
  void writeCalls(TRtcDataClient& Sender, TRtcClientModuleCallsArray& calls,
                  TRtcCryptClient* crypt);

  void processResponse(TRtcDataClient& Sender);
  void helloReply(TRtcDataClient& Sender, std::string body);
  void startReply(TRtcDataClient& Sender, std::string body);
  void dataReply(TRtcDataClient& Sender, std::string body);
  void deliverResults(TRtcDataClient& Sender, TRtcClientModuleCallsArray& calls,
                      std::vector<std::unique_ptr<TRtcValue>>& results);
  // A refused login: this module's queued requests leave the connection, their calls aborted.
  void abortQueuedCalls(TRtcDataClient& Sender);
  // A reply shorter than its request: the calls it did not answer are aborted.
  void abortUnanswered(TRtcDataClient& Sender, TRtcClientModuleCallsArray& calls,
                       std::size_t answered);
  // Failure paths of a response: the event, then the repost check (and abort).
  void failWith(TRtcDataClient& Sender, bool dropState, const TRtcNotifyEvent& ev);
  void wrongKey(TRtcDataClient& Sender);  // 409 path
  void notSupported(TRtcDataClient& Sender);
  void responseError(TRtcDataClient& Sender, const std::string& text);
  void resetStep(TRtcDataClient& Sender);
  void repostOrAbort(TRtcDataClient& Sender);
  void notifyAborted(TRtcDataClient& Sender);

  std::string FModuleFileName, FModuleHost;
  // Settings written by the application and read by the connection's jobs.
  std::atomic<int32_t> FEncryptionKey{0};
  std::atomic<bool> FForceEncryption{false}, FAutoSessions{false}, FAutoLogin{false};
  std::atomic<bool> FResetLogin{false};

  std::mutex FLock;  // guards the per-thread call data
  TRtcClientModuleData FMainData;
  std::map<std::thread::id, std::unique_ptr<TRtcClientModuleData>> FThreadData;

  // Shared with the delivery timer, so a delivery that outlives the module touches only this.
  struct InteractiveQueue {
    std::mutex lock;
    std::deque<TRtcInteractiveResult> items;
    TRtcTimer::Ptr timer;
    std::unique_ptr<TRtcClientModule> self;  // set by Release while results are pending
    bool closed = false;                     // the module is gone
  };
  void queueInteractive(TRtcInteractiveResult item);
  static void deliverInteractive(const std::shared_ptr<InteractiveQueue>& q);
  std::shared_ptr<InteractiveQueue> FInteractive = std::make_shared<InteractiveQueue>();

  std::string FBody;  // response body read so far (connection thread)
  std::unique_ptr<TRtcValue> FLastResult;
  TRtcResult FLoginResult, FExecuteResult;
};

}  // namespace vtx
