// Viewer input against the in-memory desktop: the events injected through the encoder and the
// platform calls made on the way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/fake_session_helpers.h"
#include "desktop/screen_capture.h"
#include "platform/fake/fake_desktop.h"

namespace vtx {
namespace {

using Lines = std::vector<std::string>;

// The fake's scan code is the key code plus one.
std::string P(int vk) {
  return "key " + std::to_string(vk) + " " + std::to_string((vk + 1) & 0xFF) + " 0 0";
}
std::string R(int vk) {
  return "key " + std::to_string(vk) + " " + std::to_string((vk + 1) & 0xFF) + " 2 0";
}
std::string Mouse(uint32_t flags, uint32_t dx = 0, uint32_t dy = 0, uint32_t data = 0) {
  return "mouse " + std::to_string(flags) + " " + std::to_string(dx) + " " + std::to_string(dy) +
         " " + std::to_string(data) + " 0";
}

class ScreenInput : public ::testing::Test {
 protected:
  // A small frame keeps grabs cheap; coordinates are scaled by the primary screen's size.
  ScreenInput() : d_(640, 480), cap_(d_) {
    ops().SetPrimaryScreen(1920, 1080);
    cap_.setSessionHelpers(&helpers_);
  }
  FakeInputPlatform& ops() { return d_.InputFake(); }
  // Creates the encoder (the screen size becomes known) and forgets what came before.
  void Grab() {
    ASSERT_TRUE(cap_.GrabScreen());
    Clear();
  }
  void Clear() {
    before_ = d_.InputLog().size();
    ops().ClearLog();
  }
  Lines Events() {
    Lines all = d_.InputLog();
    return Lines(all.begin() + static_cast<long>(before_), all.end());
  }

  FakeDesktop d_;
  FakeSessionHelpers helpers_;
  TRtcScreenCapture cap_;
  size_t before_ = 0;
};

TEST_F(ScreenInput, MovesAreScaledToAbsoluteCoordinatesWithTiesToEven) {
  Grab();
  cap_.MouseMove("ana", 1919, 1079);
  cap_.MouseMove("ana", 0, 0);
  cap_.MouseMove("ana", -50, 5000);  // off screen: clamped to the edges
  EXPECT_EQ(Events(),
            (Lines{Mouse(0x8001, 65535, 65535), Mouse(0x8001, 0, 0), Mouse(0x8001, 0, 65535)}));

  // 65535 / 2 = 32767.5 → 32768 and 65535 / 6 = 10922.5 → 10922.
  ops().SetPrimaryScreen(3, 7);
  Clear();
  cap_.MouseMove("ana", 1, 1);
  EXPECT_EQ(Events(), Lines{Mouse(0x8001, 32768, 10922)});
}

TEST_F(ScreenInput, MovesAreRelativeToTheCaptureRectangleAndRemembered) {
  cap_.MouseMove("ana", 10, 20);  // screen size not known yet: the cursor is set directly
  EXPECT_EQ(ops().Log(), Lines{"cursor 10 20"});
  EXPECT_TRUE(Events().empty());

  cap_.setFixedRegion({100, 50, 500, 450});
  Grab();
  cap_.MouseMove("bea", 0, 0);
  cap_.MouseMove("bea", INT32_MAX, INT32_MAX);  // saturates instead of overflowing
  EXPECT_EQ(Events(), (Lines{Mouse(0x8001, 3415, 3037), Mouse(0x8001, 65535, 65535)}));
}

TEST_F(ScreenInput, ButtonsWheelAndSwappedButtons) {
  Grab();
  cap_.MouseDown("ana", 0, 0, TRtcScreenCapture::mbLeft);
  cap_.MouseUp("ana", 0, 0, TRtcScreenCapture::mbRight);
  cap_.MouseWheel(-120);
  ops().SetSwapped(true);
  cap_.MouseDown("ana", 0, 0, TRtcScreenCapture::mbLeft);
  cap_.MouseUp("ana", 0, 0, TRtcScreenCapture::mbRight);
  cap_.MouseDown("ana", 0, 0, TRtcScreenCapture::mbMiddle);
  cap_.MouseDown("ana", 0, 0, static_cast<TRtcScreenCapture::TMouseButton>(7));  // ignored
  Lines want{Mouse(0x8001),
             Mouse(0x0002),
             Mouse(0x8001),
             Mouse(0x0010),
             Mouse(0x0800, 0, 0, static_cast<uint32_t>(-120)),
             Mouse(0x8001),
             Mouse(0x0008),
             Mouse(0x8001),
             Mouse(0x0004),
             Mouse(0x8001),
             Mouse(0x0020)};
  EXPECT_EQ(Events(), want);
}

TEST_F(ScreenInput, CaptionButtonsOfOwnWindowsArePostedNotInjected) {
  Grab();
  ops().SetOwnWindow(100, 100, 200, 120, 20, false);  // close button
  cap_.MouseDown("ana", 150, 110, TRtcScreenCapture::mbLeft);
  cap_.MouseUp("ana", 150, 110, TRtcScreenCapture::mbLeft);
  EXPECT_EQ(Events(), (Lines{Mouse(0x8001, 5123, 6681), Mouse(0x8001, 5123, 6681)}));
  EXPECT_EQ(ops().Log(), Lines{"syscmd 150 110 61536"});

  ops().SetOwnWindow(100, 100, 200, 120, 9, true);  // maximise of a maximised window
  ops().ClearLog();
  cap_.MouseUp("ana", 150, 110, TRtcScreenCapture::mbLeft);
  ops().SetOwnWindow(100, 100, 200, 120, 9, false);
  cap_.MouseUp("ana", 150, 110, TRtcScreenCapture::mbLeft);
  ops().SetOwnWindow(100, 100, 200, 120, 8, false);
  cap_.MouseUp("ana", 150, 110, TRtcScreenCapture::mbLeft);
  cap_.MouseUp("ana", 150, 110, TRtcScreenCapture::mbRight);  // not the left button: injected
  EXPECT_EQ(ops().Log(),
            (Lines{"syscmd 150 110 61728", "syscmd 150 110 61488", "syscmd 150 110 61472"}));
  EXPECT_EQ(Events().back(), Mouse(0x0010));
}

TEST_F(ScreenInput, MouseDriverLibraryTakesMovesAndSideButtons) {
  ops().SetMouseDriverAvailable(true);
  cap_.setMouseDriver(true);
  EXPECT_EQ(ops().MouseDriverUses(), 1);
  Grab();
  cap_.MouseMove("ana", 1919, 0);
  cap_.MouseMove("ana", 1920, 0);  // outside the desktop: nothing
  cap_.MouseDown("ana", 0, 0, TRtcScreenCapture::mbRight);
  cap_.MouseUp("ana", 0, 0, TRtcScreenCapture::mbLeft);
  cap_.MouseDown("ana", 0, 0, TRtcScreenCapture::mbMiddle);
  EXPECT_EQ(ops().Log(), (Lines{"driver 1 0 65535 0", "driver 1 0 0 0", "driver 0 4 0 0",
                                "driver 1 0 0 0", "driver 0 2 0 0", "driver 1 0 0 0"}));
  EXPECT_EQ(Events(), Lines{Mouse(0x0020)});
  cap_.setMouseDriver(false);
  cap_.setMouseDriver(false);
  EXPECT_EQ(ops().MouseDriverUses(), 0);

  // Without the library the normal path is used even with the setting on.
  ops().SetMouseDriverAvailable(false);
  cap_.setMouseDriver(true);
  Clear();
  cap_.MouseMove("ana", 0, 0);
  EXPECT_EQ(Events(), Lines{Mouse(0x8001)});
  EXPECT_EQ(ops().MouseDriverUses(), 0);
}

TEST_F(ScreenInput, ModifiersAreCountedOncePerViewerAndReleasedAtTheEnd) {
  Grab();
  cap_.KeyDown(16);
  cap_.KeyDown(16);
  cap_.KeyUp(17);  // not held
  cap_.KeyDown(17);
  cap_.KeyDown(18);
  cap_.KeyDown('X');
  cap_.ReleaseAllKeys();
  cap_.ReleaseAllKeys();  // nothing left
  EXPECT_EQ(Events(), (Lines{P(16), P(17), P(18), P('X'), R(16), R(18), R(17), R('X')}));
}

TEST_F(ScreenInput, NavigationKeysAreWrappedInNumLockWhileItIsOn) {
  Grab();
  cap_.KeyDown(46);
  cap_.KeyUp(46);
  ops().SetNumLock(true);
  cap_.KeyDown(33);
  cap_.KeyUp(33);
  cap_.KeyDown(47);  // past the range
  EXPECT_EQ(Events(), (Lines{P(46), R(46), R(144), P(144), P(33), R(144), P(144), P(144), R(144),
                             R(33), P(144), R(144), P(47)}));
}

TEST_F(ScreenInput, TypedCharactersAreBracketedByTheirModifiersAndCapsLock) {
  Grab();
  cap_.KeyPress("Ab", 0);
  EXPECT_EQ(Events(), (Lines{P(16), P(65), R(65), R(16), P(66), R(66)}));

  ops().SetCapsLock(true);
  Clear();
  cap_.KeyPressW(u"A", 0);
  EXPECT_EQ(Events(), (Lines{P(20), R(20), P(16), P(65), R(65), R(16), P(20), R(20)}));

  // A held Shift is lifted for a lower-case letter and put back; Ctrl+Alt for an AltGr key.
  ops().SetCapsLock(false);
  ops().SetKey(u'€', kKeyScanCtrl | kKeyScanAlt | 'E');
  cap_.KeyDown(16);
  Clear();
  cap_.KeyPressW(u"a€", 0);
  EXPECT_EQ(Events(), (Lines{R(16), P(65), R(65), P(16), R(16), P(17), P(18), P(69), R(69), R(18),
                             R(17), P(16)}));
  cap_.ReleaseAllKeys();
}

TEST_F(ScreenInput, CharactersOnNoKeyPressTheGivenKeyUnlessItIsAModifier) {
  Grab();
  for (int key : {16, 17, 18, 20, 144, 0, -3, 4000}) cap_.KeyPressW(u"ŋ", key);
  EXPECT_TRUE(Events().empty());
  cap_.KeyPressW(u"ŋ", 231);
  cap_.KeyPress("\xA4", 65);
  EXPECT_EQ(Events(), (Lines{P(231), R(231), P(65), R(65)}));
}

TEST_F(ScreenInput, SpecialKeysAndWindowsKeyCombinations) {
  Grab();
  cap_.SpecialKey("SCAT");
  EXPECT_EQ(Events(), (Lines{P(16), P(17), P(18), P(9), R(9), R(18), R(17), R(16)}));

  ops().SetCapsLock(true);
  Clear();
  cap_.SpecialKey("COPY");
  cap_.SpecialKey("RWIN");
  EXPECT_EQ(Events(), (Lines{P(20), R(20), P(17), P(67), R(67), R(17), P(20), R(20), P(20), R(20),
                             P(92), R(92), P(20), R(20)}));

  // The Windows-key combination ignores Caps Lock and lifts held modifiers.
  cap_.KeyDown(17);
  Clear();
  cap_.LWinKey('R');
  cap_.SpecialKey("TAERO");
  cap_.SpecialKey("scat");
  EXPECT_EQ(Events(), (Lines{R(17), P(91), P(82), R(82), R(91), P(17)}));

  cap_.SpecialKey("HDESK");
  cap_.SpecialKey("SDESK");
  EXPECT_EQ(helpers_.Log(), (Lines{"HideWallpaper", "ShowWallpaper"}));
}

TEST_F(ScreenInput, CtrlAltDelFollowsAccountAndSystemVersion) {
  Grab();
  ops().SetAccount("system", 6);
  cap_.SpecialKey("CAD");
  EXPECT_EQ(ops().Log(), Lines{"taskmgr"});

  ops().SetAccount("System", 5);
  cap_.SpecialKey("CAD");
  EXPECT_EQ(Events(), Lines{"sas"});

  ops().SetAccount("ana", 5);
  ops().SetCapsLock(true);
  ops().SetOtherInstance(true);
  ops().ClearLog();
  Clear();
  cap_.SpecialKey("CAD");
  EXPECT_EQ(ops().Log(), (Lines{"hotkey", "cadfile"}));
  EXPECT_EQ(Events(), (Lines{P(20), R(20), P(20), R(20)}));

  ops().SetLogonHotKeyWorks(true);
  ops().ClearLog();
  cap_.SpecialKey("CAD");
  EXPECT_EQ(ops().Log(), Lines{"hotkey"});

  ops().SetAccount("ana", 10);
  ops().ClearLog();
  Clear();
  cap_.SpecialKey("CAD");
  EXPECT_TRUE(ops().Log().empty());
  EXPECT_TRUE(Events().empty());
}

TEST_F(ScreenInput, InputBeforeTheFirstGrabGoesStraightToTheInjector) {
  cap_.KeyDown(65);
  cap_.KeyUp(65);
  for (int key : {-1, 0, 255, 256, 100000}) {
    cap_.KeyDown(key);
    cap_.KeyUp(key);
  }
  cap_.LWinKey(-7);
  EXPECT_EQ(Events(), (Lines{P(65), R(65), P(91), R(91)}));
}

}  // namespace
}  // namespace vtx
