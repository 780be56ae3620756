#include "portal/portal_module.h"

#include <algorithm>

#include "portal/abs_portal_client.h"
#include "util/exceptions.h"
#include "util/text.h"

namespace vtx {

void TRtcPModuleList::Add(TRtcPModule* module) {
  if (!module) return;
  Remove(module);
  FList.push_back(module);
}

void TRtcPModuleList::Remove(TRtcPModule* module) {
  FList.erase(std::remove(FList.begin(), FList.end(), module), FList.end());
}

TRtcPModule* TRtcPModuleList::Get(int index) const {
  if (index < 0 || index >= Count()) throw ERtcInfo("TRtcPModuleList.Get returned NIL");
  return FList[static_cast<std::size_t>(index)];
}

TRtcPModule::~TRtcPModule() {
  // Each dependent is asked to let go; one that does not is dropped so the loop ends.
  while (FModules.Count() > 0) {
    TRtcPModule* dependent = FModules.Get(0);
    dependent->UnlinkModule(this);
    FModules.Remove(dependent);
  }
  setClient(nullptr);
}

void TRtcPModule::setClient(TAbsPortalClient* client) {
  if (client == FClient) return;
  if (FClient) FClient->removeModule(this);
  FClient = client;
  if (FClient) FClient->addModule(this);
}

void TRtcPModule::AddModule(TRtcPModule* module) {
  FModules.Add(module);
}
void TRtcPModule::RemModule(TRtcPModule* module) {
  FModules.Remove(module);
}

bool TRtcPModule::HasActiveSubscribers() const {
  return SubscriberCount() > 0;
}

int TRtcPModule::SubscriberCount() const {
  std::lock_guard g(CS);
  return FSubscriberCnt;
}

bool TRtcPModule::isSubscriber(const std::string& user) const {
  std::lock_guard g(CS);
  return FSubscribers.asBoolean(Utf8Decode(user));
}

bool TRtcPModule::setSubscriber(const std::string& user, bool state) {
  std::lock_guard g(CS);
  const RtcWideString name = Utf8Decode(user);
  if (FSubscribers.asBoolean(name) == state) return false;
  if (state) {
    FSubscribers.setAsBoolean(name, true);
    ++FSubscriberCnt;
  } else {
    FSubscribers.Extract(name);
    if (--FSubscriberCnt <= 0) {
      FSubscriberCnt = 0;
      FSubscribers.Clear();
    }
  }
  return true;
}

bool TRtcPModule::AccessAllowed(bool accessControl, bool flag, bool flagSuper,
                                const std::string& user) const {
  if (!accessControl) return true;
  if (!FClient) return false;
  return (flag && FClient->inUserList(user)) || (flagSuper && FClient->isSuperUser(user));
}

bool TRtcPModule::QueryAccess(TRtcConnection* Sender, const std::string& user) {
  TRtcValue data;
  data.setAsText(Utf8Decode(user));
  auto handler = FOnQueryAccess;
  CallEvent(
      Sender, "QueryAccess", static_cast<bool>(handler),
      [&] {
        bool allow = true;
        handler(*this, user, allow);
        data.setAsBoolean(allow);
      },
      &data);
  try {
    return data.asBoolean();
  } catch (const std::exception&) {
    return false;
  }
}

void TRtcPModule::EventNewUser(TRtcConnection* Sender, const std::string& user) {
  TRtcValue data;
  data.setAsText(Utf8Decode(user));
  auto handler = FOnNewUser;
  CallEvent(
      Sender, "NewUser", static_cast<bool>(handler), [&] { handler(*this, user); }, &data);
}

void TRtcPModule::EventOldUser(TRtcConnection* Sender, const std::string& user) {
  TRtcValue data;
  data.setAsText(Utf8Decode(user));
  auto handler = FOnOldUser;
  CallEvent(
      Sender, "OldUser", static_cast<bool>(handler), [&] { handler(*this, user); }, &data);
}

namespace {
bool negated(const std::string& name) {
  return name.size() >= 2 && (name[0] == 'N' || name[0] == 'n') &&
         (name[1] == 'o' || name[1] == 'O');
}
}  // namespace

void TRtcPModule::StoreGwParam(const std::string& name, bool setting) {
  if (FClient)
    FClient->ParamSet(nullptr, name,
                      std::make_unique<TRtcBooleanValue>(negated(name) ? !setting : setting));
}

bool TRtcPModule::ReadGwParam(TRtcValue& Data, const std::string& name, bool& setting) {
  if (Data.isType() != rtc_Record) return false;
  TRtcRecord& rec = *Data.asRecord();
  if (rec.FieldCount() < 2) return false;
  if (rec.isType(name) == rtc_Null) return false;
  try {
    const bool v = rec.asBoolean(name);
    setting = negated(name) ? !v : v;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void TRtcPModule::ResetUsers() {
  std::lock_guard g(CS);
  FSubscribers.Clear();
  FSubscriberCnt = 0;
}

void TRtcPModule::UnlinkModule(TRtcPModule*) {}
bool TRtcPModule::WantToSend(TRtcConnection*) {
  return false;
}
void TRtcPModule::PrepareToSend(TRtcConnection*) {}
void TRtcPModule::ExecuteSend(TRtcConnection*) {}
void TRtcPModule::HandleLogIn(TRtcConnection*) {}
void TRtcPModule::HandleLogOut(TRtcConnection*) {}
void TRtcPModule::HandleError(TRtcConnection*, TRtcValue&) {}
void TRtcPModule::HandleFatalError(TRtcConnection*, TRtcValue&) {}
void TRtcPModule::HandleStart(TRtcConnection*, TRtcValue&) {}
void TRtcPModule::HandleParams(TRtcConnection*, TRtcValue&) {}
void TRtcPModule::HandleBatchStart(TRtcConnection*) {}
void TRtcPModule::HandleUserLoggedIn(TRtcConnection*, const std::string&) {}
void TRtcPModule::HandleUserLoggedOut(TRtcConnection*, const std::string&) {}
void TRtcPModule::HandleUserJoinedMyGroup(TRtcConnection*, const std::string&, const std::string&) {
}
void TRtcPModule::HandleUserLeftMyGroup(TRtcConnection*, const std::string&, const std::string&) {}
void TRtcPModule::HandleJoinedUsersGroup(TRtcConnection*, const std::string&, const std::string&) {}
void TRtcPModule::HandleLeftUsersGroup(TRtcConnection*, const std::string&, const std::string&) {}
void TRtcPModule::HandleDataFromUser(TRtcConnection*, const std::string&, TRtcFunctionInfo&) {}
void TRtcPModule::HandleBatchEnd(TRtcConnection*) {}
void TRtcPModule::HandleRefused(TRtcConnection*, TRtcRecord&) {}

void TRtcPModule::CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                            const std::function<void()>& Event, TRtcPortalComponent* Obj,
                            TRtcValue* Data) {
  if (FClient) FClient->CallEvent(Sender, EventName, doCall, Event, Obj, Data);
}
void TRtcPModule::CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                            const std::function<void()>& Event, TRtcValue* Data) {
  CallEvent(Sender, EventName, doCall, Event, this, Data);
}
void TRtcPModule::CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                            const std::function<void()>& Event, TRtcPortalComponent* Obj) {
  CallEvent(Sender, EventName, doCall, Event, Obj, nullptr);
}
void TRtcPModule::CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                            const std::function<void()>& Event) {
  CallEvent(Sender, EventName, doCall, Event, this, nullptr);
}

}  // namespace vtx
