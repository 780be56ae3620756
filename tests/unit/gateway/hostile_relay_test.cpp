// Attacks on the relay of a real gateway process on 127.0.0.1, with bounded counts and times:
// group fan-out of large rows, full queues, many groups, notice storms. Each checks the
// process's memory against a stated ceiling and that a bystander pair keeps relaying.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gateway_process.h"
#include "http_transport.h"

namespace vtx::gateway {
namespace {

using testing::GatewayProcess;
using testing::HttpConnection;
using testing::kMeasureMemory;
using testing::memoryKiB;
using testing::ProtocolClient;
using Results = std::vector<std::unique_ptr<TRtcValue>>;
using Clock = std::chrono::steady_clock;

// Resident memory of a process in bytes.
std::size_t residentBytes(pid_t pid) {
  const long kib = memoryKiB(pid, "VmRSS:");
  return kib < 0 ? 0 : static_cast<std::size_t>(kib) * 1024;
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// One logged-in user on its own protocol session.
class User {
 public:
  User(unsigned short port, const std::string& name)
      : http_(port, std::chrono::seconds(20)), client_(http_.transport(), {}), name_(name) {
    EXPECT_EQ(client_.handshake(), 200);
    TRtcFunctionInfo login(u"Login");
    login.setAsText("user", Widen(name));
    login.setAsText("pwd", u"");
    login.setAsString("id", name + "-id");
    auto r = one(login);
    EXPECT_NE(r->isType(), rtc_Exception) << name << ": " << r->toCode();
  }
  std::unique_ptr<TRtcValue> one(const TRtcFunctionInfo& f) {
    Results r;
    if (client_.call(f, r) != 200 || r.size() != 1) return std::make_unique<TRtcValue>();
    return std::move(r[0]);
  }
  Results many(const std::vector<const TRtcValueObject*>& calls) {
    Results r;
    EXPECT_EQ(client_.call(calls, r), 200);
    return r;
  }
  // A Put of rows, each made by `fill`.
  std::unique_ptr<TRtcValue> put(int rows, const std::function<void(TRtcDataSet&, int)>& fill) {
    TRtcFunctionInfo f(u"Put");
    f.setAsInteger("x", ++tick_);
    TRtcDataSet& p = f.NewDataSet("p");
    for (int i = 0; i < rows; ++i) {
      p.Append();
      fill(p, i);
    }
    return one(f);
  }
  std::unique_ptr<TRtcValue> get() {
    TRtcFunctionInfo f(u"Get");
    f.setAsInteger("x", ++tick_);
    return one(f);
  }
  const std::string& name() const { return name_; }

 private:
  HttpConnection http_;
  ProtocolClient client_;
  std::string name_;
  int tick_ = 0;
};

// Two users passing a row back and forth: each round trip must stay quick.
class BystanderPair {
 public:
  explicit BystanderPair(unsigned short port) : a_(port, "by-a"), b_(port, "by-b") {}
  // The time one row takes from a's Put to b's Get.
  std::chrono::milliseconds roundTrip() {
    const auto start = Clock::now();
    const std::string text = "ping " + std::to_string(++n_);
    a_.put(1, [&](TRtcDataSet& p, int) {
      p.setAsText("to", u"by-b");
      p.setAsString("d", text);
    });
    for (int i = 0; i < 5; ++i) {
      auto r = b_.get();
      if (r->isType() == rtc_Record && r->asRecord()->asArray("by-a")) {
        EXPECT_EQ(r->asRecord()->asArray("by-a")->asString(0), text);
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
      }
    }
    ADD_FAILURE() << "the bystander's row did not arrive";
    return std::chrono::hours(1);
  }

 private:
  User a_, b_;
  int n_ = 0;
};

const std::vector<std::string> kOptions = {"--get-hold", "0.3"};

// Before: every member got its own copy of a group row (20 members x 4 MiB = 80 MiB more).
TEST(HostileRelay, AGroupRowIsHeldOnceForAllItsMembers) {
  GatewayProcess g(kOptions);
  BystanderPair bystander(g.port());
  User host(g.port(), "host");
  std::vector<std::unique_ptr<User>> members;
  for (int i = 0; i < 20; ++i) {
    members.push_back(std::make_unique<User>(g.port(), "member" + std::to_string(i)));
    host.put(1, [&](TRtcDataSet& p, int) {
      p.setAsText("s", u"desk");
      p.setAsText("user", Widen(members.back()->name()));
    });
  }
  for (auto& m : members) m->get();
  host.get();
  const std::size_t before = residentBytes(g.pid());
  const std::string frame(4u << 20, 'f');
  auto answer = host.put(1, [&](TRtcDataSet& p, int) {
    p.setAsText("fn", u"desk");
    p.setAsString("d", frame);
  });
  EXPECT_EQ(answer->isType(), rtc_Boolean) << answer->toCode().substr(0, 200);
  const std::size_t grown = residentBytes(g.pid()) - before;
  if (kMeasureMemory) {
    EXPECT_LT(grown, 40u << 20) << "held " << grown << " bytes";
  }  // request, its tree, one copy
  EXPECT_LT(bystander.roundTrip(), std::chrono::seconds(2));
  auto got = members[7]->get();  // every member still gets the whole row
  ASSERT_EQ(got->isType(), rtc_Record);
  ASSERT_NE(got->asRecord()->asArray("host"), nullptr);
  EXPECT_EQ(got->asRecord()->asArray("host")->asString(0).size(), frame.size());
  EXPECT_EQ(g.stop(), 0);
}

// Before: a full queue dropped its oldest items (other senders' as well), an item larger than
// the limit emptied the whole queue, and the sender was told true.
TEST(HostileRelay, AFullQueueRefusesTheNewcomerToItsSender) {
  std::vector<std::string> options = kOptions;
  options.insert(options.end(), {"--queue-limit", "200000"});
  GatewayProcess g(options);
  User flooder(g.port(), "flooder"), friendly(g.port(), "friendly"), target(g.port(), "target");
  friendly.put(1, [](TRtcDataSet& p, int) {
    p.setAsText("to", u"target");
    p.setAsString("d", "hello");
  });
  auto answer = flooder.put(300, [](TRtcDataSet& p, int i) {
    p.setAsText("to", u"target");
    p.setAsString("d", i == 299 ? std::string(300000, 'z') : std::string(1000, 'a'));
  });
  ASSERT_EQ(answer->isType(), rtc_Record) << answer->toCode().substr(0, 200);
  TRtcArray* refused = answer->asRecord()->asArray("refused");
  ASSERT_NE(refused, nullptr);
  EXPECT_GT(refused->Count(), 100);
  EXPECT_LT(refused->Count(), 300);
  EXPECT_EQ(refused->asRecord(refused->Count() - 1)->asInteger("row"), 300);
  EXPECT_EQ(refused->asRecord(0)->asText("to"), u"target");
  EXPECT_EQ(refused->asRecord(0)->asString("reason"), "receiver queue full");
  auto got = target.get();
  ASSERT_EQ(got->isType(), rtc_Record);
  ASSERT_NE(got->asRecord()->asArray("friendly"), nullptr);  // not evicted
  EXPECT_EQ(got->asRecord()->asArray("friendly")->asString(0), "hello");
  TRtcArray* kept = got->asRecord()->asArray("flooder");
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->Count() + refused->Count(), 300);  // the oldest were kept, in order
  EXPECT_EQ(g.stop(), 0);
  EXPECT_LE(count(g.log(), "event=relay-refused"), 2u) << g.log();
}

// Before: groups were lists scanned under the relay lock; 100,000 groups froze every relay.
TEST(HostileRelay, GroupsPerUserAreCappedAndEndingThemStaysQuick) {
  GatewayProcess g(kOptions);
  BystanderPair bystander(g.port());
  User owner(g.port(), "owner"), member(g.port(), "member");
  auto answer = owner.put(5000, [](TRtcDataSet& p, int i) {
    p.setAsText("s", Widen("g" + std::to_string(i)));
    p.setAsText("user", u"member");
  });
  EXPECT_EQ(answer->isType(), rtc_Boolean);  // refused rows are logged, not thrown
  const auto start = Clock::now();
  TRtcFunctionInfo logout(u"Logout");
  logout.setAsText("user", u"member");
  logout.setAsText("pwd", u"");
  EXPECT_EQ(member.one(logout)->isType(), rtc_Boolean);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_LT(bystander.roundTrip(), std::chrono::seconds(2));
  EXPECT_EQ(g.stop(), 0);
  const std::string log = g.log();
  EXPECT_NE(log.find("event=put-rows-refused user=owner rows=4000 "
                     "first=\"row 1001: too many group members\""),
            std::string::npos)
      << log.substr(0, 2000);
}

// Before: toggling "Control" in one request queued every published user's notice per toggle
// and wrote one overflow line per dropped item.
TEST(HostileRelay, ToggledControlIsBoundedByTheQueueAndLogsLittle) {
  std::vector<std::string> options = kOptions;
  options.insert(options.end(), {"--queue-limit", "100000"});
  GatewayProcess g(options);
  std::vector<std::unique_ptr<User>> published;
  TRtcFunctionInfo host(u"Host");
  host.setAsBoolean("on", true);
  for (int i = 0; i < 30; ++i) {
    published.push_back(std::make_unique<User>(g.port(), "pub" + std::to_string(i)));
    published.back()->one(host);
  }
  BystanderPair bystander(g.port());
  User toggler(g.port(), "toggler");
  TRtcFunctionInfo on(u"Control"), off(u"Control");
  on.setAsBoolean("on", true);
  off.setAsBoolean("on", false);
  std::vector<const TRtcValueObject*> calls;
  for (int i = 0; i < 2000; ++i) calls.push_back(i % 2 ? &off : &on);
  const std::size_t before = residentBytes(g.pid());
  const auto start = Clock::now();
  const Results r = toggler.many(calls);
  EXPECT_EQ(r.size(), calls.size());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  if (kMeasureMemory) {
    EXPECT_LT(residentBytes(g.pid()) - before, 16u << 20);
  }
  EXPECT_LT(bystander.roundTrip(), std::chrono::seconds(2));
  EXPECT_EQ(g.stop(), 0);
  const std::string log = g.log();
  EXPECT_LE(count(log, "event=notice-lost"), 3u);
  EXPECT_LT(log.size(), 64u << 10);
}

}  // namespace
}  // namespace vtx::gateway
