// A portal client without a session for the module tests: it records every group change,
// message and parameter call a module makes, and hands the hooks to its modules as the real
// client's dispatch does.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "portal/abs_portal_client.h"
#include "util/text.h"

namespace vtx::testing {

class FakeClient : public TAbsPortalClient {
 public:
  struct Sent {
    std::string to;  // user, or "group:<name>" for SendToMyGroup
    std::unique_ptr<TRtcFunctionInfo> fn;
    bool packed = false;  // sent with SendPackedTo*
    std::string name() const { return Utf8Encode(fn->FunctionName()); }
    std::string text(const char* field) const { return Utf8Encode(fn->asText(field)); }
  };

  FakeClient() { setLoginUserName("host"); }
  ~FakeClient() override { stopTimers(); }

  bool Active() const override { return true; }
  void setActive(bool) override {}
  bool GParamsLoaded() const override { return true; }
  void setGParamsLoaded(bool) override {}
  bool UserVisible() const override { return true; }
  void setUserVisible(bool) override {}
  bool UserNotify() const override { return false; }
  void setUserNotify(bool) override {}
  bool canSendNext() override { return true; }
  void ParamSet(TRtcConnection*, const std::string& n,
                std::unique_ptr<TRtcValueObject> v) override {
    calls.push_back("ParamSet " + n + " " + v->toCode());
  }
  void ParamAdd(TRtcConnection*, const std::string&, std::unique_ptr<TRtcValueObject>) override {}
  void ParamDel(TRtcConnection*, const std::string&, std::unique_ptr<TRtcValueObject>) override {}
  void LockSender(TRtcConnection*) override {}
  void UnLockSender(TRtcConnection*) override {}
  void SendPing(TRtcConnection*) override {}
  void SendToUser(TRtcConnection*, const std::string& u,
                  std::unique_ptr<TRtcFunctionInfo> f) override {
    sent.push_back({u, std::move(f)});
  }
  void SendToMyGroup(TRtcConnection*, const std::string& g,
                     std::unique_ptr<TRtcFunctionInfo> f) override {
    sent.push_back({"group:" + g, std::move(f)});
  }
  void SendPackedToUser(TRtcConnection* s, const std::string& u,
                        std::unique_ptr<TRtcFunctionInfo> f) override {
    FakeClient::SendToUser(s, u, std::move(f));
    sent.back().packed = true;
  }
  void SendPackedToMyGroup(TRtcConnection* s, const std::string& g,
                           std::unique_ptr<TRtcFunctionInfo> f) override {
    FakeClient::SendToMyGroup(s, g, std::move(f));
    sent.back().packed = true;
  }
  void AddUserToMyGroup(TRtcConnection*, const std::string& u, const std::string& g) override {
    calls.push_back("Add " + u + " " + g);
  }
  void RemoveUserFromMyGroup(TRtcConnection*, const std::string& u, const std::string& g) override {
    calls.push_back("Remove " + u + " " + g);
  }
  void DisbandMyGroup(TRtcConnection*, const std::string& g) override {
    calls.push_back("Disband " + g);
  }
  void LeaveUserGroup(TRtcConnection*, const std::string& u, const std::string& g) override {
    calls.push_back("Leave " + u + " " + g);
  }
  void ChangePassword(TRtcConnection*, const std::string&, const std::string&,
                      const std::string&) override {}

  // The dispatch of the real client, hook by hook, to every attached module.
  void data(const std::string& from, TRtcFunctionInfo& f) {
    for (TRtcPModule* m : Modules()) m->HandleDataFromUser(nullptr, from, f);
  }
  void joinedMine(const std::string& g, const std::string& u) {
    for (TRtcPModule* m : Modules()) m->HandleUserJoinedMyGroup(nullptr, g, u);
  }
  void leftMine(const std::string& g, const std::string& u) {
    for (TRtcPModule* m : Modules()) m->HandleUserLeftMyGroup(nullptr, g, u);
  }
  void joinedOther(const std::string& g, const std::string& owner) {
    for (TRtcPModule* m : Modules()) m->HandleJoinedUsersGroup(nullptr, g, owner);
  }
  void leftOther(const std::string& g, const std::string& owner) {
    for (TRtcPModule* m : Modules()) m->HandleLeftUsersGroup(nullptr, g, owner);
  }
  void params(TRtcValue& v) {
    for (TRtcPModule* m : Modules()) m->HandleParams(nullptr, v);
  }

  std::vector<std::string> calls;
  std::vector<Sent> sent;
};

inline std::unique_ptr<TRtcFunctionInfo> Fn(const char16_t* name) {
  auto f = std::make_unique<TRtcFunctionInfo>();
  f->setFunctionName(name);
  return f;
}

}  // namespace vtx::testing
