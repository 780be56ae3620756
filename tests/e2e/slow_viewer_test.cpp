// A viewer on a slow link: a private Xvfb scrolling like a text page 20 times a second, a real
// gateway, `vtxtool host` and two real consoles, one of them behind a proxy throttled to
// 1 Mbit/s. The throttled console's picture may be old, but by no more than 3 s, from the
// moment the link slows; once the link is fast again its picture is exact within 2 s. The console
// on loopback keeps up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_picture.h"
#include "e2e/e2e_process.h"
#include "e2e/gateway_child.h"
#include "support/fault_proxy.h"
#include "support/xvfb_display.h"

// Last: the X headers define macros that clash with other names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace vtx {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using e2e::Child;
using e2e::palettised;
using e2e::Picture;
using e2e::readAll;
using e2e::readPng;
using e2e::waitForText;

const char* const kPassword = "pQ7rWz3kLm9xVb2n";
const char* const kSecureKey = "hT4sYc8dNf6Gj";
constexpr int kWidth = 1280, kHeight = 800, kRow = 16, kBits = 16;
constexpr int kFramesPerSecond = 20;

// Scrolls the screen by one text row per frame and shows the frame number in the top left
// corner as kBits black or white blocks; on its own X connection.
class Scroller {
 public:
  explicit Scroller(const std::string& display) : dpy_(XOpenDisplay(display.c_str())) {
    if (!dpy_) return;
    root_ = DefaultRootWindow(dpy_);
    gc_ = XCreateGC(dpy_, root_, 0, nullptr);
    fill(0, 0, kWidth, kHeight, 0xFFFFFF);
    for (int y = kRow; y < kHeight; y += kRow) textRow(y);
    counter(0);
    XSync(dpy_, False);
  }
  ~Scroller() {
    stop();
    if (gc_) XFreeGC(dpy_, gc_);
    if (dpy_) XCloseDisplay(dpy_);
  }
  bool ok() const { return dpy_ != nullptr; }
  void start() {
    thread_ = std::thread([this] { run(); });
  }
  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  int frame() const { return frame_; }

 private:
  void fill(int x, int y, int w, int h, unsigned long rgb) {
    XSetForeground(dpy_, gc_, rgb);
    XFillRectangle(dpy_, root_, gc_, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
  }
  // A row of "glyphs": dark strokes on white, in words.
  void textRow(int y) {
    fill(0, y, kWidth, kRow, 0xFFFFFF);
    for (int x = 8; x < kWidth - 8; x += 7) {
      if (gen_() % 6 == 0) continue;  // space
      const int h = 5 + static_cast<int>(gen_() % 7);
      fill(x, y + kRow - 3 - h, 5, h, gen_() % 4 ? 0x202020 : 0x1040A0);
    }
  }
  void counter(int n) {
    for (int b = 0; b < kBits; ++b)
      fill(b * kRow, 0, kRow, kRow, (n >> (kBits - 1 - b)) & 1 ? 0xFFFFFF : 0x000000);
  }
  void run() {
    auto next = Clock::now();
    while (running_) {
      next += std::chrono::milliseconds(1000 / kFramesPerSecond);
      XCopyArea(dpy_, root_, root_, gc_, 0, 2 * kRow, kWidth, kHeight - 2 * kRow, 0, kRow);
      textRow(kHeight - kRow);
      counter(frame_ + 1);
      XSync(dpy_, False);
      ++frame_;
      std::this_thread::sleep_until(next);
    }
  }

  Display* dpy_;
  Window root_ = 0;
  GC gc_ = nullptr;
  std::mt19937 gen_{5};
  std::atomic<bool> running_{true};
  std::atomic<int> frame_{0};
  std::thread thread_;
};

// The frame number a picture shows; -1 when it shows none.
int frameShown(const Picture& p) {
  if (p.width < kWidth || p.height < kRow) return -1;
  int n = 0;
  for (int b = 0; b < kBits; ++b) {
    const uint32_t c = p.px[static_cast<size_t>(kRow / 2) * p.width + b * kRow + kRow / 2];
    if (c != 0 && c != 0xFFFFFF) return -1;
    n = n << 1 | (c ? 1 : 0);
  }
  return n;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // too slow for the timings below
#else
constexpr bool kSanitized = false;
#endif

class SlowViewerE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kSanitized) GTEST_SKIP() << "timings are measured in the default build only";
    xvfb_ = std::make_unique<test::XvfbDisplay>(std::to_string(kWidth) + "x" +
                                                std::to_string(kHeight) + "x24");
    if (xvfb_->name().empty()) GTEST_SKIP() << "Xvfb could not be started";
    scroller_ = std::make_unique<Scroller>(xvfb_->name());
    ASSERT_TRUE(scroller_->ok());
    char pattern[] = "/tmp/vtx-slow-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    gw_ = std::make_unique<testing::GatewayChild>(
        std::vector<std::string>{"--threads", "2", "--login-password", kPassword, "--secure-key",
                                 kSecureKey, "--db", ":memory:", "--get-hold", "2"});
    proxy_ = std::make_unique<testing::FaultProxy>(gw_->port());
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
    if (scroller_) scroller_->stop();
    consoles_.clear();
    host_.reset();
    proxy_.reset();
    gw_.reset();
    scroller_.reset();
    std::error_code ec;
    if (!dir_.empty() && !std::getenv("VTX_KEEP_E2E")) fs::remove_all(dir_, ec);
  }

  Child& session(const std::string& user, const std::string& port) {
    consoles_.push_back(std::make_unique<Child>(
        std::vector<std::string>{VTX_ANALYST_PATH, "--gateway", "127.0.0.1:" + port, "--user", user,
                                 "--password", kPassword, "--key", kSecureKey, "--tls-ca",
                                 gw_->caFile(), "session"},
        dir_ / (user + ".out")));
    return *consoles_.back();
  }
  // The console's picture now; empty when none came.
  Picture view(Child& console, const std::string& user) {
    const fs::path file = dir_ / (user + "-" + std::to_string(++views_) + ".png");
    console.send("view cust " + file.string() + " 0.01");
    if (!waitForText(dir_ / (user + ".out"), "\"png\":\"" + file.string() + "\"", 20s)) return {};
    Picture p = readPng(file);
    fs::remove(file);
    return p;
  }
  // How many frames the console's picture is behind the screen (an upper bound: the frame
  // drawn when the picture is back); -1 when it shows no frame number.
  int framesBehind(Child& console, const std::string& user) {
    const Picture p = view(console, user);
    const int drawn = scroller_->frame();
    const int shown = frameShown(p);
    return shown < 0 ? -1 : drawn - shown;
  }
  long differing(const Picture& got) {
    Display* dpy = XOpenDisplay(xvfb_->name().c_str());
    if (!dpy) return -1;
    XImage* img = XGetImage(dpy, DefaultRootWindow(dpy), 0, 0, kWidth, kHeight, AllPlanes, ZPixmap);
    long n = got.width < kWidth || got.height != kHeight ? -1 : 0;
    for (int y = 0; n >= 0 && y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x)
        n += got.px[static_cast<size_t>(y) * got.width + x] !=
             palettised(XGetPixel(img, x, y) & 0xFFFFFF);
    XDestroyImage(img);
    XCloseDisplay(dpy);
    return n;
  }

  std::unique_ptr<test::XvfbDisplay> xvfb_;
  std::unique_ptr<Scroller> scroller_;
  fs::path dir_;
  std::unique_ptr<testing::GatewayChild> gw_;
  std::unique_ptr<testing::FaultProxy> proxy_;
  std::unique_ptr<Child> host_;
  std::vector<std::unique_ptr<Child>> consoles_;
  int views_ = 0;
};

TEST_F(SlowViewerE2E, LagStaysBoundedAtOneMegabitAndThePictureIsExactSoonAfter) {
  Child& slow = session("ana", proxy_->port());
  Child& fast = session("bob", gw_->port());
  for (auto [console, user] : {std::pair{&slow, "ana"}, {&fast, "bob"}}) {
    int behind = -1;
    for (int i = 0; i < 20 && behind != 0; ++i) {
      behind = framesBehind(*console, user);
      if (behind) std::this_thread::sleep_for(250ms);
    }
    ASSERT_EQ(behind, 0) << "first image of " << user << ": "
                         << readAll(dir_ / (user + std::string(".out")));
  }

  proxy_->setThrottle(125000);
  scroller_->start();
  const auto throttled = Clock::now();
  const std::uint64_t before = proxy_->bytes(testing::FaultProxy::Down);
  // Reported apart: in the first seconds the gateway learns the link's rate from its replies.
  constexpr auto kOnset = 4s;
  int worstOnset = 0, worstSlow = 0, worstFast = 0, views = 0;
  while (Clock::now() - throttled < 14s) {
    const int slowBehind = framesBehind(slow, "ana");
    const int fastBehind = framesBehind(fast, "bob");
    ASSERT_GE(slowBehind, 0) << "the slow console shows a broken picture";
    ASSERT_GE(fastBehind, 0) << "the fast console shows a broken picture";
    int& worst = Clock::now() - throttled < kOnset ? worstOnset : worstSlow;
    worst = std::max(worst, slowBehind);
    worstFast = std::max(worstFast, fastBehind);
    ++views;
    std::this_thread::sleep_for(300ms);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - throttled).count();
  const double rate =
      static_cast<double>(proxy_->bytes(testing::FaultProxy::Down) - before) / seconds;
  EXPECT_LT(rate, 150000) << "the throttle holds";
  EXPECT_GT(scroller_->frame(), 14 * kFramesPerSecond / 2) << "the screen kept scrolling";
  EXPECT_LE(worstOnset, 3 * kFramesPerSecond) << views << " views";
  EXPECT_LE(worstSlow, 3 * kFramesPerSecond) << views << " views";
  EXPECT_LE(worstFast, 1 * kFramesPerSecond) << views << " views";

  scroller_->stop();
  proxy_->setThrottle(0);
  const auto lifted = Clock::now();
  std::this_thread::sleep_until(lifted + 2s);
  EXPECT_EQ(differing(view(slow, "ana")), 0) << "slow console, 2 s after the link is fast";
  EXPECT_EQ(differing(view(fast, "bob")), 0) << "fast console";
  std::printf("worst lag: slow %.2f s (first 4 s: %.2f s), fast %.2f s; link %.0f B/s, %d views\n",
              worstSlow / double(kFramesPerSecond), worstOnset / double(kFramesPerSecond),
              worstFast / double(kFramesPerSecond), rate, views);
}

}  // namespace
}  // namespace vtx
