// Server sessions of the remote-call protocol, keyed by the session cookie "ID": the cipher
// state of the handshake and the storage the server functions share.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "transport/crypt.h"
#include "values/info.h"

namespace vtx::gateway {

using Clock = std::chrono::steady_clock;
using ClockFn = std::function<Clock::time_point()>;

// Cipher state of one session, from the server's side. The server reads with the key the
// client writes with, and the other way round.
struct ServerCrypt {
  enum class Stage { Hello, Ready };
  Stage stage = Stage::Hello;
  std::string clientHello, serverHello, clientKey, serverKey;
  TRtcCrypt read, write;  // used once the stage is Ready
  int expectedCounter = 0;
  // Replies are enciphered in the order of their requests: each request takes a ticket, and
  // a reply whose predecessors are not written yet waits in `parked` with its completion.
  std::uint64_t ticketsIssued = 0, ticketsWritten = 0;
  struct Parked {
    std::string body;  // plain, control key appended
    // Takes the enciphered body; null when the reply was abandoned by a cipher reset.
    std::function<void(std::string*)> send;
  };
  std::map<std::uint64_t, Parked> parked;
  std::deque<std::uint64_t> resetOrder;  // oldest first
  std::unordered_set<std::uint64_t> resetsSeen;

  // Both ciphers restarted from their keys (after START and on "RESET").
  void restart();
  // Whether a "RESET" request with this fingerprint (of its enciphered body) is new under these
  // keys; remembers the last kResetMemory of them. A restarted cipher reads a captured reset
  // again, so a repeat is a replay.
  bool firstReset(std::uint64_t print);
  static constexpr std::size_t kResetMemory = 1024;
  // On "RESET": the client gave up every reply still owed under the old keystream. Their
  // tickets are passed over (a reply finishing later is refused, never enciphered with the
  // restarted cipher); the parked ones are returned for the caller to refuse.
  std::map<std::uint64_t, Parked> abandonOwedReplies();
};

class Session {
 public:
  Session(std::string id, std::string peer);

  const std::string& id() const { return id_; }
  const std::string& peer() const { return peer_; }

  // Guards the cipher state; held briefly (deciphering, enciphering), never while calls run.
  std::mutex& lock() { return lock_; }
  // Serialises the calls of this session's requests and guards the storage.
  std::mutex& callLock() { return callLock_; }
  // Cipher state; none before HELLO or after it was dropped.
  std::unique_ptr<ServerCrypt>& crypt() { return crypt_; }
  // Counts the keystreams this session started (START and RESET); under lock(). A client that
  // lost a reply re-posts its request on a new keystream.
  std::uint64_t keystreams = 0;
  // Values and objects the server functions keep for this session.
  TRtcInfo& storage() { return storage_; }
  // Whether a login id is tied to this session (SessionStore::bind).
  bool loggedIn() const { return loggedIn_.load(); }

 private:
  friend class SessionStore;
  std::string id_, peer_;
  std::atomic<bool> loggedIn_{false};
  std::mutex lock_, callLock_;
  std::unique_ptr<ServerCrypt> crypt_;
  TRtcInfo storage_;
};

// Every open session. A session unused for longer than the idle time is forgotten; lookups of
// a forgotten ID find nothing. A session is tied to the login id it logged in with and goes
// with it (dropLogin). When the table or a peer address's share of it is full, the session of
// that scope that is least recently used and not logged in makes room; logged-in sessions are
// never pushed out. Thread-safe.
class SessionStore {
 public:
  // `maxPerPeer` 0: no limit beyond `maxSessions`.
  SessionStore(Clock::duration idle, std::size_t maxSessions, ClockFn clock = {},
               std::size_t maxPerPeer = 0);

  // A new session with a fresh ID; none when the store is full of logged-in sessions (of the
  // peer, or in all) even after expiry.
  std::shared_ptr<Session> create(const std::string& id, const std::string& peer);
  // The live session of `id` (its idle time restarts), or none.
  std::shared_ptr<Session> find(const std::string& id);
  // Whether `id` names a live, logged-in session (its idle time does not restart).
  bool loggedIn(const std::string& id) const;
  // Ties the session to a login id; false when the session is gone.
  bool bind(const std::string& id, const std::string& loginId);
  // Forgets every session tied to the login id; returns their IDs.
  std::vector<std::string> dropLogin(const std::string& loginId);
  void remove(const std::string& id);
  // Forgets idle sessions; returns their IDs.
  std::vector<std::string> expire();
  std::size_t size() const;
  // Sessions opened by the peer address that are still open.
  std::size_t peerSize(const std::string& peer) const;
  // Sessions pushed out to make room, since the start.
  std::uint64_t evicted() const;
  Clock::time_point now() const { return clock_(); }

 private:
  using Order = std::list<std::string>;
  struct Entry {
    std::shared_ptr<Session> session;
    Clock::time_point lastUsed;
    std::string loginId;      // empty while not logged in
    Order::iterator byUse;    // in used_
    Order::iterator waiting;  // in waiting_, while not logged in
    Order::iterator ofPeer;   // in the peer's waiting list, while not logged in
  };
  struct Peer {
    std::size_t count = 0;
    Order waiting;  // its sessions not logged in, least recently used first
  };
  using Map = std::unordered_map<std::string, Entry>;
  void expireLocked(Clock::time_point now, std::vector<std::string>* ids);
  void eraseLocked(Map::iterator it);
  void unwaitLocked(Entry& e);

  Clock::duration idle_;
  std::size_t maxSessions_, maxPerPeer_;
  ClockFn clock_;
  mutable std::mutex lock_;
  Map sessions_;
  Order used_;     // every session, least recently used first
  Order waiting_;  // sessions not logged in, least recently used first
  std::unordered_map<std::string, Peer> peers_;
  std::unordered_multimap<std::string, std::string> byLogin_;  // login id -> session IDs
  std::uint64_t evicted_ = 0;
};

}  // namespace vtx::gateway
