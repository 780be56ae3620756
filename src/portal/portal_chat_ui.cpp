#include "portal/portal_chat_ui.h"

namespace vtx {

std::string TRtcPChatUI::Recv_User() const {
  std::lock_guard g(FRecvLock);
  return FRecvUser;
}

std::string TRtcPChatUI::Recv_Message() const {
  std::lock_guard g(FRecvLock);
  return FRecvMessage;
}

void TRtcPChatUI::setActive(bool on) {
  if (on) {
    Open();
  } else {
    FUserCnt = 0;
    Close();
  }
}

void TRtcPChatUI::raise(TRtcConnection* Sender, const char* name, const Event& handler) {
  TRtcPChat* m = Module();
  if (!m) {
    if (handler) handler(*this);
    return;
  }
  m->CallEvent(
      Sender, name, static_cast<bool>(handler), [&] { handler(*this); }, this);
}

void TRtcPChatUI::Call_LogOut(TRtcConnection* Sender) {
  FUserCnt = 0;
  raise(Sender, "Logout", OnLogOut);
}

void TRtcPChatUI::Call_Error(TRtcConnection* Sender) {
  FUserCnt = 0;
  raise(Sender, "Error", OnError);
}

void TRtcPChatUI::Call_Init(TRtcConnection* Sender) {
  raise(Sender, "Init", OnInit);
}

void TRtcPChatUI::Call_Open(TRtcConnection* Sender) {
  if (FUserCnt++ == 0) raise(Sender, "Open", OnOpen);
}

void TRtcPChatUI::Call_Close(TRtcConnection* Sender) {
  int n = FUserCnt.load();
  while (n > 0 && !FUserCnt.compare_exchange_weak(n, n - 1)) {
  }
  if (n == 1) raise(Sender, "Close", OnClose);
}

void TRtcPChatUI::Call_UserJoined(TRtcConnection* Sender, const std::string& user) {
  {
    std::lock_guard g(FRecvLock);
    FRecvUser = user;
  }
  raise(Sender, "UserJoined", OnUserJoined);
}

void TRtcPChatUI::Call_UserLeft(TRtcConnection* Sender, const std::string& user) {
  {
    std::lock_guard g(FRecvLock);
    FRecvUser = user;
  }
  raise(Sender, "UserLeft", OnUserLeft);
}

void TRtcPChatUI::Call_Message(TRtcConnection* Sender, const std::string& user,
                               const std::string& msg) {
  {
    std::lock_guard g(FRecvLock);
    FRecvUser = user;
    FRecvMessage = msg;
  }
  raise(Sender, "Message", OnMessage);
}

}  // namespace vtx
