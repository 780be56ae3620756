// The session helpers on a real X server: the clipboard against a second X client (both ways,
// large data through INCR), the wallpaper on the root window and the input locks.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "desktop/clipboard_wire.h"
#include "desktop/screen_capture.h"
#include "platform/x11/x11_clipboard.h"
#include "platform/x11/x11_desktop.h"
#include "platform/x11/x11_session_helpers.h"
#include "support/xvfb_display.h"

// Last: the X headers define macros that clash with other names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#undef KeyPress

namespace vtx {
namespace {

using Item = X11Clipboard::Item;

std::string unicodeRow(const std::string& utf8) {
  return ClipboardWireText({{"", kClipboardUnicodeText, UnicodeClipboardData(utf8)}});
}

// Grabs and releases the first keyboard that is not an XTest device; the grab status (-1: the
// server has none).
int tryGrabPhysicalKeyboard(Display* dpy) {
  int n = 0, status = -1;
  XIDeviceInfo* info = XIQueryDevice(dpy, XIAllDevices, &n);
  for (int i = 0; i < n && status < 0; ++i) {
    if (info[i].use != XISlaveKeyboard ||
        std::string(info[i].name).find("XTEST") != std::string::npos)
      continue;
    unsigned char bits[4] = {};
    XIEventMask mask{info[i].deviceid, sizeof bits, bits};
    status = XIGrabDevice(dpy, info[i].deviceid, DefaultRootWindow(dpy), CurrentTime, None,
                          XIGrabModeAsync, XIGrabModeAsync, False, &mask);
    if (status == GrabSuccess) XIUngrabDevice(dpy, info[i].deviceid, CurrentTime);
  }
  XIFreeDeviceInfo(info);
  XSync(dpy, False);
  return status;
}

class X11Session : public ::testing::Test {
 protected:
  void SetUp() override {
    xvfb_ = std::make_unique<test::XvfbDisplay>("64x48x24");
    if (xvfb_->name().empty()) GTEST_SKIP() << "Xvfb could not be started";
    auto prompts = std::make_unique<AutoAnswerPrompts>(false);
    prompts_ = prompts.get();
    helpers_ = OpenX11SessionHelpers(xvfb_->name(), std::move(prompts));
    other_ = std::make_unique<X11Clipboard>(xvfb_->name());
  }

  std::unique_ptr<test::XvfbDisplay> xvfb_;
  AutoAnswerPrompts* prompts_ = nullptr;
  std::unique_ptr<DesktopSessionHelpers> helpers_;
  std::unique_ptr<X11Clipboard> other_;  // a second X client
};

TEST_F(X11Session, TextTravelsBothWaysAndReadsTheSameTwice) {
  helpers_->WriteClipboard(unicodeRow("ação €"));
  EXPECT_EQ(other_->Read({"UTF8_STRING", "STRING"}),
            (std::vector<Item>{{"UTF8_STRING", "ação €"}, {"STRING", "a\xE7\xE3o ?"}}));
  EXPECT_EQ(helpers_->ReadClipboard(), unicodeRow("ação €"));

  other_->Write({{"UTF8_STRING", "olá"}, {"image/png", std::string("\x89PNG\0x", 6)}});
  std::string first = helpers_->ReadClipboard();
  EXPECT_EQ(first, ClipboardWireText({{"", 13, UnicodeClipboardData("olá")},
                                      {"image/png", 0, std::string("\x89PNG\0x", 6)}}));
  EXPECT_EQ(helpers_->ReadClipboard(), first);

  // An owner offering only Latin-1 text.
  other_->Write({{"STRING", "ma\xE7\xE3"}});
  EXPECT_EQ(helpers_->ReadClipboard(), unicodeRow("maçã"));

  // Named formats come back under their names; 8-bit text is used when there is no Unicode.
  helpers_->WriteClipboard(ClipboardWireText(
      {{"", kClipboardText, std::string("caf\xE9\0", 5)}, {"text/html", 0, "<b>x</b>"}}));
  EXPECT_EQ(other_->Read({"UTF8_STRING", "text/html"}),
            (std::vector<Item>{{"UTF8_STRING", "café"}, {"text/html", "<b>x</b>"}}));
}

TEST_F(X11Session, FiveMegabytesCrossThroughIncrementalTransfers) {
  std::string big;
  for (int i = 0; big.size() < 5u << 20; ++i) big += "line " + std::to_string(i) + " ação\n";
  helpers_->WriteClipboard(unicodeRow(big));
  std::vector<Item> got = other_->Read({"UTF8_STRING"});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].data == big);

  std::string other = big;
  other[17] = 'X';
  other_->Write({{"UTF8_STRING", other}});
  EXPECT_TRUE(helpers_->ReadClipboard() == unicodeRow(other));
}

// A requestor that starts an incremental transfer and then goes away (its window destroyed)
// or stops taking chunks: the owner lets go of the transfer instead of keeping its data.
TEST_F(X11Session, AnAbandonedIncrementalTransferIsDropped) {
  struct Case {
    const char* name;
    bool destroyWindow;
    std::chrono::milliseconds idleLimit;
  };
  const std::string big(3u << 20, 'q');
  for (const Case& k : {Case{"requestor window destroyed", true, std::chrono::hours(1)},
                        Case{"requestor silent", false, std::chrono::milliseconds(300)}}) {
    SCOPED_TRACE(k.name);
    other_->setTransferIdleLimit(k.idleLimit);
    other_->Write({{"UTF8_STRING", big}});
    Display* dpy = XOpenDisplay(xvfb_->name().c_str());
    ASSERT_NE(dpy, nullptr);
    Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
    Atom clipboard = XInternAtom(dpy, "CLIPBOARD", False);
    Atom prop = XInternAtom(dpy, "VTX_TEST", False);
    XConvertSelection(dpy, clipboard, XInternAtom(dpy, "UTF8_STRING", False), prop, w, CurrentTime);
    XFlush(dpy);
    bool notified = false;
    for (int i = 0; i < 500 && !notified; ++i) {  // bounded at 5 s
      XEvent e;
      while (!notified && XCheckTypedWindowEvent(dpy, w, SelectionNotify, &e))
        notified = e.xselection.property == prop;
      if (!notified) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(notified);
    EXPECT_EQ(other_->OpenTransfers(), 1u);
    if (k.destroyWindow) XDestroyWindow(dpy, w);
    XFlush(dpy);
    for (int i = 0; i < 500 && other_->OpenTransfers() > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(other_->OpenTransfers(), 0u);
    XCloseDisplay(dpy);
  }
  // The owner still serves whole reads afterwards.
  std::vector<Item> got = other_->Read({"UTF8_STRING"});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].data == big);
}

TEST_F(X11Session, FileNamesComeFromTheUriList) {
  other_->Write({{"text/uri-list",
                  "# copied\r\nfile:///home/ana/a%20b.txt\r\nfile://host/tmp/x\r\nhttp://e/y\r\n"
                  "file:///bad%00name\r\nfile:///tmp/%zz"}});
  auto names = helpers_->ClipboardFileNames();
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(*names, (std::vector<std::string>{"/home/ana/a b.txt", "/tmp/x", "/tmp/%zz"}));
  other_->Write({{"UTF8_STRING", "no files"}});
  EXPECT_FALSE(helpers_->ClipboardFileNames().has_value());
}

TEST_F(X11Session, BadClipboardTextLeavesTheClipboardUsable) {
  helpers_->WriteClipboard(unicodeRow("kept"));
  helpers_->WriteClipboard("not a data set");
  helpers_->WriteClipboard(std::string("\xFF\x00\x01", 3));
  EXPECT_EQ(helpers_->ReadClipboard(), unicodeRow("kept"));

  // Rows of unknown or absurd formats and protocol names are dropped, the rest is kept.
  helpers_->WriteClipboard(ClipboardWireText({{"", -4, "x"},
                                              {"", 99999, "y"},
                                              {"TARGETS", 0, "z"},
                                              {"", 13, std::string(3, '\0')},
                                              {"text/html", 0, "h"}}));
  EXPECT_EQ(helpers_->ReadClipboard(), ClipboardWireText({{"text/html", 0, "h"}}));

  helpers_->WriteClipboard("");  // empties the clipboard
  EXPECT_EQ(helpers_->ReadClipboard(), ClipboardWireText({}));
  EXPECT_TRUE(other_->Read({"UTF8_STRING", "text/html"}).empty());
}

TEST_F(X11Session, WallpaperHidesOnceAndComesBack) {
  Display* dpy = XOpenDisplay(xvfb_->name().c_str());
  ASSERT_NE(dpy, nullptr);
  Window root = DefaultRootWindow(dpy);
  auto rootPixel = [&] {
    XImage* img = XGetImage(dpy, root, 5, 5, 1, 1, AllPlanes, ZPixmap);
    unsigned long p = XGetPixel(img, 0, 0) & 0xFFFFFF;
    XDestroyImage(img);
    return p;
  };
  helpers_->ShowWallpaper();  // nothing hidden yet: nothing to put back
  Pixmap wall = XCreatePixmap(dpy, root, 8, 8, static_cast<unsigned>(DefaultDepth(dpy, 0)));
  GC gc = XCreateGC(dpy, wall, 0, nullptr);
  XSetForeground(dpy, gc, 0xFF0000);
  XFillRectangle(dpy, wall, gc, 0, 0, 8, 8);
  XSetWindowBackgroundPixmap(dpy, root, wall);
  XClearWindow(dpy, root);
  long id = static_cast<long>(wall);
  XChangeProperty(dpy, root, XInternAtom(dpy, "_XROOTPMAP_ID", False), XA_PIXMAP, 32,
                  PropModeReplace, reinterpret_cast<unsigned char*>(&id), 1);
  XSetCloseDownMode(dpy, RetainPermanent);
  XSync(dpy, False);
  ASSERT_EQ(rootPixel(), 0xFF0000u);

  helpers_->HideWallpaper();
  EXPECT_EQ(rootPixel(), 0u);
  XSetWindowBackgroundPixmap(dpy, root, wall);
  XClearWindow(dpy, root);
  helpers_->HideWallpaper();  // already hidden: nothing happens
  EXPECT_EQ(rootPixel(), 0xFF0000u);
  helpers_->ShowWallpaper();
  EXPECT_EQ(rootPixel(), 0xFF0000u);
  XFreeGC(dpy, gc);
  XCloseDisplay(dpy);
}

TEST_F(X11Session, LocksKeepInjectedInputAndPromptsUseTheirTexts) {
  helpers_->SetKeyboardLocked(true);
  helpers_->SetMouseLocked(true);
  EXPECT_TRUE(helpers_->KeyboardLocked());
  EXPECT_TRUE(helpers_->MouseLocked());

  Display* dpy = XOpenDisplay(xvfb_->name().c_str());
  ASSERT_NE(dpy, nullptr);
  auto desktop = OpenX11Desktop({xvfb_->name(), false, false});
  TRtcScreenCapture cap(*desktop);
  ASSERT_TRUE(cap.GrabScreen());
  cap.MouseMove("ana", 20, 30);
  Window root, child;
  int rx = -1, ry = -1, wx, wy;
  unsigned mask;
  for (int i = 0; i < 200 && rx != 20; ++i)
    XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &rx, &ry, &wx, &wy, &mask);
  EXPECT_EQ(rx, 20);
  EXPECT_EQ(ry, 30);

  // The physical keyboard (when the server has one) is taken by the lock: another client
  // cannot grab it.
  int locked = tryGrabPhysicalKeyboard(dpy);
  helpers_->SetKeyboardLocked(false);
  helpers_->SetMouseLocked(false);
  EXPECT_FALSE(helpers_->KeyboardLocked());
  if (locked != -1) {
    EXPECT_EQ(locked, AlreadyGrabbed);
    EXPECT_EQ(tryGrabPhysicalKeyboard(dpy), GrabSuccess);
  }
  XCloseDisplay(dpy);

  helpers_->ShowRemoteNotification("Hello");
  EXPECT_FALSE(helpers_->ConfirmDesktopAccess("ana"));
  EXPECT_EQ(prompts_->Shown(),
            (std::vector<std::string>{
                "notify Message from Orvanta Portal: Hello",
                "confirm Confirm Desktop Access: ana wants to access your desktop. Do you want to "
                "allow this?"}));
}

TEST(X11SessionNoDisplay, HelpersDoNothingWithoutAServer) {
  auto helpers = OpenX11SessionHelpers(":9876", nullptr);
  helpers->WriteClipboard(unicodeRow("x"));
  EXPECT_EQ(helpers->ReadClipboard(), ClipboardWireText({}));
  EXPECT_FALSE(helpers->ClipboardFileNames().has_value());
  helpers->HideWallpaper();
  helpers->SetKeyboardLocked(true);
  EXPECT_FALSE(helpers->ConfirmDesktopAccess("ana"));
}

}  // namespace
}  // namespace vtx
