#include "portal/custom_command.h"

#include <memory>

#include "portal/abs_portal_client.h"
#include "util/exceptions.h"
#include "util/log.h"
#include "util/text.h"

namespace vtx {
namespace {

const char* const kGroup = "custom-command";

}  // namespace

int TRtcPCustomCommand::MemberCount() const {
  std::lock_guard g(FLock);
  return AmHostCnt;
}

bool TRtcPCustomCommand::isMember(const std::string& user) const {
  std::lock_guard g(FLock);
  auto it = AmHost.find(user);
  return it != AmHost.end() && it->second;
}

void TRtcPCustomCommand::SendCustomMessage(const std::string& UserName, const std::string& Msg,
                                           TRtcConnection* Sender) {
  TAbsPortalClient* c = Client();
  if (!c) return;
  auto f = std::make_unique<TRtcFunctionInfo>();
  f->setFunctionName(u"custom-command");
  f->setAsText("msg", Utf8Decode(Msg));
  c->SendToUser(Sender, UserName, std::move(f));
}

void TRtcPCustomCommand::Open(const std::string& UserName, TRtcConnection* Sender) {
  TAbsPortalClient* c = Client();
  if (!c) return;
  if (isMember(UserName)) {
    c->AddUserToMyGroup(Sender, UserName, kGroup);
  } else {
    auto f = std::make_unique<TRtcFunctionInfo>();
    f->setFunctionName(u"custom-command-open");
    c->SendToUser(Sender, UserName, std::move(f));
  }
}

void TRtcPCustomCommand::Close(const std::string& UserName, TRtcConnection* Sender) {
  TAbsPortalClient* c = Client();
  if (!c) return;
  bool member = false;
  {
    std::lock_guard g(FLock);
    auto it = AmHost.find(UserName);
    if (it != AmHost.end() && it->second) {
      member = true;
      AmHost.erase(it);
      --AmHostCnt;
    }
  }
  if (member)
    c->RemoveUserFromMyGroup(Sender, UserName, kGroup);
  else
    c->LeaveUserGroup(Sender, UserName, kGroup);
}

void TRtcPCustomCommand::HandleDataFromUser(TRtcConnection* Sender, const std::string& user,
                                            TRtcFunctionInfo& Data) {
  const RtcWideString name = Data.FunctionName();
  try {
    if (name == u"custom-command") {
      const TRtcValueTypes kind = Data.isType("msg");
      if (kind != rtc_Text && kind != rtc_String && kind != rtc_WideString)
        throw ERtcInfo("Assertion failure");
      const std::string msg = Utf8Encode(Data.asText("msg"));
      TRtcValue data;
      TRtcRecord& rec = data.NewRecord();
      rec.setAsText("who", Utf8Decode(user));
      rec.setAsText("msg", Utf8Decode(msg));
      auto handler = OnMessageReceived;
      CallEvent(
          Sender, "msg", static_cast<bool>(handler), [&] { handler(*this, user, msg); }, &data);
    } else if (name == u"custom-command-open") {
      if (isMember(user))
        if (TAbsPortalClient* c = Client()) c->AddUserToMyGroup(Sender, user, kGroup);
    }
  } catch (const std::exception& e) {
    WriteExceptionLog("COMMAND " + user, e);
  }
}

void TRtcPCustomCommand::eventCon(TRtcConnection* Sender, TEventType evt, const std::string& user) {
  TRtcValue data;
  TRtcRecord& rec = data.NewRecord();
  rec.setAsText("who", Utf8Decode(user));
  rec.setAsInteger("evt", static_cast<int>(evt));
  auto handler = OnConnectionEvent;
  CallEvent(
      Sender, "Con", static_cast<bool>(handler), [&] { handler(*this, evt, user); }, &data);
}

void TRtcPCustomCommand::HandleUserJoinedMyGroup(TRtcConnection* Sender, const std::string& group,
                                                 const std::string& user) {
  if (group != kGroup || !setSubscriber(user, true)) return;
  {
    std::lock_guard g(FLock);
    bool& member = AmHost[user];
    if (!member) ++AmHostCnt;
    member = true;
  }
  eventCon(Sender, TEventType::etConnect, user);
}

void TRtcPCustomCommand::HandleUserLeftMyGroup(TRtcConnection* Sender, const std::string& group,
                                               const std::string& user) {
  if (group != kGroup || !setSubscriber(user, false)) return;
  {
    std::lock_guard g(FLock);
    auto it = AmHost.find(user);
    if (it != AmHost.end() && it->second) {
      it->second = false;
      --AmHostCnt;
    }
  }
  eventCon(Sender, TEventType::etDisconnect, user);
}

void TRtcPCustomCommand::HandleJoinedUsersGroup(TRtcConnection* Sender, const std::string& group,
                                                const std::string& user) {
  if (group != kGroup || !setSubscriber(user, true)) return;
  eventCon(Sender, TEventType::etConnect, user);
}

void TRtcPCustomCommand::HandleLeftUsersGroup(TRtcConnection* Sender, const std::string& group,
                                              const std::string& user) {
  if (group != kGroup || !setSubscriber(user, false)) return;
  eventCon(Sender, TEventType::etDisconnect, user);
}

}  // namespace vtx
