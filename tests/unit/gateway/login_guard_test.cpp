#include "gateway/login_guard.h"

#include <gtest/gtest.h>

#include <string>

namespace vtx::gateway {
namespace {

using std::chrono::milliseconds;

class GuardClock {
 public:
  LoginGuard::Clock clock() {
    return [this] { return now_; };
  }
  void advance(milliseconds d) { now_ += d; }

 private:
  std::chrono::steady_clock::time_point now_{};
};

TEST(LoginGuard, PeersWaitLongerAfterEachFailureAndASuccessClears) {
  GuardClock t;
  LoginGuard g(
      LoginLimits{3, 100, milliseconds(1000), milliseconds(4000), milliseconds(60000), 1000},
      t.clock());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(g.wait("10.0.0.1", "ANN").count(), 0);
    g.failed("10.0.0.1", "ANN");
  }
  EXPECT_EQ(g.wait("10.0.0.1", "BOB").count(), 0);
  g.failed("10.0.0.1", "BOB");                                // the third and last free failure
  EXPECT_EQ(g.wait("10.0.0.1", "CARL"), milliseconds(1000));  // the peer waits, whatever name
  EXPECT_EQ(g.wait("10.0.0.2", "ANN").count(), 0);            // other peers do not
  t.advance(milliseconds(1000));
  g.failed("10.0.0.1", "BOB");
  EXPECT_EQ(g.wait("10.0.0.1", "X"), milliseconds(2000));
  t.advance(milliseconds(2000));
  g.failed("10.0.0.1", "BOB");
  g.failed("10.0.0.1", "BOB");                             // failures while waiting still count
  EXPECT_EQ(g.wait("10.0.0.1", "X"), milliseconds(4000));  // the ceiling
  t.advance(milliseconds(4000));
  g.succeeded("10.0.0.1", "BOB");
  g.failed("10.0.0.1", "BOB");
  EXPECT_EQ(g.wait("10.0.0.1", "X").count(), 0);
}

TEST(LoginGuard, ANameGuessedFromManyPeersWaitsAndTheTableStaysBounded) {
  GuardClock t;
  LoginGuard g(LoginLimits{100, 4, milliseconds(500), milliseconds(8000), milliseconds(1000), 50},
               t.clock());
  for (int i = 0; i < 4; ++i) g.failed("peer-" + std::to_string(i), "ANN");
  EXPECT_EQ(g.wait("peer-new", "ANN"), milliseconds(500));
  EXPECT_EQ(g.wait("peer-new", "BOB").count(), 0);
  for (int i = 0; i < 1000; ++i) g.failed("p" + std::to_string(i), "N" + std::to_string(i));
  EXPECT_EQ(g.wait("peer-new", "ANN"), milliseconds(500));  // a waiting record is kept
  t.advance(milliseconds(500));
  EXPECT_EQ(g.wait("peer-new", "ANN").count(), 0);
}

}  // namespace
}  // namespace vtx::gateway
