#include "portal/portal_cli.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "platform/system_info.h"
#include "transport/main_loop.h"
#include "transport/rtc_data_client.h"
#include "util/datetime.h"
#include "util/exceptions.h"
#include "util/log.h"
#include "util/text.h"

namespace vtx {
namespace {

std::string trimmed(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

RtcWideString wide(const std::string& s) {
  return Utf8Decode(s);
}

// The text an error or result value carries.
std::string valueText(TRtcValue& v) {
  if (v.isType() == rtc_Exception) return Utf8Encode(v.asException());
  try {
    return Utf8Encode(v.asText());
  } catch (const std::exception&) {
    return {};
  }
}

// A field read as text or Boolean; what cannot be read so counts as empty / false.
std::string textField(TRtcRecord& rec, const char* name) {
  try {
    return Utf8Encode(rec.asText(name));
  } catch (const std::exception&) {
    return {};
  }
}
bool flagField(TRtcRecord& rec, const char* name) {
  try {
    return rec.asBoolean(name);
  } catch (const std::exception&) {
    return false;
  }
}

TRtcDataClient* dataClient(TRtcConnection* c) {
  return dynamic_cast<TRtcDataClient*>(c);
}

template <class F, class... A>
std::function<void()> bound(const F& handler, A&&... args) {
  if (!handler) return {};
  return [&handler, &args...] { handler(args...); };
}

}  // namespace

std::string NewPortalLoginID() {
  try {
    std::random_device rd;
    std::mt19937_64 gen((static_cast<uint64_t>(rd()) << 32) ^ rd());
    unsigned char b[16];
    for (int i = 0; i < 16; i += 8) {
      const uint64_t r = gen();
      for (int k = 0; k < 8; ++k) b[i + k] = static_cast<unsigned char>(r >> (8 * k));
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // variant
    const unsigned data1 =
        (unsigned(b[0]) << 24) | (unsigned(b[1]) << 16) | (unsigned(b[2]) << 8) | b[3];
    const unsigned data2 = (unsigned(b[4]) << 8) | b[5];
    const unsigned data3 = (unsigned(b[6]) << 8) | b[7];
    char out[33];
    std::snprintf(out, sizeof out, "%.8X%.4X%.4X%.2X%.2X%.2X%.2X%.2X%.2X%.2X%.2X", data1, data2,
                  data3, b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return out;
  } catch (const std::exception&) {
    return {};
  }
}

std::string GatewayErrorText(int condition) {
  switch (condition) {
    case -5:
      return "Response from the Gateway was rejected.";
    case -4:
      return "Invalid Encryption/Secure Key.";
    case -3:
      return "Gateway requires Encryption.";
    case -2:
      return "Gateway does NOT support Encryption.";
    case -1:
      return "Unable to connect to the Gateway.";
    default:
      return "Invalid response from the Gateway (code " + std::to_string(condition) + ").";
  }
}

TRtcPortalCli::TRtcPortalCli(const SystemInfo* system)
    : FGetModule(std::make_unique<TRtcClientModule>()),
      FPutModule(std::make_unique<TRtcClientModule>()),
      FSystem(system) {
  setupChannel(*FGetModule, true);
  setupChannel(*FPutModule, false);
  RGet.OnReturn = [this](TRtcConnection* s, TRtcValue&, TRtcValue& r) { onGetResult(s, r); };
  RPut.OnReturn = [this](TRtcConnection* s, TRtcValue& call, TRtcValue& r) {
    onPutResult(s, call, r);
  };
  RPut.RequestAborted = [this](TRtcConnection*, TRtcValue&, TRtcValue&) {
    std::lock_guard g(FLock);
    NowSending = false;
  };
  RPreStart.OnReturn = [this](TRtcConnection* s, TRtcValue&, TRtcValue& r) {
    onPreStartResult(s, r);
  };
  RStart.OnReturn = [this](TRtcConnection* s, TRtcValue&, TRtcValue& r) { onStartResult(s, r); };
  RLogout.OnReturn = [this](TRtcConnection* s, TRtcValue&, TRtcValue& r) { onLogoutResult(s, r); };
  RGetParams.OnReturn = [this](TRtcConnection* s, TRtcValue&, TRtcValue& r) {
    onParamsResult(s, r);
  };
  RSetParam.OnReturn = [this](TRtcConnection* s, TRtcValue&, TRtcValue& r) {
    if (r.isType() == rtc_Exception) DispatchError(s, valueText(r), false, false);
  };
  RChangePassword.OnReturn = [this](TRtcConnection* s, TRtcValue&, TRtcValue& r) {
    const std::string text = valueText(r);
    CallEvent(s, "ChangedPassword", true, bound(OnInformationMessage, *this, text), &r);
  };
  ResetSession();
}

TRtcPortalCli::~TRtcPortalCli() {
  stopTimers();
}

void TRtcPortalCli::setSystemInfo(const SystemInfo* system) {
  FSystem = system;
}

void TRtcPortalCli::setupChannel(TRtcClientModule& m, bool get) {
  m.setAutoSessions(true);
  m.HyperThreading = true;
  m.setAutoLogin(true);
  m.setModuleFileName("/$rdgate");
  std::atomic<int>& err = get ? FErrorGet : FErrorPut;
  m.OnLogin = [this](TRtcConnection& c, TRtcValue& data) { prepareLogin(c, data); };
  m.OnLoginResult = [this, get](TRtcConnection& c, TRtcValue&, TRtcValue& r) {
    loginResult(c, r, get);
  };
  m.OnBeginRequest = [&err](TRtcConnection&) { err = -1; };
  m.OnConnectLost = [&err](TRtcConnection&) { err = -1; };
  m.OnEncryptNotSupported = [&err](TRtcConnection&) { err = -2; };
  m.OnEncryptRequired = [&err](TRtcConnection&) { err = -3; };
  m.OnEncryptWrongKey = [&err](TRtcConnection&) { err = -4; };
  m.OnResponseReject = [&err](TRtcConnection&) { err = -5; };
  m.OnResponseError = [&err](TRtcConnection& c) {
    if (auto* dc = dynamic_cast<TRtcDataClient*>(&c)) err = dc->Response().StatusCode();
  };
  m.OnResponseAbort = [this, get](TRtcConnection& c) { channelAborted(c, get); };
}

void TRtcPortalCli::setDataEncrypt(int len) {
  FGetModule->setEncryptionKey(len);
  FPutModule->setEncryptionKey(len);
}
void TRtcPortalCli::setDataSecureKey(const std::string& key) {
  FGetModule->SecureKey = key;
  FPutModule->SecureKey = key;
}
void TRtcPortalCli::setDataForceEncrypt(bool on) {
  FGetModule->setForceEncryption(on);
  FPutModule->setForceEncryption(on);
}

std::string TRtcPortalCli::LoginPassword() const {
  std::lock_guard g(FLock);
  return FLoginPassword;
}

void TRtcPortalCli::setLoginPassword(const std::string& password) {
  const std::string value = trimmed(password);
  if (value == LoginPassword()) return;
  if (LoggedIn()) LogoutSession();
  {
    std::lock_guard g(FLock);
    FLoginPassword = value;
  }
  ResetSession();
}

void TRtcPortalCli::setLoginUserName(const std::string& name) {
  const std::string value = trimmed(name);
  if (value == LoginUserName()) return;
  if (LoggedIn()) LogoutSession();
  TAbsPortalClient::setLoginUserName(value);
  ResetSession();
}

void TRtcPortalCli::setUserVisible(bool on) {
  if (on == FPublish) return;
  if (LoggedIn()) LogoutSession();
  FPublish = on;
}

void TRtcPortalCli::setUserNotify(bool on) {
  if (on == FSubscribe) return;
  if (LoggedIn()) LogoutSession();
  FSubscribe = on;
}

void TRtcPortalCli::setGParamsLoaded(bool on) {
  if (!on) {
    FParamsLoaded = false;
    return;
  }
  call(*FPutModule, RGetParams, nullptr, false);
}

bool TRtcPortalCli::LoggedIn() const {
  std::lock_guard g(FLock);
  return FLoggedIn;
}

void TRtcPortalCli::setLoggedIn(bool on) {
  std::lock_guard g(FLock);
  FLoggedIn = on;
}

std::string TRtcPortalCli::LoginID() const {
  std::lock_guard g(FLock);
  return FLoginID;
}

std::unique_ptr<TRtcRecord> TRtcPortalCli::UserInfos() const {
  std::lock_guard g(FInfoLock);
  return copyOf(FUserInfos);
}

void TRtcPortalCli::setActive(bool on) {
  {
    std::lock_guard g(FInfoLock);
    FUserInfos.Clear();
  }
  if (on) {
    if (!LoggedIn()) StartSession();
  } else if (LoggedIn()) {
    LogoutSession();
  } else {
    FStarting = false;
  }
}

// ---- Session ----

void TRtcPortalCli::ResetSession() {
  const std::string id = NewPortalLoginID();
  {
    std::lock_guard g(FLock);
    FLoginID = id;
    MsgTick = 0;
    SenderLocked = 0;
    NowSending = false;
    SentNext = false;
    FQueue.Clear();
    FLoggedIn = false;
  }
  FErrorGet = -1;
  FErrorPut = -1;
  const int repost = FRetryFirstLogin;
  for (TRtcClientModule* m : {FGetModule.get(), FPutModule.get()}) {
    inChannel(*m, [m, repost] {
      m->ResetLogin();
      m->setAutoLogin(true);
      m->AutoRepost = repost;
    });
  }
}

void TRtcPortalCli::InConnectionContext(TRtcDataClient* c, const std::function<void()>& change) {
  if (!c || !c->MultiThreaded() || !c->Thread() || c->inThread()) return change();
  auto done = std::make_shared<std::atomic<bool>>(false);
  if (!c->PostJob([change, done] {
        change();
        *done = true;
      }))
    return change();
  // The connection may be waiting for the main thread (synchronised events): keep it served.
  MainLoop* loop = GetMainLoop();
  const bool onMain = loop && loop->isMainThread();
  for (int waited = 0; !*done && waited < 2000; ++waited) {
    if (onMain) loop->processPending();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!*done) change();
}

int TRtcPortalCli::NextTick() {
  std::lock_guard g(FLock);
  if (++MsgTick >= 100) MsgTick = 1;
  return MsgTick;
}

void TRtcPortalCli::StartSession() {
  FHalted = false;
  ResetSession();
  if (GwStoreParams() && !FParamsLoaded) {
    FStarting = true;
    call(*FPutModule, RGetParams, nullptr, false);
  } else {
    callStart(nullptr, false, false);
  }
}

void TRtcPortalCli::callStart(TRtcConnection* Sender, bool FromInsideEvent, bool afterParams) {
  const bool visible = FPublish, notify = FSubscribe;
  TRtcResult* r = &RStart;
  const char* fn = "Control";
  if (visible && notify) {
    r = &RPreStart;
  } else if (visible) {
    fn = "Host";
  } else if (!notify && afterParams) {
    return callGet(Sender, FromInsideEvent);
  }
  try {
    FGetModule->Prepare(fn).setAsBoolean("on", true);
    call(*FGetModule, *r, Sender, FromInsideEvent);
  } catch (const std::exception& e) {
    WriteExceptionLog("START", e);
  }
}

void TRtcPortalCli::callGet(TRtcConnection* Sender, bool FromInsideEvent) {
  try {
    FGetModule->Prepare("Get").setAsInteger("x", NextTick());
    call(*FGetModule, RGet, Sender, FromInsideEvent);
  } catch (const std::exception& e) {
    WriteExceptionLog("GET", e);
  }
}

// From inside an event only when the event is the channel's own connection.
void TRtcPortalCli::call(TRtcClientModule& m, TRtcResult& r, TRtcConnection* Sender,
                         bool FromInsideEvent) {
  TRtcDataClient* own = m.RootClient();
  const bool inside = FromInsideEvent && own && dataClient(Sender) == own;
  if (&r == &RGetParams) m.Prepare("User.Get");
  m.Call(&r, inside, inside ? own : nullptr);
}

bool TRtcPortalCli::onChannelThread() const {
  for (TRtcClientModule* m : {FGetModule.get(), FPutModule.get()})
    if (TRtcDataClient* c = m->RootClient(); c && c->inThread()) return true;
  return false;
}

void TRtcPortalCli::LogoutSession() {
  setLoggedIn(false);
  for (TRtcClientModule* m : {FGetModule.get(), FPutModule.get()})
    inChannel(*m, [m] { m->setAutoLogin(false); });
  try {
    TRtcFunctionInfo& f = FPutModule->Prepare("Logout");
    f.setAsText("user", wide(LoginUserName()));
    f.setAsText("pwd", wide(LoginPassword()));
    call(*FPutModule, RLogout, nullptr, false);
    if (!onChannelThread() && FPutModule->RootClient() && FGetModule->RootClient() &&
        FPutModule->WaitForCompletion(false, 10))
      FGetModule->WaitForCompletion(false, 10);
  } catch (const std::exception& e) {
    WriteExceptionLog("LOGOUT", e);
  }
  ResetSession();
}

void TRtcPortalCli::prepareLogin(TRtcConnection& Sender, TRtcValue& Data) {
  const bool relogin = LoggedIn();
  auto f = std::make_unique<TRtcFunctionInfo>();
  f->setFunctionName(relogin ? u"ReLogin" : u"Login");
  f->setAsText("user", wide(LoginUserName()));
  f->setAsText("pwd", wide(LoginPassword()));
  f->setAsString("id", LoginID());
  if (!relogin) {
    const SystemInfo* s = FSystem.load();
    const SystemInfo& sys = s ? *s : PlatformSystemInfo();
    const std::string ip = sys.FirstIPv4();
    f->setAsString("UserName", sys.UserName());
    f->setAsString("IP", ip.empty() ? std::string() : ip + ",");
    f->setAsString("ComputerName", sys.ComputerName());
  }
  f->setAsString("ClientVersion", "3.68");
  Data.SetObject(std::move(f));
  if (OnCustomLoginData) runEvent(&Sender, [&] { OnCustomLoginData(Sender, Data); });
}

void TRtcPortalCli::loginResult(TRtcConnection& Sender, TRtcValue& Result, bool get) {
  TRtcClientModule& m = get ? *FGetModule : *FPutModule;
  if (Result.isType() == rtc_Exception) {
    const std::string text = valueText(Result);
    // A refused login would otherwise be sent again ahead of every queued call.
    try {
      m.SkipRequests();
    } catch (const std::exception&) {
    }
    DispatchError(&Sender, text, UpperCaseAscii(text) == "LOGGED OUT", get);
    return;
  }
  if (get) {
    bool first = false;
    {
      std::lock_guard g(FLock);
      if (!FLoggedIn) first = FLoggedIn = true;
    }
    if (first) {
      m.AutoRepost = FRetryOtherCalls.load();
      DispatchLogIn(&Sender);
    }
  } else {
    m.AutoRepost = FRetryOtherCalls.load();
  }
}

void TRtcPortalCli::channelAborted(TRtcConnection& Sender, bool get) {
  if (auto* dc = dataClient(&Sender)) dc->Session().Close();
  if (FHalted) return;
  DispatchError(&Sender, GatewayErrorText(get ? FErrorGet : FErrorPut), false, get);
}

// ---- Results ----

void TRtcPortalCli::onParamsResult(TRtcConnection* Sender, TRtcValue& Result) {
  if (Result.isType() == rtc_Exception)
    return DispatchError(Sender, valueText(Result), false, false);
  if (Result.isType() != rtc_Record) {
    // The start would go no further without a word: say why.
    return DispatchError(Sender, "Invalid parameters from the Gateway.", false, false);
  }
  TRtcRecord* rec = Result.asRecord();
  FParamsLoaded = true;
  // A fault in one step is logged and the start goes on: the Params step never ends it.
  try {
    applyAccessParams(*rec);
  } catch (const std::exception& e) {
    WriteExceptionLog("PARAMS", e);
  }
  for (TRtcPModule* m : Modules()) {
    try {
      m->HandleParams(Sender, Result);
    } catch (const std::exception& e) {
      WriteExceptionLog("PARAMS", e);
    }
  }
  try {
    CallEvent(Sender, "Params", true, bound(OnParams, *this, Result), &Result);
  } catch (const std::exception& e) {
    WriteExceptionLog("PARAMS", e);
  }
  bool expected = true;
  if (FStarting.compare_exchange_strong(expected, false)) callStart(Sender, false, true);
}

void TRtcPortalCli::onPreStartResult(TRtcConnection* Sender, TRtcValue& Result) {
  if (Result.isType() == rtc_Exception)
    return DispatchError(Sender, valueText(Result), false, true);
  if (!LoggedIn()) return;
  try {
    FGetModule->Prepare("Host").setAsBoolean("on", true);
    call(*FGetModule, RStart, Sender, true);
  } catch (const std::exception& e) {
    WriteExceptionLog("START", e);
  }
}

void TRtcPortalCli::onStartResult(TRtcConnection* Sender, TRtcValue& Result) {
  if (Result.isType() == rtc_Exception)
    return DispatchError(Sender, valueText(Result), false, true);
  for (TRtcPModule* m : Modules()) {
    m->ResetUsers();
    m->HandleStart(Sender, Result);
  }
  CallEvent(Sender, "Start", true, bound(OnStart, *this, Result), &Result);
  if (LoggedIn()) callGet(Sender, true);
}

void TRtcPortalCli::onGetResult(TRtcConnection* Sender, TRtcValue& Result) {
  if (!LoggedIn()) return;
  if (Result.isType() == rtc_Exception)
    return DispatchError(Sender, valueText(Result), false, true);
  if (Result.isType() == rtc_Record) DispatchBatch(Sender, *Result.asRecord());
  if (LoggedIn()) callGet(Sender, true);
}

void TRtcPortalCli::onLogoutResult(TRtcConnection* Sender, TRtcValue& Result) {
  FStarting = false;
  FParamsLoaded = false;
  setLoggedIn(false);
  if (Result.isType() == rtc_Exception) return DispatchError(Sender, valueText(Result), true, true);
  DispatchLogOut(Sender);
}

namespace {

// Gives each listed refusal the messages of its row as "d" (a function or an array of them),
// read back from the Put's own rows, so that a module can tell which of its messages were lost.
// A "d" in the answer itself is dropped: modules act only on what this client sent.
void attachRefusedRows(TRtcValue& call, TRtcRecord& answer) {
  if (answer.isType("refused") != rtc_Array) return;
  TRtcDataSet* rows = nullptr;
  if (call.isType() == rtc_Function && call.asFunction()->isType("p") == rtc_DataSet)
    rows = call.asFunction()->asDataSet("p");
  TRtcArray& list = *answer.asArray("refused");
  for (int i = 0; i < list.Count(); ++i) {
    TRtcValueObject* o = list.GetObject(i);
    if (!o || o->GetType() != rtc_Record) continue;
    auto& one = static_cast<TRtcRecord&>(*o);
    one.Extract("d");
    const TRtcValueTypes t = one.isType("row");
    if (!rows || (t != rtc_Integer && t != rtc_LargeInt)) continue;
    const int64_t row = one.asLargeInt("row");
    if (row < 1 || row > rows->RowCount()) continue;
    rows->setRow(static_cast<int>(row - 1));
    if (rows->isType("d") != rtc_String) continue;
    try {
      std::unique_ptr<TRtcValue> d = TRtcValue::FromCode(DecompressPayload(rows->asString("d")));
      if (std::unique_ptr<TRtcValueObject> v = d->Extract()) one.setAsObject("d", std::move(v));
    } catch (const std::exception& e) {
      WriteExceptionLog("PUT refused", e);
    }
  }
}

}  // namespace

void TRtcPortalCli::onPutResult(TRtcConnection* Sender, TRtcValue& Call, TRtcValue& Result) {
  if (Result.isType() == rtc_Exception) {
    {
      std::lock_guard g(FLock);
      NowSending = false;
    }
    return DispatchError(Sender, valueText(Result), false, false);
  }
  if (Result.isType() == rtc_Record) {
    // Data the gateway found no room for: the modules whose receivers must start over.
    TRtcRecord& answer = *Result.asRecord();
    attachRefusedRows(Call, answer);
    for (TRtcPModule* m : Modules()) try {
        m->HandleRefused(Sender, answer);
      } catch (const std::exception& e) {
        WriteExceptionLog("PUT refused", e);
      }
  }
  bool next = false;
  {
    std::lock_guard g(FLock);
    if (FLoggedIn && SenderLocked == 0)
      next = true;
    else
      NowSending = false;
  }
  if (next) SendStep(Sender, true);
}

// ---- Receiving ----

void TRtcPortalCli::DispatchBatch(TRtcConnection* Sender, TRtcRecord& batch) {
  LockSender(Sender);
  try {
    for (TRtcPModule* m : Modules()) m->HandleBatchStart(Sender);
    for (int i = 0; i < batch.FieldCount(); ++i) {
      const RtcWideString name = batch.FieldName(i);
      if (batch.isType(name) != rtc_Array) continue;
      TRtcArray* items = batch.asArray(name);
      const std::string origin = Utf8Encode(name);
      for (int k = 0; k < items->Count(); ++k)
        if (TRtcValueObject* item = items->GetObject(k)) dispatchItem(Sender, origin, *item);
    }
    for (TRtcPModule* m : Modules()) m->HandleBatchEnd(Sender);
  } catch (const std::exception& e) {
    WriteExceptionLog("GET", e);
  }
  UnLockSender(Sender);
}

void TRtcPortalCli::dispatchItem(TRtcConnection* Sender, const std::string& origin,
                                 TRtcValueObject& item) {
  switch (item.GetType()) {
    case rtc_Boolean: {
      const bool in = static_cast<TRtcSimpleValue&>(*item.asSimple()).GetBoolean();
      bool known;
      {
        std::lock_guard g(FInfoLock);
        known = FUserInfos.GetObject(wide(origin)) != nullptr;
        if (!in) FUserInfos.Extract(wide(origin));
      }
      if (!in || !known) dispatchUser(Sender, in, origin);
      return;
    }
    case rtc_Record: {
      auto& rec = static_cast<TRtcRecord&>(item);
      if (flagField(rec, "isLogin")) {
        {
          std::lock_guard g(FInfoLock);
          if (TRtcValueObject* info = rec.asObject("userinfo");
              info && info->GetType() == rtc_Record)
            FUserInfos.setAsObject(wide(origin), info->copyOf());
          else
            FUserInfos.setAsObject(wide(origin), std::make_unique<TRtcRecord>());
        }
        return dispatchUser(Sender, true, origin);
      }
      const std::string group = textField(rec, "fn");
      const std::string user = textField(rec, "user");
      const bool mine = SameTextAscii(wide(origin), wide(LoginUserName()));
      if (flagField(rec, "on"))
        dispatchGroup(Sender, mine ? "UserJoinedMyGroup" : "JoinedUsersGroup", group, user, rec);
      else if (flagField(rec, "off"))
        dispatchGroup(Sender, mine ? "UserLeftMyGroup" : "LeftUsersGroup", group, user, rec);
      return;
    }
    case rtc_String: {
      // A payload that cannot be read is dropped alone; the rest of the batch goes on.
      std::unique_ptr<TRtcValue> value;
      try {
        value = TRtcValue::FromCode(DecompressPayload(item.asSimple()->GetString()));
      } catch (const std::exception& e) {
        WriteExceptionLog("GET", e);
        return;
      }
      auto deliver = [&](TRtcFunctionInfo& fn) {
        for (TRtcPModule* m : Modules()) m->HandleDataFromUser(Sender, origin, fn);
      };
      if (value->isType() == rtc_Array) {
        TRtcArray* arr = value->asArray();
        for (int k = 0; k < arr->Count(); ++k)
          if (TRtcValueObject* o = arr->GetObject(k); o && o->GetType() == rtc_Function)
            deliver(static_cast<TRtcFunctionInfo&>(*o));
      } else if (value->isType() == rtc_Function) {
        deliver(*value->asFunction());
      }
      return;
    }
    default:
      return;
  }
}

void TRtcPortalCli::dispatchUser(TRtcConnection* Sender, bool in, const std::string& user) {
  for (TRtcPModule* m : Modules()) {
    if (in)
      m->HandleUserLoggedIn(Sender, user);
    else
      m->HandleUserLoggedOut(Sender, user);
  }
  const TRtcPortalUserEvent& ev = in ? OnUserLoggedIn : OnUserLoggedOut;
  if (!ev) return;
  TRtcValue data;
  data.setAsText(wide(user));
  CallEvent(Sender, in ? "UserLoggedIn" : "UserLoggedOut", true, bound(ev, *this, user), &data);
}

void TRtcPortalCli::dispatchGroup(TRtcConnection* Sender, const std::string& event,
                                  const std::string& group, const std::string& user,
                                  TRtcRecord& notice) {
  const bool joinedMine = event == "UserJoinedMyGroup", leftMine = event == "UserLeftMyGroup";
  const bool joined = event == "JoinedUsersGroup";
  if (joinedMine) {
    TRtcValueObject* info = notice.asObject("userinfo");
    setSubscriberInfo(user, info && info->GetType() == rtc_Record ? info : nullptr);
  }
  for (TRtcPModule* m : Modules()) {
    if (joinedMine)
      m->HandleUserJoinedMyGroup(Sender, group, user);
    else if (leftMine)
      m->HandleUserLeftMyGroup(Sender, group, user);
    else if (joined)
      m->HandleJoinedUsersGroup(Sender, group, user);
    else
      m->HandleLeftUsersGroup(Sender, group, user);
  }
  const TRtcPortalGroupEvent& ev = joinedMine ? On_UserJoinedMyGroup
                                   : leftMine ? On_UserLeftMyGroup
                                   : joined   ? On_JoinedUsersGroup
                                              : On_LeftUsersGroup;
  if (ev || leftMine) {
    TRtcValue data;
    TRtcRecord& rec = data.NewRecord();
    rec.setAsText("user", wide(user));
    rec.setAsText("group", wide(group));
    rec.setAsObject("UserInfo", notice.copyOf());
    CallEvent(Sender, event, true, bound(ev, *this, group, user), &data);
  }
  if (leftMine) removeSubscriberInfo(user);
  if (leftMine || event == "LeftUsersGroup") checkAutoClose();
}

// ---- Dispatches ----

void TRtcPortalCli::DispatchLogIn(TRtcConnection* Sender) {
  setLoginTime(NowLocal());
  enableAutoClose(true);
  for (TRtcPModule* m : Modules()) m->HandleLogIn(Sender);
  CallEvent(Sender, "LogIn", true, bound(OnLogIn, *this));
}

void TRtcPortalCli::DispatchLogOut(TRtcConnection* Sender) {
  setLoginTime(0);
  enableAutoClose(false);
  for (TRtcPModule* m : Modules()) {
    m->ResetUsers();
    m->HandleLogOut(Sender);
  }
  CallEvent(Sender, "LogOut", true, bound(OnLogOut, *this));
}

void TRtcPortalCli::DispatchError(TRtcConnection* Sender, const std::string& text, bool fatal,
                                  bool logout) {
  if (logout) setLoggedIn(false);
  FStarting = false;
  FParamsLoaded = false;
  setLoginTime(0);
  enableAutoClose(false);
  TRtcValue data;
  data.setAsException(wide(text));
  for (TRtcPModule* m : Modules()) {
    m->ResetUsers();
    if (fatal)
      m->HandleFatalError(Sender, data);
    else
      m->HandleError(Sender, data);
  }
  const TRtcPortalMessageEvent& ev = fatal ? OnFatalError : OnError;
  CallEvent(Sender, fatal ? "FatalError" : "Error", true, bound(ev, *this, text), &data);
}

// ---- Sending ----

bool TRtcPortalCli::canSendNext() {
  std::lock_guard g(FLock);
  const bool was = SentNext;
  SentNext = true;
  return !was;
}

void TRtcPortalCli::queueAndSend(TRtcConnection* Sender,
                                 const std::function<void(TPortalOutQueue&)>& op) {
  bool start = false;
  {
    std::lock_guard g(FLock);
    op(FQueue);
    if (!NowSending && SenderLocked == 0 && FLoggedIn) start = NowSending = true;
  }
  if (start) SendStep(Sender, false);
}

void TRtcPortalCli::SendToUser(TRtcConnection* Sender, const std::string& username,
                               std::unique_ptr<TRtcFunctionInfo> rec) {
  const TrtcpCompressLevel level = FDataCompress;
  queueAndSend(Sender,
               [&](TPortalOutQueue& q) { q.SendToUser(wide(username), std::move(rec), level); });
}

void TRtcPortalCli::SendToMyGroup(TRtcConnection* Sender, const std::string& Group,
                                  std::unique_ptr<TRtcFunctionInfo> rec) {
  const TrtcpCompressLevel level = FDataCompress;
  queueAndSend(Sender,
               [&](TPortalOutQueue& q) { q.SendToMyGroup(wide(Group), std::move(rec), level); });
}

void TRtcPortalCli::SendPackedToUser(TRtcConnection* Sender, const std::string& username,
                                     std::unique_ptr<TRtcFunctionInfo> rec) {
  const TrtcpCompressLevel level = PackedLevel(FDataCompress);
  queueAndSend(Sender,
               [&](TPortalOutQueue& q) { q.SendToUser(wide(username), std::move(rec), level); });
}

void TRtcPortalCli::SendPackedToMyGroup(TRtcConnection* Sender, const std::string& Group,
                                        std::unique_ptr<TRtcFunctionInfo> rec) {
  const TrtcpCompressLevel level = PackedLevel(FDataCompress);
  queueAndSend(Sender,
               [&](TPortalOutQueue& q) { q.SendToMyGroup(wide(Group), std::move(rec), level); });
}

void TRtcPortalCli::AddUserToMyGroup(TRtcConnection* Sender, const std::string& username,
                                     const std::string& Group) {
  const RtcWideString user = wide(username);
  queueAndSend(Sender,
               [&](TPortalOutQueue& q) { q.GroupChange("s", wide(Group), &user, FDataCompress); });
}

void TRtcPortalCli::RemoveUserFromMyGroup(TRtcConnection* Sender, const std::string& username,
                                          const std::string& Group) {
  const RtcWideString user = wide(username);
  queueAndSend(Sender,
               [&](TPortalOutQueue& q) { q.GroupChange("u", wide(Group), &user, FDataCompress); });
}

void TRtcPortalCli::DisbandMyGroup(TRtcConnection* Sender, const std::string& Group) {
  queueAndSend(Sender, [&](TPortalOutQueue& q) {
    q.GroupChange("uf", wide(Group), nullptr, FDataCompress);
  });
}

void TRtcPortalCli::LeaveUserGroup(TRtcConnection* Sender, const std::string& username,
                                   const std::string& Group) {
  const RtcWideString user = wide(username);
  queueAndSend(Sender,
               [&](TPortalOutQueue& q) { q.GroupChange("t", wide(Group), &user, FDataCompress); });
}

void TRtcPortalCli::SendPing(TRtcConnection* Sender) {
  queueAndSend(Sender, [](TPortalOutQueue& q) { q.Ensure(); });
}

bool TRtcPortalCli::OtherSendPending() {
  std::lock_guard g(FLock);
  return FTurnModules > 1 || FQueue.HasData();
}

void TRtcPortalCli::LockSender(TRtcConnection*) {
  std::lock_guard g(FLock);
  ++SenderLocked;
}

void TRtcPortalCli::UnLockSender(TRtcConnection* Sender) {
  bool start = false;
  {
    std::lock_guard g(FLock);
    if (SenderLocked > 0 && --SenderLocked == 0 && !NowSending && FLoggedIn)
      start = NowSending = true;
  }
  if (start) SendStep(Sender, false);
}

std::unique_ptr<TRtcDataSet> TRtcPortalCli::TakeBatch(int& tick) {
  std::lock_guard g(FLock);
  std::unique_ptr<TRtcDataSet> batch = FQueue.Take(FDataCompress);
  if (!batch) {
    NowSending = false;
    return nullptr;
  }
  if (++MsgTick >= 100) MsgTick = 1;
  tick = MsgTick;
  SentNext = false;
  return batch;
}

void TRtcPortalCli::SendStep(TRtcConnection* Sender, bool FromInsideEvent) {
  std::vector<TRtcPModule*> turn;
  for (TRtcPModule* m : Modules()) {
    try {
      if (m->WantToSend(Sender)) turn.push_back(m);
    } catch (const std::exception& e) {
      WriteExceptionLog("SEND Prepare", e);
    }
  }
  {
    std::lock_guard g(FLock);
    FTurnModules = turn.size();
  }
  if (!turn.empty() && canSendNext()) {
    for (TRtcPModule* m : turn) try {
        m->PrepareToSend(Sender);
      } catch (const std::exception& e) {
        WriteExceptionLog("SEND Prepare", e);
      }
    for (TRtcPModule* m : turn) try {
        m->ExecuteSend(Sender);
      } catch (const std::exception& e) {
        WriteExceptionLog("SEND Execute", e);
      }
  }
  int tick = 0;
  std::unique_ptr<TRtcDataSet> batch = TakeBatch(tick);
  if (!batch) return;
  try {
    TRtcFunctionInfo& f = FPutModule->Prepare("Put");
    f.setAsInteger("x", tick);
    f.setAsObject("p", std::move(batch));
    call(*FPutModule, RPut, Sender, FromInsideEvent);
  } catch (const std::exception& e) {
    {
      std::lock_guard g(FLock);
      NowSending = false;
    }
    WriteExceptionLog("SEND", e);
  }
}

// ---- Parameters ----

bool TRtcPortalCli::PutConnected() const {
  TRtcDataClient* c = FPutModule->RootClient();
  return c && c->isConnected();
}

void TRtcPortalCli::paramCall(const char* fn, const std::string& name,
                              std::unique_ptr<TRtcValueObject> v) {
  try {
    FPutModule->Prepare(fn).setAsObject(wide(name), std::move(v));
    call(*FPutModule, RSetParam, nullptr, false);
  } catch (const std::exception& e) {
    WriteExceptionLog("PARAM", e);
  }
}

void TRtcPortalCli::ParamSet(TRtcConnection*, const std::string& ParamName,
                             std::unique_ptr<TRtcValueObject> ParamValue) {
  if (!PutConnected()) return;
  paramCall("User.Set", ParamName, std::move(ParamValue));
}

void TRtcPortalCli::ParamAdd(TRtcConnection*, const std::string& ParamName,
                             std::unique_ptr<TRtcValueObject> ParamValue) {
  paramCall("User.Add", ParamName, std::move(ParamValue));
}

void TRtcPortalCli::ParamDel(TRtcConnection*, const std::string& ParamName,
                             std::unique_ptr<TRtcValueObject> ParamValue) {
  paramCall("User.Del", ParamName, std::move(ParamValue));
}

void TRtcPortalCli::ChangePassword(TRtcConnection*, const std::string& Username,
                                   const std::string& OldPassword, const std::string& NewPassword) {
  FPutModule->setAutoLogin(false);
  try {
    TRtcFunctionInfo& f = FPutModule->Prepare("ChangePwd");
    f.setAsText("username", wide(Username));
    f.setAsText("oldpassword", wide(OldPassword));
    f.setAsText("newpassword", wide(NewPassword));
    call(*FPutModule, RChangePassword, nullptr, false);
  } catch (const std::exception& e) {
    WriteExceptionLog("PASSWORD", e);
  }
}

}  // namespace vtx
