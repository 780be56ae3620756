// Viewer input on a real X server: a private Xvfb and a client window that records the keys
// and buttons it receives.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "desktop/screen_capture.h"
#include "platform/x11/x11_desktop.h"
#include "support/xvfb_display.h"

// Last: the X headers define macros that clash with other names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
constexpr int kXKeyPress = KeyPress;
#undef KeyPress  // an Xlib macro; the capture object has a method of that name

namespace vtx {
namespace {

struct Received {
  std::u16string typed;          // characters of the key presses
  std::vector<unsigned> states;  // modifier state of each key press
  std::vector<unsigned> buttons;
  int keyEvents = 0;
};

class X11Injection : public ::testing::Test {
 protected:
  void SetUp() override {
    xvfb_ = std::make_unique<test::XvfbDisplay>("320x240x24");
    if (xvfb_->name().empty()) GTEST_SKIP() << "Xvfb could not be started";
    dpy_ = XOpenDisplay(xvfb_->name().c_str());
    ASSERT_NE(dpy_, nullptr);
    XSetWindowAttributes a{};
    a.override_redirect = True;
    win_ = XCreateWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, 320, 240, 0, CopyFromParent,
                         InputOutput, CopyFromParent, CWOverrideRedirect, &a);
    XSelectInput(
        dpy_, win_,
        KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask);
    XMapWindow(dpy_, win_);
    XEvent e;
    do XNextEvent(dpy_, &e);
    while (e.type != MapNotify);
    XSetInputFocus(dpy_, win_, RevertToParent, CurrentTime);
    XSync(dpy_, False);
    desktop_ = OpenX11Desktop({xvfb_->name(), false, false});
    cap_ = std::make_unique<TRtcScreenCapture>(*desktop_);
    ASSERT_TRUE(cap_->GrabScreen());
  }
  void TearDown() override {
    cap_.reset();
    desktop_.reset();
    if (dpy_) XCloseDisplay(dpy_);
  }

  // Reads events until `keys` key events, `buttons` button presses and `chars` characters
  // came (bounded wait).
  Received Receive(int keys, int buttons, size_t chars = 0) {
    Received r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((r.keyEvents < keys || static_cast<int>(r.buttons.size()) < buttons ||
            r.typed.size() < chars) &&
           std::chrono::steady_clock::now() < deadline) {
      if (XPending(dpy_) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      XEvent e;
      XNextEvent(dpy_, &e);
      if (e.type == MappingNotify) XRefreshKeyboardMapping(&e.xmapping);
      if (e.type == KeyRelease) ++r.keyEvents;
      if (e.type == ButtonPress) r.buttons.push_back(e.xbutton.button);
      if (e.type != kXKeyPress) continue;
      ++r.keyEvents;
      char buf[16];
      KeySym sym = NoSymbol;
      XLookupString(&e.xkey, buf, sizeof buf, &sym, nullptr);
      char16_t c = sym >= 0x20 && sym < 0x100         ? static_cast<char16_t>(sym)
                   : (sym & 0xFF000000) == 0x01000000 ? static_cast<char16_t>(sym & 0xFFFF)
                                                      : 0;
      if (!c) continue;
      r.typed += c;
      r.states.push_back(e.xkey.state & (ShiftMask | ControlMask | Mod1Mask));
    }
    return r;
  }

  std::vector<KeySym> Keymap() {
    int lo, hi, per;
    XDisplayKeycodes(dpy_, &lo, &hi);
    KeySym* m = XGetKeyboardMapping(dpy_, static_cast<KeyCode>(lo), hi - lo + 1, &per);
    std::vector<KeySym> v(m, m + (hi - lo + 1) * per);
    XFree(m);
    return v;
  }

  bool AnyKeyDown() {
    char keys[32];
    XQueryKeymap(dpy_, keys);
    for (char k : keys)
      if (k) return true;
    return false;
  }

  std::unique_ptr<test::XvfbDisplay> xvfb_;
  Display* dpy_ = nullptr;
  Window win_ = 0;
  std::unique_ptr<DesktopPlatform> desktop_;
  std::unique_ptr<TRtcScreenCapture> cap_;
};

TEST_F(X11Injection, TypedTextArrivesWithItsModifiersAndTheKeymapIsRestored) {
  std::vector<KeySym> before = Keymap();
  const std::u16string text = u"Hi, ação ŋ€!";
  cap_->KeyPressW(text, 0);
  Received r = Receive(0, 0, text.size());
  EXPECT_EQ(r.typed, text);
  ASSERT_GE(r.states.size(), 2u);
  EXPECT_EQ(r.states[0], static_cast<unsigned>(ShiftMask));  // H
  EXPECT_EQ(r.states[1], 0u);                                // i
  EXPECT_FALSE(AnyKeyDown());

  cap_.reset();
  desktop_.reset();  // the spare key codes get their empty mapping back
  XSync(dpy_, False);
  EXPECT_EQ(Keymap(), before);
}

TEST_F(X11Injection, CapsLockIsSwitchedOffAroundTypedLetters) {
  cap_->KeyDown(20);
  cap_->KeyUp(20);
  Receive(2, 0);
  cap_->KeyPress("aB", 0);
  Received r = Receive(0, 0, 2);
  std::u16string letters;
  for (char16_t c : r.typed)
    if (c == u'a' || c == u'b' || c == u'A' || c == u'B') letters += c;
  EXPECT_EQ(letters, u"aB");
}

TEST_F(X11Injection, ClicksLandWhereTheViewerPointsWithTheLogicalButton) {
  cap_->MouseDown("ana", 30, 40, TRtcScreenCapture::mbLeft);
  cap_->MouseUp("ana", 30, 40, TRtcScreenCapture::mbLeft);
  cap_->MouseWheel(-240);
  Received r = Receive(0, 3);
  EXPECT_EQ(r.buttons, (std::vector<unsigned>{1, 5, 5}));
  Window root, child;
  int rx, ry, wx, wy;
  unsigned mask;
  XQueryPointer(dpy_, DefaultRootWindow(dpy_), &root, &child, &rx, &ry, &wx, &wy, &mask);
  EXPECT_EQ(rx, 30);
  EXPECT_EQ(ry, 40);

  // A left-handed pointer: the viewer's left button is still the user's first button.
  unsigned char swapped[3] = {3, 2, 1};
  ASSERT_EQ(XSetPointerMapping(dpy_, swapped, 3), MappingSuccess);
  XSync(dpy_, False);
  cap_->MouseDown("ana", 10, 10, TRtcScreenCapture::mbLeft);
  cap_->MouseUp("ana", 10, 10, TRtcScreenCapture::mbLeft);
  r = Receive(0, 1);
  EXPECT_EQ(r.buttons, std::vector<unsigned>{1});
}

TEST_F(X11Injection, NothingStaysDownAfterReleaseAllKeysAndBadInputIsHarmless) {
  for (int key : {16, 17, 18, 91, int{'Q'}, 250, 0x88, -5, 70000}) cap_->KeyDown(key);
  cap_->MouseDown("ana", -100000, 1 << 30, TRtcScreenCapture::mbMiddle);
  cap_->MouseUp("ana", -100000, 1 << 30, TRtcScreenCapture::mbMiddle);
  cap_->MouseWheel(INT32_MIN);
  cap_->ReleaseAllKeys();
  Receive(10, 1);
  EXPECT_FALSE(AnyKeyDown());

  // More characters on no key than there are spare key codes, and controls with no key.
  std::u16string many;
  for (char16_t c = 0x3B1; c < 0x3B1 + 40; ++c) many += c;
  many += u"\x01\x7F\xD800";
  cap_->KeyPressW(many, 0);
  cap_->ReleaseAllKeys();
  Receive(80, 0);
  EXPECT_FALSE(AnyKeyDown());
}

}  // namespace
}  // namespace vtx
