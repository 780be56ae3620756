#include "transport/rtc_result.h"

#include <mutex>
#include <unordered_set>

namespace vtx {
namespace {

struct Registry {
  std::mutex lock;
  std::unordered_set<const TRtcResult*> live;
};

Registry& registry() {
  static Registry* r = new Registry;  // outlives handlers destroyed during exit
  return *r;
}

}  // namespace

TRtcResult::TRtcResult() {
  Registry& r = registry();
  std::lock_guard g(r.lock);
  r.live.insert(this);
}

TRtcResult::~TRtcResult() {
  Registry& r = registry();
  std::lock_guard g(r.lock);
  r.live.erase(this);
}

bool TRtcResult::IsRegistered(const TRtcResult* handler) {
  if (!handler) return false;
  Registry& r = registry();
  std::lock_guard g(r.lock);
  return r.live.count(handler) > 0;
}

bool TRtcResult::Call_Return(TRtcResult* handler, TRtcConnection* Sender, TRtcValue& Data,
                             TRtcValue& Result) {
  if (!IsRegistered(handler)) return false;
  if (handler->OnReturn) handler->OnReturn(Sender, Data, Result);
  return true;
}

bool TRtcResult::Call_Aborted(TRtcResult* handler, TRtcConnection* Sender, TRtcValue& Data,
                              TRtcValue& Result) {
  if (!IsRegistered(handler)) return false;
  if (handler->RequestAborted) handler->RequestAborted(Sender, Data, Result);
  return true;
}

}  // namespace vtx
