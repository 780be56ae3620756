#include "gateway/login_guard.h"

#include <algorithm>

namespace vtx::gateway {

using TimePoint = std::chrono::steady_clock::time_point;

LoginGuard::LoginGuard(LoginLimits limits, Clock now)
    : limits_(limits),
      now_(now ? std::move(now) : [] { return std::chrono::steady_clock::now(); }) {}

std::chrono::milliseconds LoginGuard::left(const std::string& key, TimePoint now) const {
  const auto it = records_.find(key);
  if (it == records_.end() || it->second.until <= now) return std::chrono::milliseconds(0);
  return std::chrono::ceil<std::chrono::milliseconds>(it->second.until - now);
}

std::chrono::milliseconds LoginGuard::wait(const std::string& peer, const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  const TimePoint now = now_();
  return std::max(left("p:" + peer, now), left("n:" + name, now));
}

void LoginGuard::fail(const std::string& key, int free, TimePoint now) {
  auto it = records_.find(key);
  if (it == records_.end()) {
    if (records_.size() >= limits_.maxRecords) prune(now);
    if (records_.size() >= limits_.maxRecords) return;  // full of waiting records: untracked
    it = records_.emplace(key, Record{}).first;
  }
  Record& r = it->second;
  r.last = now;
  if (++r.failures < free) return;
  const int doublings = std::min(r.failures - free, 30);
  const auto delay = std::min<std::chrono::milliseconds>(limits_.firstDelay * (1ll << doublings),
                                                         limits_.maxDelay);
  r.until = now + delay;
}

void LoginGuard::failed(const std::string& peer, const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  const TimePoint now = now_();
  fail("p:" + peer, limits_.peerFailures, now);
  fail("n:" + name, limits_.nameFailures, now);
}

void LoginGuard::succeeded(const std::string& peer, const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  records_.erase("p:" + peer);
  records_.erase("n:" + name);
}

// Quiet records go first; when that is not enough, every record not making anyone wait.
void LoginGuard::prune(TimePoint now) {
  for (bool all : {false, true}) {
    for (auto it = records_.begin(); it != records_.end();) {
      if (it->second.until <= now && (all || now - it->second.last >= limits_.forget))
        it = records_.erase(it);
      else
        ++it;
    }
    if (records_.size() < limits_.maxRecords) return;
  }
}

}  // namespace vtx::gateway
