// Failed-login limits: each peer address and each user name may fail a few times freely; from
// the last free failure on, every failure makes it wait before its next attempt is even
// checked, twice as long each time up to a ceiling. A success clears the name and the peer.
// Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

namespace vtx::gateway {

struct LoginLimits {
  int peerFailures = 5;   // free failures per peer address
  int nameFailures = 10;  // free failures per user name
  std::chrono::milliseconds firstDelay{1000};
  std::chrono::milliseconds maxDelay{300000};
  std::chrono::milliseconds forget{900000};  // a record quiet this long is dropped
  std::size_t maxRecords = 100000;           // peers and names tracked at most
};

class LoginGuard {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  explicit LoginGuard(LoginLimits limits, Clock now = {});

  // How long the peer or the name must still wait; zero when an attempt may be checked now.
  std::chrono::milliseconds wait(const std::string& peer, const std::string& name);
  void failed(const std::string& peer, const std::string& name);
  void succeeded(const std::string& peer, const std::string& name);

 private:
  struct Record {
    int failures = 0;
    std::chrono::steady_clock::time_point until, last;
  };
  void fail(const std::string& key, int free, std::chrono::steady_clock::time_point now);
  std::chrono::milliseconds left(const std::string& key,
                                 std::chrono::steady_clock::time_point now) const;
  void prune(std::chrono::steady_clock::time_point now);

  LoginLimits limits_;
  Clock now_;
  std::mutex lock_;
  std::unordered_map<std::string, Record> records_;  // "p:" peer, "n:" upper-cased name
};

}  // namespace vtx::gateway
