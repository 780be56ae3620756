// The base of portal modules: the hooks the client calls, the attachment to a client, the
// dependent modules and the record of subscribed users.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "portal/portal_component.h"
#include "values/values.h"

namespace vtx {

class TAbsPortalClient;
class TRtcConnection;
class TRtcPModule;

// Module references (observed) in order.
class TRtcPModuleList {
 public:
  // Appends the module; one already present moves to the end.
  void Add(TRtcPModule* module);
  void Remove(TRtcPModule* module);
  void RemoveAll() { FList.clear(); }
  int Count() const { return static_cast<int>(FList.size()); }
  // ERtcInfo "TRtcPModuleList.Get returned NIL" outside 0 .. Count-1.
  TRtcPModule* Get(int index) const;
  const std::vector<TRtcPModule*>& Items() const { return FList; }

 private:
  std::vector<TRtcPModule*> FList;
};

class TRtcPModule : public TRtcPortalComponent {
 public:
  TRtcPModule() = default;
  // Asks every dependent module to unlink, then detaches from the client.
  ~TRtcPModule() override;

  TAbsPortalClient* Client() const { return FClient; }
  // Removes the module from the old client's list and appends it to the new one's.
  void setClient(TAbsPortalClient* client);

  // Dependent modules: those that hold a reference to this one.
  void AddModule(TRtcPModule* module);
  void RemModule(TRtcPModule* module);
  const TRtcPModuleList& Modules() const { return FModules; }

  bool HasActiveSubscribers() const;

  // Hooks, called by the client on every attached module in attachment order.
  virtual void ResetUsers();
  virtual void UnlinkModule(TRtcPModule* module);
  virtual bool WantToSend(TRtcConnection* Sender);
  virtual void PrepareToSend(TRtcConnection* Sender);
  virtual void ExecuteSend(TRtcConnection* Sender);
  virtual void HandleLogIn(TRtcConnection* Sender);
  virtual void HandleLogOut(TRtcConnection* Sender);
  virtual void HandleError(TRtcConnection* Sender, TRtcValue& Data);
  virtual void HandleFatalError(TRtcConnection* Sender, TRtcValue& Data);
  virtual void HandleStart(TRtcConnection* Sender, TRtcValue& Data);
  virtual void HandleParams(TRtcConnection* Sender, TRtcValue& Data);
  virtual void HandleBatchStart(TRtcConnection* Sender);
  virtual void HandleUserLoggedIn(TRtcConnection* Sender, const std::string& user);
  virtual void HandleUserLoggedOut(TRtcConnection* Sender, const std::string& user);
  virtual void HandleUserJoinedMyGroup(TRtcConnection* Sender, const std::string& group,
                                       const std::string& user);
  virtual void HandleUserLeftMyGroup(TRtcConnection* Sender, const std::string& group,
                                     const std::string& user);
  virtual void HandleJoinedUsersGroup(TRtcConnection* Sender, const std::string& group,
                                      const std::string& user);
  virtual void HandleLeftUsersGroup(TRtcConnection* Sender, const std::string& group,
                                    const std::string& user);
  virtual void HandleDataFromUser(TRtcConnection* Sender, const std::string& user,
                                  TRtcFunctionInfo& Data);
  virtual void HandleBatchEnd(TRtcConnection* Sender);
  // The gateway's answer to a Put that found no room for some receivers: {refused: [{row,
  // to, fn (group), reason}], more: count of unnamed refusals}.
  virtual void HandleRefused(TRtcConnection* Sender, TRtcRecord& answer);

  // Forward to the client's CallEvent (nothing without a client); the overloads without an
  // object pass the module itself.
  void CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                 const std::function<void()>& Event, TRtcPortalComponent* Obj, TRtcValue* Data);
  void CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                 const std::function<void()>& Event, TRtcValue* Data);
  void CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                 const std::function<void()>& Event, TRtcPortalComponent* Obj);
  void CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                 const std::function<void()>& Event);

 protected:
  // The access test for one capability: passes when access control is off, or `flag` is set
  // and the user is in the client's user list, or `flagSuper` is set and the user is a super
  // user. Without a client only access control off passes.
  bool AccessAllowed(bool accessControl, bool flag, bool flagSuper, const std::string& user) const;
  // Raises "QueryAccess" with the user's name as Data; a handler's answer replaces it. The
  // result is Data read as a Boolean (so without a handler, the name read as one).
  bool QueryAccess(TRtcConnection* Sender, const std::string& user);
  // "NewUser" / "OldUser" with the user's name as Data.
  void EventNewUser(TRtcConnection* Sender, const std::string& user);
  void EventOldUser(TRtcConnection* Sender, const std::string& user);

  // Module settings kept on the gateway: sends `setting` (negated for names beginning with
  // "No") with the client's ParamSet when a client is attached.
  void StoreGwParam(const std::string& name, bool setting);
  // Reads `name` (case ignored; "No" names negated back) from a parameter record of at least
  // two fields into `setting`; false when the record does not carry it.
  static bool ReadGwParam(TRtcValue& Data, const std::string& name, bool& setting);

  // Subscriber helpers, under CS.
  bool isSubscriber(const std::string& user) const;
  // Changes the entry only when the state differs; the record is cleared when the count drops
  // to 0. True when something changed.
  bool setSubscriber(const std::string& user, bool state);
  int SubscriberCount() const;

  std::function<void(TRtcPModule& Sender, const std::string& user, bool& Allow)> FOnQueryAccess;
  std::function<void(TRtcPModule&Sender, const std::string&user)> FOnOldUser, FOnNewUser;

 private:
  friend class TAbsPortalClient;
  TAbsPortalClient* FClient = nullptr;
  TRtcPModuleList FModules;
  mutable std::mutex CS;
  TRtcRecord FSubscribers;
  int FSubscriberCnt = 0;
};

// The registry of UI adapters of a module, user name -> adapter, at most one per user, under
// its own lock. UI must have the int members FLocked and FCleared, touched only here.
template <class UI>
class TRtcPUIRegistry {
 public:
  // Registers `ui` under `name`; returns the adapter it displaced (null when none).
  UI* Add(const std::string& name, UI* ui) {
    std::lock_guard g(CSUI);
    UI*& slot = UIs[name];
    UI* old = slot == ui ? nullptr : slot;
    slot = ui;
    ui->FCleared = 0;
    return old;
  }
  // Unregisters `ui` when it is the one registered under `name`.
  void Remove(const std::string& name, UI* ui) {
    std::lock_guard g(CSUI);
    auto it = UIs.find(name);
    if (it != UIs.end() && it->second == ui) UIs.erase(it);
  }
  // The adapter of `name` with its lock count raised, or null.
  UI* Lock(const std::string& name) {
    std::lock_guard g(CSUI);
    auto it = UIs.find(name);
    if (it == UIs.end()) return nullptr;
    ++it->second->FLocked;
    return it->second;
  }
  // Lowers the lock count; true when the adapter was cleared meanwhile and is free now.
  bool Unlock(UI* ui) {
    std::lock_guard g(CSUI);
    return --ui->FLocked == 0 && ui->FCleared;
  }
  // True when `ui` is not in use; else marks it cleared.
  bool ClearIfFree(UI* ui) {
    std::lock_guard g(CSUI);
    if (ui->FLocked == 0) return true;
    ui->FCleared = 1;
    return false;
  }
  // Every registered adapter, each with its lock count raised (Unlock each one).
  std::vector<UI*> LockAll() {
    std::lock_guard g(CSUI);
    std::vector<UI*> all;
    for (auto& [name, ui] : UIs) {
      ++ui->FLocked;
      all.push_back(ui);
    }
    return all;
  }
  // Empties the registry and returns what it held.
  std::vector<UI*> TakeAll() {
    std::lock_guard g(CSUI);
    std::vector<UI*> all;
    for (auto& [name, ui] : UIs) all.push_back(ui);
    UIs.clear();
    return all;
  }

 private:
  std::mutex CSUI;
  std::map<std::string, UI*> UIs;
};

}  // namespace vtx
