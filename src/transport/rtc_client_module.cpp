#include "transport/rtc_client_module.h"

#include <zlib.h>

#include <random>

#include "transport/main_loop.h"
#include "util/exceptions.h"
#include "util/log.h"

namespace vtx {
namespace {

constexpr const char* kCallsInfo = "CLIMOD.CALL$";
constexpr const char* kLoginFlag = "CLIMOD.LOGIN$";
constexpr const char* kWrittenFlag = "ClientModule$";
constexpr const char* kResetCount = "ClientModule.Reset$";
constexpr std::size_t kMinCompress = 256;
// Largest inflated body accepted; a reply that would grow past it is refused.
constexpr std::size_t kMaxInflated = 256u * 1024 * 1024;

std::mt19937& rng() {
  thread_local std::mt19937 gen{std::random_device{}()};
  return gen;
}

int randomBelow(int n) {
  return std::uniform_int_distribution<int>(0, n - 1)(rng());
}

std::string randomBytes(std::size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(randomBelow(256));
  return s;
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string deflateText(const std::string& text, TRtcCompressLevel level) {
  const int z = level == TRtcCompressLevel::cFast  ? 1
                : level == TRtcCompressLevel::cMax ? 9
                                                   : Z_DEFAULT_COMPRESSION;
  uLongf size = compressBound(static_cast<uLong>(text.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()),
                z) != Z_OK)
    return {};
  out.resize(size);
  return out;
}

// Inflates a whole zlib stream; ERtcInfo when the data are not one or grow too large.
std::string inflateText(std::string_view data) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) throw ERtcInfo("Error decompressing data.");
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char buf[16384];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
    if (out.size() > kMaxInflated) rc = Z_MEM_ERROR;
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) throw ERtcInfo("Error decompressing data.");
  return out;
}

std::unique_ptr<TRtcCrypt> newCrypt(const std::string& key) {
  auto c = std::make_unique<TRtcCrypt>();
  c->setKey(key);
  return c;
}

bool isHandshake(const std::string& action) {
  return action == "HELLO" || action == "START";
}

}  // namespace

std::string NewControlKey(int32_t& counter) {
  counter = counter >= 99 ? 1 : counter + 1;
  const int r = randomBelow(5);
  std::string digits;
  int sum = 0;
  for (int i = 0; i < r + 5; ++i) {
    const int d = randomBelow(10);
    sum += d;
    digits.push_back(static_cast<char>('0' + d));
  }
  const int check = 53 - 9 * r + sum;
  std::string key;
  key.push_back(static_cast<char>('0' + check / 10));
  key.push_back(static_cast<char>('0' + check % 10));
  key.push_back(static_cast<char>('0' + counter / 10));
  key.push_back(static_cast<char>('0' + counter % 10));
  return key + digits;
}

void TRtcCryptClient::Init() {
  HaveHello = HaveStart = AllReady = Owed = false;
  ControlCounter = 0;
  ClientHello.clear();
  ServerHello.clear();
  ClientKey.clear();
  ServerKey.clear();
  ControlKey.clear();
  Read.reset();
  Write.reset();
}

// ---- configuration ----

TRtcClientModule::TRtcClientModule() {
  FLoginResult.OnReturn = [this](TRtcConnection* Sender, TRtcValue& Data, TRtcValue& Result) {
    auto* dc = dynamic_cast<TRtcDataClient*>(Sender);
    if (Result.isType() != rtc_Exception) {
      if (dc) dc->Session().setAsBoolean(kLoginFlag, true);
    } else if (dc) {
      // A refusal: every queued call needs the login and would only send it again.
      abortQueuedCalls(*dc);
    }
    if (OnLoginResult && Sender) OnLoginResult(*Sender, Data, Result);
  };
  FLoginResult.RequestAborted = [this](TRtcConnection* Sender, TRtcValue& Data, TRtcValue& Result) {
    if (OnLoginAborted && Sender) OnLoginAborted(*Sender, Data, Result);
  };
  FExecuteResult.OnReturn = [this](TRtcConnection*, TRtcValue&, TRtcValue& Result) {
    FLastResult = std::make_unique<TRtcValue>(Result.Extract());
  };
}

// Requests still queued for this module fall back to the connection's own events; a handler
// running on the connection's thread finishes before any member goes.
TRtcClientModule::~TRtcClientModule() {
  detachAndWait();
  std::lock_guard g(FInteractive->lock);
  FInteractive->closed = true;
  FInteractive->items.clear();
  if (FInteractive->timer) TRtcTimer::Stop(FInteractive->timer);
}

void TRtcClientModule::Release(std::unique_ptr<TRtcClientModule> self) {
  if (!self) return;
  InteractiveQueue& q = *self->FInteractive;
  std::unique_lock l(q.lock);
  if (q.items.empty()) {
    l.unlock();
    return;  // destroyed here
  }
  q.self = std::move(self);
}

std::size_t TRtcClientModule::InteractiveCount() {
  std::lock_guard g(FInteractive->lock);
  return FInteractive->items.size();
}

void TRtcClientModule::queueInteractive(TRtcInteractiveResult item) {
  std::lock_guard g(FInteractive->lock);
  FInteractive->items.push_back(std::move(item));
  if (FInteractive->timer) return;
  FInteractive->timer = TRtcTimer::Create(false);
  FInteractive->timer->Enable(1, [w = std::weak_ptr<InteractiveQueue>(FInteractive)] {
    if (auto q = w.lock()) deliverInteractive(q);
  });
}

void TRtcClientModule::deliverInteractive(const std::shared_ptr<InteractiveQueue>& q) {
  TRtcInteractiveResult item;
  {
    std::lock_guard g(q->lock);
    if (q->closed || q->items.empty()) return;
    item = std::move(q->items.front());
    q->items.pop_front();
  }
  try {
    TRtcResult::Call_Return(item.FEvent, nullptr, *item.Data, *item.Result);
  } catch (const std::exception& e) {
    WriteExceptionLog("TRtcClientModule.InteractiveResult", e);
  }
  std::unique_ptr<TRtcClientModule> self;  // a released module goes with its last result
  {
    std::lock_guard g(q->lock);
    if (!q->items.empty()) return;
    if (q->timer) TRtcTimer::Stop(q->timer);
    self = std::move(q->self);
  }
}

void TRtcClientModule::setModuleFileName(const std::string& name) {
  FModuleFileName = !name.empty() && name.front() != '/' ? "/" + name : name;
}

void TRtcClientModule::setModuleHost(const std::string& host) {
  FModuleHost = host;
  for (auto& c : FModuleHost)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

void TRtcClientModule::setEncryptionKey(int32_t len) {
  if (len < 0) throw ERtcInfo("Negative values not allowed for EncryptionKey.");
  FEncryptionKey = len;
  if (len > 0)
    FAutoSessions = true;
  else
    FForceEncryption = false;
}

void TRtcClientModule::setForceEncryption(bool on) {
  FForceEncryption = on;
  if (!on) return;
  FAutoSessions = true;
  if (FEncryptionKey == 0) FEncryptionKey = 16;
}

void TRtcClientModule::setAutoSessions(bool on) {
  FAutoSessions = on;
  if (on) return;
  FEncryptionKey = 0;
  FAutoLogin = false;
  FForceEncryption = false;
}

void TRtcClientModule::setAutoLogin(bool on) {
  FAutoLogin = on;
  if (on) FAutoSessions = true;
}

// ---- preparing and posting calls ----

TRtcClientModuleData& TRtcClientModule::threadData() {
  if (!HyperThreading || InMainThread()) return FMainData;
  std::lock_guard g(FLock);
  auto& d = FThreadData[std::this_thread::get_id()];
  if (!d) d = std::make_unique<TRtcClientModuleData>();
  return *d;
}

void TRtcClientModule::dropThreadData() {
  if (!HyperThreading || InMainThread()) return;
  std::lock_guard g(FLock);
  FThreadData.erase(std::this_thread::get_id());
}

TRtcValue& TRtcClientModule::Data() {
  auto& d = threadData();
  if (!d.FData) d.FData = std::make_unique<TRtcValue>();
  return *d.FData;
}

TRtcFunctionInfo& TRtcClientModule::Param() {
  TRtcFunctionInfo* f = Data().isType() == rtc_Function ? Data().asFunction() : nullptr;
  if (!f) throw ERtcInfo("Use Prepare() or Data.newFunction() to prepare a function object first.");
  return *f;
}

TRtcClientRequest& TRtcClientModule::Request() {
  auto& d = threadData();
  if (!d.FRequest) d.FRequest = std::make_unique<TRtcClientRequest>();
  return *d.FRequest;
}

int TRtcClientModule::CallsLevel() {
  return threadData().FPostLevel;
}

TRtcFunctionInfo& TRtcClientModule::Prepare(const std::string& FunctionName) {
  TRtcValue& d = Data();
  auto f = std::make_unique<TRtcFunctionInfo>(Widen(FunctionName));
  TRtcFunctionInfo& ref = *f;
  d.SetObject(std::move(f));
  return ref;
}

void TRtcClientModule::Call(TRtcResult* ResultHandler, bool FromInsideEvent,
                            TRtcDataClient* Sender) {
  auto& d = threadData();
  if (!d.FData || d.FData->isNull())
    throw ERtcInfo("No data defined. Use the Data property before \"Call\".");
  if (!d.FCalls) d.FCalls = std::make_unique<TRtcClientModuleCallsArray>();
  d.FCalls->FCalls.push_back(std::make_unique<TRtcValue>(d.FData->Extract()));
  d.FCalls->FEvents.push_back(ResultHandler);
  if (d.FPostLevel <= 0) {
    ++d.FPostLevel;
    Post(FromInsideEvent, Sender);
  }
}

void TRtcClientModule::StartCalls() {
  auto& d = threadData();
  ++d.FPostLevel;
  if (d.FData) d.FData->Clear();
}

void TRtcClientModule::CancelCalls() {
  auto& d = threadData();
  if (d.FPostLevel <= 0)
    throw ERtcInfo("\"CancelCalls\" can only be used in pair with \"StartCalls\"");
  d.FPostLevel = 0;
  d.FCalls.reset();
  if (d.FData) d.FData->Clear();
  dropThreadData();
}

std::unique_ptr<TRtcClientRequest> TRtcClientModule::newRequest(
    std::unique_ptr<TRtcClientRequest> req) const {
  if (!req) req = std::make_unique<TRtcClientRequest>();
  if (!FModuleFileName.empty()) req->setFileName(FModuleFileName);
  if (req->FileName().empty())
    throw ERtcInfo("Module FileName is undefined. Can not Post the request.");
  if (!FModuleHost.empty()) req->setHost(FModuleHost);
  req->setMethod("POST");
  return req;
}

void TRtcClientModule::Post(bool FromInsideEvent, TRtcDataClient* Sender) {
  auto& d = threadData();
  if (d.FPostLevel <= 0)
    throw ERtcInfo(
        "Have to use \"StartCalls\" before \"Post\"\r\nto post multiple calls in one "
        "request.");
  if (--d.FPostLevel > 0) return;
  if (!d.FCalls || d.FCalls->Count() == 0) return;
  std::unique_ptr<TRtcClientRequest> req;
  try {
    req = newRequest(std::move(d.FRequest));
  } catch (...) {
    d.FCalls.reset();  // not sent: they must not ride along with a later batch
    dropThreadData();
    throw;
  }
  req->Info().setObj(kCallsInfo, std::move(d.FCalls));
  dropThreadData();
  if (Sender)
    Sender->PostRequestInfo(std::make_unique<TRtcDataRequestInfo>(std::move(req), this),
                            FromInsideEvent);
  else
    PostRequest(std::move(req), FromInsideEvent);
}

// ---- Execute ----

void TRtcClientModule::executeCall(int timeout, bool allowMessages) {
  FLastResult.reset();
  Call(&FExecuteResult);
  const auto w = DoWaitForCompletion(false, timeout, allowMessages);
  if (w == TRtcWaitForCompletionResult::wait_OK && FLastResult) return;
  CancelRequests();
  switch (w) {
    case TRtcWaitForCompletionResult::wait_OK:
      throw ERtcExecuteError("Error: Connection problems, no response received.");
    case TRtcWaitForCompletionResult::wait_Timeout:
      throw ERtcExecuteError("Error: Connection problems, response timed out.");
    case TRtcWaitForCompletionResult::wait_Quit:
      throw ERtcExecuteError("Error: Application Terminating.");
    case TRtcWaitForCompletionResult::wait_Msg:
      throw ERtcExecuteError("Error: Unknown message received.");
    default:
      throw ERtcExecuteError("Error: Connection problems.");
  }
}

TRtcValue& TRtcClientModule::Execute(int _Timeout, bool AllowMessageProcessing) {
  executeCall(_Timeout, AllowMessageProcessing);
  return *FLastResult;
}

std::unique_ptr<TRtcValue> TRtcClientModule::ExecuteDetached(int _Timeout,
                                                             bool AllowMessageProcessing) {
  executeCall(_Timeout, AllowMessageProcessing);
  return std::move(FLastResult);
}

// ---- cipher state ----

TRtcCryptClient* TRtcClientModule::cryptState(TRtcDataClient& Sender) const {
  return dynamic_cast<TRtcCryptClient*>(Sender.Session().Obj(CryptObjectName()));
}

TRtcCryptClient& TRtcClientModule::newCryptState(TRtcDataClient& Sender) {
  if (TRtcCryptClient* c = cryptState(Sender)) {
    c->Init();
    return *c;
  }
  auto c = std::make_unique<TRtcCryptClient>();
  TRtcCryptClient& ref = *c;
  Sender.Session().setObj(CryptObjectName(), std::move(c));
  return ref;
}

void TRtcClientModule::dropCryptState(TRtcDataClient& Sender) {
  Sender.Session().SetNil(CryptObjectName());
}

// ---- starting a request ----

void TRtcClientModule::insertHandshake(TRtcDataClient& Sender, const char* action) {
  auto req = newRequest(nullptr);
  req->Query().setValue("ACTION", action);
  Sender.InsertRequestInfo(std::make_unique<TRtcDataRequestInfo>(std::move(req), this));
}

void TRtcClientModule::insertLogin(TRtcDataClient& Sender) {
  auto data = std::make_unique<TRtcValue>();
  TRtcValue& ref = *data;
  if (AutoSyncEvents) {
    if (!Sender.Sync(std::function<void(TRtcConnection&, TRtcValue&)>(OnLogin), ref))
      OnLogin(Sender, ref);
  } else {
    OnLogin(Sender, ref);
  }
  auto calls = std::make_unique<TRtcClientModuleCallsArray>();
  calls->FCalls.push_back(std::move(data));
  calls->FEvents.push_back(&FLoginResult);
  auto req = newRequest(nullptr);
  req->Info().setObj(kCallsInfo, std::move(calls));
  req->Info().setAsBoolean(kLoginFlag, true);
  Sender.InsertRequestInfo(std::make_unique<TRtcDataRequestInfo>(std::move(req), this));
}

void TRtcClientModule::writeHello(TRtcDataClient& Sender) {
  TRtcClientRequest& req = Sender.Request();
  TRtcCryptClient& c = newCryptState(Sender);
  c.ClientHello = randomBytes(static_cast<std::size_t>(FEncryptionKey));
  c.ControlKey = NewControlKey(c.ControlCounter);
  std::string body = c.ClientHello + "\r" + c.ControlKey;
  if (!SecureKey.empty()) newCrypt(SecureKey)->Crypt(body);
  req.Query().setValue("ID", Sender.Session().ID());
  req.Info().setAsBoolean(kWrittenFlag, true);
  Sender.Write(body);
}

void TRtcClientModule::writeStart(TRtcDataClient& Sender) {
  TRtcClientRequest& req = Sender.Request();
  TRtcCryptClient* c = cryptState(Sender);
  c->ClientKey = randomBytes(static_cast<std::size_t>(FEncryptionKey));
  c->ControlKey = NewControlKey(c->ControlCounter);
  std::string body = c->ClientKey + "\r" + c->ControlKey;
  if (c->Write) c->Write->Crypt(body);
  req.Query().setValue("ID", Sender.Session().ID());
  req.Info().setAsBoolean(kWrittenFlag, true);
  Sender.Write(body);
}

void TRtcClientModule::Call_BeginRequest(TRtcDataClient& Sender) {
  TRtcClientRequest& req = Sender.Request();
  FBody.clear();
  if (FResetLogin.exchange(false)) {
    Sender.Session().Close();
  }
  std::string action = req.Query().Value("ACTION");
  if (DataFormat == TRtcDataFormat::fmt_RTC && FEncryptionKey > 0) {
    TRtcCryptClient* c = cryptState(Sender);
    if (action == "HELLO") {
      try {
        return writeHello(Sender);
      } catch (const std::exception& e) {
        WriteExceptionLog("TRtcClientModule.BeginRequest HELLO", e);
        throw;
      }
    }
    if (!c || !c->HaveHello) return insertHandshake(Sender, "HELLO");
    if (action == "START") {
      try {
        return writeStart(Sender);
      } catch (const std::exception& e) {
        WriteExceptionLog("TRtcClientModule.BeginRequest START", e);
        throw;
      }
    }
    if (!c->HaveStart) return insertHandshake(Sender, "START");
  }

  const std::string& id = Sender.Session().ID();
  req.Query().setValue("ID", !id.empty() ? id : FAutoSessions ? "NEW" : "");

  if (FAutoLogin) {
    if (!OnLogin)
      throw ERtcInfo("OnLogin event missing for ClientModule \"" + FModuleFileName +
                     "\", but AutoLogin is TRUE.");
    if (!Sender.Session().asBoolean(kLoginFlag) && !req.Info().asBoolean(kLoginFlag))
      return insertLogin(Sender);
  }

  parentBeginRequest(Sender);
  auto interrupted = [&] {
    return Sender.RequestInserted() || req.Skipped || Sender.Response().Rejected;
  };
  if (interrupted()) return;
  fireEvent(OnBeginRequest, Sender);
  if (interrupted()) return;

  auto* calls = dynamic_cast<TRtcClientModuleCallsArray*>(req.Info().Obj(kCallsInfo));
  if (!calls) throw ERtcInfo("Internal error! ClientModule objects undefined!");
  TRtcCryptClient* c = cryptState(Sender);
  if (c && c->AllReady && c->Owed && action != "RESET") {
    action = "RESET";
    req.Query().setValue("ACTION", action);
  }
  if (c && action == "RESET") {
    c->Write = newCrypt(c->ServerKey + c->ClientHello);
    c->Read = newCrypt(c->ClientKey + c->ServerHello);
    c->ControlCounter = 0;
  }
  if (DataFormat == TRtcDataFormat::fmt_RTC) req.Info().setAsBoolean(kWrittenFlag, true);
  writeCalls(Sender, *calls, c);
}

void TRtcClientModule::writeCalls(TRtcDataClient& Sender, TRtcClientModuleCallsArray& calls,
                                  TRtcCryptClient* c) {
  TRtcCrypt* w = c ? c->Write.get() : nullptr;
  auto put = [&](std::string piece) {
    if (w) w->Crypt(piece);
    Sender.Write(piece);
  };
  bool packed = false;
  if (Compression == TRtcCompressLevel::cNone) {
    for (const auto& call : calls.FCalls) put(call->toCode());
  } else {
    std::string text;
    for (const auto& call : calls.FCalls) call->to_Code(text);
    if (text.size() >= kMinCompress) {
      std::string z = deflateText(text, Compression);
      if (!z.empty() && z.size() < text.size() - 1) {
        put(std::move(z));
        put(std::string(1, '\0'));
        packed = true;
      }
    }
    if (!packed) put(std::move(text));
  }
  if (w) {
    c->ControlKey = NewControlKey(c->ControlCounter);
    put(packed ? c->ControlKey : "\r" + c->ControlKey);
    c->Owed = true;
  }
}

// ---- response ----

void TRtcClientModule::Call_DataReceived(TRtcDataClient& Sender) {
  FBody += Sender.Read();
  if (!Sender.Response().Done) return;
  if (AutoSyncEvents && !InMainThread()) {
    const TRtcNotifyEvent run = [this](TRtcConnection& s) {
      processResponse(static_cast<TRtcDataClient&>(s));
    };
    if (Sender.Sync(run)) return;
  }
  processResponse(Sender);
}

void TRtcClientModule::processResponse(TRtcDataClient& Sender) {
  TRtcClientRequest& req = Sender.Request();
  std::string body = std::move(FBody);
  FBody.clear();
  const int status = Sender.Response().StatusCode();
  // A refusal leaves the gateway's reply cipher where it was: the ciphers are still in step.
  if (TRtcCryptClient* c = cryptState(Sender); c && status != 200) c->Owed = false;
  switch (status) {
    case 200:
      break;
    case 409:
      return wrongKey(Sender);
    case 410:
      dropCryptState(Sender);
      fireEvent(OnSessionExpired, Sender);
      Sender.Session().Close();
      req.Query().setValue("ID", "");
      if (req.Reposted == 0) return req.Repost();
      return repostOrAbort(Sender);
    case 412:
      return failWith(Sender, true, OnEncryptRequired);
    case 417:
      return failWith(Sender, true, OnEncryptWrongKey);
    default:
      return failWith(Sender, true, OnResponseError);
  }
  const std::string action = req.Query().Value("ACTION");
  if (DataFormat == TRtcDataFormat::fmt_RTC && FEncryptionKey > 0 && action == "HELLO")
    return helloReply(Sender, std::move(body));
  if (DataFormat == TRtcDataFormat::fmt_RTC && FEncryptionKey > 0 && action == "START")
    return startReply(Sender, std::move(body));
  dataReply(Sender, std::move(body));
}

void TRtcClientModule::helloReply(TRtcDataClient& Sender, std::string body) {
  TRtcClientSession& session = Sender.Session();
  const std::string cookie = Sender.Response().Cookie().Value("ID");
  TRtcCryptClient* c = cryptState(Sender);
  if (!c) c = &newCryptState(Sender);
  if (!cookie.empty() && cookie != session.ID()) {
    const std::string hello = c->ClientHello, key = c->ControlKey;
    const int32_t counter = c->ControlCounter;
    session.Open(cookie);  // clears the session's objects, the old state with them
    c = &newCryptState(Sender);
    c->ClientHello = hello;
    c->ControlKey = key;
    c->ControlCounter = counter;
  } else if (session.ID().empty() && cookie.empty() && FForceEncryption) {
    return responseError(Sender, "Session ID missing in HELLO reply.");
  }
  c->HaveHello = true;
  if (body.empty()) {
    if (FForceEncryption) return notSupported(Sender);
    c->Init();
    c->HaveHello = c->HaveStart = true;
    return;
  }
  if (body.size() <= c->ControlKey.size()) return failWith(Sender, true, OnEncryptWrongKey);
  c->Read = newCrypt(c->ClientHello);
  c->Read->DeCrypt(body);
  if (!endsWith(body, c->ControlKey)) return failWith(Sender, true, OnEncryptWrongKey);
  c->ServerHello = body.substr(0, body.size() - c->ControlKey.size());
  c->Write = newCrypt(c->ServerHello);
}

void TRtcClientModule::startReply(TRtcDataClient& Sender, std::string body) {
  TRtcCryptClient* c = cryptState(Sender);
  if (!c) return failWith(Sender, true, OnEncryptWrongKey);
  c->HaveStart = true;
  if (body.empty()) {
    if (FForceEncryption) return notSupported(Sender);
    c->Init();
    c->HaveHello = c->HaveStart = true;
    return;
  }
  if (body.size() <= c->ControlKey.size()) return failWith(Sender, true, OnEncryptWrongKey);
  c->Read = newCrypt(c->ClientKey + c->ServerHello);
  c->Read->DeCrypt(body);
  if (!endsWith(body, c->ControlKey)) return failWith(Sender, true, OnEncryptWrongKey);
  c->ServerKey = body.substr(0, body.size() - c->ControlKey.size());
  c->Write = newCrypt(c->ServerKey + c->ClientHello);
  c->AllReady = true;
}

void TRtcClientModule::dataReply(TRtcDataClient& Sender, std::string body) {
  TRtcClientRequest& req = Sender.Request();
  TRtcClientSession& session = Sender.Session();
  const std::string cookie = Sender.Response().Cookie().Value("ID");
  const std::string sentId = req.Query().Value("ID");
  if (!cookie.empty() && ((sentId == "NEW" && cookie != session.ID()) ||
                          (!sentId.empty() && sentId != "NEW" && cookie != session.ID())))
    session.Open(cookie);

  std::vector<std::unique_ptr<TRtcValue>> results;
  TRtcClientModuleCallsArray* calls = nullptr;
  try {
    calls = dynamic_cast<TRtcClientModuleCallsArray*>(req.Info().Obj(kCallsInfo));
    if (!calls) throw ERtcInfo("Internal error! ClientModule objects undefined!");
    TRtcCryptClient* c = DataFormat == TRtcDataFormat::fmt_RTC ? cryptState(Sender) : nullptr;
    std::string text;
    if (c && c->Read) {
      const std::size_t klen = c->ControlKey.size();
      if (body.size() <= klen) return wrongKey(Sender);
      c->Read->DeCrypt(body);
      if (!endsWith(body, c->ControlKey)) return wrongKey(Sender);
      c->Owed = false;
      body.resize(body.size() - klen);
      if (!body.empty() && body.back() == '\0') {
        try {
          text = inflateText(std::string_view(body).substr(0, body.size() - 1));
        } catch (const std::exception& e) {
          WriteExceptionLog("TRtcClientModule.DataReceived DECOMPRESS-1", e);
          throw;
        }
      } else {
        text = std::move(body);
      }
    } else if (FForceEncryption && FEncryptionKey > 0) {
      return notSupported(Sender);
    } else if (!body.empty() && body.back() == '\0') {
      try {
        text = inflateText(std::string_view(body).substr(0, body.size() - 1));
      } catch (const std::exception& e) {
        WriteExceptionLog("TRtcClientModule.DataReceived DECOMPRESS-2", e);
        throw;
      }
    } else {
      text = std::move(body);
    }
    if (text.empty()) throw ERtcInfo("No data received.");
    // Every result is read before any is delivered, so a damaged reply delivers none.
    std::size_t at = 0;
    while (at < text.size()) {
      auto v = TRtcValue::FromCode(text, at);
      if (!v || v->isNull()) throw ERtcInfo("Response missing a result.");
      if (static_cast<int>(results.size()) >= calls->Count())
        throw ERtcInfo("More Results received than Calls sent.");
      results.push_back(std::move(v));
    }
  } catch (const std::exception& e) {
    WriteExceptionLog("TRtcClientModule.DataReceived EXCEPTION", e);
    return responseError(Sender, e.what());
  }
  deliverResults(Sender, *calls, results);
  abortUnanswered(Sender, *calls, results.size());
  req.Info().SetNil(kCallsInfo);
}

void TRtcClientModule::abortQueuedCalls(TRtcDataClient& Sender) {
  for (auto& info : takeQueuedRequests(Sender)) {
    auto* calls =
        dynamic_cast<TRtcClientModuleCallsArray*>(info->Get_Request().Info().Obj(kCallsInfo));
    if (calls) abortUnanswered(Sender, *calls, 0);
  }
}

void TRtcClientModule::abortUnanswered(TRtcDataClient& Sender, TRtcClientModuleCallsArray& calls,
                                       std::size_t answered) {
  TRtcValue none;
  for (std::size_t i = answered; i < calls.FCalls.size(); ++i) {
    try {
      TRtcResult::Call_Aborted(calls.FEvents[i], &Sender, *calls.FCalls[i], none);
    } catch (const std::exception& e) {
      WriteExceptionLog("TRtcClientModule.RequestAborted", e);
    }
  }
}

void TRtcClientModule::deliverResults(TRtcDataClient& Sender, TRtcClientModuleCallsArray& calls,
                                      std::vector<std::unique_ptr<TRtcValue>>& results) {
  for (std::size_t i = 0; i < results.size(); ++i) {
    TRtcResult* handler = calls.FEvents[i];
    if (!handler) continue;
    TRtcValue& data = *calls.FCalls[i];
    try {
      TRtcResult::Call_Return(handler, &Sender, data, *results[i]);
    } catch (const EPostInteractive&) {
      queueInteractive({handler, std::move(calls.FCalls[i]), std::move(results[i])});
      calls.FCalls[i] = std::make_unique<TRtcValue>();
    } catch (const std::exception& e) {
      WriteExceptionLog("TRtcClientModule.DataReceived RESULT", e);
      if (OnResultError) {
        try {
          OnResultError(Sender, data, *results[i], e);
        } catch (const std::exception& e2) {
          WriteExceptionLog("TRtcClientModule.DataReceived RESULT", e2);
        }
      }
    }
    results[i].reset();
  }
}

// ---- failure paths ----

void TRtcClientModule::failWith(TRtcDataClient& Sender, bool dropState, const TRtcNotifyEvent& ev) {
  if (dropState) dropCryptState(Sender);
  fireEvent(ev, Sender);
  repostOrAbort(Sender);
}

void TRtcClientModule::wrongKey(TRtcDataClient& Sender) {
  resetStep(Sender);
  fireEvent(OnEncryptWrongKey, Sender);
  repostOrAbort(Sender);
}

void TRtcClientModule::notSupported(TRtcDataClient& Sender) {
  failWith(Sender, true, OnEncryptNotSupported);
}

void TRtcClientModule::responseError(TRtcDataClient& Sender, const std::string& text) {
  Sender.Response().setStatus(0, text);
  failWith(Sender, true, OnResponseError);
}

void TRtcClientModule::resetStep(TRtcDataClient& Sender) {
  TRtcClientRequest& req = Sender.Request();
  TRtcCryptClient* c = cryptState(Sender);
  const int tries = req.Info().asInteger(kResetCount);
  if (c && c->AllReady && tries < 3) {
    req.Info().setAsInteger(kResetCount, tries + 1);
    req.Query().setValue("ACTION", "RESET");
  } else {
    dropCryptState(Sender);
  }
}

void TRtcClientModule::repostOrAbort(TRtcDataClient& Sender) {
  Call_RepostCheck(Sender);
  if (!Sender.Request().Reposting) Call_ResponseAbort(Sender);
}

void TRtcClientModule::Call_RepostCheck(TRtcDataClient& Sender) {
  TRtcClientRequest& req = Sender.Request();
  if (req.Info().asBoolean(kWrittenFlag)) {
    if (req.Info().Obj(kCallsInfo) && !isHandshake(req.Query().Value("ACTION")))
      resetStep(Sender);
    else
      dropCryptState(Sender);
  }
  const int32_t limit = AutoRepost;
  if (limit < 0 || req.Reposted < static_cast<uint32_t>(limit)) req.Repost();
  if (req.Reposting) return;
  fireEvent(OnRepostCheck, Sender);
  parentRepostCheck(Sender);
}

void TRtcClientModule::Call_ResponseAbort(TRtcDataClient& Sender) {
  if (Sender.Request().Reposting) return;
  fireEvent(OnResponseAbort, Sender);
  parentResponseAbort(Sender);
  if (!Sender.Request().Reposting) notifyAborted(Sender);
}

void TRtcClientModule::notifyAborted(TRtcDataClient& Sender) {
  TRtcClientRequest& req = Sender.Request();
  auto* calls = dynamic_cast<TRtcClientModuleCallsArray*>(req.Info().Obj(kCallsInfo));
  if (!calls) return;
  auto run = [&] {
    TRtcValue none;
    for (int i = 0; i < calls->Count(); ++i) {
      try {
        TRtcResult::Call_Aborted(calls->FEvents[i], &Sender, *calls->FCalls[i], none);
      } catch (const std::exception& e) {
        WriteExceptionLog("TRtcClientModule.RequestAborted", e);
      }
    }
  };
  if (AutoSyncEvents) {
    const TRtcNotifyEvent ev = [&](TRtcConnection&) { run(); };
    if (!Sender.Sync(ev)) run();
  } else {
    run();
  }
  req.Info().SetNil(kCallsInfo);  // notified once
}

// ---- chained events ----

void TRtcClientModule::Call_ResponseDone(TRtcDataClient& Sender) {
  fireEvent(OnResponseDone, Sender);
  if (!Sender.Request().Skipped && !Sender.Response().Rejected) parentResponseDone(Sender);
}

void TRtcClientModule::Call_ResponseData(TRtcDataClient& Sender) {
  if (!Sender.Request().Skipped && !Sender.Response().Rejected) parentResponseData(Sender);
}

void TRtcClientModule::Call_ResponseReject(TRtcDataClient& Sender) {
  fireEvent(OnResponseReject, Sender);
  parentResponseReject(Sender);
}

void TRtcClientModule::Call_SessionOpen(TRtcDataClient& Sender) {
  fireEvent(OnSessionOpen, Sender);
  parentSessionOpen(Sender);
}

void TRtcClientModule::Call_SessionClose(TRtcDataClient& Sender) {
  fireEvent(OnSessionClose, Sender);
  parentSessionClose(Sender);
}

void TRtcClientModule::Call_ConnectLost(TRtcDataClient& Sender) {
  FBody.clear();
  fireEvent(OnConnectLost, Sender);
  TRtcAbsDataClientLink::Call_ConnectLost(Sender);
}

}  // namespace vtx
