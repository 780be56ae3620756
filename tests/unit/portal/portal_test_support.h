// Helpers of the portal tests: a module that records its hooks, a client with its protected
// session steps open, and payload decoding.
#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/system_info.h"
#include "portal/payload.h"
#include "portal/portal_cli.h"
#include "portal/portal_module.h"
#include "util/exceptions.h"
#include "util/text.h"

namespace vtx::testing {

// Records every hook call as one line; can be told to throw on data or to want a turn.
class RecordingModule : public TRtcPModule {
 public:
  std::vector<std::string> calls() const {
    std::lock_guard g(lock_);
    return calls_;
  }
  bool throwOnData = false;
  bool throwOnParams = false;
  bool wantTurn = false;
  int wantAsked() const {
    std::lock_guard g(lock_);
    return wantAsked_;
  }
  using TRtcPModule::isSubscriber;
  using TRtcPModule::setSubscriber;

  bool WantToSend(TRtcConnection*) override {
    std::lock_guard g(lock_);
    ++wantAsked_;
    return wantTurn;
  }
  void ExecuteSend(TRtcConnection*) override { add("ExecuteSend"); }
  void HandleLogIn(TRtcConnection*) override { add("LogIn"); }
  void HandleLogOut(TRtcConnection*) override { add("LogOut"); }
  void HandleError(TRtcConnection*, TRtcValue& d) override {
    add("Error " + Utf8Encode(d.asException()));
  }
  void HandleFatalError(TRtcConnection*, TRtcValue& d) override {
    add("FatalError " + Utf8Encode(d.asException()));
  }
  void HandleStart(TRtcConnection*, TRtcValue&) override { add("Start"); }
  void HandleParams(TRtcConnection*, TRtcValue&) override {
    add("Params");
    if (throwOnParams) throw std::runtime_error("module fault");
  }
  void HandleBatchStart(TRtcConnection*) override { add("BatchStart"); }
  void HandleBatchEnd(TRtcConnection*) override { add("BatchEnd"); }
  // "Refused <count>", then per refusal the names of its row's messages ("-" for none).
  void HandleRefused(TRtcConnection*, TRtcRecord& answer) override {
    TRtcArray* list = answer.asArray("refused");
    std::string line = "Refused " + std::to_string(list ? list->Count() : 0);
    for (int i = 0; list && i < list->Count(); ++i) {
      auto* r = dynamic_cast<TRtcRecord*>(list->GetObject(i));
      TRtcValueObject* d = r ? r->asObject("d") : nullptr;
      std::string names;
      auto name = [&](TRtcValueObject* o) {
        if (auto* f = dynamic_cast<TRtcFunctionInfo*>(o))
          names += (names.empty() ? "" : ",") + Utf8Encode(f->FunctionName());
      };
      if (auto* arr = dynamic_cast<TRtcArray*>(d))
        for (int k = 0; k < arr->Count(); ++k) name(arr->GetObject(k));
      else
        name(d);
      line += " " + (names.empty() ? std::string("-") : names);
    }
    add(line);
  }
  void HandleUserLoggedIn(TRtcConnection*, const std::string& u) override { add("In " + u); }
  void HandleUserLoggedOut(TRtcConnection*, const std::string& u) override { add("Out " + u); }
  void HandleUserJoinedMyGroup(TRtcConnection*, const std::string& g,
                               const std::string& u) override {
    add("JoinedMine " + g + " " + u);
  }
  void HandleUserLeftMyGroup(TRtcConnection*, const std::string& g, const std::string& u) override {
    add("LeftMine " + g + " " + u);
  }
  void HandleJoinedUsersGroup(TRtcConnection*, const std::string& g,
                              const std::string& u) override {
    add("JoinedOther " + g + " " + u);
  }
  void HandleLeftUsersGroup(TRtcConnection*, const std::string& g, const std::string& u) override {
    add("LeftOther " + g + " " + u);
  }
  void HandleDataFromUser(TRtcConnection*, const std::string& u, TRtcFunctionInfo& f) override {
    if (throwOnData) throw ERtcInfo("module failed");
    add("Data " + u + " " + Utf8Encode(f.FunctionName()));
  }

 private:
  void add(std::string s) {
    std::lock_guard g(lock_);
    calls_.push_back(std::move(s));
  }
  mutable std::mutex lock_;
  std::vector<std::string> calls_;
  int wantAsked_ = 0;
};

// A client without connections whose session steps the tests drive by hand; parameter calls
// are recorded instead of sent.
class ProbeClient : public TRtcPortalCli {
 public:
  ProbeClient() : TRtcPortalCli(&system_) {}
  using TRtcPortalCli::DispatchBatch;
  using TRtcPortalCli::DispatchError;
  using TRtcPortalCli::NextTick;
  using TRtcPortalCli::ResetSession;
  using TRtcPortalCli::TakeBatch;

  void ParamAdd(TRtcConnection*, const std::string& name,
                std::unique_ptr<TRtcValueObject> v) override {
    params.push_back("Add " + name + " " + v->toCode());
  }
  void ParamDel(TRtcConnection*, const std::string& name,
                std::unique_ptr<TRtcValueObject> v) override {
    params.push_back("Del " + name + " " + v->toCode());
  }
  void ParamSet(TRtcConnection*, const std::string& name,
                std::unique_ptr<TRtcValueObject> v) override {
    params.push_back("Set " + name + " " + v->toCode());
  }
  std::vector<std::string> params;

 private:
  FixedSystemInfo system_{"PC-1", "ana", "10.0.0.5"};
};

inline std::unique_ptr<TRtcFunctionInfo> fn(const char16_t* name, int n = 0) {
  auto f = std::make_unique<TRtcFunctionInfo>();
  f->setFunctionName(name);
  f->setAsInteger("n", n);
  return f;
}

// The value a row's "d" carries.
inline std::unique_ptr<TRtcValue> decodeRow(TRtcDataSet& ds) {
  return TRtcValue::FromCode(DecompressPayload(ds.asString("d")));
}

}  // namespace vtx::testing
