// The relay between logged-in users: user sessions keyed by their login id, the queue of
// items waiting for each user, held "Get" calls, groups and the login notices. Socket-free;
// time comes from an injectable clock and advances through tick().
//
// Items queued for a user, under the origin's name: Boolean true/false (published user logged
// in / out), {isLogin, userinfo} (login with details), group notices {on|off, user, fn[,
// userinfo]} and relayed data (the row's "d", unchanged). Thread-safe: one lock guards the
// state; held calls are answered and log lines written after it is released.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "gateway/deferred.h"
#include "gateway/log_line.h"
#include "gateway/relay_policy.h"
#include "gateway/session.h"
#include "values/values.h"

namespace vtx::gateway {

// Memory is counted as held: the encoded item once (shared by every queue and reply holding
// it) against its sender and the whole relay, and once per receiver against its queue.
struct RelayConfig {
  std::chrono::milliseconds getHold{25000};        // longest wait of a held "Get"
  std::chrono::milliseconds loginTimeout{120000};  // silence that ends a user session
  std::size_t queueLimit = 8u << 20;               // bytes queued per receiver
  // Bytes of items one Get reply carries (well below what a client reads in one body); the
  // rest wait for the next Get. A larger item is never queued.
  std::size_t replyLimit = 32u << 20;
  std::size_t senderLimit = 32u << 20;  // bytes a sender's items may hold at once
  std::size_t totalLimit = 256u << 20;  // bytes all items may hold at once
  std::size_t maxGroupPairs = 1000;     // (group, member) pairs per owner; groups per member
  std::size_t retiredIds = 100000;      // ended login ids remembered as LOGGED OUT (oldest go)
  std::size_t usersPerPeer = 256;       // live user sessions per peer address
  bool keepLiveSessions = false;  // refuse a login that would replace one from another address
  // Lag bound of the bounded groups (screen updates: deltas a lagging receiver is better off
  // without). A row to such a group is refused for a receiver whose backlog in these groups
  // (queued, and in the last reply not yet confirmed by its next Get) would take longer than
  // lagLimit to drain at its delivery rate; an empty backlog always takes the row. After such
  // a refusal the group rows of that sender stay refused for that receiver until the sender
  // sends it a row of its own (a complete state to start over from). 0 = no lag bound.
  std::chrono::milliseconds lagLimit{500};
  std::vector<RtcWideString> boundedGroups{u"desk", u"idesk"};
};

// A relayed row that did not fit: its receiver (and group) and why.
struct RelayRefusal {
  int row = 0;  // 1-based row of the Put
  RtcWideString to, group;
  std::string reason;
};

// Each list keeps its first kListed entries and counts the rest.
struct PutOutcome {
  static constexpr std::size_t kListed = 256;
  std::vector<std::string> faults;    // rows that could not be applied, one text a row
  std::vector<RelayRefusal> refused;  // relayed data that found no room
  std::size_t moreFaults = 0, moreRefused = 0;
};

struct LoginRequest {
  RtcWideString user;
  std::string id;
  bool relogin = false;
  std::unique_ptr<TRtcRecord> userinfo;  // login details, kept for the notices
  std::string peer;                      // address the login came from
  Role role = Role::Analyst;             // what the relay lets this user reach
  bool account = false;                  // an analyst logged in with its own account
};

// What happened in the relay, for the audit trail; reported after the relay's lock is released.
struct RelayEvent {
  enum class Kind { Login, Logout, Joined, Left, Direct, GroupData };
  Kind kind = Kind::Login;
  // Login, Logout: user. Joined, Left: the group's owner and the member. Direct, GroupData:
  // the sender and the receiver.
  RtcWideString user, other, group;
  Role userRole = Role::Host, otherRole = Role::Host;
  std::string peer;  // Login, Logout: the user's address
  std::size_t bytes = 0;
};

class Relay {
 public:
  // Texts of the refusals (ERtcInfo).
  static constexpr const char* kLoggedOut = "LOGGED OUT";
  // The session of an analyst account (LoginRequest::account) another login under its name
  // replaced: its calls and re-logins are refused with this instead of kLoggedOut, so that its
  // console can say why it ended. A copy of the program keeps LOGGED OUT, which ends it for good
  // instead of logging in again and replacing the new copy in turn.
  static constexpr const char* kReplaced = "Logged in again elsewhere.";
  static constexpr const char* kNotLoggedIn = "Not logged in.";
  static constexpr const char* kUnknownId = "Unknown login id; log in again.";
  static constexpr const char* kLiveElsewhere = "This user is logged in from another address.";
  static constexpr const char* kTooManyUsers = "Too many users logged in from this address.";
  static constexpr std::size_t kMaxIdLength = 64;
  // Reasons of a bounded group row refused by the lag bound: still over it, or drained enough
  // and waiting for the sender's own row.
  static constexpr const char* kLagging = "receiver lagging";
  static constexpr const char* kAwaitingState = "receiver awaits a complete state";
  // An item nested too deep for a client to read it in a reply (never queued).
  static constexpr const char* kTooDeep = "item nested too deep";
  static constexpr const char* kTooLarge = "item too large for a reply";
  // A backlog this small is never refused (delivery rates measured on tiny replies are low).
  static constexpr std::size_t kLagFloor = 32u << 10;

  explicit Relay(RelayConfig config, LogSink log = {}, ClockFn clock = {});
  ~Relay();

  // Ties `request.id` to the user's session: an id already live joins it (both channels of a
  // client share one session); a new id makes a session and replaces any other session of
  // the same name (refused from another address with keepLiveSessions). Throws ERtcInfo
  // LOGGED OUT (kReplaced for a replaced analyst account) for an ended id, kUnknownId for a
  // "ReLogin" of an id never seen, and refuses a peer's logins beyond usersPerPeer. Passwords are
  // checked before.
  void login(LoginRequest request);
  // Called with each login id that ended (logout, replacement, time-out), after the lock is
  // released and before the held Gets of that change are answered. Set before serving.
  void onEnded(std::function<void(const std::string& id)> ended) { ended_ = std::move(ended); }
  // Called with each event, after the lock is released. Set before serving.
  void onEvent(std::function<void(const RelayEvent&)> event) { event_ = std::move(event); }
  // Ends the live session of the name, if any (an account withdrawn); peers are told.
  void endUser(const RtcWideString& name, const char* why);
  // The role of a live id; throws like userOf.
  Role roleOf(const std::string& id);
  // The names of the live users of the role.
  std::vector<RtcWideString> usersWithRole(Role role) const;
  // The user name of a live id; throws ERtcInfo LOGGED OUT (ended) or "Not logged in.".
  RtcWideString userOf(const std::string& id);

  // Publishes the user (login notices to the subscribers) or withdraws it.
  void host(const std::string& id, bool on);
  // Subscribes the user to login notices and queues those of the users already published.
  void control(const std::string& id, bool on);
  // The queued items as a record, or none when the call is held in `later` (answered when
  // items arrive, at the hold time, at logout, or when the next Get comes).
  //
  // With a tick `x` the reply is remembered until a Get with another x arrives: a Get repeated
  // with the same x (its reply was lost on the way) gets the remembered reply again, so items
  // drained into a lost reply are not lost. Without x nothing is remembered. A caller that
  // knows the call is not a re-post passes `mayRepeat` false: the reply is remembered only.
  std::unique_ptr<TRtcValueObject> get(const std::string& id, DeferredResult later,
                                       std::optional<std::int64_t> x = std::nullopt,
                                       bool mayRepeat = true);
  // Applies the rows in order; returns the faults of the rows it could not apply and the
  // receivers that found no room for relayed data (nothing queued for them; other items are
  // never dropped to make room).
  //
  // With a tick `x` and the call's fingerprint, a Put repeated with both equal to the last one
  // (re-posted after its reply was lost) is not applied again: it gets the last answer.
  PutOutcome put(const std::string& id, TRtcDataSet& rows,
                 std::optional<std::int64_t> x = std::nullopt, std::uint64_t fingerprint = 0,
                 bool mayRepeat = true);
  // Ends the session of `id` (the name must match); peers are told.
  void logout(const std::string& id, const RtcWideString& user);

  // Answers held calls whose hold time passed and ends sessions silent beyond the time-out.
  void tick();
  // Answers every held call; later Gets are answered at once.
  void shutdown();

  std::size_t userCount() const;
  std::size_t queuedBytes(const RtcWideString& user) const;  // with its replies on their way
  std::size_t heldBytes() const;     // all items, in queues and replies not yet gone
  std::size_t retiredCount() const;  // ended login ids remembered
  // Bytes a second the user's Gets took of late (0 = not measured yet).
  double deliveryRate(const RtcWideString& user) const;

  // Byte counters shared with the encoded items, which may outlive a user or the relay.
  struct Budget;
  struct Buffer;

 private:
  struct User;
  struct Outbox;
  struct LogGate;
  User* live(const std::string& id);  // under lock_
  User* byName(const RtcWideString& name) const;
  void end(User& user, const char* why, Outbox& out);
  // Encodes an item; none when the sender's or the relay's budget has no room for it, or when
  // a reply could not carry it.
  std::shared_ptr<const Buffer> encode(const TRtcValueObject& item,
                                       const std::shared_ptr<Budget>& sender,
                                       const char** why = nullptr);
  // Queues an item; false (nothing queued) when the receiver's queue has no room.
  bool enqueue(User& to, const RtcWideString& origin, std::shared_ptr<const Buffer> item,
               Outbox& out, bool bounded = false);
  // Queues an item the relay makes itself; one that finds no room is counted and logged.
  void notify(User& to, const RtcWideString& origin, const TRtcValueObject& item, Outbox& out);
  void noteLost(const char* event, const User& to, std::size_t bytes, Outbox& out);
  std::unique_ptr<TRtcRecord> drain(User& user);
  // Answers the held Get with the queued items; `remember` keeps a copy for a repeat.
  void answerHeld(User& user, Outbox& out, bool remember = true);
  void rememberGet(User& user, std::optional<std::int64_t> x, const TRtcValueObject& reply);
  void applyRow(User& from, TRtcDataSet& rows, int row, PutOutcome& result, Outbox& out);
  void relayData(User& from, TRtcDataSet& rows, int row, const std::vector<User*>& to,
                 const RtcWideString& group, PutOutcome& result, Outbox& out);
  bool bounded(const RtcWideString& group) const;
  // Why a bounded group row from `from` may not be queued for `to` now; none = it may.
  const char* lagRefusal(const User& from, const User& to) const;
  void noteDelivery(User& user);  // a Get arrived: the last reply reached its client
  void groupNotice(User& to, const RtcWideString& origin, bool on, const User& about,
                   const RtcWideString& group, Outbox& out);
  // Answers a row the relay policy stops in the Put's refusal list, and logs it.
  void refuseRow(const User& from, int row, const User& to, const RtcWideString& group,
                 PutOutcome& result, Outbox& out);
  void note(RelayEvent::Kind kind, const User& user, const User* other, const RtcWideString& group,
            std::size_t bytes, Outbox& out);
  void retire(const std::string& id, const char* refusal);
  // The refusal of an ended id (kLoggedOut, kReplaced); none for an id not ended.
  const char* retired(const std::string& id) const;
  void answerTouched(Outbox& out);  // held Gets of users that got items
  void flush(Outbox& out);          // after the lock: answers, then log lines

  RelayConfig config_;
  LogSink log_;
  ClockFn clock_;
  mutable std::mutex lock_;
  std::unordered_map<RtcWideString, std::unique_ptr<User>> users_;  // upper-cased name
  std::unordered_map<std::string, User*> byId_;
  std::unordered_set<User*> holding_, subscribers_;
  std::function<void(const std::string&)> ended_;
  std::function<void(const RelayEvent&)> event_;
  std::unordered_map<std::string, std::size_t> peerUsers_;  // live user sessions per address
  // Ended ids as 64 bits of a keyed digest (a few dozen bytes each, whatever the id's length).
  std::string idKey_;
  std::unordered_map<std::uint64_t, const char*> retired_;  // digest -> refusal
  std::deque<std::uint64_t> retiredOrder_;
  std::shared_ptr<Budget> total_;
  std::unique_ptr<LogGate> logGate_;
  Clock::time_point lastTimeoutScan_{};
  bool stopping_ = false;
};

}  // namespace vtx::gateway
