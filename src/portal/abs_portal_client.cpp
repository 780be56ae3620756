#include "portal/abs_portal_client.h"

#include <algorithm>
#include <condition_variable>
#include <thread>

#include "portal/portal_log.h"
#include "transport/main_loop.h"
#include "transport/rtc_connection.h"
#include "util/datetime.h"
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

bool lessNoCase(const std::string& a, const std::string& b) {
  return UpperCaseAscii(a) < UpperCaseAscii(b);
}

bool sameNoCase(const std::string& a, const std::string& b) {
  return UpperCaseAscii(a) == UpperCaseAscii(b);
}

bool contains(const std::vector<std::string>& list, const std::string& name) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string& n) { return sameNoCase(trimmed(n), trimmed(name)); });
}

// Sorted, without duplicates (ignoring case).
std::vector<std::string> sortedList(std::vector<std::string> names) {
  std::stable_sort(names.begin(), names.end(), lessNoCase);
  names.erase(std::unique(names.begin(), names.end(), sameNoCase), names.end());
  return names;
}

}  // namespace

// The timers' view of the client: `owner` is cleared before the client goes, and the client
// waits for a tick that is running, so no tick touches a client that is gone. The lock is
// not held while a tick calls the client.
struct TAbsPortalClient::TimerGuard {
  std::mutex lock;
  std::condition_variable idle;
  TAbsPortalClient* owner = nullptr;
  int busy = 0;
  std::thread::id tickThread;
  TRtcTimer::Ptr ping, autoClose;

  static void tick(const std::weak_ptr<TimerGuard>& weak,
                   void (*action)(TAbsPortalClient& client)) {
    auto t = weak.lock();
    if (!t) return;
    TAbsPortalClient* client;
    {
      std::lock_guard l(t->lock);
      if (!t->owner) return;
      client = t->owner;
      ++t->busy;
      t->tickThread = std::this_thread::get_id();
    }
    try {
      action(*client);
    } catch (const std::exception& e) {
      WriteExceptionLog("TIMER", e);
    }
    std::lock_guard l(t->lock);
    if (--t->busy == 0) t->tickThread = {};
    t->idle.notify_all();
  }
};

TAbsPortalClient::TAbsPortalClient() : FTimers(std::make_shared<TimerGuard>()) {
  FTimers->owner = this;
  FTimers->ping = TRtcTimer::Create(false);
  FTimers->autoClose = TRtcTimer::Create(false);
  setPingGatewayIntervalInSec(10);
}

TAbsPortalClient::~TAbsPortalClient() {
  stopTimers();
  std::vector<TRtcPModule*> modules = Modules();
  for (TRtcPModule* m : modules) m->setClient(nullptr);
  std::lock_guard g(FHandlerLock);
  FHandlers.clear();
}

void TAbsPortalClient::stopTimers() {
  std::unique_lock l(FTimers->lock);
  FTimers->owner = nullptr;
  if (FTimers->ping) TRtcTimer::Stop(FTimers->ping);
  if (FTimers->autoClose) TRtcTimer::Stop(FTimers->autoClose);
  if (FTimers->tickThread != std::this_thread::get_id())
    FTimers->idle.wait(l, [&] { return FTimers->busy == 0; });
}

void TAbsPortalClient::setPingGatewayIntervalInSec(int seconds) {
  FPingInterval = seconds;
  std::weak_ptr<TimerGuard> weak = FTimers;
  std::lock_guard g(FTimers->lock);
  if (!FTimers->ping) return;
  FTimers->ping->Disable();
  if (seconds <= 0) return;
  FTimers->ping->Enable(static_cast<uint32_t>(seconds) * 1000u, [weak] {
    TimerGuard::tick(weak, [](TAbsPortalClient& c) {
      if (c.Active()) c.SendPing(nullptr);
    });
  });
}

void TAbsPortalClient::enableAutoClose(bool on) {
  std::weak_ptr<TimerGuard> weak = FTimers;
  std::lock_guard g(FTimers->lock);
  if (!FTimers->autoClose) return;
  if (!on) return FTimers->autoClose->Disable();
  FTimers->autoClose->Enable(
      60000, [weak] { TimerGuard::tick(weak, [](TAbsPortalClient& c) { c.checkAutoClose(); }); });
}

void TAbsPortalClient::checkAutoClose() {
  const int after = FAutoCloseAfter;
  if (after <= 0) return;
  for (TRtcPModule* m : Modules())
    if (m->HasActiveSubscribers()) return;
  const double login = FLoginTime;
  if (login == 0) return;
  if ((NowLocal() - login) * 24 * 60 > after) setActive(false);
}

void TAbsPortalClient::setLoginUserName(const std::string& name) {
  std::lock_guard g(FNameLock);
  FLoginUserName = trimmed(name);
}

std::string TAbsPortalClient::LoginUserName() const {
  std::lock_guard g(FNameLock);
  return FLoginUserName;
}

uint64_t TAbsPortalClient::AddNotificationHandler(TRtcPortalEventNotification handler) {
  std::lock_guard g(FHandlerLock);
  const uint64_t token = FNextToken++;
  FHandlers.push_back(
      std::make_unique<TnxpNotificationHandlerContainer>(token, std::move(handler)));
  return token;
}

void TAbsPortalClient::RemoveNotificationHandler(uint64_t token) {
  std::lock_guard g(FHandlerLock);
  FHandlers.erase(std::remove_if(FHandlers.begin(), FHandlers.end(),
                                 [&](const auto& h) { return h->nxEquals(token); }),
                  FHandlers.end());
}

void TAbsPortalClient::runEvent(TRtcConnection* Sender, const std::function<void()>& fn) {
  if (FAutoSyncEvents) {
    if (Sender && !Sender->inMainThread() &&
        Sender->Sync(std::function<void(TRtcConnection&)>([&](TRtcConnection&) { fn(); })))
      return;
    MainLoop* loop = GetMainLoop();
    if (loop && !loop->isMainThread() && loop->invoke(fn)) return;
  }
  fn();
}

void TAbsPortalClient::CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                                 const std::function<void()>& Event, TRtcPortalComponent* Obj,
                                 TRtcValue* Data) {
  const std::string uname = LoginUserName();
  DoEventOccured(Sender, true, EventName, uname, Obj, Data);
  if (doCall && Event) runEvent(Sender, Event);
  DoEventOccured(Sender, false, EventName, uname, Obj, Data);
}
void TAbsPortalClient::CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                                 const std::function<void()>& Event, TRtcValue* Data) {
  CallEvent(Sender, EventName, doCall, Event, this, Data);
}
void TAbsPortalClient::CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                                 const std::function<void()>& Event, TRtcPortalComponent* Obj) {
  CallEvent(Sender, EventName, doCall, Event, Obj, nullptr);
}
void TAbsPortalClient::CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                                 const std::function<void()>& Event) {
  CallEvent(Sender, EventName, doCall, Event, this, nullptr);
}

void TAbsPortalClient::DoEventOccured(TRtcConnection* Sender, bool before,
                                      const std::string& EventName, const std::string& uname,
                                      TRtcPortalComponent* Obj, TRtcValue* Data) {
  if (TnxPortalBaseLog* log = FPortalLog.load()) {
    try {
      if (!log->Filtered(EventName)) log->WriteLog(before, EventName, Sender, Obj, Data);
    } catch (const std::exception& e) {
      WriteLog(std::string("Error in DoEventOccured Logging: ") + e.what());
    }
  }
  // Each dispatch carries its own notification state, so two channels may notify at once.
  std::vector<TRtcPortalEventNotification> handlers;
  {
    std::lock_guard g(FHandlerLock);
    for (const auto& h : FHandlers) handlers.push_back(h->Handler());
  }
  const TRtcPortalEventNotification own = OnEventNotification;
  if (handlers.empty() && !own) return;
  try {
    runEvent(Sender, [&] {
      bool callEvent = true;
      for (const auto& h : handlers)
        if (h) h(Sender, before, EventName, uname, Obj, Data, callEvent);
      if (callEvent && own) own(Sender, before, EventName, uname, Obj, Data, callEvent);
    });
  } catch (const std::exception& e) {
    WriteLog(std::string("Error in DoEventOccured Execution: ") + e.what());
  }
}

void TAbsPortalClient::addModule(TRtcPModule* module) {
  std::lock_guard g(FModuleLock);
  FModules.Add(module);
}

void TAbsPortalClient::removeModule(TRtcPModule* module) {
  std::lock_guard g(FModuleLock);
  FModules.Remove(module);
}

std::vector<TRtcPModule*> TAbsPortalClient::Modules() const {
  std::lock_guard g(FModuleLock);
  return FModules.Items();
}

void TAbsPortalClient::setGRestrictAccess(bool on) {
  FRestrictAccess = on;
  if (FGwStoreParams) ParamSet(nullptr, "RestrictAccess", std::make_unique<TRtcBooleanValue>(on));
}

std::vector<std::string> TAbsPortalClient::GUsers() const {
  std::lock_guard g(FAccessLock);
  return FUsers;
}
std::vector<std::string> TAbsPortalClient::GSuperUsers() const {
  std::lock_guard g(FAccessLock);
  return FSuperUsers;
}

void TAbsPortalClient::setGUsers(const std::vector<std::string>& names) {
  {
    std::lock_guard g(FAccessLock);
    FUsers = sortedList(names);
  }
  syncList(false);
}

void TAbsPortalClient::setGSuperUsers(const std::vector<std::string>& names) {
  {
    std::lock_guard g(FAccessLock);
    FSuperUsers = sortedList(names);
  }
  syncList(true);
}

// Brings the last-synchronised copy in line with the list, sending each difference.
void TAbsPortalClient::syncList(bool super) {
  std::vector<std::string> added, removed;
  {
    std::lock_guard g(FAccessLock);
    std::vector<std::string>& list = super ? FSuperUsers : FUsers;
    std::vector<std::string>& copy = super ? FSuperUsersSynced : FUsersSynced;
    for (const std::string& raw : list) {
      const std::string name = trimmed(raw);
      if (name.empty() || contains(copy, name)) continue;
      copy.push_back(name);
      added.push_back(name);
    }
    std::sort(copy.begin(), copy.end(), lessNoCase);
    for (std::size_t i = copy.size(); i-- > 0;) {
      if (contains(list, copy[i])) continue;
      removed.push_back(copy[i]);
      copy.erase(copy.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  if (!FGwStoreParams) return;
  const char* param = super ? "SuperUsers" : "AllowUsers";
  auto record = [](const std::string& name, bool on) {
    auto rec = std::make_unique<TRtcRecord>();
    rec->setAsBoolean(Utf8Decode(name), on);
    return rec;
  };
  for (const std::string& name : added) ParamAdd(nullptr, param, record(name, true));
  for (const std::string& name : removed) ParamDel(nullptr, param, record(name, false));
}

void TAbsPortalClient::applyAccessParams(TRtcRecord& params) {
  // Stored values of an unexpected kind read as absent: a damaged parameter must not stop the
  // start.
  bool restrict = false;
  try {
    restrict = params.asBoolean("RestrictAccess");
  } catch (const std::exception&) {
  }
  FRestrictAccess = restrict;
  auto names = [&](const char* field) {
    std::vector<std::string> out;
    if (TRtcRecord* rec = params.isType(field) == rtc_Record ? params.asRecord(field) : nullptr)
      for (int i = 0; i < rec->FieldCount(); ++i)
        if (!rec->isNull(rec->FieldName(i))) out.push_back(Utf8Encode(rec->FieldName(i)));
    return sortedList(std::move(out));
  };
  std::vector<std::string> users = names("AllowUsers"), supers = names("SuperUsers");
  std::lock_guard g(FAccessLock);
  FUsers = FUsersSynced = users;
  FSuperUsers = FSuperUsersSynced = supers;
}

int TAbsPortalClient::gUserListCount() const {
  std::lock_guard g(FAccessLock);
  return static_cast<int>(FUsers.size());
}
int TAbsPortalClient::gSuperUserCount() const {
  std::lock_guard g(FAccessLock);
  return static_cast<int>(FSuperUsers.size());
}
std::string TAbsPortalClient::gUserListName(int i) const {
  std::lock_guard g(FAccessLock);
  return i >= 0 && i < static_cast<int>(FUsers.size()) ? FUsers[static_cast<std::size_t>(i)]
                                                       : std::string();
}
std::string TAbsPortalClient::gSuperUserName(int i) const {
  std::lock_guard g(FAccessLock);
  return i >= 0 && i < static_cast<int>(FSuperUsers.size())
             ? FSuperUsers[static_cast<std::size_t>(i)]
             : std::string();
}

bool TAbsPortalClient::inUserList(const std::string& user) const {
  if (!FRestrictAccess) return true;
  std::lock_guard g(FAccessLock);
  return contains(FUsers, user);
}

bool TAbsPortalClient::isSuperUser(const std::string& user) const {
  std::lock_guard g(FAccessLock);
  return contains(FSuperUsers, user);
}

void TAbsPortalClient::setInUserList(const std::string& user, bool on) {
  std::vector<std::string> list = GUsers();
  if (on)
    list.push_back(user);
  else
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const std::string& n) { return sameNoCase(n, user); }),
               list.end());
  setGUsers(list);
}

void TAbsPortalClient::setIsSuperUser(const std::string& user, bool on) {
  std::vector<std::string> list = GSuperUsers();
  if (on)
    list.push_back(user);
  else
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const std::string& n) { return sameNoCase(n, user); }),
               list.end());
  setGSuperUsers(list);
}

std::unique_ptr<TRtcRecord> TAbsPortalClient::SubscriberInfos() const {
  std::lock_guard g(FInfoLock);
  return copyOf(FSubscriberInfos);
}

void TAbsPortalClient::setSubscriberInfo(const std::string& user, const TRtcValueObject* info) {
  std::lock_guard g(FInfoLock);
  // A user who joins a second group of ours is already listed: the new info replaces the old.
  FSubscriberInfos.Extract(Utf8Decode(user));
  if (info) FSubscriberInfos.setAsObject(Utf8Decode(user), info->copyOf());
}

void TAbsPortalClient::removeSubscriberInfo(const std::string& user) {
  std::lock_guard g(FInfoLock);
  FSubscriberInfos.Extract(Utf8Decode(user));
}

}  // namespace vtx
