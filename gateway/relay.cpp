#include "gateway/relay.h"

#include <algorithm>

#include "util/exceptions.h"
#include "util/text.h"

namespace vtx::gateway {

namespace {

// Bookkeeping bytes counted per queued item on top of its payload.
constexpr std::size_t kItemOverhead = 64;

std::size_t itemBytes(const TRtcValueObject& item) {
  return item.codeSizeHint() + kItemOverhead;
}

std::string utf8(const RtcWideString& s) {
  return Utf8Encode(s);
}

}  // namespace

struct Relay::User {
  RtcWideString name, key;
  std::string id;
  std::unique_ptr<TRtcRecord> userinfo;
  bool visible = false, subscribed = false;
  struct Item {
    RtcWideString origin;
    std::unique_ptr<TRtcValueObject> value;
    std::size_t bytes;
  };
  std::deque<Item> queue;
  std::size_t queuedBytes = 0;
  DeferredResult held;
  std::optional<std::int64_t> heldX;  // tick of the held Get
  Clock::time_point holdUntil{}, lastSeen{};
  // The last Get's reply, kept until a Get with another tick confirms it arrived.
  std::optional<std::int64_t> lastGetX;
  std::unique_ptr<TRtcValueObject> lastGet;
  // The last Put: its tick, fingerprint and answer.
  std::optional<std::int64_t> lastPutX;
  std::uint64_t lastPutFingerprint = 0;
  std::vector<std::string> lastPutFaults;
  std::map<RtcWideString, std::vector<User*>> groups;     // owned groups and their members
  std::vector<std::pair<User*, RtcWideString>> memberOf;  // (owner, group)
};

// What one operation leaves to do once the lock is released.
struct Relay::Outbox {
  std::vector<RtcWideString> touched;  // keys of users that got items
  std::vector<std::pair<DeferredResult, std::unique_ptr<TRtcValueObject>>> answers;
  std::vector<std::string> logs;
};

Relay::Relay(RelayConfig config, LogSink log, ClockFn clock)
    : config_(config),
      log_(std::move(log)),
      clock_(clock ? std::move(clock) : ClockFn(Clock::now)) {}

Relay::~Relay() = default;

void Relay::answerTouched(Outbox& out) {
  for (const auto& key : out.touched)
    if (User* u = byName(key)) answerHeld(*u, out);
  out.touched.clear();
}

void Relay::flush(Outbox& out) {
  for (auto& [later, value] : out.answers) later.complete(std::move(value));
  if (log_)
    for (const auto& line : out.logs) log_(line);
}

Relay::User* Relay::byName(const RtcWideString& name) const {
  auto it = users_.find(UpperCaseAscii(name));
  return it == users_.end() ? nullptr : it->second.get();
}

Relay::User* Relay::live(const std::string& id) {
  auto it = byId_.find(id);
  if (it != byId_.end()) {
    it->second->lastSeen = clock_();
    return it->second;
  }
  if (retired_.count(id)) throw ERtcInfo(kLoggedOut);
  throw ERtcInfo(id.empty() ? kNotLoggedIn : kLoggedOut);
}

void Relay::retire(const std::string& id) {
  if (!retired_.insert(id).second) return;
  retiredOrder_.push_back(id);
  while (retiredOrder_.size() > config_.retiredIds) {
    retired_.erase(retiredOrder_.front());
    retiredOrder_.pop_front();
  }
}

void Relay::login(LoginRequest request) {
  if (request.id.empty()) throw ERtcInfo("Login without an id.");
  const RtcWideString key = UpperCaseAscii(request.user);
  Outbox out;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (retired_.count(request.id)) throw ERtcInfo(kLoggedOut);
    if (auto it = byId_.find(request.id); it != byId_.end()) {
      if (it->second->key != key) throw ERtcInfo("Invalid user name or password.");
      it->second->lastSeen = clock_();
      return;  // the second channel of the same client
    }
    if (auto it = users_.find(key); it != users_.end()) end(*it->second, "replaced", out);
    auto user = std::make_unique<User>();
    user->name = request.user;
    user->key = key;
    user->id = request.id;
    user->userinfo = std::move(request.userinfo);
    if (!user->userinfo) user->userinfo = std::make_unique<TRtcRecord>();
    user->lastSeen = clock_();
    byId_[user->id] = user.get();
    out.logs.push_back(LogLine("info", "user-login")
                           .add("user", utf8(user->name))
                           .add("relogin", request.relogin ? "yes" : "no")
                           .text());
    users_[key] = std::move(user);
    answerTouched(out);
  }
  flush(out);
}

RtcWideString Relay::userOf(const std::string& id) {
  std::lock_guard<std::mutex> hold(lock_);
  return live(id)->name;
}

void Relay::end(User& user, const char* why, Outbox& out) {
  answerHeld(user, out);
  if (user.visible)
    for (User* s : subscribers_)
      if (s != &user) enqueue(*s, user.name, std::make_unique<TRtcBooleanValue>(false), out);
  for (const auto& entry : user.groups) {
    const RtcWideString& group = entry.first;
    for (User* m : entry.second) {
      std::erase_if(m->memberOf,
                    [&](const auto& e) { return e.first == &user && e.second == group; });
      groupNotice(*m, user.name, false, user, group, out);
    }
  }
  for (auto& [owner, group] : user.memberOf) {
    auto& members = owner->groups[group];
    std::erase(members, &user);
    if (members.empty()) owner->groups.erase(group);
    groupNotice(*owner, owner->name, false, user, group, out);
  }
  out.logs.push_back(
      LogLine("info", "user-logout").add("user", utf8(user.name)).add("reason", why).text());
  std::erase(out.touched, user.key);
  retire(user.id);
  byId_.erase(user.id);
  holding_.erase(&user);
  subscribers_.erase(&user);
  users_.erase(user.key);  // destroys `user`
}

void Relay::enqueue(User& to, const RtcWideString& origin, std::unique_ptr<TRtcValueObject> item,
                    Outbox& out) {
  if (!item) return;
  const std::size_t bytes = itemBytes(*item);
  to.queue.push_back(User::Item{origin, std::move(item), bytes});
  to.queuedBytes += bytes;
  std::size_t dropped = 0, droppedBytes = 0;
  while (to.queuedBytes > config_.queueLimit && !to.queue.empty()) {
    droppedBytes += to.queue.front().bytes;
    to.queuedBytes -= to.queue.front().bytes;
    to.queue.pop_front();
    ++dropped;
  }
  if (dropped)
    out.logs.push_back(LogLine("warn", "queue-overflow")
                           .add("user", utf8(to.name))
                           .add("dropped", static_cast<std::int64_t>(dropped))
                           .add("bytes", static_cast<std::int64_t>(droppedBytes))
                           .add("limit", static_cast<std::int64_t>(config_.queueLimit))
                           .text());
  if (to.held.pending() &&
      std::find(out.touched.begin(), out.touched.end(), to.key) == out.touched.end())
    out.touched.push_back(to.key);
}

std::unique_ptr<TRtcRecord> Relay::drain(User& user) {
  auto record = std::make_unique<TRtcRecord>();
  for (auto& item : user.queue) {
    TRtcArray* list = record->asArray(item.origin);
    if (!list) list = &record->NewArray(item.origin);
    list->SetObject(list->Count(), std::move(item.value));
  }
  user.queue.clear();
  user.queue.shrink_to_fit();
  user.queuedBytes = 0;
  return record;
}

void Relay::answerHeld(User& user, Outbox& out, bool remember) {
  if (!user.held.pending()) return;
  holding_.erase(&user);
  user.lastSeen = clock_();
  auto reply = drain(user);
  if (remember) rememberGet(user, user.heldX, *reply);
  out.answers.emplace_back(std::move(user.held), std::move(reply));
  user.held = {};
  user.heldX.reset();
}

void Relay::rememberGet(User& user, std::optional<std::int64_t> x, const TRtcValueObject& reply) {
  if (!x) return;
  user.lastGetX = x;
  user.lastGet = reply.copyOf();
}

void Relay::host(const std::string& id, bool on) {
  Outbox out;
  {
    std::lock_guard<std::mutex> hold(lock_);
    User& user = *live(id);
    if (user.visible != on) {
      user.visible = on;
      for (User* s : subscribers_) {
        if (s == &user) continue;
        if (on) {
          auto notice = std::make_unique<TRtcRecord>();
          notice->setAsBoolean("isLogin", true);
          notice->setAsRecord("userinfo", *user.userinfo);
          enqueue(*s, user.name, std::move(notice), out);
        } else {
          enqueue(*s, user.name, std::make_unique<TRtcBooleanValue>(false), out);
        }
      }
    }
    answerTouched(out);
  }
  flush(out);
}

void Relay::control(const std::string& id, bool on) {
  Outbox out;
  {
    std::lock_guard<std::mutex> hold(lock_);
    User& user = *live(id);
    const bool was = user.subscribed;
    user.subscribed = on;
    if (on) {
      subscribers_.insert(&user);
      if (!was)
        for (auto& [key, other] : users_) {
          if (other.get() == &user || !other->visible) continue;
          auto notice = std::make_unique<TRtcRecord>();
          notice->setAsBoolean("isLogin", true);
          notice->setAsRecord("userinfo", *other->userinfo);
          enqueue(user, other->name, std::move(notice), out);
        }
    } else {
      subscribers_.erase(&user);
    }
    answerTouched(out);
  }
  flush(out);
}

std::unique_ptr<TRtcValueObject> Relay::get(const std::string& id, DeferredResult later,
                                            std::optional<std::int64_t> x, bool mayRepeat) {
  Outbox out;
  std::unique_ptr<TRtcValueObject> now;
  {
    std::lock_guard<std::mutex> hold(lock_);
    User& user = *live(id);
    // The previous Get of this user was abandoned: it goes back empty, and is not remembered.
    answerHeld(user, out, false);
    if (mayRepeat && x && user.lastGet && user.lastGetX == x) {
      now = user.lastGet->copyOf();  // a repeat: its reply was lost on the way
      out.logs.push_back(LogLine("info", "get-repeat").add("user", utf8(user.name)).text());
    } else {
      if (x) user.lastGet.reset();  // a new tick: the last reply arrived
      if (!user.queue.empty() || stopping_ || !later.pending()) {
        now = drain(user);
        rememberGet(user, x, *now);
      } else {
        user.held = std::move(later);
        user.heldX = x;
        user.holdUntil = clock_() + config_.getHold;
        holding_.insert(&user);
      }
    }
  }
  flush(out);
  return now;
}

std::vector<std::string> Relay::put(const std::string& id, TRtcDataSet& rows,
                                    std::optional<std::int64_t> x, std::uint64_t fingerprint,
                                    bool mayRepeat) {
  Outbox out;
  std::vector<std::string> faults;
  {
    std::lock_guard<std::mutex> hold(lock_);
    User& user = *live(id);
    if (mayRepeat && x && user.lastPutX == x && user.lastPutFingerprint == fingerprint) {
      // Re-posted after its answer was lost: applied once already.
      out.logs.push_back(LogLine("info", "put-repeat").add("user", utf8(user.name)).text());
      faults = user.lastPutFaults;
    } else {
      for (int row = 0; row < rows.RowCount(); ++row) {
        rows.setRow(row);
        try {
          applyRow(user, rows, out);
        } catch (const std::exception& e) {
          faults.push_back("row " + std::to_string(row + 1) + ": " + e.what());
        }
      }
      user.lastPutX = x;
      user.lastPutFingerprint = fingerprint;
      user.lastPutFaults = faults;
      if (!faults.empty())
        out.logs.push_back(LogLine("warn", "put-rows-refused")
                               .add("user", utf8(user.name))
                               .add("rows", static_cast<std::int64_t>(faults.size()))
                               .add("first", faults.front())
                               .text());
      answerTouched(out);
    }
  }
  flush(out);
  return faults;
}

void Relay::groupNotice(User& to, const RtcWideString& origin, bool on, const User& about,
                        const RtcWideString& group, Outbox& out) {
  auto notice = std::make_unique<TRtcRecord>();
  notice->setAsBoolean(on ? "on" : "off", true);
  notice->setAsText("user", about.name);
  notice->setAsText("fn", group);
  if (on) notice->setAsRecord("userinfo", *about.userinfo);
  enqueue(to, origin, std::move(notice), out);
}

void Relay::applyRow(User& from, TRtcDataSet& rows, Outbox& out) {
  auto text = [&](const char* field) -> RtcWideString {
    if (rows.isNull(field)) throw ERtcInfo(std::string("missing \"") + field + "\"");
    RtcWideString v = rows.asText(field);
    if (v.empty()) throw ERtcInfo(std::string("empty \"") + field + "\"");
    return v;
  };
  auto data = [&]() {
    auto d = rows.Extract("d");
    if (!d) throw ERtcInfo("missing \"d\"");
    return d;
  };
  if (!rows.isNull("to")) {
    const RtcWideString to = text("to");
    auto d = data();
    if (User* target = byName(to)) enqueue(*target, from.name, std::move(d), out);
  } else if (!rows.isNull("fn")) {
    const RtcWideString group = text("fn");
    auto d = data();
    auto it = from.groups.find(group);
    if (it == from.groups.end()) return;
    for (User* m : it->second) enqueue(*m, from.name, d->copyOf(), out);
  } else if (!rows.isNull("s")) {
    const RtcWideString group = text("s");
    User* target = byName(text("user"));
    if (!target || target == &from) return;
    auto& members = from.groups[group];
    if (std::find(members.begin(), members.end(), target) != members.end()) return;
    members.push_back(target);
    target->memberOf.emplace_back(&from, group);
    groupNotice(from, from.name, true, *target, group, out);
    groupNotice(*target, from.name, true, from, group, out);
  } else if (!rows.isNull("u")) {
    const RtcWideString group = text("u");
    User* target = byName(text("user"));
    auto it = from.groups.find(group);
    if (!target || it == from.groups.end()) return;
    if (std::erase(it->second, target) == 0) return;
    if (it->second.empty()) from.groups.erase(it);
    std::erase_if(target->memberOf,
                  [&](const auto& e) { return e.first == &from && e.second == group; });
    groupNotice(from, from.name, false, *target, group, out);
    groupNotice(*target, from.name, false, from, group, out);
  } else if (!rows.isNull("uf")) {
    const RtcWideString group = text("uf");
    auto it = from.groups.find(group);
    if (it == from.groups.end()) return;
    const std::vector<User*> members = std::move(it->second);
    from.groups.erase(it);
    for (User* m : members) {
      std::erase_if(m->memberOf,
                    [&](const auto& e) { return e.first == &from && e.second == group; });
      groupNotice(from, from.name, false, *m, group, out);
      groupNotice(*m, from.name, false, from, group, out);
    }
  } else if (!rows.isNull("t")) {
    const RtcWideString group = text("t");
    User* owner = byName(text("user"));
    if (!owner) return;
    auto it = owner->groups.find(group);
    if (it == owner->groups.end() || std::erase(it->second, &from) == 0) return;
    if (it->second.empty()) owner->groups.erase(it);
    std::erase_if(from.memberOf,
                  [&](const auto& e) { return e.first == owner && e.second == group; });
    groupNotice(*owner, owner->name, false, from, group, out);
    groupNotice(from, owner->name, false, *owner, group, out);
  } else {
    throw ERtcInfo("unknown row kind");
  }
}

void Relay::logout(const std::string& id, const RtcWideString& user) {
  Outbox out;
  {
    std::lock_guard<std::mutex> hold(lock_);
    User& u = *live(id);
    if (!user.empty() && UpperCaseAscii(user) != u.key)
      throw ERtcInfo("Invalid user name or password.");
    end(u, "logout", out);
    answerTouched(out);
  }
  flush(out);
}

void Relay::tick() {
  Outbox out;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const auto now = clock_();
    std::vector<User*> due;
    for (User* u : holding_)
      if (now >= u->holdUntil) due.push_back(u);
    for (User* u : due) answerHeld(*u, out);
    if (now - lastTimeoutScan_ >= std::chrono::seconds(1) || now < lastTimeoutScan_) {
      lastTimeoutScan_ = now;
      std::vector<User*> silent;
      for (auto& [key, u] : users_)
        if (!u->held.pending() && now - u->lastSeen > config_.loginTimeout)
          silent.push_back(u.get());
      for (User* u : silent)
        if (byId_.count(u->id) && byId_[u->id] == u) end(*u, "timeout", out);
      answerTouched(out);
    }
  }
  flush(out);
}

void Relay::shutdown() {
  Outbox out;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    std::vector<User*> all(holding_.begin(), holding_.end());
    for (User* u : all) answerHeld(*u, out);
  }
  flush(out);
}

std::size_t Relay::userCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return users_.size();
}

std::size_t Relay::queuedBytes(const RtcWideString& user) const {
  std::lock_guard<std::mutex> hold(lock_);
  const User* u = byName(user);
  return u ? u->queuedBytes : 0;
}

}  // namespace vtx::gateway
