// What every portal client has: the module registry, the access lists, the events and their
// dispatch, the ping and auto-close timers. The session operations are left to descendants.
//
// Names (users, groups, events) are UTF-8 strings; they travel as text values.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "portal/portal_component.h"
#include "portal/portal_events.h"
#include "portal/portal_module.h"
#include "transport/rtc_timer.h"
#include "values/values.h"

namespace vtx {

class TnxPortalBaseLog;
class TRtcConnection;

class TAbsPortalClient : public TRtcPortalComponent {
 public:
  TAbsPortalClient();
  // Stops the timers and detaches every module.
  ~TAbsPortalClient() override;

  // Settings.
  TnxPortalBaseLog* PortalLog() const { return FPortalLog.load(); }
  void setPortalLog(TnxPortalBaseLog* log) { FPortalLog = log; }
  int PingGatewayIntervalInSec() const { return FPingInterval; }
  void setPingGatewayIntervalInSec(int seconds);
  int AutoCloseAfter() const { return FAutoCloseAfter; }
  void setAutoCloseAfter(int minutes) { FAutoCloseAfter = minutes; }
  bool GwStoreParams() const { return FGwStoreParams; }
  void setGwStoreParams(bool on) { FGwStoreParams = on; }
  bool AutoSyncEvents() const { return FAutoSyncEvents; }
  void setAutoSyncEvents(bool on) { FAutoSyncEvents = on; }

  virtual bool Active() const = 0;
  virtual void setActive(bool on) = 0;
  virtual void setLoginUserName(const std::string& name);  // stored trimmed
  virtual std::string LoginUserName() const;
  virtual bool GParamsLoaded() const = 0;
  virtual void setGParamsLoaded(bool on) = 0;
  virtual bool UserVisible() const = 0;
  virtual void setUserVisible(bool on) = 0;
  virtual bool UserNotify() const = 0;
  virtual void setUserNotify(bool on) = 0;

  // Notification handlers run in registration order; the token identifies one for removal.
  virtual uint64_t AddNotificationHandler(TRtcPortalEventNotification handler);
  virtual void RemoveNotificationHandler(uint64_t token);

  // Session operations. Functions handed over belong to the client from then on.
  virtual bool canSendNext() = 0;
  virtual void ParamSet(TRtcConnection* Sender, const std::string& ParamName,
                        std::unique_ptr<TRtcValueObject> ParamValue) = 0;
  virtual void ParamAdd(TRtcConnection* Sender, const std::string& ParamName,
                        std::unique_ptr<TRtcValueObject> ParamValue) = 0;
  virtual void ParamDel(TRtcConnection* Sender, const std::string& ParamName,
                        std::unique_ptr<TRtcValueObject> ParamValue) = 0;
  virtual void LockSender(TRtcConnection* Sender) = 0;
  virtual void UnLockSender(TRtcConnection* Sender) = 0;
  virtual void SendPing(TRtcConnection* Sender) = 0;
  // Whether a module that waits for news inside PrepareToSend would hold up other sending:
  // messages are queued already, or other modules take part in the current send turn.
  // Base: true (never wait).
  virtual bool OtherSendPending() { return true; }
  virtual void SendToUser(TRtcConnection* Sender, const std::string& username,
                          std::unique_ptr<TRtcFunctionInfo> rec) = 0;
  virtual void SendToMyGroup(TRtcConnection* Sender, const std::string& Group,
                             std::unique_ptr<TRtcFunctionInfo> rec) = 0;
  // The same for content that is packed already (screen updates): its row is compressed with
  // the fast level, or not at all when DataCompress is off. Base: the plain sends.
  virtual void SendPackedToUser(TRtcConnection* Sender, const std::string& username,
                                std::unique_ptr<TRtcFunctionInfo> rec) {
    SendToUser(Sender, username, std::move(rec));
  }
  virtual void SendPackedToMyGroup(TRtcConnection* Sender, const std::string& Group,
                                   std::unique_ptr<TRtcFunctionInfo> rec) {
    SendToMyGroup(Sender, Group, std::move(rec));
  }
  virtual void AddUserToMyGroup(TRtcConnection* Sender, const std::string& username,
                                const std::string& Group) = 0;
  virtual void RemoveUserFromMyGroup(TRtcConnection* Sender, const std::string& username,
                                     const std::string& Group) = 0;
  virtual void DisbandMyGroup(TRtcConnection* Sender, const std::string& Group) = 0;
  // `username` names the owner of the group being left.
  virtual void LeaveUserGroup(TRtcConnection* Sender, const std::string& username,
                              const std::string& Group) = 0;
  virtual void ChangePassword(TRtcConnection* Sender, const std::string& Username,
                              const std::string& OldPassword, const std::string& NewPassword) = 0;

  // Dispatches one event: notifications before, the handler (when doCall and Event is set),
  // notifications after. The overloads without an object pass the client itself.
  virtual void CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                         const std::function<void()>& Event, TRtcPortalComponent* Obj,
                         TRtcValue* Data);
  void CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                 const std::function<void()>& Event, TRtcValue* Data);
  void CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                 const std::function<void()>& Event, TRtcPortalComponent* Obj);
  void CallEvent(TRtcConnection* Sender, const std::string& EventName, bool doCall,
                 const std::function<void()>& Event);

  // Access lists, kept sorted (names compared without regard to ASCII case).
  bool GRestrictAccess() const { return FRestrictAccess; }
  void setGRestrictAccess(bool on);
  std::vector<std::string> GUsers() const;
  void setGUsers(const std::vector<std::string>& names);
  std::vector<std::string> GSuperUsers() const;
  void setGSuperUsers(const std::vector<std::string>& names);
  int gUserListCount() const;
  int gSuperUserCount() const;
  std::string gUserListName(int i) const;  // empty when out of range
  std::string gSuperUserName(int i) const;
  // Every user while GRestrictAccess is off, else the names in GUsers.
  bool inUserList(const std::string& user) const;
  void setInUserList(const std::string& user, bool on);
  bool isSuperUser(const std::string& user) const;
  void setIsSuperUser(const std::string& user, bool on);

  // Date-time of the last login, 0 while not logged in.
  double LoginTime() const { return FLoginTime; }
  // User name -> the "userinfo" record received when that user joined one of our groups.
  std::unique_ptr<TRtcRecord> SubscriberInfos() const;

  // Modules in attachment order (a snapshot).
  std::vector<TRtcPModule*> Modules() const;

  // Events.
  TRtcPortalNotifyEvent OnLogIn, OnLogOut;
  TRtcPortalDataEvent OnStart, OnParams;
  TRtcPortalMessageEvent OnError, OnFatalError, OnInformationMessage;
  TRtcPortalUserEvent OnUserLoggedIn, OnUserLoggedOut;
  TRtcPortalGroupEvent On_UserJoinedMyGroup, On_UserLeftMyGroup, On_JoinedUsersGroup,
      On_LeftUsersGroup;
  TRtcPortalEventNotification OnEventNotification;

 protected:
  // Logs the event when PortalLog takes it, then runs the notification handlers and
  // OnEventNotification (synchronised like the events).
  virtual void DoEventOccured(TRtcConnection* Sender, bool before, const std::string& EventName,
                              const std::string& uname, TRtcPortalComponent* Obj, TRtcValue* Data);
  // Runs `fn` on the main thread when AutoSyncEvents asks for it, else here.
  void runEvent(TRtcConnection* Sender, const std::function<void()>& fn);

  // Applies a "User.Get" record to the access lists (no parameter calls result).
  void applyAccessParams(TRtcRecord& params);
  // The auto-close rule: idle for more than AutoCloseAfter minutes since login → inactive.
  void checkAutoClose();
  void setLoginTime(double t) { FLoginTime = t; }
  void enableAutoClose(bool on);
  // Ends the timers; descendants call it first in their destructors.
  void stopTimers();
  void setSubscriberInfo(const std::string& user, const TRtcValueObject* info);
  void removeSubscriberInfo(const std::string& user);

 private:
  friend class TRtcPModule;
  void addModule(TRtcPModule* module);
  void removeModule(TRtcPModule* module);
  void syncList(bool super);
  struct TimerGuard;

  std::atomic<TnxPortalBaseLog*> FPortalLog{nullptr};
  std::atomic<int> FPingInterval{10}, FAutoCloseAfter{0};
  std::atomic<bool> FGwStoreParams{false}, FAutoSyncEvents{false}, FRestrictAccess{false};
  std::atomic<double> FLoginTime{0};

  mutable std::mutex FNameLock;  // the login name
  std::string FLoginUserName;

  mutable std::mutex FModuleLock;
  TRtcPModuleList FModules;

  mutable std::mutex FHandlerLock;
  std::vector<std::unique_ptr<TnxpNotificationHandlerContainer>> FHandlers;
  uint64_t FNextToken = 1;

  mutable std::mutex FAccessLock;  // the four lists
  std::vector<std::string> FUsers, FSuperUsers, FUsersSynced, FSuperUsersSynced;

  mutable std::mutex FInfoLock;
  TRtcRecord FSubscriberInfos;

  std::shared_ptr<TimerGuard> FTimers;
};

}  // namespace vtx
