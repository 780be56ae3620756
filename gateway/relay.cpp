#include "gateway/relay.h"

#include <openssl/sha.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>

#include "gateway/value_count.h"
#include "util/exceptions.h"
#include "util/text.h"

namespace vtx::gateway {

struct Relay::Budget {
  std::atomic<std::size_t> bytes{0};
};

// One encoded item, immutable, shared by every queue and reply that holds it. Its bytes stay
// charged to the sender and the relay until the last holder lets go (on any thread).
struct Relay::Buffer {
  std::string code;
  TRtcValueTypes kind = rtc_Null;
  std::size_t bytes = 0;
  std::shared_ptr<Budget> sender, total;
  ~Buffer() {
    if (sender) sender->bytes -= bytes;
    if (total) total->bytes -= bytes;
  }
};

namespace {

// Why end() ends a session a new login of its name replaced.
constexpr const char* kReplacedReason = "replaced";

// A Get's reply holds each item two levels deep: reply record, then the origin's array.
constexpr int kReplyItemDepth = 2;

// Bookkeeping bytes of a buffer (allocation, counters) and of a queue entry on top of its
// origin's name.
constexpr std::size_t kBufferOverhead = 96;
constexpr std::size_t kEntryOverhead = 96;

std::string utf8(const RtcWideString& s) {
  return Utf8Encode(s);
}

// A queued item inside a reply: writes the encoded item; copies share it.
class SharedItem final : public TRtcValueObject {
 public:
  explicit SharedItem(std::shared_ptr<const Relay::Buffer> b) : b_(std::move(b)) {}
  const char* ClassName() const override { return "TRtcSharedItem"; }
  TRtcValueTypes GetType() const override { return b_->kind; }
  void CopyFrom(const TRtcValueObject& from) override {
    b_ = dynamic_cast<const SharedItem&>(from).b_;
  }
  std::unique_ptr<TRtcValueObject> copyOf() const override {
    return std::make_unique<SharedItem>(b_);
  }
  void to_Code(std::string& out) const override { out += b_->code; }
  std::size_t codeSizeHint() const override { return b_->code.size(); }
  void readCode(std::string_view, std::size_t&, int) override {
    throw ERtcInfo("A relayed item cannot be read into.");
  }

 private:
  std::shared_ptr<const Relay::Buffer> b_;
};

// A Get's reply with items: until it is gone (written out by the server, or dropped) its bytes
// count against the receiver's queue limit as if still queued.
class FlightRecord final : public TRtcRecord {
 public:
  FlightRecord(std::shared_ptr<Relay::Budget> account, std::size_t bytes)
      : account_(std::move(account)), bytes_(bytes) {
    account_->bytes += bytes_;
  }
  ~FlightRecord() override { account_->bytes -= bytes_; }

 private:
  std::shared_ptr<Relay::Budget> account_;
  std::size_t bytes_;
};

}  // namespace

// Lines about lost or refused items: the first of each kind goes out at once, the rest of the
// next second are counted into one line.
struct Relay::LogGate {
  struct Entry {
    Clock::time_point next{};
    std::int64_t items = 0, bytes = 0;
    std::string last;
  };
  std::unordered_map<std::string, Entry> entries;

  // Counts the event; true when a line is due now (the counts then start again).
  bool count(const std::string& event, Clock::time_point now, std::size_t bytes,
             const std::string& user, Entry& due) {
    Entry& e = entries[event];
    ++e.items;
    e.bytes += static_cast<std::int64_t>(bytes);
    e.last = user;
    if (now < e.next) return false;
    due = e;
    e = Entry{now + std::chrono::seconds(1), 0, 0, {}};
    return true;
  }
  // Lines for counts held back longer than a second.
  void flush(Clock::time_point now, std::vector<std::string>& logs) {
    for (auto& [event, e] : entries)
      if (e.items && now >= e.next) {
        logs.push_back(line(event, e));
        e = Entry{now + std::chrono::seconds(1), 0, 0, {}};
      }
  }
  static std::string line(const std::string& event, const Entry& e) {
    return LogLine("warn", event)
        .add("items", e.items)
        .add("bytes", e.bytes)
        .add("last", e.last)
        .text();
  }
};

struct Relay::User {
  RtcWideString name, key;
  std::string id, peer;
  Role role = Role::Analyst;
  bool account = false;
  std::unique_ptr<TRtcRecord> userinfo;
  std::shared_ptr<const Buffer> loginNotice;  // {isLogin, userinfo}, made once
  bool visible = false, subscribed = false;
  struct Item {
    RtcWideString origin;
    std::shared_ptr<const Buffer> value;
    std::size_t bytes;
    bool bounded = false;  // relayed to a bounded group
  };
  std::deque<Item> queue;
  std::size_t queuedBytes = 0;
  // The lag bound: bytes of bounded group rows queued and in the last reply; that reply's
  // bytes and time (confirmed by the next Get); the decaying sums of bytes and seconds the
  // confirmed replies took; senders whose group rows wait for a row of their own to this user.
  std::size_t boundedQueued = 0, boundedInFlight = 0, replyBytes = 0;
  Clock::time_point replyAt{};
  double rateBytes = 0, rateSeconds = 0;
  std::unordered_set<RtcWideString> awaiting;
  std::shared_ptr<Budget> sent = std::make_shared<Budget>();  // this user's items held
  DeferredResult held;
  std::optional<std::int64_t> heldX;                            // tick of the held Get
  std::shared_ptr<Budget> unsent = std::make_shared<Budget>();  // replies on their way
  Clock::time_point holdUntil{}, lastSeen{};
  // The last Get's reply, kept until a Get with another tick confirms it arrived.
  std::optional<std::int64_t> lastGetX;
  std::unique_ptr<TRtcValueObject> lastGet;
  // The last Put: its tick, fingerprint and outcome.
  std::optional<std::int64_t> lastPutX;
  std::uint64_t lastPutFingerprint = 0;
  PutOutcome lastPut;
  // Owned groups and their members; the groups of others this user is in, by owner.
  std::unordered_map<RtcWideString, std::unordered_set<User*>> groups;
  std::unordered_map<User*, std::unordered_set<RtcWideString>> memberOf;
  std::size_t pairs = 0, memberships = 0;  // counts of the two maps' entries
};

// What one operation leaves to do once the lock is released.
struct Relay::Outbox {
  std::vector<RtcWideString> touched;  // keys of users that got items
  std::vector<std::pair<DeferredResult, std::unique_ptr<TRtcValueObject>>> answers;
  std::vector<std::string> logs;
  std::vector<std::string> ended;  // login ids
  std::vector<RelayEvent> events;
};

Relay::Relay(RelayConfig config, LogSink log, ClockFn clock)
    : config_(config),
      log_(std::move(log)),
      clock_(clock ? std::move(clock) : ClockFn(Clock::now)),
      total_(std::make_shared<Budget>()),
      logGate_(std::make_unique<LogGate>()) {
  std::random_device random;
  for (int i = 0; i < 16; ++i) idKey_.push_back(static_cast<char>(random() & 0xff));
}

Relay::~Relay() = default;

void Relay::answerTouched(Outbox& out) {
  for (const auto& key : out.touched)
    if (User* u = byName(key)) answerHeld(*u, out);
  out.touched.clear();
}

void Relay::flush(Outbox& out) {
  // Ended ids first: a held Get answered at the end of its login must not reach its client
  // while the protocol session stands, or the client's next call would be answered LOGGED OUT
  // as a call result (recoverable) instead of failing its session and re-login (fatal).
  if (ended_)
    for (const auto& id : out.ended) ended_(id);
  for (auto& [later, value] : out.answers) later.complete(std::move(value));
  out.answers.clear();  // the replies' items are let go here, outside the lock
  if (log_)
    for (const auto& line : out.logs) log_(line);
  if (event_)
    for (const auto& e : out.events) event_(e);
}

void Relay::note(RelayEvent::Kind kind, const User& user, const User* other,
                 const RtcWideString& group, std::size_t bytes, Outbox& out) {
  if (!event_) return;
  RelayEvent e;
  e.kind = kind;
  e.user = user.name;
  e.userRole = user.role;
  if (other) {
    e.other = other->name;
    e.otherRole = other->role;
  }
  e.group = group;
  e.peer = user.peer;
  e.bytes = bytes;
  out.events.push_back(std::move(e));
}

void Relay::refuseRow(const User& from, int row, const User& to, const RtcWideString& group,
                      PutOutcome& result, Outbox& out) {
  if (result.refused.size() < PutOutcome::kListed)
    result.refused.push_back(RelayRefusal{row, to.name, group, kNotPermitted});
  else
    ++result.moreRefused;
  // The first refusal of a second is logged in full, the rest of it counted into one line.
  LogGate::Entry due;
  if (logGate_->count("relay-not-permitted", clock_(), 0, utf8(from.name), due))
    out.logs.push_back(LogLine("warn", "relay-not-permitted")
                           .add("from", utf8(from.name))
                           .add("to", utf8(to.name))
                           .add("group", utf8(group))
                           .add("row", static_cast<std::int64_t>(row))
                           .add("items", due.items)
                           .text());
}

Role Relay::roleOf(const std::string& id) {
  std::lock_guard<std::mutex> hold(lock_);
  return live(id)->role;
}

std::vector<RtcWideString> Relay::usersWithRole(Role role) const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<RtcWideString> names;
  for (const auto& [key, user] : users_)
    if (user->role == role) names.push_back(user->name);
  return names;
}

void Relay::endUser(const RtcWideString& name, const char* why) {
  Outbox out;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (User* u = byName(name)) end(*u, why, out);
    answerTouched(out);
  }
  flush(out);
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
  if (id.empty()) throw ERtcInfo(kNotLoggedIn);
  const char* ended = retired(id);
  throw ERtcInfo(ended ? ended : kLoggedOut);
}

namespace {

// 64 bits of SHA-256(key, id): ids cannot be chosen to collide without the relay's key.
std::uint64_t idDigest(const std::string& key, const std::string& id) {
  const std::string text = key + id;
  unsigned char md[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), md);
  std::uint64_t v = 0;
  std::memcpy(&v, md, sizeof v);
  return v;
}

}  // namespace

const char* Relay::retired(const std::string& id) const {
  auto it = retired_.find(idDigest(idKey_, id));
  return it == retired_.end() ? nullptr : it->second;
}

void Relay::retire(const std::string& id, const char* refusal) {
  const std::uint64_t digest = idDigest(idKey_, id);
  if (!retired_.emplace(digest, refusal).second) return;
  retiredOrder_.push_back(digest);
  while (retiredOrder_.size() > config_.retiredIds) {
    retired_.erase(retiredOrder_.front());
    retiredOrder_.pop_front();
  }
}

void Relay::login(LoginRequest request) {
  if (request.id.empty()) throw ERtcInfo("Login without an id.");
  if (request.id.size() > kMaxIdLength) throw ERtcInfo("Login id too long.");
  const RtcWideString key = UpperCaseAscii(request.user);
  Outbox out;
  const char* refusal = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (auto it = byId_.find(request.id); it != byId_.end()) {
      if (it->second->key != key) throw ERtcInfo("Invalid user name or password.");
      it->second->lastSeen = clock_();
      return;  // the second channel of the same client
    }
    if (const char* ended = retired(request.id)) throw ERtcInfo(ended);
    // A client re-logs in with the id of a session it had; one never seen here (a restarted
    // gateway) would come back without its publication and groups: it must start afresh.
    if (request.relogin) throw ERtcInfo(kUnknownId);
    User* old = byName(key);
    const bool samePeer = old && old->peer == request.peer;
    if (old && !samePeer && config_.keepLiveSessions) {
      refusal = kLiveElsewhere;
      out.logs.push_back(LogLine("warn", "replace-refused")
                             .add("user", utf8(old->name))
                             .add("peer", old->peer)
                             .add("by", request.peer)
                             .text());
    } else if (!samePeer && peerUsers_.count(request.peer) &&
               peerUsers_[request.peer] >= config_.usersPerPeer) {
      refusal = kTooManyUsers;
      out.logs.push_back(LogLine("warn", "login-refused")
                             .add("user", utf8(request.user))
                             .add("peer", request.peer)
                             .add("reason", "users-per-peer")
                             .text());
    } else {
      if (old) {
        out.logs.push_back(LogLine("warn", "user-replaced")
                               .add("user", utf8(old->name))
                               .add("peer", old->peer)
                               .add("by", request.peer)
                               .text());
        end(*old, kReplacedReason, out);
      }
      auto user = std::make_unique<User>();
      user->name = request.user;
      user->key = key;
      user->id = request.id;
      user->peer = request.peer;
      user->role = request.role;
      user->account = request.account;
      user->userinfo = std::move(request.userinfo);
      if (!user->userinfo) user->userinfo = std::make_unique<TRtcRecord>();
      user->lastSeen = clock_();
      byId_[user->id] = user.get();
      ++peerUsers_[user->peer];
      out.logs.push_back(LogLine("info", "user-login")
                             .add("user", utf8(user->name))
                             .add("peer", user->peer)
                             .add("relogin", request.relogin ? "yes" : "no")
                             .add("role", RoleName(user->role))
                             .text());
      note(RelayEvent::Kind::Login, *user, nullptr, {}, 0, out);
      users_[key] = std::move(user);
      answerTouched(out);
    }
  }
  flush(out);
  if (refusal) throw ERtcInfo(refusal);
}

RtcWideString Relay::userOf(const std::string& id) {
  std::lock_guard<std::mutex> hold(lock_);
  return live(id)->name;
}

void Relay::end(User& user, const char* why, Outbox& out) {
  answerHeld(user, out);
  if (user.visible) {
    const TRtcBooleanValue gone(false);
    for (User* s : subscribers_)
      if (s != &user) notify(*s, user.name, gone, out);
  }
  note(RelayEvent::Kind::Logout, user, nullptr, {}, 0, out);
  for (auto& [group, members] : user.groups)
    for (User* m : members) {
      note(RelayEvent::Kind::Left, user, m, group, 0, out);
      auto it = m->memberOf.find(&user);
      if (it != m->memberOf.end() && it->second.erase(group)) {
        --m->memberships;
        if (it->second.empty()) m->memberOf.erase(it);
      }
      groupNotice(*m, user.name, false, user, group, out);
    }
  for (auto& [owner, groups] : user.memberOf)
    for (const auto& group : groups) {
      auto it = owner->groups.find(group);
      note(RelayEvent::Kind::Left, *owner, &user, group, 0, out);
      if (it != owner->groups.end() && it->second.erase(&user)) {
        --owner->pairs;
        if (it->second.empty()) owner->groups.erase(it);
      }
      groupNotice(*owner, owner->name, false, user, group, out);
    }
  for (auto& [key, other] : users_) other->awaiting.erase(user.key);
  out.logs.push_back(
      LogLine("info", "user-logout").add("user", utf8(user.name)).add("reason", why).text());
  std::erase(out.touched, user.key);
  const bool replaced = user.account && std::string_view(why) == kReplacedReason;
  retire(user.id, replaced ? kReplaced : kLoggedOut);
  out.ended.push_back(user.id);
  if (auto p = peerUsers_.find(user.peer); p != peerUsers_.end() && --p->second == 0)
    peerUsers_.erase(p);
  byId_.erase(user.id);
  holding_.erase(&user);
  subscribers_.erase(&user);
  users_.erase(user.key);  // destroys `user`
}

std::shared_ptr<const Relay::Buffer> Relay::encode(const TRtcValueObject& item,
                                                   const std::shared_ptr<Budget>& sender,
                                                   const char** why) {
  auto b = std::make_shared<Buffer>();
  item.to_Code(b->code);
  b->code.shrink_to_fit();
  b->kind = item.GetType();
  b->bytes = b->code.capacity() + kBufferOverhead;
  const char* full = nullptr;
  // An item the client could not read would fail the whole reply, the good items with it.
  if (b->bytes > config_.replyLimit)
    full = kTooLarge;
  else if (!ReadsNestedAt(b->code, kReplyItemDepth))
    full = kTooDeep;
  else if (sender && sender->bytes + b->bytes > config_.senderLimit)
    full = "sender over its limit";
  else if (total_->bytes + b->bytes > config_.totalLimit)
    full = "relay memory full";
  if (full) {
    if (why) *why = full;
    return nullptr;
  }
  total_->bytes += b->bytes;
  b->total = total_;
  if (sender) {
    sender->bytes += b->bytes;
    b->sender = sender;
  }
  return b;
}

bool Relay::enqueue(User& to, const RtcWideString& origin, std::shared_ptr<const Buffer> item,
                    Outbox& out, bool bounded) {
  const std::size_t bytes = item->bytes + kEntryOverhead + origin.size() * sizeof(char16_t);
  if (to.queuedBytes + to.unsent->bytes + bytes > config_.queueLimit) return false;
  to.queue.push_back(User::Item{origin, std::move(item), bytes, bounded});
  to.queuedBytes += bytes;
  if (bounded) to.boundedQueued += bytes;
  if (to.held.pending() &&
      std::find(out.touched.begin(), out.touched.end(), to.key) == out.touched.end())
    out.touched.push_back(to.key);
  return true;
}

void Relay::notify(User& to, const RtcWideString& origin, const TRtcValueObject& item,
                   Outbox& out) {
  const char* why = "";
  auto b = encode(item, nullptr, &why);
  const std::size_t bytes = b ? b->bytes : item.codeSizeHint();
  if (!b || !enqueue(to, origin, std::move(b), out))
    noteLost(why == kTooDeep ? "notice-too-deep" : "notice-lost", to, bytes, out);
}

void Relay::noteLost(const char* event, const User& to, std::size_t bytes, Outbox& out) {
  LogGate::Entry due;
  if (logGate_->count(event, clock_(), bytes, utf8(to.name), due))
    out.logs.push_back(LogGate::line(event, due));
}

std::unique_ptr<TRtcRecord> Relay::drain(User& user) {
  // The oldest items up to the reply limit (at least one); the rest wait for the next Get.
  std::size_t count = 0, bytes = 0, bounded = 0;
  for (const auto& item : user.queue) {
    if (count && bytes + item.bytes > config_.replyLimit) break;
    ++count;
    bytes += item.bytes;
    if (item.bounded) bounded += item.bytes;
  }
  auto record = std::make_unique<FlightRecord>(user.unsent, bytes);
  for (std::size_t i = 0; i < count; ++i) {
    auto& item = user.queue.front();
    TRtcArray* list = record->asArray(item.origin);
    if (!list) list = &record->NewArray(item.origin);
    list->SetObject(list->Count(), std::make_unique<SharedItem>(std::move(item.value)));
    user.queue.pop_front();
  }
  if (user.queue.empty()) user.queue.shrink_to_fit();
  if (bytes) {
    user.replyBytes = bytes;
    user.replyAt = clock_();
    user.boundedInFlight = bounded;
  }
  user.queuedBytes -= bytes;
  user.boundedQueued -= bounded;
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
  user.lastGet = reply.copyOf();  // shares the items
}

void Relay::host(const std::string& id, bool on) {
  Outbox out;
  {
    std::lock_guard<std::mutex> hold(lock_);
    User& user = *live(id);
    if (user.visible != on) {
      user.visible = on;
      if (on && !user.loginNotice) {
        TRtcRecord notice;
        notice.setAsBoolean("isLogin", true);
        notice.setAsRecord("userinfo", *user.userinfo);
        const char* why = "";
        user.loginNotice = encode(notice, nullptr, &why);
        if (why == kTooDeep)
          out.logs.push_back(
              LogLine("warn", "notice-too-deep").add("user", utf8(user.name)).text());
      }
      const TRtcBooleanValue gone(false);
      for (User* s : subscribers_) {
        if (s == &user) continue;
        if (!on)
          notify(*s, user.name, gone, out);
        else if (!user.loginNotice || !enqueue(*s, user.name, user.loginNotice, out))
          noteLost("notice-lost", *s, user.loginNotice ? user.loginNotice->bytes : 0, out);
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
          if (other.get() == &user || !other->visible || !other->loginNotice) continue;
          // A full queue takes no more: the rest of the list is not even tried.
          if (!enqueue(user, other->name, other->loginNotice, out)) {
            noteLost("notice-lost", user, other->loginNotice->bytes, out);
            break;
          }
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
    noteDelivery(user);
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

PutOutcome Relay::put(const std::string& id, TRtcDataSet& rows, std::optional<std::int64_t> x,
                      std::uint64_t fingerprint, bool mayRepeat) {
  Outbox out;
  PutOutcome result;
  {
    std::lock_guard<std::mutex> hold(lock_);
    User& user = *live(id);
    if (mayRepeat && x && user.lastPutX == x && user.lastPutFingerprint == fingerprint) {
      // Re-posted after its answer was lost: applied once already.
      out.logs.push_back(LogLine("info", "put-repeat").add("user", utf8(user.name)).text());
      result = user.lastPut;
    } else {
      for (int row = 0; row < rows.RowCount(); ++row) {
        rows.setRow(row);
        try {
          applyRow(user, rows, row + 1, result, out);
        } catch (const std::exception& e) {
          if (result.faults.size() < PutOutcome::kListed)
            result.faults.push_back("row " + std::to_string(row + 1) + ": " + e.what());
          else
            ++result.moreFaults;
        }
      }
      user.lastPutX = x;
      user.lastPutFingerprint = fingerprint;
      user.lastPut = result;
      if (!result.faults.empty())
        out.logs.push_back(
            LogLine("warn", "put-rows-refused")
                .add("user", utf8(user.name))
                .add("rows", static_cast<std::int64_t>(result.faults.size() + result.moreFaults))
                .add("first", result.faults.front())
                .text());
      answerTouched(out);
    }
  }
  flush(out);
  return result;
}

void Relay::groupNotice(User& to, const RtcWideString& origin, bool on, const User& about,
                        const RtcWideString& group, Outbox& out) {
  TRtcRecord notice;
  notice.setAsBoolean(on ? "on" : "off", true);
  notice.setAsText("user", about.name);
  notice.setAsText("fn", group);
  if (on) notice.setAsRecord("userinfo", *about.userinfo);
  notify(to, origin, notice, out);
}

void Relay::relayData(User& from, TRtcDataSet& rows, int row, const std::vector<User*>& to,
                      const RtcWideString& group, PutOutcome& result, Outbox& out) {
  auto d = rows.Extract("d");
  if (!d) throw ERtcInfo("missing \"d\"");
  if (to.empty()) return;
  auto refuse = [&](const User& u, const char* why, std::size_t bytes) {
    if (result.refused.size() < PutOutcome::kListed)
      result.refused.push_back(RelayRefusal{row, u.name, group, why});
    else
      ++result.moreRefused;
    noteLost(why == kTooDeep    ? "relay-too-deep"
             : why == kTooLarge ? "relay-too-large"
                                : "relay-refused",
             u, bytes, out);
  };
  // A bounded group row lost for a receiver leaves it behind: the group's later rows would
  // not apply to what it has, so they wait for the sender's own row to it.
  const bool isBounded = !group.empty() && bounded(group);
  auto lose = [&](User& u, const char* why, std::size_t bytes) {
    refuse(u, why, bytes);
    if (isBounded) u.awaiting.insert(from.key);
  };
  const char* why = "";
  const std::size_t size = d->codeSizeHint();
  auto b = encode(*d, from.sent, &why);
  d.reset();
  if (!b) {
    for (User* u : to) lose(*u, why, size);
    return;
  }
  for (User* u : to) {
    if (const char* lag = isBounded ? lagRefusal(from, *u) : nullptr)
      lose(*u, lag, b->bytes);
    else if (!enqueue(*u, from.name, b, out, isBounded))
      lose(*u, "receiver queue full", b->bytes);
    else if (group.empty())
      u->awaiting.erase(from.key);
  }
}

bool Relay::bounded(const RtcWideString& group) const {
  return config_.lagLimit.count() > 0 &&
         std::find(config_.boundedGroups.begin(), config_.boundedGroups.end(), group) !=
             config_.boundedGroups.end();
}

namespace {
constexpr double kRateDecay = 0.7;  // weight of the older replies, per reply

double secondsOf(Clock::duration d) {
  return std::max(std::chrono::duration<double>(d).count(), 0.001);
}
}  // namespace

const char* Relay::lagRefusal(const User& from, const User& to) const {
  const std::size_t backlog = to.boundedQueued + to.boundedInFlight;
  bool over = false;
  if (backlog > kLagFloor) {
    // The measured rate, or lower when the reply on its way already takes longer than that.
    double rate = to.rateSeconds > 0 ? to.rateBytes / to.rateSeconds : 0;
    if (to.replyBytes) {
      const double pending = (to.rateBytes * kRateDecay + static_cast<double>(to.replyBytes)) /
                             (to.rateSeconds * kRateDecay + secondsOf(clock_() - to.replyAt));
      rate = rate > 0 ? std::min(rate, pending) : pending;
    }
    const double allowed = rate * std::chrono::duration<double>(config_.lagLimit).count();
    // A reply on its way longer than the limit is late already, whatever the rate said.
    over = (rate > 0 && static_cast<double>(backlog) > allowed) ||
           (to.replyBytes && clock_() - to.replyAt > config_.lagLimit);
  }
  if (over) return kLagging;
  return to.awaiting.count(from.key) ? kAwaitingState : nullptr;
}

void Relay::noteDelivery(User& user) {
  if (user.replyBytes) {
    user.rateBytes = user.rateBytes * kRateDecay + static_cast<double>(user.replyBytes);
    user.rateSeconds = user.rateSeconds * kRateDecay + secondsOf(clock_() - user.replyAt);
  }
  user.replyBytes = 0;
  user.boundedInFlight = 0;
}

void Relay::applyRow(User& from, TRtcDataSet& rows, int row, PutOutcome& result, Outbox& out) {
  auto text = [&](const char* field) -> RtcWideString {
    if (rows.isNull(field)) throw ERtcInfo(std::string("missing \"") + field + "\"");
    RtcWideString v = rows.asText(field);
    if (v.empty()) throw ERtcInfo(std::string("empty \"") + field + "\"");
    return v;
  };
  // Ends the membership of `member` in `owner`'s group (the group entry stays to the caller).
  auto leave = [](User& owner, const RtcWideString& group, User& member) {
    auto it = member.memberOf.find(&owner);
    if (it != member.memberOf.end() && it->second.erase(group)) {
      --member.memberships;
      if (it->second.empty()) member.memberOf.erase(it);
    }
    --owner.pairs;
  };
  if (!rows.isNull("to")) {
    const RtcWideString to = text("to");
    std::vector<User*> target;
    if (User* u = byName(to)) {
      if (!RelayAllowed(from.role, u->role, RowKind::Direct)) {
        if (!rows.Extract("d")) throw ERtcInfo("missing \"d\"");
        refuseRow(from, row, *u, {}, result, out);
        return;
      }
      target.push_back(u);
      note(RelayEvent::Kind::Direct, from, u, {},
           rows.isNull("d") ? 0 : rows.asObject("d")->codeSizeHint(), out);
    }
    relayData(from, rows, row, target, {}, result, out);
  } else if (!rows.isNull("fn")) {
    const RtcWideString group = text("fn");
    auto it = from.groups.find(group);
    std::vector<User*> members;
    if (it != from.groups.end())
      for (User* m : it->second) {
        if (RelayAllowed(from.role, m->role, RowKind::GroupData))
          members.push_back(m);
        else
          refuseRow(from, row, *m, group, result, out);
      }
    const std::size_t bytes = rows.isNull("d") ? 0 : rows.asObject("d")->codeSizeHint();
    for (User* m : members) note(RelayEvent::Kind::GroupData, from, m, group, bytes, out);
    relayData(from, rows, row, members, group, result, out);
  } else if (!rows.isNull("s")) {
    const RtcWideString group = text("s");
    User* target = byName(text("user"));
    if (!target || target == &from) return;
    if (!RelayAllowed(from.role, target->role, RowKind::GroupAdd)) {
      refuseRow(from, row, *target, group, result, out);
      return;
    }
    auto it = from.groups.find(group);
    if (it != from.groups.end() && it->second.count(target)) return;
    if (from.pairs >= config_.maxGroupPairs) throw ERtcInfo("too many group members");
    if (target->memberships >= config_.maxGroupPairs) throw ERtcInfo("user in too many groups");
    from.groups[group].insert(target);
    ++from.pairs;
    target->awaiting.erase(from.key);  // joins afresh
    target->memberOf[&from].insert(group);
    ++target->memberships;
    note(RelayEvent::Kind::Joined, from, target, group, 0, out);
    groupNotice(from, from.name, true, *target, group, out);
    groupNotice(*target, from.name, true, from, group, out);
  } else if (!rows.isNull("u")) {
    const RtcWideString group = text("u");
    User* target = byName(text("user"));
    auto it = from.groups.find(group);
    if (!target || it == from.groups.end() || !it->second.erase(target)) return;
    if (it->second.empty()) from.groups.erase(it);
    leave(from, group, *target);
    note(RelayEvent::Kind::Left, from, target, group, 0, out);
    groupNotice(from, from.name, false, *target, group, out);
    groupNotice(*target, from.name, false, from, group, out);
  } else if (!rows.isNull("uf")) {
    const RtcWideString group = text("uf");
    auto it = from.groups.find(group);
    if (it == from.groups.end()) return;
    const std::unordered_set<User*> members = std::move(it->second);
    from.groups.erase(it);
    for (User* m : members) {
      leave(from, group, *m);
      note(RelayEvent::Kind::Left, from, m, group, 0, out);
      groupNotice(from, from.name, false, *m, group, out);
      groupNotice(*m, from.name, false, from, group, out);
    }
  } else if (!rows.isNull("t")) {
    const RtcWideString group = text("t");
    User* owner = byName(text("user"));
    if (!owner) return;
    auto it = owner->groups.find(group);
    if (it == owner->groups.end() || !it->second.erase(&from)) return;
    if (it->second.empty()) owner->groups.erase(it);
    leave(*owner, group, from);
    note(RelayEvent::Kind::Left, *owner, &from, group, 0, out);
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
      logGate_->flush(now, out.logs);
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

std::size_t Relay::retiredCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return retiredOrder_.size();
}

std::size_t Relay::userCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return users_.size();
}

std::size_t Relay::queuedBytes(const RtcWideString& user) const {
  std::lock_guard<std::mutex> hold(lock_);
  const User* u = byName(user);
  return u ? u->queuedBytes + u->unsent->bytes : 0;
}

std::size_t Relay::heldBytes() const {
  return total_->bytes;
}

double Relay::deliveryRate(const RtcWideString& user) const {
  std::lock_guard<std::mutex> hold(lock_);
  const User* u = byName(user);
  return u && u->rateSeconds > 0 ? u->rateBytes / u->rateSeconds : 0;
}

}  // namespace vtx::gateway
