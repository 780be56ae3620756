// Text chat between portal users. A room belongs to its host and is the host's group "chat";
// members send their lines to the host, which relays each one to the whole room with its
// author. TRtcAbsPChatUI is the adapter through which one window shows one room.
//
// Functions: "chat" (a join request; from the host: add / rem = a member joined / left) and
// "msg" (s = the text; user = the author when relayed by the host).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "portal/portal_module.h"
#include "portal/portal_ui_registry.h"

namespace vtx {

class TRtcPChat;

// Links through setModule / setUserName (TRtcPModuleUI): UserName must be set before linking,
// can not be cleared while linked, and another adapter of the same room is unlinked.
class TRtcAbsPChatUI : public TRtcPModuleUI<TRtcPChat> {
 public:
  TRtcAbsPChatUI() : TRtcPModuleUI("RtcPChat", "CHATUI") {}

  // Hooks the module calls with news of the room.
  virtual void Call_LogOut(TRtcConnection* Sender) = 0;
  virtual void Call_Error(TRtcConnection* Sender) = 0;
  virtual void Call_Init(TRtcConnection* Sender) = 0;
  virtual void Call_Open(TRtcConnection* Sender) = 0;
  virtual void Call_Close(TRtcConnection* Sender) = 0;
  virtual void Call_UserJoined(TRtcConnection* Sender, const std::string& user) = 0;
  virtual void Call_UserLeft(TRtcConnection* Sender, const std::string& user) = 0;
  virtual void Call_Message(TRtcConnection* Sender, const std::string& user,
                            const std::string& msg) = 0;

  // Forward to the module with UserName; nothing without both.
  virtual void Open(TRtcConnection* Sender = nullptr);
  virtual void Close(TRtcConnection* Sender = nullptr);
  // Unregisters and closes the room; true when the adapter was free and is unlinked now, false
  // when it is still in use (it is unlinked, with a LogOut hook, when its last use ends).
  virtual bool CloseAndClear(TRtcConnection* Sender = nullptr);
  virtual void Send(const std::string& Msg, TRtcConnection* Sender = nullptr);
};

class TRtcPChat : public TRtcPModule {
 public:
  TRtcPChat() = default;
  // Unlinks every registered adapter.
  ~TRtcPChat() override;

  bool BeTheHost() const { return FHostMode; }
  void setBeTheHost(bool on) { FHostMode = on; }
  bool GwStoreParams() const { return FGatewayParams; }
  void setGwStoreParams(bool on) { FGatewayParams = on; }
  bool GAllowJoin() const { return FAllow; }
  void setGAllowJoin(bool on);
  bool GAllowJoin_Super() const { return FAllowSuper; }
  void setGAllowJoin_Super(bool on);
  bool AccessControl() const { return FAccessControl; }
  void setAccessControl(bool on) { FAccessControl = on; }

  // Host mode: invites the user into the local room; else asks the user's room to let us in.
  void Open(const std::string& UserName, TRtcConnection* Sender = nullptr);
  // The local user's own name disbands the local room; a member is removed from it; any other
  // name is a room we leave.
  void Close(const std::string& UserName, TRtcConnection* Sender = nullptr);
  // One piece of text to the user's room (the local room for the local user's name). An
  // empty piece raises ERtcInfo "Assertion failure".
  void Send(const std::string& UserName, const std::string& Msg, TRtcConnection* Sender = nullptr);

  using UserEvent = std::function<void(TRtcPChat& Sender, const std::string& user)>;
  using RoomUserEvent =
      std::function<void(TRtcPChat& Sender, const std::string& chatroom, const std::string& user)>;
  using MessageEvent = std::function<void(TRtcPChat& Sender, const std::string& chatroom,
                                          const std::string& user, const std::string& msg)>;
  using QueryAccessEvent =
      std::function<void(TRtcPModule& Sender, const std::string& user, bool& Allow)>;
  using ModuleUserEvent = std::function<void(TRtcPModule& Sender, const std::string& user)>;

  void setOnQueryAccess(QueryAccessEvent e) { FOnQueryAccess = std::move(e); }
  void setOnUserJoined(ModuleUserEvent e) { FOnNewUser = std::move(e); }
  void setOnUserLeft(ModuleUserEvent e) { FOnOldUser = std::move(e); }
  UserEvent OnNewUI, On_ChatInit, On_ChatOpen, On_ChatClose;
  RoomUserEvent On_ChatUserJoined, On_ChatUserLeft;
  MessageEvent On_ChatMessage, On_ChatMessageSent, On_ChatMessageLine;

  // Hooks.
  void ResetUsers() override;
  void HandleLogOut(TRtcConnection* Sender) override;
  void HandleError(TRtcConnection* Sender, TRtcValue& Data) override;
  void HandleFatalError(TRtcConnection* Sender, TRtcValue& Data) override;
  void HandleParams(TRtcConnection* Sender, TRtcValue& Data) override;
  void HandleUserJoinedMyGroup(TRtcConnection* Sender, const std::string& group,
                               const std::string& user) override;
  void HandleUserLeftMyGroup(TRtcConnection* Sender, const std::string& group,
                             const std::string& user) override;
  void HandleJoinedUsersGroup(TRtcConnection* Sender, const std::string& group,
                              const std::string& user) override;
  void HandleLeftUsersGroup(TRtcConnection* Sender, const std::string& group,
                            const std::string& user) override;
  // A bad "chat" or "msg" is dropped with a log line; it never stops the rest of a batch.
  void HandleDataFromUser(TRtcConnection* Sender, const std::string& user,
                          TRtcFunctionInfo& Data) override;

  // Members of the local room.
  int MemberCount() const;
  bool isMember(const std::string& user) const;

  // A room's unfinished line is handed on as a line of its own once it reaches this size.
  static constexpr std::size_t kMaxLineBuffer = 1 << 20;

 private:
  friend class TRtcAbsPChatUI;
  friend class TRtcPModuleUI<TRtcPChat>;
  void handleChat(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn);
  void handleMsg(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn);
  std::string localUser() const;
  bool allowed(const std::string& user) const;

  // Events, each followed by the room adapter's hook.
  void eventRoom(TRtcConnection* Sender, const char* name, const UserEvent& handler,
                 const std::string& room);
  void eventRoomUser(TRtcConnection* Sender, bool joined, const std::string& room,
                     const std::string& user);
  void eventMessage(TRtcConnection* Sender, bool sent, const std::string& room,
                    const std::string& user, const std::string& msg);
  void eventLine(TRtcConnection* Sender, const std::string& room, const std::string& user,
                 const std::string& line);
  TRtcPUIRegistry<TRtcPChat, TRtcAbsPChatUI> UIs{*this, "ChatOpen", "CHAT"};
  mutable std::mutex FLock;                       // the buffers and AmHost
  std::map<std::string, std::string> fInBuffer;   // room -> unfinished line received
  std::map<std::string, std::string> fOutBuffer;  // room -> unfinished line sent
  std::map<std::string, bool> AmHost;             // members of the local room
  int AmHostCnt = 0;
  std::atomic<bool> FAllow{true}, FAllowSuper{true}, FAccessControl{true}, FGatewayParams{false},
      FHostMode{false};
};

}  // namespace vtx
