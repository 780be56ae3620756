// The portal session over two remote function clients: the Get channel (FGetModule) polls
// without pause for what is addressed to the user, the Put channel (FPutModule) carries the
// outgoing batches, the pings, the parameter calls and the logout.
//
// Threading: results and hooks of the two channels run on their connections' threads. FLock
// guards LoggedIn, the tick, the outgoing queue and the sender state; it is never held while
// a remote call is issued, a module is called or an event runs.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "portal/abs_portal_client.h"
#include "portal/outgoing_queue.h"
#include "portal/payload.h"
#include "transport/rtc_client_module.h"
#include "transport/rtc_result.h"

namespace vtx {

class SystemInfo;
class TRtcDataClient;

// 32 upper-case hexadecimal digits of a fresh random GUID; empty when none can be made.
std::string NewPortalLoginID();
// The error text of a channel's last condition (−1 … −5 or an HTTP status code).
std::string GatewayErrorText(int condition);

class TRtcPortalCli : public TAbsPortalClient {
 public:
  // The login's UserName, ComputerName and IP come from `system` (observed; the platform's
  // backend when null).
  explicit TRtcPortalCli(const SystemInfo* system = nullptr);
  ~TRtcPortalCli() override;

  void setSystemInfo(const SystemInfo* system);

  // Settings.
  TrtcpCompressLevel DataCompress() const { return FDataCompress; }
  void setDataCompress(TrtcpCompressLevel level) { FDataCompress = level; }
  int DataEncrypt() const { return FGetModule->EncryptionKey(); }
  void setDataEncrypt(int len);
  std::string DataSecureKey() const { return FGetModule->SecureKey; }
  void setDataSecureKey(const std::string& key);
  bool DataForceEncrypt() const { return FGetModule->ForceEncryption(); }
  void setDataForceEncrypt(bool on);
  int RetryFirstLogin() const { return FRetryFirstLogin; }
  void setRetryFirstLogin(int n) { FRetryFirstLogin = n; }
  int RetryOtherCalls() const { return FRetryOtherCalls; }
  void setRetryOtherCalls(int n) { FRetryOtherCalls = n; }
  std::string LoginPassword() const;
  void setLoginPassword(const std::string& password);  // stored trimmed

  // Lets the application add parameters to a login call; Data holds the prepared function.
  std::function<void(TRtcConnection& Sender, TRtcValue& Data)> OnCustomLoginData;

  // State.
  bool LoggedIn() const;
  void setLoggedIn(bool on);
  std::string LoginID() const;
  // User name -> the "userinfo" record of that user's login notice.
  std::unique_ptr<TRtcRecord> UserInfos() const;
  // The Put channel.
  TRtcClientModule& ClientModule() { return *FPutModule; }
  // Last transport condition of each channel.
  int ErrorGet() const { return FErrorGet; }
  int ErrorPut() const { return FErrorPut; }

  // TAbsPortalClient.
  bool Active() const override { return LoggedIn(); }
  void setActive(bool on) override;
  void setLoginUserName(const std::string& name) override;
  bool GParamsLoaded() const override { return FParamsLoaded; }
  void setGParamsLoaded(bool on) override;
  bool UserVisible() const override { return FPublish; }
  void setUserVisible(bool on) override;
  bool UserNotify() const override { return FSubscribe; }
  void setUserNotify(bool on) override;

  bool canSendNext() override;
  void ParamSet(TRtcConnection* Sender, const std::string& ParamName,
                std::unique_ptr<TRtcValueObject> ParamValue) override;
  void ParamAdd(TRtcConnection* Sender, const std::string& ParamName,
                std::unique_ptr<TRtcValueObject> ParamValue) override;
  void ParamDel(TRtcConnection* Sender, const std::string& ParamName,
                std::unique_ptr<TRtcValueObject> ParamValue) override;
  void LockSender(TRtcConnection* Sender) override;
  void UnLockSender(TRtcConnection* Sender) override;
  void SendPing(TRtcConnection* Sender) override;
  bool OtherSendPending() override;
  void SendToUser(TRtcConnection* Sender, const std::string& username,
                  std::unique_ptr<TRtcFunctionInfo> rec) override;
  void SendToMyGroup(TRtcConnection* Sender, const std::string& Group,
                     std::unique_ptr<TRtcFunctionInfo> rec) override;
  void SendPackedToUser(TRtcConnection* Sender, const std::string& username,
                        std::unique_ptr<TRtcFunctionInfo> rec) override;
  void SendPackedToMyGroup(TRtcConnection* Sender, const std::string& Group,
                           std::unique_ptr<TRtcFunctionInfo> rec) override;
  void AddUserToMyGroup(TRtcConnection* Sender, const std::string& username,
                        const std::string& Group) override;
  void RemoveUserFromMyGroup(TRtcConnection* Sender, const std::string& username,
                             const std::string& Group) override;
  void DisbandMyGroup(TRtcConnection* Sender, const std::string& Group) override;
  void LeaveUserGroup(TRtcConnection* Sender, const std::string& username,
                      const std::string& Group) override;
  void ChangePassword(TRtcConnection* Sender, const std::string& Username,
                      const std::string& OldPassword, const std::string& NewPassword) override;

 protected:
  // Runs a change of settings that a connection's jobs read in that connection's context (at
  // once when it has none yet or this is it), waiting at most 2 s for it.
  static void InConnectionContext(TRtcDataClient* c, const std::function<void()>& change);

  // Whether the Put channel's connection is up (ParamSet sends only then).
  virtual bool PutConnected() const;

  // Session steps (protected for the tests of the dispatch).
  void ResetSession();
  void StartSession();
  void LogoutSession();
  int NextTick();
  // One "Get" answer: every origin's items to the modules and events.
  void DispatchBatch(TRtcConnection* Sender, TRtcRecord& batch);
  void SendStep(TRtcConnection* Sender, bool FromInsideEvent);
  // Takes the batch for the next "Put" (null when none; then NowSending is cleared).
  std::unique_ptr<TRtcDataSet> TakeBatch(int& tick);

  void DispatchLogIn(TRtcConnection* Sender);
  void DispatchLogOut(TRtcConnection* Sender);
  void DispatchError(TRtcConnection* Sender, const std::string& text, bool fatal, bool logout);

  std::unique_ptr<TRtcClientModule> FGetModule, FPutModule;
  // Set while the connections are being taken down on purpose (until the next start): the
  // requests that this aborts are not reported as errors.
  std::atomic<bool> FHalted{false};

 private:
  void setupChannel(TRtcClientModule& m, bool get);
  void prepareLogin(TRtcConnection& Sender, TRtcValue& Data);
  void loginResult(TRtcConnection& Sender, TRtcValue& Result, bool get);
  void channelAborted(TRtcConnection& Sender, bool get);
  void call(TRtcClientModule& m, TRtcResult& r, TRtcConnection* Sender, bool FromInsideEvent);
  void callStart(TRtcConnection* Sender, bool FromInsideEvent, bool afterParams);
  void callGet(TRtcConnection* Sender, bool FromInsideEvent);
  void paramCall(const char* fn, const std::string& name, std::unique_ptr<TRtcValueObject> v);
  // Queues under the lock, then starts a send step when one is due.
  void queueAndSend(TRtcConnection* Sender, const std::function<void(TPortalOutQueue&)>& op);
  bool onChannelThread() const;
  void inChannel(TRtcClientModule& m, const std::function<void()>& change) {
    InConnectionContext(m.RootClient(), change);
  }

  void onGetResult(TRtcConnection* Sender, TRtcValue& Result);
  // `Call` is the Put as sent: a refusal in the answer gets its row's messages as "d".
  void onPutResult(TRtcConnection* Sender, TRtcValue& Call, TRtcValue& Result);
  void onPreStartResult(TRtcConnection* Sender, TRtcValue& Result);
  void onStartResult(TRtcConnection* Sender, TRtcValue& Result);
  void onLogoutResult(TRtcConnection* Sender, TRtcValue& Result);
  void onParamsResult(TRtcConnection* Sender, TRtcValue& Result);
  void dispatchItem(TRtcConnection* Sender, const std::string& origin, TRtcValueObject& item);
  void dispatchGroup(TRtcConnection* Sender, const std::string& event, const std::string& group,
                     const std::string& user, TRtcRecord& notice);
  void dispatchUser(TRtcConnection* Sender, bool in, const std::string& user);

  std::atomic<const SystemInfo*> FSystem;
  std::atomic<TrtcpCompressLevel> FDataCompress{TrtcpCompressLevel::rtcpCompNormal};
  std::atomic<int> FRetryFirstLogin{0}, FRetryOtherCalls{0};
  std::atomic<bool> FPublish{false}, FSubscribe{false}, FStarting{false}, FParamsLoaded{false};
  std::atomic<int> FErrorGet{-1}, FErrorPut{-1};

  mutable std::mutex FLock;  // the client's lock
  std::string FLoginID, FLoginPassword;
  bool FLoggedIn = false;
  int MsgTick = 0;
  TPortalOutQueue FQueue;
  bool NowSending = false, SentNext = false;
  std::size_t FTurnModules = 0;  // modules in the current send turn
  int SenderLocked = 0;

  mutable std::mutex FInfoLock;
  TRtcRecord FUserInfos;

  TRtcResult RPut, RGet, RPreStart, RStart, RLogout, RSetParam, RGetParams, RChangePassword;
};

}  // namespace vtx
