#include "desktop/host/desktop_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop/screen_image.h"
#include "filetransfer/file_transfer.h"
#include "platform/fake/fake_desktop.h"
#include "platform/fake/fake_file_system.h"
#include "unit/portal/module_test_support.h"

namespace vtx {
namespace {

using testing::FakeClient;
using testing::Fn;

// Records what the host asks of the local session; the clipboard is one wire text.
class RecordingHelpers : public DesktopSessionHelpers {
 public:
  void HideWallpaper() override { log.push_back("hide"); }
  void ShowWallpaper() override { log.push_back("show"); }
  void ToggleComposition() override { log.push_back("aero"); }
  std::string ReadClipboard() override { return clipboard; }
  void WriteClipboard(const std::string& wireText) override {
    log.push_back("write");
    clipboard = wireText;
  }
  std::optional<std::vector<std::string>> ClipboardFileNames() override { return files; }
  void ShowRemoteNotification(const std::string& text) override { log.push_back("note " + text); }
  bool ConfirmDesktopAccess(const std::string& user) override {
    log.push_back("confirm " + user);
    return confirm;
  }
  bool KeyboardLocked() const override { return kbd; }
  void SetKeyboardLocked(bool on) override { kbd = on; }
  bool MouseLocked() const override { return mouse; }
  void SetMouseLocked(bool on) override { mouse = on; }

  std::vector<std::string> log;
  std::string clipboard;
  std::optional<std::vector<std::string>> files;
  bool confirm = true, kbd = false, mouse = false;
};

class DesktopHostTest : public ::testing::Test {
 protected:
  DesktopHostTest() : desk(64, 48), host(desk, &helpers) {
    desk.Noise({0, 0, 64, 48}, 7);
    host.setClock([this] { return now; },
                  [this](uint32_t ms) {
                    sleeps.push_back(ms);
                    now += ms;
                    if (onSleep) onSleep();
                  });
    host.setClient(&client);
    TRtcValue none;
    host.HandleStart(nullptr, none);
  }
  ~DesktopHostTest() override { host.setClient(nullptr); }

  // One batch from the gateway holding `fill`'s messages and notices.
  template <class F>
  void batch(F fill) {
    host.HandleBatchStart(nullptr);
    fill();
    host.HandleBatchEnd(nullptr);
  }
  void say(const std::string& from, std::unique_ptr<TRtcFunctionInfo> f) { client.data(from, *f); }
  // Asks for the desktop and plays the gateway's notices up to the first image.
  void join(const std::string& user) {
    batch([&] { say(user, Fn(u"desk")); });
    batch([&] { client.joinedMine("idesk", user); });
    batch([&] {
      client.joinedMine("desk", user);
      client.leftMine("idesk", user);
    });
  }
  // ann and bob ask in one batch, share one first image and watch.
  void annAndBobWatch() {
    batch([&] {
      say("ann", Fn(u"desk"));
      say("bob", Fn(u"desk"));
    });
    batch([&] {
      client.joinedMine("idesk", "ann");
      client.joinedMine("idesk", "bob");
    });
    client.joinedMine("desk", "ann");
    client.joinedMine("desk", "bob");
  }
  // One turn of the client's send loop.
  void cycle() {
    if (host.WantToSend(nullptr)) {
      host.PrepareToSend(nullptr);
      host.ExecuteSend(nullptr);
    }
  }
  std::vector<std::string> callsWith(const std::string& part) const {
    std::vector<std::string> out;
    for (const auto& c : client.calls)
      if (c.find(part) != std::string::npos) out.push_back(c);
    return out;
  }
  int countSent(const std::string& to, const std::string& fn) const {
    return static_cast<int>(std::count_if(client.sent.begin(), client.sent.end(),
                                          [&](auto& s) { return s.to == to && s.name() == fn; }));
  }

  // A client that counts pings and can tell the host whether other sending is pending.
  class PacedClient : public FakeClient {
   public:
    void SendPing(TRtcConnection*) override { ++pings; }
    bool OtherSendPending() override { return othersPending; }
    int pings = 0;
    bool othersPending = true;
  };

  FakeDesktop desk;
  RecordingHelpers helpers;
  PacedClient client;
  TRtcPDesktopHost host;
  uint32_t now = 1000;
  std::vector<uint32_t> sleeps;
  std::function<void()> onSleep;  // runs inside every pacing sleep
};

TEST_F(DesktopHostTest, SettingsGoToTheGatewayOnlyWhenChangedAndNegatedForNoNames) {
  host.setGAllowView(false);  // GwStoreParams off: kept, not stored
  EXPECT_TRUE(client.calls.empty());
  host.setGwStoreParams(true);
  host.setGAllowView(false);  // unchanged
  host.setGAllowView(true);
  host.setGAllowControl_Super(false);
  host.setGFullScreen(false);
  host.setGColorLimit(rdColor32bit);
  host.setGFrameRate(rdFrames10);
  host.setGUseMirrorDriver(true);
  host.setGEncoderClassName("gdi");
  host.setGConfirmAllLogins(true);
  EXPECT_EQ(client.calls, (std::vector<std::string>{
                              "ParamSet NoViewDesktop " + TRtcBooleanValue(false).toCode(),
                              "ParamSet NoSuperControlDesktop " + TRtcBooleanValue(true).toCode(),
                              "ParamSet ScreenRegion " + TRtcBooleanValue(true).toCode(),
                              "ParamSet ColorLimit " + TRtcIntegerValue(rdColor32bit).toCode(),
                              "ParamSet FrameRate " + TRtcIntegerValue(rdFrames10).toCode(),
                              "ParamSet MirrorDriver " + TRtcBooleanValue(true).toCode(),
                              "ParamSet EncoderClassName " + TRtcStringValue("gdi").toCode(),
                              "ParamSet MirrorDriver " + TRtcBooleanValue(false).toCode()}));
  EXPECT_FALSE(host.GUseMirrorDriver());
}

TEST_F(DesktopHostTest, GatewayParametersApplyOnlyFromARecordOfSeveralFields) {
  host.setGwStoreParams(true);
  TRtcValue one;
  one.NewRecord().setAsBoolean("NoViewDesktop", true);
  client.params(one);
  EXPECT_TRUE(host.GAllowView());

  TRtcValue many;
  TRtcRecord& r = many.NewRecord();
  r.setAsBoolean("noviewdesktop", true);
  r.setAsBoolean("ScreenRegion", true);
  r.setAsBoolean("AllMonitors", true);
  r.setAsInteger("ColorLimit", rdColor16bit);
  r.setAsInteger("FrameRate", 99);  // out of range: not taken
  r.setAsText("EncoderClassName", u"x11");
  r.setAsText("ScreenBlocks", u"junk");  // wrong type: not taken
  client.params(many);
  EXPECT_FALSE(host.GAllowView());
  EXPECT_FALSE(host.GFullScreen());
  EXPECT_TRUE(host.GCaptureAllMonitors());
  EXPECT_EQ(host.GColorLimit(), rdColor16bit);
  EXPECT_EQ(host.GFrameRate(), rdFramesMax);
  EXPECT_EQ(host.GEncoderClassName(), "x11");
  EXPECT_EQ(host.GSendScreenInBlocks(), rdBlocks1);
  EXPECT_TRUE(client.calls.empty());  // no echo
}

TEST_F(DesktopHostTest, CaptureObjectFollowsTheSettings) {
  auto restart = [&] {
    host.Restart();  // nobody watching: rebuilt at once
  };
  host.InspectCapture([](const TRtcScreenCapture* s) {
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->BPPLimit(), 1);
    EXPECT_EQ(s->Reduce16bit(), 0xCF38CF38u);
    EXPECT_EQ(s->Reduce32bit(), 0x00E0E0E0u);
    EXPECT_EQ(s->ScreenBlockCount(), 1);
    EXPECT_EQ(s->Screen2BlockCount(), 4);
    EXPECT_EQ(s->Screen2Delay(), 500);
    EXPECT_EQ(s->MaxTotalSize(), 0);
    EXPECT_FALSE(s->LowReducedColors());
  });
  host.setGSendScreenInBlocks(rdBlocks8);
  host.setGColorLimit(rdColor32bit);
  host.setGColorLowLimit(rd_ColorHigh12bit);
  host.setGSendScreenSizeLimit(rdBlock12KB);
  host.setGSendScreenRefineDelay(3);
  restart();
  host.InspectCapture([](const TRtcScreenCapture* s) {
    EXPECT_EQ(s->BPPLimit(), 4);
    EXPECT_EQ(s->ScreenBlockCount(), 8);
    EXPECT_EQ(s->Screen2BlockCount(), 12);
    EXPECT_EQ(s->LowReduce16bit(), 0xEFBCEFBCu);
    EXPECT_EQ(s->LowReduce32bit(), 0x00F0F0F0u);
    EXPECT_EQ(s->LowReduceType(), 1);
    EXPECT_TRUE(s->LowReducedColors());  // no full-colour mask to compare with
    EXPECT_EQ(s->MaxTotalSize(), 12288);
    EXPECT_EQ(s->Screen2Delay(), 3000);
  });
  host.setGSendScreenRefineBlocks(rdBlocks3);
  host.setGColorLimit(rdColor15bit);
  host.setGColorLowLimit(rd_Color6bit);
  restart();
  host.InspectCapture([](const TRtcScreenCapture* s) {
    EXPECT_EQ(s->Screen2BlockCount(), 3);
    EXPECT_EQ(s->LowReduceType(), 0);
    EXPECT_TRUE(s->LowReducedColors());  // 0xC0C0C0 below 0xF8F8F8
  });
  host.setGAllowView(false);
  host.setGAllowView_Super(false);
  host.setGAllowControl(false);
  host.setGAllowControl_Super(false);
  restart();
  EXPECT_FALSE(host.Capturing());
}

TEST_F(DesktopHostTest, PacingSleepsTheRestOfTheFramePauseOrAFixedSleep) {
  host.setGFrameRate(rdFrames10);
  host.Restart();
  join("ann");  // the first image is a grab of its own
  sleeps.clear();
  now += 40;
  cycle();
  EXPECT_EQ(sleeps, std::vector<uint32_t>{60});
  now += 250;
  cycle();  // late already: no sleep
  EXPECT_EQ(sleeps, std::vector<uint32_t>{60});

  host.setGFrameRate(rdFrameSleep100);
  host.Restart();  // with a viewer: rebuilt after the next send
  cycle();
  cycle();  // the new capture object's first grab never sleeps
  sleeps.clear();
  now += 1000;
  cycle();
  cycle();
  EXPECT_EQ(sleeps, (std::vector<uint32_t>{100, 100}));
  EXPECT_EQ(host.FrameSleep(), 100);
  EXPECT_EQ(host.FramePause(), 0);
}

TEST_F(DesktopHostTest, AQuietScreenIsGrabbedAtTheQuietPaceAndPingedRarely) {
  join("ann");
  client.othersPending = false;
  client.sent.clear();
  const auto quietRun = [&] {
    sleeps.clear();
    client.pings = 0;
    cycle();
  };
  // Quiet for less than kQuietAfter: the frame pace, a ping per cycle.
  for (uint32_t t = 0; t + 16 < TRtcPDesktopHost::kQuietAfter; t += 16) {
    quietRun();
    ASSERT_EQ(sleeps, std::vector<uint32_t>{16});
    ASSERT_EQ(client.pings, 1);
  }
  // Then one cycle grabs every kQuietPoll ms until it is time for a ping.
  quietRun();
  quietRun();
  EXPECT_EQ(client.pings, 1);
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), TRtcPDesktopHost::kQuietPoll),
            (TRtcPDesktopHost::kQuietPing + TRtcPDesktopHost::kQuietPoll - 1) /
                TRtcPDesktopHost::kQuietPoll);
  EXPECT_TRUE(client.sent.empty());

  // A change during the wait is sent at once, and the frame pace comes back.
  int polls = 0;
  onSleep = [&] {
    if (++polls == 3) desk.Fill({0, 0, 10, 10}, 0xFF0000);
  };
  quietRun();
  onSleep = nullptr;
  EXPECT_EQ(sleeps.size(), 3u);
  EXPECT_EQ(client.pings, 0);
  ASSERT_EQ(countSent("group:desk", "desk"), 1);
  EXPECT_FALSE(client.sent[0].fn->asString("next").empty());
  quietRun();
  EXPECT_EQ(sleeps, std::vector<uint32_t>{16});

  // Other sending pending, a restart asked for, or a viewer to resync: no waiting.
  now += 10000;
  quietRun();
  client.othersPending = true;
  quietRun();
  EXPECT_EQ(sleeps, std::vector<uint32_t>{16});
  client.othersPending = false;
  host.Restart();
  quietRun();
  EXPECT_EQ(sleeps.size(), 1u);
  quietRun();  // the new capture object's first grab
  quietRun();
  now += 10000;
  TRtcRecord refused;
  TRtcRecord& r = refused.NewArray("refused").NewRecord(0);
  r.setAsText("to", u"ann");
  r.setAsText("fn", u"desk");
  host.HandleRefused(nullptr, refused);
  ASSERT_EQ(host.ResyncPending(), std::vector<std::string>{"ann"});
  quietRun();
  EXPECT_TRUE(sleeps.empty());
  EXPECT_TRUE(host.ResyncPending().empty());

  // Nobody watching any more while the cycle waits (the lock is free then): it stops waiting.
  now += 10000;
  onSleep = [&] { client.leftMine("desk", "ann"); };
  quietRun();
  EXPECT_EQ(sleeps, std::vector<uint32_t>{TRtcPDesktopHost::kQuietPoll});
  EXPECT_EQ(client.pings, 1);
}

TEST_F(DesktopHostTest, TheQuietPaceGrabsOnlyWhenTheWatchSeesADrawing) {
  desk.SetChangeWatch(true);
  join("ann");
  client.othersPending = false;
  const auto quietRun = [&] {
    sleeps.clear();
    client.pings = 0;
    client.sent.clear();
    desk.ClearGrabs();
    cycle();
  };
  const auto becomeQuiet = [&] {
    for (uint32_t t = 0; t < TRtcPDesktopHost::kQuietAfter + TRtcPDesktopHost::kQuietPing; t += 16)
      quietRun();
  };
  const auto polls = [&] {
    return std::count(sleeps.begin(), sleeps.end(), TRtcPDesktopHost::kQuietPoll);
  };
  becomeQuiet();
  // Nothing drawn: the watch is asked at the cycle's start and at every poll, and the screen
  // is never grabbed.
  int asked = desk.WatchQueries();
  quietRun();
  EXPECT_GT(polls(), 2);
  EXPECT_EQ(desk.WatchQueries() - asked, polls() + 1);
  EXPECT_TRUE(desk.Grabs().empty());
  EXPECT_EQ(client.pings, 1);
  EXPECT_TRUE(client.sent.empty());

  // A cursor move alone is still sent, without grabbing the screen.
  int n = 0;
  onSleep = [&] {
    if (++n == 2) desk.MoveCursor(5, 6);
  };
  quietRun();
  ASSERT_EQ(countSent("group:desk", "desk"), 1);
  EXPECT_EQ(client.sent[0].fn->isType("next"), rtc_Null);
  EXPECT_FALSE(client.sent[0].fn->asString("cur").empty());
  EXPECT_TRUE(desk.Grabs().empty());

  // A drawing is grabbed and sent at the next poll; so it is after a restart, which starts a
  // new encoder with a grab of its own.
  for (bool restart : {false, true}) {
    onSleep = nullptr;
    if (restart) host.Restart();
    becomeQuiet();
    n = 0;
    onSleep = [&] {
      if (++n == 2) desk.Fill({1, 1, 9, 9}, restart ? 0x0000FF : 0x00FF00);
    };
    quietRun();
    EXPECT_EQ(polls(), 1) << restart;  // drawn during the first poll's sleep
    ASSERT_EQ(countSent("group:desk", "desk"), 1) << restart;
    EXPECT_FALSE(client.sent[0].fn->asString("next").empty()) << restart;
    EXPECT_FALSE(desk.Grabs().empty()) << restart;
  }
  onSleep = nullptr;
}

TEST_F(DesktopHostTest, ViewersJoiningInOneBatchShareOneFirstImage) {
  batch([&] {
    say("ann", Fn(u"desk"));
    say("bob", Fn(u"desk"));
  });
  EXPECT_EQ(callsWith(" idesk"), (std::vector<std::string>{"Add ann idesk", "Add bob idesk"}));
  client.calls.clear();
  batch([&] {
    client.joinedMine("idesk", "ann");
    client.joinedMine("idesk", "bob");
  });
  ASSERT_EQ(countSent("group:idesk", "desk"), 1);
  const auto& init = *std::find_if(client.sent.begin(), client.sent.end(),
                                   [](auto& s) { return s.to == "group:idesk"; });
  EXPECT_EQ(init.fn->isType("init"), rtc_String);
  EXPECT_EQ(init.fn->isType("cur"), rtc_String);
  EXPECT_TRUE(init.packed);  // screen texts are packed already: no slow compression
  EXPECT_EQ(countSent("group:desk", "desk"), 0);  // nobody watching yet
  EXPECT_EQ(client.calls, (std::vector<std::string>{"Add ann desk", "Remove ann idesk",
                                                    "Add bob desk", "Remove bob idesk"}));
  int active = 0;
  host.OnDeskTopActiveChanged = [&](TRtcPDesktopHost&) { ++active; };
  client.joinedMine("desk", "ann");
  EXPECT_TRUE(host.HasActiveSubscribers());
  EXPECT_TRUE(host.ControlActive());
  EXPECT_EQ(active, 1);

  // The image a viewer starts from plus the updates equals the screen.
  ScreenImage view;
  view.Apply(init.fn->asString("init"));
  desk.Fill({0, 0, 20, 10}, 0x123456);
  client.sent.clear();
  cycle();
  ASSERT_EQ(countSent("group:desk", "desk"), 1);
  EXPECT_TRUE(client.sent[0].packed);
  view.Apply(client.sent[0].fn->asString("next"));
  EXPECT_EQ(view.Data(), [&] {
    ScreenImage fresh;
    host.InspectCapture([&](const TRtcScreenCapture* s) {
      fresh.Apply(const_cast<TRtcScreenCapture*>(s)->GetScreen());
    });
    return fresh.Data();
  }());

  client.leftMine("desk", "ann");
  EXPECT_FALSE(host.ControlActive());
  EXPECT_EQ(active, 2);
}

TEST_F(DesktopHostTest, RefusedViewersAreLeftOutOfEveryGroup) {
  helpers.confirm = false;
  host.setGConfirmAllLogins(true);
  batch([&] { say("ann", Fn(u"desk")); });
  EXPECT_EQ(helpers.log, std::vector<std::string>{"confirm ann"});
  helpers.confirm = true;
  host.setGConfirmAllLogins(false);
  client.setGRestrictAccess(true);  // bob is on no list
  client.setInUserList("no", true);
  auto withField = Fn(u"desk");
  withField->setAsInteger("x", 1);
  batch([&] {
    say("bob", Fn(u"desk"));
    say("no", Fn(u"desk"));  // the name reads as false: QueryAccess refuses
    say("carl", std::move(withField));
  });
  // A notice for a refused user (another host's doing) gives nothing either.
  batch([&] { client.joinedMine("idesk", "bob"); });
  EXPECT_TRUE(client.calls.empty());
  EXPECT_TRUE(client.sent.empty());
}

TEST_F(DesktopHostTest, ControlMessagesNeedControlRightsAndAWatchingViewer) {
  join("ann");
  client.setGRestrictAccess(true);
  client.setInUserList("ann", true);
  host.setGAllowControl(false);
  host.setGAllowControl_Super(false);
  auto chg = Fn(u"chgdesk");
  chg->setAsInteger("color", rdColor32bit);
  say("ann", std::move(chg));
  EXPECT_EQ(host.GColorLimit(), rdColor8bit);
  auto key = Fn(u"key");
  key->setAsString("s", "HDESK");
  say("ann", std::move(key));
  auto cb = Fn(u"cbrd");
  cb->setAsString("s", "x");
  say("ann", std::move(cb));
  EXPECT_TRUE(helpers.log.empty());

  // A controller that does not watch may only hide and show the wallpaper.
  host.setGAllowControl(true);
  client.setInUserList("zed", true);
  for (const char* s : {"HDESK", "SDESK", "COPY", "TAERO"}) {
    auto k = Fn(u"key");
    k->setAsString("s", s);
    say("zed", std::move(k));
  }
  auto gc = Fn(u"gcbrd");
  say("zed", std::move(gc));
  EXPECT_EQ(helpers.log, (std::vector<std::string>{"hide", "show"}));
}

// A viewer that has been sent its first image controls at once, before the gateway's notice of
// its move to "desk" comes back; one still waiting for its image does not.
TEST_F(DesktopHostTest, InputIsTakenFromTheFirstImageOn) {
  struct Kind {
    const char* name;
    std::function<std::unique_ptr<TRtcFunctionInfo>()> make;
    std::function<std::size_t()> effects;  // what such messages did so far, seen from outside
  };
  std::size_t locks = 0;
  host.OnLockInputs = [&](bool) { ++locks; };
  auto field = [](const char16_t* name, const char* f, int v) {
    return [=] {
      auto fn = Fn(name);
      fn->setAsInteger(f, v);
      return fn;
    };
  };
  const auto injected = [&] { return desk.InputLog().size(); };
  const std::vector<Kind> kinds = {
      {"mouse", field(u"mouse", "w", 120), injected},
      {"key", field(u"key", "d", 65), injected},
      {"cbrd",
       [] {
         auto f = Fn(u"cbrd");
         f->setAsString("s", "from viewer");
         return f;
       },
       [&] {
         return static_cast<std::size_t>(
             std::count(helpers.log.begin(), helpers.log.end(), "write"));
       }},
      {"gcbrd", [] { return Fn(u"gcbrd"); },
       [&] { return static_cast<std::size_t>(countSent("ann", "cbrd")); }},
      {"lockinputs",
       [] {
         auto f = Fn(u"lockinputs");
         f->setAsBoolean("locked", true);
         return f;
       },
       [&] { return locks; }},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    helpers.clipboard = std::string("local ") + kind.name;  // news to the viewer each time
    // Asked, and in "idesk": no image yet, no control.
    batch([&] { say("ann", Fn(u"desk")); });
    std::size_t before = kind.effects();
    say("ann", kind.make());
    EXPECT_EQ(kind.effects(), before) << "before the first image";
    // The first image goes out and the host moves the viewer on; the notice has not come back.
    client.calls.clear();
    batch([&] { client.joinedMine("idesk", "ann"); });
    ASSERT_EQ(client.calls, (std::vector<std::string>{"Add ann desk", "Remove ann idesk"}));
    ASSERT_FALSE(host.HasActiveSubscribers());
    before = kind.effects();
    say("ann", kind.make());
    EXPECT_GT(kind.effects(), before) << "between the first image and the move to desk";
    // In "desk", then gone: the entitlement goes with the viewer.
    client.joinedMine("desk", "ann");
    client.leftMine("idesk", "ann");
    client.leftMine("desk", "ann");
    before = kind.effects();
    say("ann", kind.make());
    EXPECT_EQ(kind.effects(), before) << "after leaving";
  }
}

TEST_F(DesktopHostTest, SettingsChangeRestartsOnlyWhenSomethingChanged) {
  join("ann");
  host.setGwStoreParams(true);
  client.calls.clear();
  auto same = Fn(u"chgdesk");
  same->setAsInteger("color", rdColor8bit);
  same->setAsText("frame", u"3");       // wrong type
  same->setAsInteger("scrlimit", 200);  // out of range
  say("ann", std::move(same));
  cycle();
  EXPECT_TRUE(client.calls.empty());

  auto chg = Fn(u"chgdesk");
  chg->setAsInteger("color", rdColor32bit);
  chg->setAsBoolean("monitors", true);
  chg->setAsString("EncoderClassName", "gdi");
  say("ann", std::move(chg));
  EXPECT_EQ(host.GColorLimit(), rdColor32bit);
  EXPECT_TRUE(host.GCaptureAllMonitors());
  EXPECT_EQ(host.GEncoderClassName(), "gdi");
  EXPECT_EQ(callsWith("ParamSet").size(), 3u);
  cycle();  // the rebuild follows the next send
  host.InspectCapture([&](const TRtcScreenCapture* s) { EXPECT_EQ(s->BPPLimit(), 4); });
}

TEST_F(DesktopHostTest, HostParamsReportTheSettingsAndTheScreenSize) {
  host.setGFrameRate(rdFrames25);
  host.setGCaptureLayeredWindows(true);
  say("ann", Fn(u"gethostparams"));
  ASSERT_EQ(client.sent.size(), 1u);
  const auto& f = *client.sent[0].fn;
  EXPECT_EQ(client.sent[0].to, "ann");
  EXPECT_EQ(client.sent[0].name(), "hostparams");
  EXPECT_FALSE(client.sent[0].packed);
  EXPECT_EQ(f.asInteger("frame"), rdFrames25);
  EXPECT_EQ(f.asInteger("color"), rdColor8bit);
  EXPECT_TRUE(f.asBoolean("layered"));
  EXPECT_EQ(f.isType("EncoderClassName"), rtc_String);
  EXPECT_EQ(f.asInteger("tsWidth"), 64);
  EXPECT_EQ(f.asInteger("tsHeight"), 48);
}

TEST_F(DesktopHostTest, ClipboardIsSentOnlyWhenItChangedForThatViewer) {
  join("ann");
  join("bob");
  client.sent.clear();
  helpers.clipboard = "clip-1";
  say("ann", Fn(u"gcbrd"));
  say("ann", Fn(u"gcbrd"));
  ASSERT_EQ(countSent("ann", "cbrd"), 1);
  EXPECT_EQ(client.sent.back().fn->asString("s"), "clip-1");

  // What a viewer put here is not sent back to it, but is news to the other one.
  auto put = Fn(u"cbrd");
  put->setAsString("s", "clip-2");
  say("ann", std::move(put));
  EXPECT_EQ(helpers.clipboard, "clip-2");
  say("ann", Fn(u"gcbrd"));
  say("bob", Fn(u"gcbrd"));
  EXPECT_EQ(countSent("ann", "cbrd"), 1);
  EXPECT_EQ(countSent("bob", "cbrd"), 1);

  // An empty clipboard travels without "s"; a "s" of the wrong type changes nothing.
  auto empty = Fn(u"cbrd");
  say("bob", std::move(empty));
  EXPECT_EQ(helpers.clipboard, "");
  auto bad = Fn(u"cbrd");
  bad->setAsInteger("s", 5);
  say("bob", std::move(bad));
  helpers.clipboard = "";
  say("ann", Fn(u"gcbrd"));
  EXPECT_EQ(countSent("ann", "cbrd"), 2);
  EXPECT_EQ(client.sent.back().fn->isType("s"), rtc_Null);

  // Text the gateway refused never arrived: the viewer's next request gets it again, alone or
  // in a row with other messages; a refusal of other messages changes nothing.
  helpers.clipboard = "too big";
  say("ann", Fn(u"gcbrd"));
  ASSERT_EQ(countSent("ann", "cbrd"), 3);
  auto refuse = [&](std::unique_ptr<TRtcValueObject> d) {
    TRtcRecord answer;
    TRtcRecord& r = answer.NewArray("refused").NewRecord(0);
    r.setAsInteger("row", 1);
    r.setAsText("to", u"ann");
    r.setAsString("reason", "queue full");
    r.setAsObject("d", std::move(d));
    host.HandleRefused(nullptr, answer);
  };
  refuse(Fn(u"hostparams"));
  say("ann", Fn(u"gcbrd"));
  EXPECT_EQ(countSent("ann", "cbrd"), 3);
  refuse(Fn(u"cbrd"));
  say("ann", Fn(u"gcbrd"));
  EXPECT_EQ(countSent("ann", "cbrd"), 4);
  EXPECT_EQ(client.sent.back().fn->asString("s"), "too big");
  auto row = std::make_unique<TRtcArray>();
  row->setAsObject(0, Fn(u"hostparams"));
  row->setAsObject(1, Fn(u"cbrd"));
  refuse(std::move(row));
  say("ann", Fn(u"gcbrd"));
  EXPECT_EQ(countSent("ann", "cbrd"), 5);
  say("bob", Fn(u"gcbrd"));
  EXPECT_EQ(countSent("bob", "cbrd"), 2);  // bob's copy was not refused
}

// A viewer whose update the gateway refused starts again from a complete image and ends up
// with the same picture as a viewer that lost nothing.
TEST_F(DesktopHostTest, RefusedUpdateBringsTheViewerBackToACompleteImage) {
  host.setGColorLimit(rdColor32bit);
  host.Restart();
  annAndBobWatch();
  ScreenImage ann, bob;
  std::size_t seen = 0;
  auto deliver = [&](bool bobLoses) {
    for (; seen < client.sent.size(); ++seen) {
      const auto& s = client.sent[seen];
      if (s.name() != "desk") continue;
      const char* field = s.fn->isType("init") == rtc_String ? "init" : "next";
      if (s.fn->isType(field) != rtc_String) continue;
      const std::string wire = s.fn->asString(field);
      if (s.to == "group:idesk" || s.to == "group:desk") {
        ann.Apply(wire);
        if (!bobLoses) bob.Apply(wire);
      } else if (s.to == "bob") {
        bob.Apply(wire);
      }
    }
  };
  deliver(false);
  for (int i = 0; i < 6; ++i) {
    desk.Fill({i * 8, i * 4, i * 8 + 12, i * 4 + 9}, 0x010203u * static_cast<uint32_t>(i + 1));
    now += 100;
    cycle();
    deliver(i == 2);
  }
  EXPECT_NE(ann.Data(), bob.Data());

  TRtcRecord answer;
  TRtcRecord& r = answer.NewArray("refused").NewRecord(0);
  r.setAsInteger("row", 0);
  r.setAsText("to", u"bob");
  r.setAsText("fn", u"desk");
  r.setAsString("reason", "queue full");
  host.HandleRefused(nullptr, answer);
  EXPECT_EQ(host.ResyncPending(), std::vector<std::string>{"bob"});
  desk.Fill({0, 0, 64, 8}, 0xABCDEF);
  now += 100;
  cycle();
  deliver(false);
  EXPECT_TRUE(host.ResyncPending().empty());
  EXPECT_EQ(countSent("bob", "desk"), 1);
  EXPECT_EQ(ann.Data(), bob.Data());
  now += 100;
  cycle();
  deliver(false);
  EXPECT_EQ(ann.Data(), bob.Data());

  // Refusals for other groups or for users who do not watch are not ours to mend.
  TRtcRecord other;
  TRtcArray& list = other.NewArray("refused");
  list.NewRecord(0).setAsText("to", u"bob");
  list.asRecord(0)->setAsText("fn", u"chat");
  list.NewRecord(1).setAsText("to", u"zed");
  host.HandleRefused(nullptr, other);
  EXPECT_TRUE(host.ResyncPending().empty());

  // A lost first image is mended once the viewer watches; one that goes away is forgotten.
  TRtcRecord first;
  TRtcArray& lost = first.NewArray("refused");
  for (const char16_t* u : {u"carl", u"dave"}) {
    TRtcRecord& one = lost.NewRecord(lost.Count());
    one.setAsText("to", u);
    one.setAsText("fn", u"idesk");
  }
  host.HandleRefused(nullptr, first);
  client.leftMine("idesk", "dave");
  cycle();
  EXPECT_EQ(host.ResyncPending(), std::vector<std::string>{"carl"});
  client.joinedMine("desk", "carl");
  cycle();
  EXPECT_TRUE(host.ResyncPending().empty());
  EXPECT_EQ(countSent("carl", "desk"), 1);
}

// A viewer behind on the gateway: its complete image waits until the gateway's backlog for it
// is short again, a refused update sent ahead of that image does not ask for another, a refused
// image does, and other modules' refused messages or a viewer gone leave nothing to do.
TEST_F(DesktopHostTest, ALaggingViewerGetsOneImageOnceItsBacklogIsShort) {
  host.setGColorLimit(rdColor32bit);
  host.Restart();
  annAndBobWatch();
  ScreenImage ann, bob;
  std::size_t seen = 0;
  bool bobBehind = false;  // the gateway holds the group's updates back from bob
  auto deliver = [&] {
    for (; seen < client.sent.size(); ++seen) {
      const auto& s = client.sent[seen];
      if (s.name() != "desk") continue;
      const char* field = s.fn->isType("init") == rtc_String ? "init" : "next";
      if (s.fn->isType(field) != rtc_String) continue;
      const std::string wire = s.fn->asString(field);
      if (s.to == "group:idesk" || s.to == "group:desk") {
        ann.Apply(wire);
        if (!bobBehind) bob.Apply(wire);
      } else if (s.to == "bob") {
        bob.Apply(wire);
        bobBehind = false;
      }
    }
  };
  int step = 0;
  auto change = [&] {
    ++step;
    desk.Fill({step * 4 % 48, step * 3 % 36, step * 4 % 48 + 12, step * 3 % 36 + 9},
              0x010203u * static_cast<uint32_t>(step));
    now += 100;
    cycle();
  };
  // The answer to the last turn: bob refused one row holding `d`, for `why`.
  auto refuse = [&](const char* fn, const char* why, std::unique_ptr<TRtcFunctionInfo> d) {
    TRtcRecord answer;
    TRtcRecord& r = answer.NewArray("refused").NewRecord(0);
    r.setAsInteger("row", 1);
    r.setAsText("to", u"bob");
    if (*fn) r.setAsText("fn", Widen(fn));
    r.setAsString("reason", why);
    r.setAsObject("d", std::move(d));
    host.HandleRefused(nullptr, answer);
  };
  auto update = [] {
    auto f = Fn(u"desk");
    f->setAsString("next", "x");
    return f;
  };
  deliver();
  change();
  bobBehind = true;  // this turn's update was refused for bob
  deliver();
  refuse("desk", "receiver lagging", update());
  now += 20;
  cycle();  // a turn between frames: nothing refused, yet nothing says bob drained
  EXPECT_EQ(countSent("bob", "desk"), 0);
  for (int i = 0; i < 2; ++i) {  // still behind: no image yet
    change();
    deliver();
    EXPECT_EQ(host.ResyncPending(), std::vector<std::string>{"bob"});
    refuse("desk", "receiver lagging", update());
  }
  EXPECT_EQ(countSent("bob", "desk"), 0);
  change();
  deliver();
  refuse("desk", "receiver awaits a complete state", update());  // drained
  change();
  deliver();
  EXPECT_EQ(countSent("bob", "desk"), 1);
  EXPECT_EQ(ann.Data(), bob.Data());
  refuse("desk", "receiver awaits a complete state", update());  // the update ahead of it
  EXPECT_TRUE(host.ResyncPending().empty());
  change();
  deliver();
  EXPECT_EQ(countSent("bob", "desk"), 1);
  EXPECT_EQ(ann.Data(), bob.Data());

  // the image itself refused: another one
  refuse("desk", "receiver lagging", update());
  change();
  bobBehind = true;
  deliver();
  auto image = Fn(u"desk");
  image->setAsString("init", "x");
  refuse("", "receiver queue full", std::move(image));
  change();
  deliver();
  EXPECT_EQ(countSent("bob", "desk"), 2);
  EXPECT_EQ(ann.Data(), bob.Data());

  // behind, then a quiet screen: no refusal comes to say otherwise, the image goes after a while
  change();
  bobBehind = true;
  deliver();
  refuse("desk", "receiver lagging", update());
  now += 20;
  cycle();
  EXPECT_EQ(countSent("bob", "desk"), 2);
  now += TRtcPDesktopHost::kLagRecheck;
  cycle();
  deliver();
  EXPECT_EQ(countSent("bob", "desk"), 3);
  EXPECT_EQ(ann.Data(), bob.Data());

  // another module's message to bob, or bob leaving while behind: nothing to send
  refuse("", "receiver queue full", Fn(u"file"));
  EXPECT_TRUE(host.ResyncPending().empty());
  change();
  refuse("desk", "receiver lagging", update());
  EXPECT_EQ(host.ResyncPending(), std::vector<std::string>{"bob"});
  client.leftMine("desk", "bob");
  EXPECT_TRUE(host.ResyncPending().empty());
  now += TRtcPDesktopHost::kLagRecheck;
  change();
  EXPECT_EQ(countSent("bob", "desk"), 3);
}

// Messages with fields of the wrong type or out of range are dropped; nothing crashes and a
// viewer that leaves takes its held keys with it.
TEST_F(DesktopHostTest, BadFieldsAreIgnoredAndHeldKeysGoWithTheViewer) {
  join("ann");
  const std::vector<std::pair<const char16_t*, std::function<void(TRtcFunctionInfo&)>>> bad = {
      {u"mouse", [](auto& f) { f.setAsText("d", u"1"); }},
      {u"mouse",
       [](auto& f) {
         f.setAsInteger("d", 9);
         f.setAsInteger("x", -5);
         f.setAsInteger("y", 1 << 30);
       }},
      {u"mouse", [](auto& f) { f.setAsInteger("x", 1); }},
      {u"mouse", [](auto& f) { f.setAsInteger("w", INT32_MIN); }},
      {u"key", [](auto& f) { f.setAsBoolean("d", true); }},
      {u"key", [](auto& f) { f.setAsInteger("d", 100000); }},
      {u"key", [](auto& f) { f.setAsInteger("k", 5); }},
      {u"key", [](auto& f) { f.setAsString("s", "NOSUCHKEY"); }},
      {u"key", [](auto& f) { f.NewRecord("p"); }},
      {u"chgdesk",
       [](auto& f) {
         f.setAsInteger("color", -1);
         f.setAsInteger("frame", 255);
         f.setAsInteger("colorpercent", INT32_MAX);
       }},
      {u"lockinputs", [](auto& f) { f.setAsText("locked", u"yes"); }},
      {u"dialog", [](auto& f) { f.NewArray("m"); }},
      {u"cbrd", [](auto& f) { f.setAsString("s", std::string(100, '\xff')); }},
  };
  for (const auto& [name, fill] : bad) {
    auto f = Fn(name);
    fill(*f);
    say("ann", std::move(f));
  }
  EXPECT_EQ(host.GColorLimit(), rdColor8bit);
  EXPECT_EQ(host.GFrameRate(), rdFramesMax);
  EXPECT_LE(host.GColorReducePercent(), 100);
  cycle();  // still sends

  auto down = Fn(u"key");
  down->setAsInteger("d", 16);  // Shift
  say("ann", std::move(down));
  const std::size_t pressed = desk.InputLog().size();
  client.leftMine("desk", "ann");
  if (pressed == 0) GTEST_SKIP() << "input injection not built in";
  const std::vector<std::string> log = desk.InputLog();
  ASSERT_GT(log.size(), pressed);
  EXPECT_EQ(log.back().rfind("key 16", 0), 0u) << log.back();
}

TEST_F(DesktopHostTest, CopyHandsTheCopiedFilesToTheFileTransferModule) {
  FakeFileSystem fs;
  fs.AddFile("/home/a.txt", "abc");
  auto ft = std::make_unique<TRtcPFileTransfer>(&fs);
  ft->setClient(&client);
  ft->setAccessControl(false);
  ft->setBeTheHost(true);
  host.setFileTransfer(ft.get());
  helpers.files = std::vector<std::string>{"/home/a.txt"};
  join("ann");
  client.calls.clear();
  sleeps.clear();
  auto copy = Fn(u"key");
  copy->setAsString("s", "COPY");
  say("ann", std::move(copy));
  EXPECT_EQ(sleeps, std::vector<uint32_t>{250});
  EXPECT_EQ(client.calls, std::vector<std::string>{"Add ann file"});

  auto aero = Fn(u"key");
  aero->setAsString("s", "TAERO");
  say("ann", std::move(aero));
  EXPECT_EQ(helpers.log.back(), "aero");

  ft.reset();  // the host lets go of a module that goes away
  EXPECT_EQ(host.FileTransfer(), nullptr);
  auto again = Fn(u"key");
  again->setAsString("s", "COPY");
  say("ann", std::move(again));
}

TEST_F(DesktopHostTest, NoticesAndEventsAroundViewers) {
  std::vector<std::string> events;
  host.setOnUserJoined([&](TRtcPModule&, const std::string& u) { events.push_back("+" + u); });
  host.setOnUserLeft([&](TRtcPModule&, const std::string& u) { events.push_back("-" + u); });
  bool locked = false;
  host.OnLockInputs = [&](bool on) { locked = on; };
  join("ann");
  auto lock = Fn(u"lockinputs");
  lock->setAsBoolean("locked", true);
  say("ann", std::move(lock));
  EXPECT_TRUE(locked);
  auto note = Fn(u"dialog");
  note->setAsText("m", u"hello");
  say("bob", std::move(note));  // no access test
  EXPECT_EQ(helpers.log.back(), "note hello");

  client.leftMine("idesk", "bob");  // left before being admitted
  client.leftMine("desk", "ann");
  EXPECT_EQ(events, (std::vector<std::string>{"+ann", "-bob", "-ann"}));
  host.ResetUsers();
  EXPECT_FALSE(host.Capturing());
  cycle();  // nothing to send without a capture object
  host.Open("carl");
  host.Close("carl");
  host.CloseAll();
  EXPECT_EQ(callsWith("carl").size(), 2u);
}

// The client's threads: the send loop on one, messages and group notices on another, while
// settings change (for the thread checker; no timing is asserted).
class LockedClient : public FakeClient {
 public:
  void ParamSet(TRtcConnection* s, const std::string& n,
                std::unique_ptr<TRtcValueObject> v) override {
    std::lock_guard g(lock);
    FakeClient::ParamSet(s, n, std::move(v));
  }
  void SendToUser(TRtcConnection* s, const std::string& u,
                  std::unique_ptr<TRtcFunctionInfo> f) override {
    std::lock_guard g(lock);
    FakeClient::SendToUser(s, u, std::move(f));
  }
  void SendToMyGroup(TRtcConnection* s, const std::string& gr,
                     std::unique_ptr<TRtcFunctionInfo> f) override {
    std::lock_guard g(lock);
    FakeClient::SendToMyGroup(s, gr, std::move(f));
  }
  void SendPackedToUser(TRtcConnection* s, const std::string& u,
                        std::unique_ptr<TRtcFunctionInfo> f) override {
    std::lock_guard g(lock);
    FakeClient::SendPackedToUser(s, u, std::move(f));
  }
  void SendPackedToMyGroup(TRtcConnection* s, const std::string& gr,
                           std::unique_ptr<TRtcFunctionInfo> f) override {
    std::lock_guard g(lock);
    FakeClient::SendPackedToMyGroup(s, gr, std::move(f));
  }
  void AddUserToMyGroup(TRtcConnection* s, const std::string& u, const std::string& gr) override {
    std::lock_guard g(lock);
    FakeClient::AddUserToMyGroup(s, u, gr);
  }
  void RemoveUserFromMyGroup(TRtcConnection* s, const std::string& u,
                             const std::string& gr) override {
    std::lock_guard g(lock);
    FakeClient::RemoveUserFromMyGroup(s, u, gr);
  }
  std::mutex lock;
};

TEST(DesktopHostThreads, SendLoopAndMessagesRunSideBySide) {
  FakeDesktop desk(32, 16);
  RecordingHelpers helpers;
  LockedClient client;
  TRtcPDesktopHost host(desk, &helpers);
  host.setClock([] { return 5u; }, [](uint32_t) {});
  host.setClient(&client);
  TRtcValue none;
  host.HandleStart(nullptr, none);
  auto viewerJoins = [&](const std::string& u) {
    host.HandleBatchStart(nullptr);
    client.joinedMine("idesk", u);
    host.HandleBatchEnd(nullptr);
    client.joinedMine("desk", u);
  };
  viewerJoins("ann");
  std::thread sender([&] {
    for (int i = 0; i < 200; ++i)
      if (host.WantToSend(nullptr)) {
        host.PrepareToSend(nullptr);
        host.ExecuteSend(nullptr);
      }
  });
  for (int i = 0; i < 200; ++i) {
    desk.Fill({i % 32, 0, i % 32 + 1, 16}, static_cast<uint32_t>(i * 977));
    auto mouse = Fn(u"mouse");
    mouse->setAsInteger("x", i % 32);
    mouse->setAsInteger("y", i % 16);
    client.data("ann", *mouse);
    auto chg = Fn(u"chgdesk");
    chg->setAsInteger("frame", i % 3);
    client.data("ann", *chg);
    if (i % 20 == 0) {
      viewerJoins("bob");
      auto gc = Fn(u"gcbrd");
      client.data("bob", *gc);
      TRtcRecord answer;
      TRtcRecord& r = answer.NewArray("refused").NewRecord(0);
      r.setAsText("to", u"bob");
      r.setAsText("fn", u"desk");
      host.HandleRefused(nullptr, answer);
    } else if (i % 20 == 10) {
      client.leftMine("desk", "bob");
    }
  }
  sender.join();
  host.setClient(nullptr);
  EXPECT_TRUE(host.Capturing());
}

}  // namespace
}  // namespace vtx
