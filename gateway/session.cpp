#include "gateway/session.h"

#include <utility>

namespace vtx::gateway {

std::map<std::uint64_t, ServerCrypt::Parked> ServerCrypt::abandonOwedReplies() {
  ticketsWritten = ticketsIssued;
  return std::exchange(parked, {});
}

void ServerCrypt::restart() {
  read.setKey(serverKey + clientHello);
  write.setKey(clientKey + serverHello);
}

Session::Session(std::string id, std::string peer) : id_(std::move(id)), peer_(std::move(peer)) {}

SessionStore::SessionStore(Clock::duration idle, std::size_t maxSessions, ClockFn clock)
    : idle_(idle),
      maxSessions_(maxSessions),
      clock_(clock ? std::move(clock) : ClockFn(Clock::now)) {}

std::shared_ptr<Session> SessionStore::create(const std::string& id, const std::string& peer) {
  const auto now = clock_();
  std::lock_guard<std::mutex> hold(lock_);
  if (sessions_.size() >= maxSessions_) expireLocked(now, nullptr);
  if (sessions_.size() >= maxSessions_ || sessions_.count(id)) return nullptr;
  auto s = std::make_shared<Session>(id, peer);
  sessions_.emplace(id, Entry{s, now});
  return s;
}

std::shared_ptr<Session> SessionStore::find(const std::string& id) {
  const auto now = clock_();
  std::lock_guard<std::mutex> hold(lock_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return nullptr;
  if (now - it->second.lastUsed > idle_) {
    sessions_.erase(it);
    return nullptr;
  }
  it->second.lastUsed = now;
  return it->second.session;
}

void SessionStore::remove(const std::string& id) {
  std::lock_guard<std::mutex> hold(lock_);
  sessions_.erase(id);
}

std::vector<std::string> SessionStore::expire() {
  std::vector<std::string> ids;
  const auto now = clock_();
  std::lock_guard<std::mutex> hold(lock_);
  expireLocked(now, &ids);
  return ids;
}

void SessionStore::expireLocked(Clock::time_point now, std::vector<std::string>* ids) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (now - it->second.lastUsed > idle_) {
      if (ids) ids->push_back(it->first);
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
}

std::size_t SessionStore::size() const {
  std::lock_guard<std::mutex> hold(lock_);
  return sessions_.size();
}

}  // namespace vtx::gateway
