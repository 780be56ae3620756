// The chat adapter a window uses: counts the room's open notices and raises one event per hook
// through the module's CallEvent, with itself as the event's object.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "portal/portal_chat.h"

namespace vtx {

class TRtcPChatUI : public TRtcAbsPChatUI {
 public:
  using Event = std::function<void(TRtcPChatUI& Sender)>;

  // The author and text of the last piece or join / leave notice.
  std::string Recv_User() const;
  std::string Recv_Message() const;

  bool Active() const { return FUserCnt > 0; }
  // true opens the room; false forgets the open notices and closes it.
  void setActive(bool on);

  Event OnInit, OnOpen, OnClose, OnUserJoined, OnUserLeft, OnMessage, OnError, OnLogOut;

  void Call_LogOut(TRtcConnection* Sender) override;
  void Call_Error(TRtcConnection* Sender) override;
  void Call_Init(TRtcConnection* Sender) override;
  void Call_Open(TRtcConnection* Sender) override;
  void Call_Close(TRtcConnection* Sender) override;
  void Call_UserJoined(TRtcConnection* Sender, const std::string& user) override;
  void Call_UserLeft(TRtcConnection* Sender, const std::string& user) override;
  void Call_Message(TRtcConnection* Sender, const std::string& user,
                    const std::string& msg) override;

 private:
  void raise(TRtcConnection* Sender, const char* name, const Event& handler);

  std::atomic<int> FUserCnt{0};
  mutable std::mutex FRecvLock;
  std::string FRecvUser, FRecvMessage;
};

}  // namespace vtx
