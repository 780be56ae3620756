// The analyst's view of a host's desktop end to end: a private Xvfb, a real gateway process,
// `vtxtool host` sharing the Xvfb screen and the real console, each a process of its own. The
// console's image must equal the X server's screen pixel for pixel.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_picture.h"
#include "e2e/e2e_process.h"
#include "e2e/gateway_child.h"
#include "platform/system_info.h"
#include "portal/http_portal_client.h"
#include "support/x11_selection.h"
#include "support/xvfb_display.h"

// Last: the X headers define macros that clash with other names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace vtx {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using e2e::Child;
using e2e::palettised;
using e2e::Picture;
using e2e::readAll;
using e2e::readPng;
using e2e::waitForText;

const char* const kPassword = "fyduzAKrpRQdnnwXjRM";
const char* const kSecureKey = "kgQWdXnb5mVpW";
constexpr int kWidth = 480, kHeight = 320;

class DesktopE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    xvfb_ = std::make_unique<test::XvfbDisplay>(std::to_string(kWidth) + "x" +
                                                std::to_string(kHeight) + "x24");
    if (xvfb_->name().empty()) GTEST_SKIP() << "Xvfb could not be started";
    dpy_ = XOpenDisplay(xvfb_->name().c_str());
    ASSERT_NE(dpy_, nullptr);
    root_ = DefaultRootWindow(dpy_);
    gc_ = XCreateGC(dpy_, root_, 0, nullptr);
    fill(0, 0, kWidth, kHeight, 0x000000);

    char pattern[] = "/tmp/vtx-desk-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::vector<std::string> gatewayArgs{
        "--threads", "2",        "--login-password", kPassword, "--secure-key",      kSecureKey,
        "--db",      ":memory:", "--get-hold",       "2",       "--force-encryption"};
    gatewayArgs.insert(gatewayArgs.end(), gatewayExtra_.begin(), gatewayExtra_.end());
    gw_ = std::make_unique<testing::GatewayChild>(gatewayArgs);
    host_ = std::make_unique<Child>(
        std::vector<std::string>{VTX_TOOL_PATH, "host", "--gateway", "127.0.0.1:" + gw_->port(),
                                 "--user", "cust", "--password", kPassword, "--key", kSecureKey,
                                 "--inbox", dir_.string(), "--tls-ca", gw_->caFile()},
        dir_ / "host.out",
        std::vector<std::string>{"DISPLAY=" + xvfb_->name(),
                                 "XDG_DATA_HOME=" + (dir_ / "data").string()});
    ASSERT_TRUE(waitForText(dir_ / "host.out", "\"show\":\"ready\"", 20s));
  }
  void TearDown() override {
    consoles_.clear();
    host_.reset();
    gw_.reset();
    if (gc_) XFreeGC(dpy_, gc_);
    if (dpy_) XCloseDisplay(dpy_);
    std::error_code ec;
    if (!dir_.empty() && !std::getenv("VTX_KEEP_E2E")) fs::remove_all(dir_, ec);
  }

  std::vector<std::string> consoleArgs(const std::string& user) {
    return {VTX_ANALYST_PATH, "--gateway",  "127.0.0.1:" + gw_->port(),
            "--user",         user,         "--password",
            kPassword,        "--key",      kSecureKey,
            "--tls-ca",       gw_->caFile()};
  }
  // Runs one console command to its end; its exit code.
  int analyst(const std::string& name, std::vector<std::string> command,
              const std::string& user = "ana") {
    std::vector<std::string> a = consoleArgs(user);
    a.insert(a.end(), command.begin(), command.end());
    Child c(a, dir_ / name);
    return c.wait();
  }
  // A console in session mode; its output in dir_/<user>.out.
  // A window over the whole screen that has the input focus and reports `events`.
  Window focusedWindow(long events) {
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.event_mask = events;
    const Window win =
        XCreateWindow(dpy_, root_, 0, 0, kWidth, kHeight, 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWEventMask, &attrs);
    XMapRaised(dpy_, win);
    XSync(dpy_, False);
    XSetInputFocus(dpy_, win, RevertToParent, CurrentTime);
    XSync(dpy_, False);
    return win;
  }
  Child& session(const std::string& user) {
    std::vector<std::string> a = consoleArgs(user);
    a.push_back("session");
    consoles_.push_back(std::make_unique<Child>(a, dir_ / (user + ".out")));
    return *consoles_.back();
  }

  void fill(int x, int y, int w, int h, uint32_t rgb) {
    XSetForeground(dpy_, gc_, rgb);
    XFillRectangle(dpy_, root_, gc_, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
    XSync(dpy_, False);
  }
  void noise(int x0, int y0, int w, int h, unsigned seed) {
    std::mt19937 gen(seed);
    XImage* img = XCreateImage(dpy_, DefaultVisual(dpy_, 0), 24, ZPixmap, 0, nullptr,
                               static_cast<unsigned>(w), static_cast<unsigned>(h), 32, 0);
    img->data = static_cast<char*>(std::malloc(static_cast<size_t>(img->bytes_per_line) * h));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) XPutPixel(img, x, y, gen() & 0xFFFFFF);
    XPutImage(dpy_, root_, gc_, img, 0, 0, x0, y0, static_cast<unsigned>(w),
              static_cast<unsigned>(h));
    XDestroyImage(img);
    XSync(dpy_, False);
  }
  void scroll(int dy) {
    XCopyArea(dpy_, root_, root_, gc_, 0, dy, kWidth, static_cast<unsigned>(kHeight - dy), 0, 0);
    XSync(dpy_, False);
  }
  // The X server's screen as 0x00RRGGBB pixels.
  std::vector<uint32_t> screen() {
    XImage* img = XGetImage(dpy_, root_, 0, 0, kWidth, kHeight, AllPlanes, ZPixmap);
    std::vector<uint32_t> px(static_cast<size_t>(kWidth) * kHeight);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x)
        px[static_cast<size_t>(y) * kWidth + x] = XGetPixel(img, x, y) & 0xFFFFFF;
    XDestroyImage(img);
    return px;
  }

  // Asks the console for its view until it equals map(screen) (or `tries` views went by); the
  // count of differing pixels of the last view, or -1 when no view was written.
  long viewUntilExact(Child& console, const std::string& user,
                      const std::function<uint32_t(uint32_t)>& map, int tries = 6) {
    const std::vector<uint32_t> want = [&] {
      std::vector<uint32_t> s = screen();
      for (auto& p : s) p = map(p);
      return s;
    }();
    long differing = -1;
    for (int i = 0; i < tries && differing != 0; ++i) {
      const fs::path file = dir_ / (user + "-" + std::to_string(++views_) + ".png");
      console.send("view cust " + file.string() + " 0.5");
      if (!waitForText(dir_ / (user + ".out"), "\"png\":\"" + file.string() + "\"", 20s)) return -1;
      const Picture got = readPng(file);
      if (got.width < kWidth || got.height != kHeight) return -1;
      differing = 0;
      for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
          differing += got.px[static_cast<size_t>(y) * got.width + x] !=
                       want[static_cast<size_t>(y) * kWidth + x];
    }
    return differing;
  }

  // The text of the console's next "clip HOST get" answer; nullopt when none came in time.
  std::optional<std::string> clipGet(Child& console, const std::string& user) {
    const fs::path out = dir_ / (user + ".out");
    const auto count = [&] {
      std::vector<std::string> lines;
      std::ifstream in(out, std::ios::binary);
      for (std::string l; std::getline(in, l);)
        if (l.find("\"event\":\"clip\"") != std::string::npos) lines.push_back(std::move(l));
      return lines;
    };
    const size_t before = count().size();
    console.send("clip cust get");
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(100ms);
      const std::vector<std::string> lines = count();
      if (lines.size() > before) {
        const nlohmann::json j = nlohmann::json::parse(lines.back(), nullptr, false);
        if (!j.is_object() || !j.contains("text")) return std::nullopt;
        return j["text"].get<std::string>();
      }
    }
    return std::nullopt;
  }
  // Asks until the console's clipboard is `want` (the host answers only what changed for
  // the viewer, so a late answer shows at the next ask); the last text seen.
  std::string clipGetUntil(Child& console, const std::string& user, const std::string& want,
                           int tries = 5) {
    std::string got;
    for (int i = 0; i < tries && got != want; ++i)
      if (auto t = clipGet(console, user)) got = std::move(*t);
    return got;
  }
  // Reads CLIPBOARD as an X client until it holds `want` or `limit` passed; the last read.
  // Reads only once some client owns the selection: see emptyClipboard.
  test::ClipboardRead xClipboardUntil(const std::string& want, std::chrono::seconds limit) {
    test::ClipboardRead r;
    const Atom clipboard = XInternAtom(dpy_, "CLIPBOARD", False);
    const auto end = std::chrono::steady_clock::now() + limit;
    while (XGetSelectionOwner(dpy_, clipboard) == None && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(50ms);
    do {
      r = test::readClipboardText(xvfb_->name());
      if (r.ok && r.text == want) break;
      std::this_thread::sleep_for(200ms);
    } while (std::chrono::steady_clock::now() < end);
    return r;
  }
  // Leaves CLIPBOARD without an owner (its owner's connection ends), so that a later owner shows.
  void emptyClipboard() {
    { test::ClipboardOwner gone(xvfb_->name(), ""); }
    XSync(dpy_, False);
  }

  std::vector<std::string> gatewayExtra_;  // set by a derived fixture's constructor
  std::unique_ptr<test::XvfbDisplay> xvfb_;
  Display* dpy_ = nullptr;
  Window root_ = 0;
  GC gc_ = nullptr;
  fs::path dir_;
  std::unique_ptr<testing::GatewayChild> gw_;
  std::unique_ptr<Child> host_;
  std::vector<std::unique_ptr<Child>> consoles_;
  int views_ = 0;
};

uint32_t same(uint32_t p) {
  return p;
}

TEST_F(DesktopE2E, ThirtyTwoBitViewIsExactThroughDrawingScrollingAndClearing) {
  ASSERT_EQ(analyst("settings.out", {"settings", "cust", "color=9"}), 0)
      << readAll(dir_ / "settings.out.err");
  ASSERT_EQ(analyst("params.out", {"--json", "hostparams", "cust"}), 0);
  EXPECT_NE(readAll(dir_ / "params.out").find("\"color\":9"), std::string::npos);

  noise(0, 0, kWidth, kHeight, 1);
  Child& console = session("ana");
  EXPECT_EQ(viewUntilExact(console, "ana", same), 0) << "first image";

  fill(30, 40, 200, 100, 0xFF8000);
  noise(300, 200, 64, 64, 2);
  EXPECT_EQ(viewUntilExact(console, "ana", same), 0) << "drawing";

  for (int i = 0; i < 5; ++i) scroll(17);
  EXPECT_EQ(viewUntilExact(console, "ana", same), 0) << "scrolling";

  fill(0, 0, kWidth, kHeight, 0xFFFFFF);
  EXPECT_EQ(viewUntilExact(console, "ana", same), 0) << "clearing";
  EXPECT_NE(readAll(dir_ / "ana.out").find("\"pixel_bytes\":4"), std::string::npos);
}

TEST_F(DesktopE2E, DefaultColoursEqualThePalettisedScreenForTwoAnalystsAtOnce) {
  noise(0, 0, kWidth, kHeight, 3);
  fill(100, 100, 50, 50, 0x3366CC);
  Child& ana = session("ana");
  Child& bob = session("bob");
  EXPECT_EQ(viewUntilExact(ana, "ana", palettised), 0) << "first image, ana";
  EXPECT_EQ(viewUntilExact(bob, "bob", palettised), 0) << "first image, bob";

  scroll(29);
  fill(10, 10, 120, 60, 0x20C040);
  EXPECT_EQ(viewUntilExact(ana, "ana", palettised), 0) << "after drawing, ana";
  EXPECT_EQ(viewUntilExact(bob, "bob", palettised), 0) << "after drawing, bob";
  EXPECT_NE(readAll(dir_ / "ana.out").find("\"pixel_bytes\":1"), std::string::npos)
      << readAll(dir_ / "ana.out");
}

TEST_F(DesktopE2E, ClickAndTypedTextReachAnXClientWithTheirModifiers) {
  // A client window over the whole screen that has the keyboard focus and records its events.
  const Window win =
      focusedWindow(ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask);

  Child& console = session("ana");
  console.send("click cust 123 77 right");
  console.send("type cust Hi, 42! ação");
  ASSERT_TRUE(waitForText(dir_ / "ana.out", "\"event\":\"type\"", 20s))
      << readAll(dir_ / "ana.out");

  std::vector<std::string> buttons;
  std::string typed;
  int presses = 0;
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < end && presses < 12) {
    while (XPending(dpy_)) {
      XEvent e;
      XNextEvent(dpy_, &e);
      if (e.type == ButtonPress || e.type == ButtonRelease)
        buttons.push_back((e.type == ButtonPress ? "press " : "release ") +
                          std::to_string(e.xbutton.button) + " at " + std::to_string(e.xbutton.x) +
                          "," + std::to_string(e.xbutton.y));
      if (e.type == KeyPress) {
        char text[8] = {};
        KeySym sym = 0;
        const int n = XLookupString(&e.xkey, text, sizeof text, &sym, nullptr);
        if (!IsModifierKey(sym)) ++presses;
        typed.append(text, static_cast<size_t>(std::max(n, 0)));
      }
      if (e.type == MappingNotify) XRefreshKeyboardMapping(&e.xmapping);
    }
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(buttons, (std::vector<std::string>{"press 3 at 123,77", "release 3 at 123,77"}));
  // Shift is pressed around the capitals and the exclamation mark, so the ASCII part arrives
  // as typed. The accented letters are on no key: each comes as one press of a spare key that
  // is remapped for it and restored after, so a client that reads the map late may miss what a
  // press meant; their presses must all arrive.
  EXPECT_EQ(presses, 12);
  EXPECT_EQ(typed.substr(0, 9), "Hi, 42! a");
  EXPECT_EQ(typed.back(), 'o');
  XDestroyWindow(dpy_, win);
}

TEST_F(DesktopE2E, ViewOnlyAnalystSeesTheScreenButItsSettingsChangeNothing) {
  // The host's stored settings say: nobody may control this desktop.
  host_.reset();
  {
    FixedSystemInfo system("HOST", "cust", "127.0.0.1");
    TRtcHttpPortalClient c;
    c.setSystemInfo(&system);
    c.setGateAddr("127.0.0.1");
    c.setGatePort(gw_->port());
    c.setGate_SSL(true);
    c.setGate_SSLCAFile(gw_->caFile());
    c.setMultiThreaded(true);
    c.setDataEncrypt(16);
    c.setDataForceEncrypt(true);
    c.setDataSecureKey(kSecureKey);
    c.setLoginPassword(kPassword);
    c.setLoginUserName("cust");
    std::atomic<bool> started{false};
    c.OnStart = [&](TAbsPortalClient&, TRtcValue&) { started = true; };
    c.setActive(true);
    for (int i = 0; i < 200 && !started; ++i) std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(started);
    // Parameters go only over a connected Put channel: a ping connects it.
    c.SendPing(nullptr);
    std::this_thread::sleep_for(500ms);
    c.ParamSet(nullptr, "NoControlDesktop", std::make_unique<TRtcBooleanValue>(true));
    c.ParamSet(nullptr, "NoSuperControlDesktop", std::make_unique<TRtcBooleanValue>(true));
    std::this_thread::sleep_for(500ms);
    c.setActive(false);
    c.Stop();
  }
  host_ = std::make_unique<Child>(
      std::vector<std::string>{VTX_TOOL_PATH, "host", "--gateway", "127.0.0.1:" + gw_->port(),
                               "--user", "cust", "--password", kPassword, "--key", kSecureKey,
                               "--inbox", dir_.string(), "--tls-ca", gw_->caFile()},
      dir_ / "host2.out",
      std::vector<std::string>{"DISPLAY=" + xvfb_->name(),
                               "XDG_DATA_HOME=" + (dir_ / "data").string()});
  ASSERT_TRUE(waitForText(dir_ / "host2.out", "\"show\":\"ready\"", 20s));
  ASSERT_NE(readAll(dir_ / "host2.out").find("NoControlDesktop"), std::string::npos);

  noise(0, 0, kWidth, kHeight, 4);
  Child& console = session("ana");
  console.send("settings cust color=9 frame=3");
  EXPECT_EQ(viewUntilExact(console, "ana", palettised), 0) << "viewing is still allowed";
  console.send("hostparams cust");
  ASSERT_TRUE(waitForText(dir_ / "ana.out", "\"event\":\"hostparams\"", 20s));
  const std::string out = readAll(dir_ / "ana.out");
  EXPECT_NE(out.find("\"color\":0,"), std::string::npos) << out;
  EXPECT_NE(out.find("\"frame\":0,"), std::string::npos) << out;
  EXPECT_EQ(out.find("\"pixel_bytes\":4"), std::string::npos);
}

// Accented Portuguese and a character beyond 16 bits (a surrogate pair in UTF-16).
const std::string kSmallText = "Olá, coração e ação: ÀÉÎÕÜ ç 𝄞 fim";

// About `bytes` of UTF-8 in lines of numbered random words with accents and 4-byte characters:
// it compresses little, and lost, doubled or reordered pieces show.
std::string bigText(size_t bytes, unsigned seed) {
  std::mt19937 gen(seed);
  const char* const extra[] = {"ã", "ç", "é", "õ", "𝄞", "€"};
  std::string t;
  t.reserve(bytes + 64);
  for (unsigned i = 0; t.size() < bytes; ++i) {
    t += std::to_string(i) + ':';
    for (unsigned n = 3 + gen() % 8; n > 0; --n) t += static_cast<char>('a' + gen() % 26);
    t += extra[gen() % 6];
    t += i % 50 == 49 ? "\r\n" : " ";
  }
  return t;
}

TEST_F(DesktopE2E, ClipboardTextGoesBothWaysWithAccentsAndNonBmpCharacters) {
  Child& console = session("ana");
  {
    test::ClipboardOwner owner(xvfb_->name(), kSmallText);
    ASSERT_TRUE(owner.owned());
    EXPECT_EQ(clipGetUntil(console, "ana", kSmallText), kSmallText) << "customer -> console";
  }
  const std::string fromConsole = "Até já, João! 𝄞 — €";
  emptyClipboard();
  console.send("clip cust set " + fromConsole);
  const test::ClipboardRead r = xClipboardUntil(fromConsole, 20s);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.text, fromConsole) << "console -> customer";
}

TEST_F(DesktopE2E, FiveMegabyteClipboardTextGoesBothWaysThroughIncr) {
  // Line breaks are kept as they are; the session's command reads one line, so the console's
  // text has none.
  const std::string toConsole = bigText(5u << 20, 1);
  std::string fromConsole = bigText(5u << 20, 2);
  std::replace(fromConsole.begin(), fromConsole.end(), '\r', '.');
  std::replace(fromConsole.begin(), fromConsole.end(), '\n', '.');
  ASSERT_EQ(fromConsole.find('\n'), std::string::npos);

  Child& console = session("ana");
  {
    test::ClipboardOwner owner(xvfb_->name(), toConsole);
    ASSERT_TRUE(owner.owned());
    const std::string got = clipGetUntil(console, "ana", toConsole);
    EXPECT_EQ(got.size(), toConsole.size()) << "customer -> console";
    EXPECT_TRUE(got == toConsole) << "customer -> console: the text differs";
    EXPECT_GE(owner.servedIncr(), 1) << "the host read the owner's text through INCR";
  }
  emptyClipboard();
  console.send("clip cust set " + fromConsole);
  const test::ClipboardRead r = xClipboardUntil(fromConsole, 60s);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.incr) << "the host's answer goes through INCR";
  EXPECT_EQ(r.text.size(), fromConsole.size()) << "console -> customer";
  EXPECT_TRUE(r.text == fromConsole) << "console -> customer: the text differs";
}

// Key codes of the keyboard's modifiers (Shift, Lock, Control, Mod1..5) that are down now.
std::vector<int> modifierKeysDown(Display* dpy) {
  char keys[32];
  XQueryKeymap(dpy, keys);
  std::vector<int> down;
  XModifierKeymap* map = XGetModifierMapping(dpy);
  for (int i = 0; i < 8 * map->max_keypermod; ++i) {
    const KeyCode k = map->modifiermap[i];
    if (k != 0 && (keys[k / 8] & (1 << (k % 8)))) down.push_back(k);
  }
  XFreeModifiermap(map);
  return down;
}

// A killed console is logged out, and so leaves the desktop, after this silence.
class DesktopE2EShortLogin : public DesktopE2E {
 protected:
  DesktopE2EShortLogin() { gatewayExtra_ = {"--login-timeout", "6"}; }
};

TEST_F(DesktopE2EShortLogin, ModifiersHeldByAViewerAreReleasedWhenItLeavesOrIsKilled) {
  const Window win = focusedWindow(KeyPressMask | KeyReleaseMask);
  const KeyCode shift = XKeysymToKeycode(dpy_, XK_Shift_L);
  const KeyCode ctrl = XKeysymToKeycode(dpy_, XK_Control_L);
  ASSERT_NE(shift, 0);
  ASSERT_NE(ctrl, 0);

  // Events of the window as "+code" / "-code", until `done` holds for the keymap or time ends.
  std::vector<std::string> seen;
  auto watch = [&](const std::function<bool(const std::vector<int>&)>& done) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    auto drain = [&] {
      while (XPending(dpy_)) {
        XEvent e;
        XNextEvent(dpy_, &e);
        if (e.type == KeyPress || e.type == KeyRelease)
          seen.push_back((e.type == KeyPress ? "+" : "-") + std::to_string(e.xkey.keycode));
      }
    };
    for (;;) {
      drain();
      if (done(modifierKeysDown(dpy_))) {
        XSync(dpy_, False);  // events sent before the keymap's answer are in the queue now
        drain();
        return true;
      }
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(20ms);
    }
  };
  auto has = [](const std::vector<int>& v, int k) {
    return std::find(v.begin(), v.end(), k) != v.end();
  };
  const std::string pressShift = "+" + std::to_string(shift),
                    pressCtrl = "+" + std::to_string(ctrl);
  const std::string upShift = "-" + std::to_string(shift), upCtrl = "-" + std::to_string(ctrl);

  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "the console is killed" : "the console quits");
    seen.clear();
    Child& console = session(killed ? "bob" : "ana");
    // The host takes input once it has seen the viewer join "desk", a moment after the viewer's
    // first image: moves (harmless to repeat) until the pointer follows.
    const int spotX = killed ? 40 : 30, spotY = 20;
    bool follows = false;
    for (int i = 0; i < 100 && !follows; ++i) {
      console.send("move cust " + std::to_string(spotX) + " " + std::to_string(spotY));
      for (int j = 0; j < 10 && !follows; ++j) {
        std::this_thread::sleep_for(30ms);
        Window r, c;
        int rx = -1, ry = -1, wx, wy;
        unsigned mask;
        XQueryPointer(dpy_, root_, &r, &c, &rx, &ry, &wx, &wy, &mask);
        follows = std::abs(rx - spotX) <= 1 && std::abs(ry - spotY) <= 1;
      }
    }
    ASSERT_TRUE(follows) << readAll(dir_ / (killed ? "bob.out" : "ana.out"));
    console.send("keydown cust 16");  // Shift
    console.send("keydown cust 17");  // Control
    ASSERT_TRUE(watch([&](const std::vector<int>& d) { return has(d, shift) && has(d, ctrl); }))
        << readAll(dir_ / (killed ? "bob.out" : "ana.out"));
    EXPECT_EQ(std::count(seen.begin(), seen.end(), pressShift), 1);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), pressCtrl), 1);

    if (killed)
      console.kill(SIGKILL);
    else
      console.send("quit");
    EXPECT_TRUE(watch([](const std::vector<int>& d) { return d.empty(); }))
        << "modifier keys still down: " << modifierKeysDown(dpy_).size();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), upShift), 1);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), upCtrl), 1);
  }
  XDestroyWindow(dpy_, win);
}

}  // namespace
}  // namespace vtx
