#include "gateway/session.h"

#include <utility>

namespace vtx::gateway {

std::map<std::uint64_t, ServerCrypt::Parked> ServerCrypt::abandonOwedReplies() {
  ticketsWritten = ticketsIssued;
  return std::exchange(parked, {});
}

bool ServerCrypt::firstReset(std::uint64_t print) {
  if (!resetsSeen.insert(print).second) return false;
  resetOrder.push_back(print);
  if (resetOrder.size() > kResetMemory) {
    resetsSeen.erase(resetOrder.front());
    resetOrder.pop_front();
  }
  return true;
}

void ServerCrypt::restart() {
  read.setKey(serverKey + clientHello);
  write.setKey(clientKey + serverHello);
}

Session::Session(std::string id, std::string peer) : id_(std::move(id)), peer_(std::move(peer)) {}

SessionStore::SessionStore(Clock::duration idle, std::size_t maxSessions, ClockFn clock,
                           std::size_t maxPerPeer)
    : idle_(idle),
      maxSessions_(maxSessions),
      maxPerPeer_(maxPerPeer == 0 ? maxSessions : maxPerPeer),
      clock_(clock ? std::move(clock) : ClockFn(Clock::now)) {}

std::shared_ptr<Session> SessionStore::create(const std::string& id, const std::string& peer) {
  const auto now = clock_();
  std::lock_guard<std::mutex> hold(lock_);
  expireLocked(now, nullptr);
  if (sessions_.count(id)) return nullptr;
  auto room = [&](Order& waiting, std::size_t used, std::size_t limit) {
    if (used < limit) return true;
    if (waiting.empty()) return false;
    eraseLocked(sessions_.find(waiting.front()));  // invalidates nothing the caller holds
    ++evicted_;
    return true;
  };
  {
    auto p = peers_.find(peer);
    if (p != peers_.end() && !room(p->second.waiting, p->second.count, maxPerPeer_)) return nullptr;
  }
  if (!room(waiting_, sessions_.size(), maxSessions_)) return nullptr;
  auto s = std::make_shared<Session>(id, peer);
  Peer& owner = peers_[peer];
  ++owner.count;
  Entry e{s,
          now,
          {},
          used_.insert(used_.end(), id),
          waiting_.insert(waiting_.end(), id),
          owner.waiting.insert(owner.waiting.end(), id)};
  sessions_.emplace(id, std::move(e));
  return s;
}

std::shared_ptr<Session> SessionStore::find(const std::string& id) {
  const auto now = clock_();
  std::lock_guard<std::mutex> hold(lock_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return nullptr;
  Entry& e = it->second;
  if (now - e.lastUsed > idle_) {
    eraseLocked(it);
    return nullptr;
  }
  e.lastUsed = now;
  used_.splice(used_.end(), used_, e.byUse);
  if (e.loginId.empty()) {
    waiting_.splice(waiting_.end(), waiting_, e.waiting);
    Order& mine = peers_[e.session->peer()].waiting;
    mine.splice(mine.end(), mine, e.ofPeer);
  }
  return e.session;
}

bool SessionStore::loggedIn(const std::string& id) const {
  const auto now = clock_();
  std::lock_guard<std::mutex> hold(lock_);
  auto it = sessions_.find(id);
  return it != sessions_.end() && !it->second.loginId.empty() && now - it->second.lastUsed <= idle_;
}

bool SessionStore::bind(const std::string& id, const std::string& loginId) {
  if (loginId.empty()) return false;
  std::lock_guard<std::mutex> hold(lock_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return false;
  Entry& e = it->second;
  if (e.loginId == loginId) return true;
  if (!e.loginId.empty()) return false;  // one login id per session
  unwaitLocked(e);
  e.loginId = loginId;
  e.session->loggedIn_ = true;
  byLogin_.emplace(loginId, id);
  return true;
}

std::vector<std::string> SessionStore::dropLogin(const std::string& loginId) {
  std::vector<std::string> ids;
  std::lock_guard<std::mutex> hold(lock_);
  auto [from, to] = byLogin_.equal_range(loginId);
  for (auto it = from; it != to; ++it) ids.push_back(it->second);
  for (const auto& id : ids)
    if (auto it = sessions_.find(id); it != sessions_.end()) eraseLocked(it);
  return ids;
}

void SessionStore::remove(const std::string& id) {
  std::lock_guard<std::mutex> hold(lock_);
  if (auto it = sessions_.find(id); it != sessions_.end()) eraseLocked(it);
}

std::vector<std::string> SessionStore::expire() {
  std::vector<std::string> ids;
  const auto now = clock_();
  std::lock_guard<std::mutex> hold(lock_);
  expireLocked(now, &ids);
  return ids;
}

void SessionStore::expireLocked(Clock::time_point now, std::vector<std::string>* ids) {
  while (!used_.empty()) {
    auto it = sessions_.find(used_.front());
    if (now - it->second.lastUsed <= idle_) break;
    if (ids) ids->push_back(it->first);
    eraseLocked(it);
  }
}

void SessionStore::unwaitLocked(Entry& e) {
  if (!e.loginId.empty()) return;
  waiting_.erase(e.waiting);
  peers_[e.session->peer()].waiting.erase(e.ofPeer);
}

void SessionStore::eraseLocked(Map::iterator it) {
  Entry& e = it->second;
  unwaitLocked(e);
  used_.erase(e.byUse);
  if (!e.loginId.empty()) {
    auto [from, to] = byLogin_.equal_range(e.loginId);
    for (auto b = from; b != to; ++b)
      if (b->second == it->first) {
        byLogin_.erase(b);
        break;
      }
  }
  auto p = peers_.find(e.session->peer());
  if (p != peers_.end() && --p->second.count == 0) peers_.erase(p);
  sessions_.erase(it);
}

std::size_t SessionStore::size() const {
  std::lock_guard<std::mutex> hold(lock_);
  return sessions_.size();
}

std::size_t SessionStore::peerSize(const std::string& peer) const {
  std::lock_guard<std::mutex> hold(lock_);
  auto p = peers_.find(peer);
  return p == peers_.end() ? 0 : p->second.count;
}

std::uint64_t SessionStore::evicted() const {
  std::lock_guard<std::mutex> hold(lock_);
  return evicted_;
}

}  // namespace vtx::gateway
