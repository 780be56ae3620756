#include "portal/portal_chat.h"

#include <memory>

#include "portal/abs_portal_client.h"
#include "util/exceptions.h"
#include "util/log.h"
#include "util/text.h"

namespace vtx {
namespace {

const char* const kGroup = "chat";

RtcWideString w(const std::string& s) {
  return Utf8Decode(s);
}

// A field that is text or string, or empty.
bool textOf(TRtcFunctionInfo& fn, const char* name, std::string& out) {
  const TRtcValueTypes t = fn.isType(name);
  if (t != rtc_Text && t != rtc_String && t != rtc_WideString) return false;
  out = Utf8Encode(fn.asText(name));
  return true;
}

std::unique_ptr<TRtcFunctionInfo> function(const char16_t* name) {
  auto f = std::make_unique<TRtcFunctionInfo>();
  f->setFunctionName(name);
  return f;
}

void assertPiece(const std::string& msg) {
  if (msg.empty()) throw ERtcInfo("Assertion failure");
}

}  // namespace

// ---- Adapter ----

void TRtcAbsPChatUI::Open(TRtcConnection* Sender) {
  forward([&](TRtcPChat& m, const std::string& name) { m.Open(name, Sender); });
}

void TRtcAbsPChatUI::Close(TRtcConnection* Sender) {
  forward([&](TRtcPChat& m, const std::string& name) { m.Close(name, Sender); });
}

void TRtcAbsPChatUI::Send(const std::string& Msg, TRtcConnection* Sender) {
  forward([&](TRtcPChat& m, const std::string& name) { m.Send(name, Msg, Sender); });
}

bool TRtcAbsPChatUI::CloseAndClear(TRtcConnection* Sender) {
  return unregisterAndClose([&](TRtcPChat& m, const std::string& name) { m.Close(name, Sender); });
}

// ---- Module ----

TRtcPChat::~TRtcPChat() {
  UIs.UnlinkAll();
}

void TRtcPChat::setGAllowJoin(bool on) {
  FAllow = on;
  if (FGatewayParams) StoreGwParam("NoChat", on);
}

void TRtcPChat::setGAllowJoin_Super(bool on) {
  FAllowSuper = on;
  if (FGatewayParams) StoreGwParam("NoSuperChat", on);
}

std::string TRtcPChat::localUser() const {
  return Client() ? Client()->LoginUserName() : std::string();
}

bool TRtcPChat::allowed(const std::string& user) const {
  return AccessAllowed(FAccessControl, FAllow, FAllowSuper, user);
}

int TRtcPChat::MemberCount() const {
  std::lock_guard g(FLock);
  return AmHostCnt;
}

bool TRtcPChat::isMember(const std::string& user) const {
  std::lock_guard g(FLock);
  auto it = AmHost.find(user);
  return it != AmHost.end() && it->second;
}

// ---- Operations ----

void TRtcPChat::Open(const std::string& UserName, TRtcConnection* Sender) {
  TAbsPortalClient* c = Client();
  if (!c) return;
  if (FHostMode)
    c->AddUserToMyGroup(Sender, UserName, kGroup);
  else
    c->SendToUser(Sender, UserName, function(u"chat"));
}

void TRtcPChat::Close(const std::string& UserName, TRtcConnection* Sender) {
  TAbsPortalClient* c = Client();
  if (!c) return;
  if (SameTextAscii(w(UserName), w(localUser()))) {
    {
      std::lock_guard g(FLock);
      AmHost.clear();
      AmHostCnt = 0;
    }
    c->DisbandMyGroup(Sender, kGroup);
  } else if (isMember(UserName)) {
    c->RemoveUserFromMyGroup(Sender, UserName, kGroup);
  } else {
    c->LeaveUserGroup(Sender, UserName, kGroup);
  }
}

void TRtcPChat::Send(const std::string& UserName, const std::string& Msg, TRtcConnection* Sender) {
  assertPiece(Msg);
  TAbsPortalClient* c = Client();
  if (!c) return;
  const std::string me = localUser();
  auto f = function(u"msg");
  f->setAsText("s", w(Msg));
  if (SameTextAscii(w(UserName), w(me)))
    c->SendToMyGroup(Sender, kGroup, std::move(f));
  else
    c->SendToUser(Sender, UserName, std::move(f));
  eventMessage(Sender, true, me, UserName, Msg);
}

// ---- Events ----

void TRtcPChat::eventRoom(TRtcConnection* Sender, const char* name, const UserEvent& handler,
                          const std::string& room) {
  TRtcValue data;
  data.setAsText(w(room));
  CallEvent(
      Sender, name, static_cast<bool>(handler), [&] { handler(*this, room); }, &data);
  const std::string n = name;
  if (n == "ChatInit")
    UIs.With(Sender, room, 1, [&](TRtcAbsPChatUI& ui) { ui.Call_Init(Sender); });
  else if (n == "ChatOpen")
    UIs.With(Sender, room, 2, [&](TRtcAbsPChatUI& ui) { ui.Call_Open(Sender); });
  else
    UIs.With(Sender, room, 0, [&](TRtcAbsPChatUI& ui) { ui.Call_Close(Sender); });
}

void TRtcPChat::eventRoomUser(TRtcConnection* Sender, bool joined, const std::string& room,
                              const std::string& user) {
  TRtcValue data;
  TRtcRecord& rec = data.NewRecord();
  rec.setAsText("room", w(room));
  rec.setAsText("user", w(user));
  const RoomUserEvent& handler = joined ? On_ChatUserJoined : On_ChatUserLeft;
  CallEvent(
      Sender, joined ? "ChatUserJoined" : "ChatUserLeft", static_cast<bool>(handler),
      [&] { handler(*this, room, user); }, &data);
  UIs.With(Sender, room, 0, [&](TRtcAbsPChatUI& ui) {
    if (joined)
      ui.Call_UserJoined(Sender, user);
    else
      ui.Call_UserLeft(Sender, user);
  });
}

void TRtcPChat::eventMessage(TRtcConnection* Sender, bool sent, const std::string& room,
                             const std::string& user, const std::string& msg) {
  assertPiece(msg);
  TRtcValue data;
  TRtcRecord& rec = data.NewRecord();
  rec.setAsText("room", w(room));
  rec.setAsText("user", w(user));
  rec.setAsText("msg", w(msg));
  const MessageEvent& handler = sent ? On_ChatMessageSent : On_ChatMessage;
  CallEvent(
      Sender, sent ? "ChatMessageSent" : "ChatMessage", static_cast<bool>(handler),
      [&] { handler(*this, room, user, msg); }, &data);
  UIs.With(Sender, room, 0, [&](TRtcAbsPChatUI& ui) { ui.Call_Message(Sender, user, msg); });
  if (sent && !FHostMode) return;

  // Line assembly: a piece ending with a carriage return completes the room's line.
  std::string line;
  {
    std::lock_guard g(FLock);
    std::string& buffer = (sent ? fOutBuffer : fInBuffer)[room];
    if (msg.back() == '\r') {
      line = std::move(buffer) + msg;
      (sent ? fOutBuffer : fInBuffer).erase(room);
    } else if (buffer.size() + msg.size() > kMaxLineBuffer) {
      // A line that never ends is handed on in parts rather than kept without bound.
      line = std::move(buffer);
      buffer = msg;
    } else {
      buffer += msg;
    }
  }
  if (!line.empty()) eventLine(Sender, room, user, line);
}

void TRtcPChat::eventLine(TRtcConnection* Sender, const std::string& room, const std::string& user,
                          const std::string& line) {
  TRtcValue data;
  TRtcRecord& rec = data.NewRecord();
  rec.setAsText("room", w(room));
  rec.setAsText("user", w(user));
  rec.setAsText("msg", w(line));
  auto handler = On_ChatMessageLine;
  CallEvent(
      Sender, "ChatMessageLine", static_cast<bool>(handler),
      [&] { handler(*this, room, user, line); }, &data);
  WriteDatedLog(user + " -> " + line, "chat");
}

// ---- Hooks ----

void TRtcPChat::ResetUsers() {
  TRtcPModule::ResetUsers();
  std::lock_guard g(FLock);
  AmHost.clear();
  AmHostCnt = 0;
}

void TRtcPChat::HandleLogOut(TRtcConnection* Sender) {
  UIs.All([&](TRtcAbsPChatUI& ui) { ui.Call_LogOut(Sender); });
}

void TRtcPChat::HandleError(TRtcConnection* Sender, TRtcValue&) {
  UIs.All([&](TRtcAbsPChatUI& ui) { ui.Call_Error(Sender); });
}

void TRtcPChat::HandleFatalError(TRtcConnection* Sender, TRtcValue&) {
  UIs.All([&](TRtcAbsPChatUI& ui) { ui.Call_Error(Sender); });
}

void TRtcPChat::HandleParams(TRtcConnection*, TRtcValue& Data) {
  if (!FGatewayParams) return;
  bool v;
  if (ReadGwParam(Data, "NoChat", v)) FAllow = v;
  if (ReadGwParam(Data, "NoSuperChat", v)) FAllowSuper = v;
}

void TRtcPChat::HandleUserJoinedMyGroup(TRtcConnection* Sender, const std::string& group,
                                        const std::string& user) {
  if (group != kGroup || !setSubscriber(user, true)) return;
  int count;
  {
    std::lock_guard g(FLock);
    bool& member = AmHost[user];
    if (!member) ++AmHostCnt;
    member = true;
    count = AmHostCnt;
  }
  EventNewUser(Sender, user);
  const std::string me = localUser();
  if (count == 1) eventRoom(Sender, "ChatOpen", On_ChatOpen, me);
  eventRoomUser(Sender, true, me, user);
  if (TAbsPortalClient* c = Client()) {
    auto f = function(u"chat");
    f->setAsText("add", w(user));
    c->SendToMyGroup(Sender, kGroup, std::move(f));
  }
}

void TRtcPChat::HandleUserLeftMyGroup(TRtcConnection* Sender, const std::string& group,
                                      const std::string& user) {
  if (group != kGroup || !setSubscriber(user, false)) return;
  int count;
  bool wasMember = false;
  {
    std::lock_guard g(FLock);
    auto it = AmHost.find(user);
    if (it != AmHost.end()) {
      wasMember = it->second;
      if (it->second && AmHostCnt > 0) --AmHostCnt;
      AmHost.erase(it);
    }
    count = AmHostCnt;
  }
  const std::string me = localUser();
  eventRoomUser(Sender, false, me, user);
  // After a disband the members are forgotten at once; the room closes with the last notice.
  if (count == 0 && (wasMember || SubscriberCount() == 0))
    eventRoom(Sender, "ChatClose", On_ChatClose, me);
  if (TAbsPortalClient* c = Client()) {
    auto f = function(u"chat");
    f->setAsText("rem", w(user));
    c->SendToMyGroup(Sender, kGroup, std::move(f));
  }
  EventOldUser(Sender, user);
}

void TRtcPChat::HandleJoinedUsersGroup(TRtcConnection* Sender, const std::string& group,
                                       const std::string& user) {
  if (group != kGroup || isSubscriber(user)) return;
  if (!allowed(user) || !QueryAccess(Sender, user)) {
    Close(user, Sender);
    return;
  }
  if (!setSubscriber(user, true)) return;
  EventNewUser(Sender, user);
  eventRoom(Sender, "ChatOpen", On_ChatOpen, user);
}

void TRtcPChat::HandleLeftUsersGroup(TRtcConnection* Sender, const std::string& group,
                                     const std::string& user) {
  if (group != kGroup || !setSubscriber(user, false)) return;
  eventRoom(Sender, "ChatClose", On_ChatClose, user);
  EventOldUser(Sender, user);
}

void TRtcPChat::HandleDataFromUser(TRtcConnection* Sender, const std::string& user,
                                   TRtcFunctionInfo& Data) {
  const RtcWideString name = Data.FunctionName();
  try {
    if (name == u"chat")
      handleChat(Sender, user, Data);
    else if (name == u"msg")
      handleMsg(Sender, user, Data);
  } catch (const std::exception& e) {
    // The bad item is dropped; the rest of the batch goes on.
    WriteExceptionLog("CHAT " + user, e);
  }
}

void TRtcPChat::handleChat(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn) {
  if (!isSubscriber(user)) {
    if (!FHostMode || !allowed(user) || !QueryAccess(Sender, user)) return;
    eventRoom(Sender, "ChatInit", On_ChatInit, localUser());
    if (TAbsPortalClient* c = Client()) c->AddUserToMyGroup(Sender, user, kGroup);
    return;
  }
  std::string other;
  if (textOf(fn, "add", other))
    eventRoomUser(Sender, true, user, other);
  else if (fn.isType("rem") == rtc_Null)
    eventRoomUser(Sender, true, user, user);
  else
    eventRoomUser(Sender, false, user, Utf8Encode(fn.asText("rem")));
}

void TRtcPChat::handleMsg(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn) {
  const TRtcValueTypes kind = fn.isType("s");
  if (kind != rtc_Text && kind != rtc_String && kind != rtc_WideString)
    throw ERtcInfo("Assertion failure");
  const std::string s = Utf8Encode(fn.asText("s"));
  assertPiece(s);
  if (isMember(user)) {
    eventMessage(Sender, false, localUser(), user, s);
    if (TAbsPortalClient* c = Client()) {
      auto f = function(u"msg");
      f->setAsText("s", w(s));
      f->setAsText("user", w(user));
      c->SendToMyGroup(Sender, kGroup, std::move(f));
    }
    return;
  }
  if (!isSubscriber(user) && !allowed(user)) return;
  std::string author;
  if (!textOf(fn, "user", author)) author = user;
  eventMessage(Sender, false, user, author, s);
}

}  // namespace vtx
