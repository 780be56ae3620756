// The desktop viewer module driven through a recording client: the key rules with the
// Windows-key state, the settings batch, viewer admission and updates, the clipboard exchange
// and the adapter registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/host/desktop_control.h"
#include "unit/portal/module_test_support.h"
#include "util/exceptions.h"

namespace vtx {
namespace {

using testing::FakeClient;
using testing::Fn;

constexpr int kShift = 1, kAlt = 2, kCtrl = 4;

// One line per message sent: "to name field=value ..." (fields in order of their names).
std::string Line(const FakeClient::Sent& s) {
  std::string line = s.to + " " + s.name();
  for (int i = 0; i < s.fn->FieldCount(); ++i) {
    const RtcWideString f = s.fn->FieldName(i);
    line += " " + Utf8Encode(f) + "=" + Utf8Encode(s.fn->asText(f));
  }
  return line;
}

std::vector<std::string> Lines(FakeClient& c) {
  std::vector<std::string> out;
  for (auto& s : c.sent) out.push_back(Line(s));
  c.sent.clear();
  return out;
}

using V = std::vector<std::string>;

class MemoryClipboard : public DesktopViewerClipboard {
 public:
  std::string ReadClipboard() override {
    ++reads;
    return text;
  }
  void WriteClipboard(const std::string& t) override {
    text = t;
    writes.push_back(t);
  }
  std::string text;
  int reads = 0;
  std::vector<std::string> writes;
};

class RecordingUI : public TRtcAbsPDesktopControlUI {
 public:
  void Call_LogOut(TRtcConnection*) override { calls.push_back("logout"); }
  void Call_Error(TRtcConnection*) override { calls.push_back("error"); }
  void Call_Open(TRtcConnection*) override { calls.push_back("open"); }
  void Call_Close(TRtcConnection*) override { calls.push_back("close"); }
  void Call_Data(TRtcConnection*, const std::string& cursor, const std::string& screen) override {
    calls.push_back("data " + cursor + "|" + screen);
    if (onData) onData();
  }
  std::vector<std::string> calls;
  std::function<void()> onData;
};

class DesktopControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    viewer.setClient(&client);
    viewer.setClipboard(&clip);
    viewer.setOnQueryAccess(
        [this](TRtcPModule&, const std::string& u, bool& allow) { allow = u != refused; });
  }
  void TearDown() override { viewer.setClient(nullptr); }

  // The host puts the viewer into "idesk", then "desk", then out of "idesk".
  void Admit(const std::string& host) {
    client.joinedOther("idesk", host);
    client.joinedOther("desk", host);
    client.leftOther("idesk", host);
  }
  void Desk(const std::string& host, const char* init, const char* next, const char* cur) {
    auto f = Fn(u"desk");
    if (init) f->setAsString("init", init);
    if (next) f->setAsString("next", next);
    if (cur) f->setAsString("cur", cur);
    client.data(host, *f);
  }
  void Down(int key, int shift, bool map = false) { viewer.SendKeyDown("h", map, key, shift, 0); }
  void Up(int key, int shift, bool map = false) { viewer.SendKeyUp("h", map, key, shift, 0); }

  FakeClient client;
  MemoryClipboard clip;
  TRtcPDesktopControl viewer;
  std::string refused = "nobody";
};

TEST_F(DesktopControlTest, KeyCombinationsBecomeSpecialKeysAndTheirReleasesAreSilent) {
  Down(46, kCtrl | kAlt);
  Up(46, kCtrl | kAlt);
  Down(45, kCtrl | kAlt);
  Down(67, kCtrl | kAlt);
  Down(9, kAlt);
  Up(9, kAlt);
  Down(91, kAlt);
  Down(92, kAlt | kShift);
  Down(91, kAlt | kCtrl);
  Down(92, kAlt | kCtrl | kShift);
  Down(91, kCtrl);
  Down(92, kCtrl | kShift);
  Down(91, 0);
  Up(91, 0);
  EXPECT_EQ(Lines(client),
            (V{"h key s=CAD", "h key s=CAD", "h key s=COPY", "h key s=AT", "h key s=SAT",
               "h key s=CAT", "h key s=SCAT", "h key s=HDESK", "h key s=SDESK"}));
}

TEST_F(DesktopControlTest, WindowsKeyAloneSendsWinAndWithALetterSendsTheLetterOnly) {
  Down(91, kShift);
  Up(91, kShift);
  EXPECT_EQ(Lines(client), (V{"h key s=WIN"}));

  Down(91, kShift);
  Down(69, kShift);
  Up(69, kShift);
  Up(91, kShift);
  EXPECT_EQ(Lines(client), (V{"h key lw=69"}));

  Down(92, kShift);
  Down(70, 0);
  Up(92, 0);
  Down(92, kShift);
  Up(92, 0);
  EXPECT_EQ(Lines(client), (V{"h key rw=70", "h key s=RWIN"}));

  // Released: letters are plain keys again.
  Down(69, 0);
  Up(69, 0);
  EXPECT_EQ(Lines(client), (V{"h key d=69 scan=0", "h key u=69 scan=0"}));
}

TEST_F(DesktopControlTest, MappedKeysTypeTheirCharacterAndOthersGoAsKeys) {
  Down(65, kShift, true);
  Up(65, kShift, true);
  Down(49, kShift, true);
  Down(20, 0, true);
  Up(20, 0, true);
  Down(37, 0, true);  // Left: no character
  Up(37, 0, true);
  Down(65, kCtrl, true);  // Ctrl+A: a key, not a character
  Up(65, kCtrl, true);
  Down(20, 0, false);  // Caps Lock unmapped goes as a key
  EXPECT_EQ(Lines(client), (V{"h key p=A k=65 scan=0", "h key p=! k=49 scan=0", "h key d=37 scan=0",
                              "h key u=37 scan=0", "h key d=65 scan=0", "h key u=65 scan=0",
                              "h key d=20 scan=0"}));
}

TEST_F(DesktopControlTest, TypedTextGoesInBoundedPiecesWithCharactersOffTheMapAlone) {
  viewer.SendText("h", u"ab\u00e7d");
  EXPECT_EQ(Lines(client), (V{"h key p=ab k=65", "h key p=\u00e7 k=0", "h key p=d k=68"}));

  viewer.SendText("h", std::u16string(TRtcPDesktopControl::kMaxTextPiece * 2 + 1, u'x'));
  ASSERT_EQ(client.sent.size(), 3u);
  EXPECT_EQ(client.sent[0].fn->asText("p").size(), TRtcPDesktopControl::kMaxTextPiece);
  EXPECT_EQ(client.sent[2].fn->asText("p"), u"x");
  client.sent.clear();
  viewer.SendText("h", u"");
  EXPECT_TRUE(client.sent.empty());
}

TEST_F(DesktopControlTest, MouseOperationsCarryButtonNumbersAndCoordinates) {
  viewer.SendMouseDown("h", 10, 20, 0, TRtcPDesktopControl::mbLeft);
  viewer.SendMouseUp("h", 11, 21, 0, TRtcPDesktopControl::mbRight);
  viewer.SendMouseDown("h", -5, 70000, 0, TRtcPDesktopControl::mbMiddle);
  viewer.SendMouseMove("h", 3, 4, 0);
  viewer.SendMouseWheel("h", -120, 0);
  EXPECT_EQ(Lines(client), (V{"h mouse d=1 x=10 y=20", "h mouse u=2 x=11 y=21",
                              "h mouse d=3 x=-5 y=70000", "h mouse x=3 y=4", "h mouse w=-120"}));
}

TEST_F(DesktopControlTest, SettingsBatchSendsOneMessagePerOutermostPair) {
  viewer.ChgDesktop_Begin();
  viewer.ChgDesktop_ColorLimit(9, "h");
  viewer.ChgDesktop_FrameRate(3, "h");
  viewer.ChgDesktop_UseMouseDriver(true, "h");
  viewer.ChgDesktop_EncoderClassName("X", "h");
  EXPECT_TRUE(client.sent.empty());
  viewer.ChgDesktop_End("h");
  viewer.ChgDesktop_CaptureLayeredWindows(false, "h");
  EXPECT_EQ(Lines(client),
            (V{"h chgdesk color=9 frame=3 mouse=T EncoderClassName=X", "h chgdesk layered=F"}));
  ASSERT_EQ(Lines(client).size(), 0u);

  // An End without a Begin does nothing; a batch without a user name is refused and dropped.
  viewer.ChgDesktop_End("h");
  viewer.ChgDesktop_Begin();
  viewer.ChgDesktop_ColorLimit(1, "h");
  EXPECT_THROW(viewer.ChgDesktop_End(""), ERtcInfo);
  viewer.ChgDesktop_SendScreenSizeLimit(2, "h");
  EXPECT_EQ(Lines(client), (V{"h chgdesk scrlimit=2"}));

  // Without a client the batch is discarded; a pending batch dies with the module.
  viewer.setClient(nullptr);
  viewer.ChgDesktop_ColorLimit(1, "h");
  viewer.setClient(&client);
  viewer.ChgDesktop_Begin();
  viewer.ChgDesktop_ColorLimit(1, "h");
  EXPECT_TRUE(client.sent.empty());
}

TEST_F(DesktopControlTest, UpdatesReachTheAdapterOnlyFromAdmittedHosts) {
  RecordingUI ui;
  std::vector<std::string> events;
  viewer.OnNewUI = [&](TRtcPDesktopControl& m, const std::string& host) {
    events.push_back("newui " + host);
    ui.setUserName(host);
    ui.setModule(&m);
  };
  viewer.On_DesktopData = [&](TRtcPDesktopControl&, const std::string& host, const std::string& cur,
                              const std::string& scr) {
    events.push_back("data " + host + " " + cur + "|" + scr);
  };
  viewer.On_DesktopClose = [&](TRtcPDesktopControl&, const std::string& host) {
    events.push_back("close " + host);
  };

  Desk("h", "I", nullptr, "C");  // not admitted
  Admit("h");
  EXPECT_TRUE(viewer.InControl("h"));
  Desk("h", "I", "N", "C");
  Desk("h", nullptr, "N", nullptr);
  Desk("h", nullptr, nullptr, "C");
  Desk("h", nullptr, nullptr, nullptr);  // a join request, not an update
  Desk("other", "I", nullptr, nullptr);
  auto bad = Fn(u"desk");
  bad->setAsInteger("init", 5);
  client.data("h", *bad);
  EXPECT_EQ(ui.calls, (V{"open", "data C|I", "data |N", "data C|"}));

  client.leftOther("desk", "h");
  EXPECT_FALSE(viewer.InControl("h"));
  Desk("h", nullptr, "N", nullptr);
  client.leftOther("idesk", "h");  // already closed: nothing more
  EXPECT_EQ(events, (V{"newui h", "data h C|I", "data h |N", "data h C|", "close h"}));
  EXPECT_EQ(ui.calls.back(), "close");

  // Log-out and errors go to every adapter.
  TRtcValue none;
  viewer.HandleLogOut(nullptr);
  viewer.HandleError(nullptr, none);
  EXPECT_EQ(ui.calls.size(), 7u);
  EXPECT_EQ(ui.calls[5], "logout");
  EXPECT_EQ(ui.calls[6], "error");
}

TEST_F(DesktopControlTest, RefusedHostIsLeftAndNeverShown) {
  refused = "h";
  Admit("h");
  EXPECT_FALSE(viewer.InControl("h"));
  EXPECT_EQ(client.calls, (V{"Leave h desk", "Leave h idesk"}));
  Desk("h", "I", nullptr, nullptr);
  viewer.ResetUsers();
  EXPECT_FALSE(viewer.InControl("h"));
}

TEST_F(DesktopControlTest, ClipboardIsExchangedOnlyWhenItChanged) {
  clip.text = "local";
  viewer.Open("h", nullptr, true);
  EXPECT_EQ(clip.text, "");  // Open empties this PC's clipboard
  EXPECT_EQ(Lines(client), (V{"h desk", "h chat", "h files"}));

  // A host's clipboard is taken only from a host we show.
  auto cb = Fn(u"cbrd");
  cb->setAsString("s", "remote");
  client.data("h", *cb);
  EXPECT_EQ(clip.text, "");
  Admit("h");
  client.data("h", *cb);
  EXPECT_EQ(clip.text, "remote");

  // What came from the host is not sent back; a local change is, once.
  viewer.ControlStart("h");
  EXPECT_TRUE(client.sent.empty());
  clip.text = "mine";
  viewer.ControlStart("h");
  viewer.ControlStart("h");
  EXPECT_EQ(Lines(client), (V{"h cbrd s=mine"}));
  clip.text = "";
  viewer.ControlStart("h");
  EXPECT_EQ(Lines(client), (V{"h cbrd"}));
  viewer.ControlStop("h");
  EXPECT_EQ(Lines(client), (V{"h gcbrd"}));

  // A "cbrd" without text empties the clipboard; one of another type is dropped.
  clip.text = "x";
  auto empty = Fn(u"cbrd");
  client.data("h", *empty);
  EXPECT_EQ(clip.text, "");
  auto wrong = Fn(u"cbrd");
  wrong->setAsInteger("s", 3);
  client.data("h", *wrong);
  EXPECT_EQ(clip.text, "");
}

TEST_F(DesktopControlTest, HostParamsKeepWhatIsWellTyped) {
  auto f = Fn(u"hostparams");
  f->setAsInteger("color", 9);
  f->setAsInteger("frame", 5);
  f->setAsBoolean("layered", true);
  f->setAsString("EncoderClassName", "enc");
  f->setAsInteger("tsWidth", 1280);
  f->setAsText("tsHeight", u"junk");
  f->setAsText("mouse", u"junk");
  client.data("h", *f);
  const auto p = viewer.HParams();
  EXPECT_TRUE(p.known);
  EXPECT_EQ(p.ColorLimit, 9);
  EXPECT_EQ(p.FrameRate, 5);
  EXPECT_TRUE(p.CaptureLayeredWindows);
  EXPECT_FALSE(p.UseMouseDriver);
  EXPECT_EQ(p.EncoderClassName, "enc");
  EXPECT_EQ(p.ScreenWidth, 1280);
  EXPECT_EQ(p.ScreenHeight, 0);
}

TEST_F(DesktopControlTest, AdaptersNeedANameReplaceEachOtherAndOutliveTheirLastCall) {
  RecordingUI unnamed;
  EXPECT_THROW(unnamed.setModule(&viewer), ERtcInfo);

  RecordingUI first, second;
  first.setUserName("h");
  first.setModule(&viewer);
  second.setUserName("h");
  second.setModule(&viewer);
  EXPECT_EQ(first.Module(), nullptr);
  EXPECT_EQ(second.Module(), &viewer);
  EXPECT_THROW(second.setUserName(""), ERtcInfo);

  // Cleared from inside its own call: unlinked when the call ends.
  Admit("h");
  bool freed = true;
  second.onData = [&] { freed = second.CloseAndClear(); };
  Desk("h", nullptr, "N", nullptr);
  EXPECT_FALSE(freed);
  EXPECT_EQ(second.Module(), nullptr);
  EXPECT_EQ(second.calls.back(), "logout");
  Desk("h", nullptr, "N", nullptr);
  EXPECT_EQ(second.calls.size(), 3u);  // open, data, logout

  // A module going away unlinks its adapters.
  RecordingUI third;
  {
    TRtcPDesktopControl other;
    third.setUserName("x");
    third.setModule(&other);
  }
  EXPECT_EQ(third.Module(), nullptr);
}

}  // namespace
}  // namespace vtx
