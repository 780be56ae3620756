#include "desktop/host/desktop_host.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "filetransfer/file_transfer.h"
#include "portal/abs_portal_client.h"
#include "util/exceptions.h"
#include "util/log.h"
#include "util/text.h"

namespace vtx {

namespace {

std::unique_ptr<TRtcFunctionInfo> function(const char16_t* name) {
  return std::make_unique<TRtcFunctionInfo>(name);
}

bool intField(TRtcFunctionInfo& fn, const char* name, int& out) {
  if (fn.isType(name) != rtc_Integer) return false;
  out = fn.asInteger(name);
  return true;
}

bool boolField(TRtcFunctionInfo& fn, const char* name, bool& out) {
  if (fn.isType(name) != rtc_Boolean) return false;
  out = fn.asBoolean(name);
  return true;
}

bool stringField(TRtcFunctionInfo& fn, const char* name, std::string& out) {
  if (fn.isType(name) != rtc_String) return false;
  out = fn.asString(name);
  return true;
}

// A grab in the quiet pace: the screen only when the platform cannot rule out a drawing since
// the last look, the cursor always.
void grabIfDrawn(TRtcScreenCapture& scr, std::string& screen, std::string& cursor) {
  if (scr.ScreenMayHaveChanged()) {
    scr.GrabScreen();
    screen = scr.GetScreenDelta();
  } else {
    screen.clear();
  }
  scr.GrabMouse();
  cursor = scr.GetMouseDelta();
}

// Keeps the client from starting a send step (which asks this module) while the capture lock
// is held around calls into the client.
class SenderHold {
 public:
  SenderHold(TAbsPortalClient* c, TRtcConnection* s) : c_(c), s_(s) {
    if (c_) c_->LockSender(s_);
  }
  ~SenderHold() {
    if (c_) c_->UnLockSender(s_);
  }
  SenderHold(const SenderHold&) = delete;
  SenderHold& operator=(const SenderHold&) = delete;

 private:
  TAbsPortalClient* c_;
  TRtcConnection* s_;
};

uint32_t steadyTick() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Milliseconds between frames (FramePause) or of a fixed sleep (FrameSleep) for a frame rate.
void pacing(TrdFrameRate rate, uint32_t& pause, uint32_t& sleep) {
  static const uint32_t kPause[] = {16, 20, 25, 40, 50, 100, 125, 200, 250, 500, 1000};
  static const uint32_t kSleep[] = {10, 20, 40, 50, 80, 100, 200, 250, 400, 500};
  pause = sleep = 0;
  const int r = rate;
  if (r <= rdFrames1)
    pause = kPause[r];
  else if (r <= rdFrameSleep500)
    sleep = kSleep[r - rdFrameSleep10];
}

template <class E>
bool enumOf(int v, E last, E& out) {
  if (v < 0 || v > static_cast<int>(last)) return false;
  out = static_cast<E>(v);
  return true;
}

}  // namespace

TRtcPDesktopHost::TRtcPDesktopHost(DesktopPlatform& platform, DesktopSessionHelpers* helpers)
    : FPlatform(platform),
      FHelpers(helpers),
      FTick(steadyTick),
      FSleep([](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }) {}

TRtcPDesktopHost::~TRtcPDesktopHost() {
  setFileTransfer(nullptr);
  {
    std::lock_guard g(FCapLock);
    stopCapture();
  }
  setClient(nullptr);
}

void TRtcPDesktopHost::setClock(std::function<uint32_t()> tick,
                                std::function<void(uint32_t)> sleep) {
  std::lock_guard g(FCapLock);
  FTick = std::move(tick);
  FSleep = std::move(sleep);
}

// ---- settings ----

void TRtcPDesktopHost::storeBool(const char* name, bool value) {
  if (FGatewayParams) StoreGwParam(name, value);
}

void TRtcPDesktopHost::storeInt(const char* name, int value) {
  if (FGatewayParams && Client())
    Client()->ParamSet(nullptr, name, std::make_unique<TRtcIntegerValue>(value));
}

#define VTX_BOOL_SETTING(setter, field, param) \
  void TRtcPDesktopHost::setter(bool v) {      \
    if (field == v) return;                    \
    storeBool(param, v);                       \
    field = v;                                 \
  }
#define VTX_INT_SETTING(setter, type, field, param) \
  void TRtcPDesktopHost::setter(type v) {           \
    if (field == v) return;                         \
    storeInt(param, static_cast<int>(v));           \
    field = v;                                      \
  }

VTX_BOOL_SETTING(setGAllowView, FAllowView, "NoViewDesktop")
VTX_BOOL_SETTING(setGAllowView_Super, FAllowSuperView, "NoSuperViewDesktop")
VTX_BOOL_SETTING(setGAllowControl, FAllowControl, "NoControlDesktop")
VTX_BOOL_SETTING(setGAllowControl_Super, FAllowSuperControl, "NoSuperControlDesktop")
VTX_BOOL_SETTING(setGUseMirrorDriver, FUseMirrorDriver, "MirrorDriver")
VTX_BOOL_SETTING(setGUseMouseDriver, FUseMouseDriver, "MouseDriver")
VTX_BOOL_SETTING(setGCaptureLayeredWindows, FCaptureLayeredWindows, "LayeredWindows")
VTX_BOOL_SETTING(setGCaptureAllMonitors, FCaptureAllMonitors, "AllMonitors")
VTX_INT_SETTING(setGSendScreenInBlocks, TrdScreenBlocks, FScreenInBlocks, "ScreenBlocks")
VTX_INT_SETTING(setGSendScreenRefineBlocks, TrdScreenBlocks, FScreenRefineBlocks, "ScreenBlocks2")
VTX_INT_SETTING(setGSendScreenRefineDelay, int, FScreenRefineDelay, "Screen2Delay")
VTX_INT_SETTING(setGSendScreenSizeLimit, TrdScreenLimit, FScreenSizeLimit, "ScreenLimit")
VTX_INT_SETTING(setGColorLimit, TrdColorLimit, FColorLimit, "ColorLimit")
VTX_INT_SETTING(setGColorLowLimit, TrdLowColorLimit, FLowColorLimit, "LowColorLimit")
VTX_INT_SETTING(setGColorReducePercent, int, FColorReducePercent, "ColorReducePercent")
VTX_INT_SETTING(setGFrameRate, TrdFrameRate, FFrameRate, "FrameRate")

#undef VTX_BOOL_SETTING
#undef VTX_INT_SETTING

// "ScreenRegion" carries the negated setting although its name does not begin with No.
void TRtcPDesktopHost::setGFullScreen(bool v) {
  if (FShowFullScreen == v) return;
  if (FGatewayParams && Client())
    Client()->ParamSet(nullptr, "ScreenRegion", std::make_unique<TRtcBooleanValue>(!v));
  FShowFullScreen = v;
}

std::string TRtcPDesktopHost::GEncoderClassName() const {
  std::lock_guard g(FSettingsLock);
  return fEncoderClassName;
}

void TRtcPDesktopHost::setGEncoderClassName(const std::string& v) {
  if (GEncoderClassName() != v) {
    if (FGatewayParams && Client())
      Client()->ParamSet(nullptr, "EncoderClassName", std::make_unique<TRtcStringValue>(v));
    std::lock_guard g(FSettingsLock);
    fEncoderClassName = v;
  }
  setGUseMirrorDriver(false);
}

ScreenRect TRtcPDesktopHost::GetScreenRect() const {
  std::lock_guard g(FSettingsLock);
  return FScreenRect;
}

void TRtcPDesktopHost::setScreenRect(const ScreenRect& r) {
  std::lock_guard g(FSettingsLock);
  FScreenRect = r;
}

void TRtcPDesktopHost::setFileTransfer(TRtcPFileTransfer* ft) {
  TRtcPFileTransfer* old = FFileTrans.exchange(ft);
  if (old == ft) return;
  if (old) old->RemModule(this);
  if (ft) ft->AddModule(this);
}

void TRtcPDesktopHost::UnlinkModule(TRtcPModule* module) {
  TRtcPFileTransfer* ft = FFileTrans;
  if (ft && module == ft) setFileTransfer(nullptr);
}

int TRtcPDesktopHost::FramePause() const {
  std::lock_guard g(FCapLock);
  return static_cast<int>(FFramePause);
}

int TRtcPDesktopHost::FrameSleep() const {
  std::lock_guard g(FCapLock);
  return static_cast<int>(FFrameSleep);
}

void TRtcPDesktopHost::InspectCapture(
    const std::function<void(const TRtcScreenCapture*)>& read) const {
  std::lock_guard g(FCapLock);
  read(Scr.get());
}

std::vector<std::string> TRtcPDesktopHost::ResyncPending() const {
  std::lock_guard g(FCapLock);
  return {FResync.begin(), FResync.end()};
}

// ---- state ----

std::string TRtcPDesktopHost::LastMouseUser() const {
  std::lock_guard g(CS2);
  return FLastMouseUser;
}

void TRtcPDesktopHost::setControlActive(bool on) {
  FControlActive = on;
  if (OnDeskTopActiveChanged) OnDeskTopActiveChanged(*this);
}

bool TRtcPDesktopHost::MouseLocked() const {
  return FHelpers && FHelpers->MouseLocked();
}
void TRtcPDesktopHost::setMouseLocked(bool on) {
  if (FHelpers) FHelpers->SetMouseLocked(on);
}
bool TRtcPDesktopHost::KeyboardLocked() const {
  return FHelpers && FHelpers->KeyboardLocked();
}
void TRtcPDesktopHost::setKeyboardLocked(bool on) {
  if (FHelpers) FHelpers->SetKeyboardLocked(on);
}

bool TRtcPDesktopHost::Capturing() const {
  std::lock_guard g(FCapLock);
  return Scr != nullptr;
}

bool TRtcPDesktopHost::mayView(const std::string& user) const {
  return AccessAllowed(FAccessControl, FAllowView, FAllowSuperView, user);
}

bool TRtcPDesktopHost::mayControl(const std::string& user) const {
  return AccessAllowed(FAccessControl, FAllowControl, FAllowSuperControl, user);
}

// ---- operations ----

void TRtcPDesktopHost::Open(const std::string& uname, TRtcConnection* Sender) {
  if (TAbsPortalClient* c = Client()) c->AddUserToMyGroup(Sender, uname, kGroupWaiting);
}

void TRtcPDesktopHost::Close(const std::string& uname, TRtcConnection* Sender) {
  if (TAbsPortalClient* c = Client()) c->RemoveUserFromMyGroup(Sender, uname, kGroup);
}

void TRtcPDesktopHost::CloseAll(TRtcConnection* Sender) {
  if (TAbsPortalClient* c = Client()) c->DisbandMyGroup(Sender, kGroup);
}

void TRtcPDesktopHost::Restart() {
  std::lock_guard g(FCapLock);
  if (HasActiveSubscribers()) {
    RestartRequested = true;
  } else {
    stopCapture();
    startCapture();
  }
}

bool TRtcPDesktopHost::MirrorDriverInstalled(bool) {
  return false;
}

// ---- capture ----

void TRtcPDesktopHost::applyCaptureSettings(TRtcScreenCapture& scr) const {
  struct Reduce {
    int bpp;  // -1: keep the default
    uint32_t r16, r32;
  };
  static const Reduce kColor[] = {{1, 0xCF38CF38, 0x00E0E0E0},  {2, 0, 0x80F8F8F8},
                                  {0, 0x8E308E30, 0x00C0C0C0},  {-1, 0x8E308E30, 0x00C0C0C0},
                                  {-1, 0xCF38CF38, 0x00E0E0E0}, {-1, 0xEFBCEFBC, 0x00F0F0F0},
                                  {-1, 0xFFF0FFF0, 0x00F8F8F8}, {-1, 0, 0x00FCFCFC},
                                  {-1, 0, 0x00FEFEFE},          {-1, 0, 0}};
  const Reduce& c = kColor[std::min<int>(FColorLimit, rdColor32bit)];
  if (c.bpp >= 0) scr.setBPPLimit(c.bpp);
  if (c.r16) scr.setReduce16bit(c.r16);
  if (c.r32) scr.setReduce32bit(c.r32);

  // rd_Color6bit .. rd_Color21bit, then the same depths again as rd_ColorHigh6bit ...
  static const uint32_t kLow16[] = {0x8E308E30, 0xCF38CF38, 0xEFBCEFBC, 0xFFF0FFF0, 0, 0};
  static const uint32_t kLow32[] = {0x00C0C0C0, 0x00E0E0E0, 0x00F0F0F0,
                                    0x00F8F8F8, 0x00FCFCFC, 0x00FEFEFE};
  const int low = std::min<int>(FLowColorLimit, rd_ColorHigh21bit);
  if (low > 0) {
    const int depth = (low - 1) % 6;
    if (kLow16[depth]) scr.setLowReduce16bit(kLow16[depth]);
    scr.setLowReduce32bit(kLow32[depth]);
  }
  scr.setLowReduceType(low > rd_Color21bit ? 1 : 0);
  const uint32_t l32 = scr.LowReduce32bit(), r32 = scr.Reduce32bit();
  scr.setLowReducedColors(l32 != 0 && r32 != 0 ? l32 < r32 : l32 != 0);
  scr.setLowReduceColorPercent(FColorReducePercent);
  scr.setLayeredWindows(FCaptureLayeredWindows);

  const int blocks = static_cast<int>(FScreenInBlocks) + 1;
  scr.setScreenBlockCount(blocks);
  if (FScreenRefineBlocks == rdBlocks1)
    scr.setScreen2BlockCount(std::clamp(blocks * 2, 4, 12));
  else
    scr.setScreen2BlockCount(static_cast<int>(FScreenRefineBlocks) + 1);

  static const int kMaxSize[] = {0,     1024,  2048,  4096,   8192,   12288,  16384,  24576, 32768,
                                 49152, 65536, 98304, 131072, 196608, 262144, 393216, 524288};
  scr.setMaxTotalSize(kMaxSize[std::min<int>(FScreenSizeLimit, rdBlock512KB)]);

  const int delay = FScreenRefineDelay;
  scr.setScreen2Delay(delay < 0    ? 0
                      : delay == 0 ? 500
                                   : static_cast<int>(std::min(delay, 1 << 20)) * 1000);

  if (FShowFullScreen)
    scr.setFullScreen(true);
  else
    scr.setFixedRegion(GetScreenRect());
  scr.setMouseDriver(FUseMouseDriver);
  scr.setMultiMonitor(FCaptureAllMonitors);
  scr.setEncoderClassName(GEncoderClassName());
}

void TRtcPDesktopHost::startCapture() {
  if (Scr) return;
  if (!FAllowView && !FAllowSuperView && !FAllowControl && !FAllowSuperControl) return;
  LastGrab = 0;
  FQuietSince = 0;
  pacing(FFrameRate, FFramePause, FFrameSleep);
  auto scr = std::make_unique<TRtcScreenCapture>(FPlatform);
  scr->setSessionHelpers(FHelpers);
  applyCaptureSettings(*scr);
  Scr = std::move(scr);
}

void TRtcPDesktopHost::stopCapture() {
  if (!Scr) return;
  // Nothing a viewer held stays pressed on this desktop.
  try {
    Scr->ReleaseAllKeys();
    for (uint32_t b = 0; b < 3; ++b)
      if (FButtonsHeld & (1u << b))
        Scr->MouseUp(FButtonsUser, FButtonX, FButtonY,
                     static_cast<TRtcScreenCapture::TMouseButton>(b));
  } catch (const std::exception& e) {
    WriteExceptionLog("DESK release", e);
  }
  FButtonsHeld = 0;
  FButtonsUser.clear();
  FKeyUsers.clear();
  Scr.reset();
}

void TRtcPDesktopHost::grab(std::string& screen, std::string& cursor) {
  Scr->GrabScreen();
  screen = Scr->GetScreenDelta();
  Scr->GrabMouse();
  cursor = Scr->GetMouseDelta();
}

void TRtcPDesktopHost::sendUpdate(TRtcConnection* Sender, const std::string& screen,
                                  const std::string& cursor) {
  TAbsPortalClient* c = Client();
  if (!c) return;
  if (screen.empty() && cursor.empty()) {
    c->SendPing(Sender);
    return;
  }
  auto f = function(u"desk");
  if (!screen.empty()) f->setAsString("next", screen);
  if (!cursor.empty()) f->setAsString("cur", cursor);
  c->SendPackedToMyGroup(Sender, kGroup, std::move(f));
}

// A complete image of the current state: to the "idesk" group, or to one viewer.
void TRtcPDesktopHost::sendFullImage(TRtcConnection* Sender, const std::string& to) {
  TAbsPortalClient* c = Client();
  if (!c) return;
  auto f = function(u"desk");
  f->setAsString("init", Scr->GetScreen());
  f->setAsString("cur", Scr->GetMouse());
  if (to.empty())
    c->SendPackedToMyGroup(Sender, kGroupWaiting, std::move(f));
  else
    c->SendPackedToUser(Sender, to, std::move(f));
}

// ---- send cycle ----

bool TRtcPDesktopHost::WantToSend(TRtcConnection*) {
  std::lock_guard g(FCapLock);
  loop_needtosend = false;
  loop_need_restart = false;
  return Scr && HasActiveSubscribers();
}

void TRtcPDesktopHost::PrepareToSend(TRtcConnection*) {
  std::unique_lock g(FCapLock);
  if (!Scr || !HasActiveSubscribers()) return;
  loop_needtosend = true;
  loop_s1.clear();
  loop_s2.clear();
  loop_need_restart = RestartRequested;
  RestartRequested = false;
  if (LastGrab != 0) {
    if (FFrameSleep) {
      FSleep(FFrameSleep);
    } else if (FFramePause) {
      const uint32_t passed = FTick() - LastGrab;
      if (passed < FFramePause) FSleep(FFramePause - passed);
    }
  }
  LastGrab = FTick();
  if (LastGrab == 0) LastGrab = 1;
  if (FQuietSince != 0 && LastGrab - FQuietSince >= kQuietAfter && !loop_need_restart &&
      FResync.empty())
    grabIfDrawn(*Scr, loop_s1, loop_s2);
  else
    grab(loop_s1, loop_s2);
  waitWhileQuiet(g);
}

void TRtcPDesktopHost::waitWhileQuiet(std::unique_lock<std::mutex>& lock) {
  if (!loop_s1.empty() || !loop_s2.empty()) {
    FQuietSince = 0;
    return;
  }
  if (FQuietSince == 0) FQuietSince = LastGrab;
  TAbsPortalClient* c = Client();
  const uint32_t poll = std::max({kQuietPoll, FFramePause, FFrameSleep});
  const uint32_t start = LastGrab;
  while (c && !loop_need_restart && !RestartRequested && FResync.empty()) {
    const uint32_t now = FTick();
    if (now - FQuietSince < kQuietAfter || now - start >= kQuietPing) return;
    if (c->OtherSendPending()) return;
    std::function<void(uint32_t)> sleep = FSleep;
    lock.unlock();
    sleep(poll);
    lock.lock();
    // Anything may have happened meanwhile: capture rebuilt or stopped, viewers gone.
    if (!Scr || !HasActiveSubscribers()) return;
    LastGrab = FTick();
    if (LastGrab == 0) LastGrab = 1;
    grabIfDrawn(*Scr, loop_s1, loop_s2);
    if (!loop_s1.empty() || !loop_s2.empty()) {
      FQuietSince = 0;
      return;
    }
  }
}

void TRtcPDesktopHost::ExecuteSend(TRtcConnection* Sender) {
  SenderHold hold(Client(), Sender);
  std::lock_guard g(FCapLock);
  if (!loop_needtosend) return;
  loop_needtosend = false;
  sendUpdate(Sender, loop_s1, loop_s2);
  loop_s1.clear();
  loop_s2.clear();
  // Viewers that lost an update start over from the image they are sent now; one per cycle
  // each, so a viewer that cannot keep up gets full images no faster than the Puts complete,
  // and not before the gateway's backlog for it is short again (the gateway holds back the
  // group's updates for it meanwhile).
  FImageSent.clear();
  if (Scr && !FResync.empty()) {
    for (auto it = FResync.begin(); it != FResync.end();) {
      const auto lag = FLagging.find(*it);
      const bool behind = lag != FLagging.end() && FTick() - lag->second < kLagRecheck;
      if (isSubscriber(*it) && !behind) {
        sendFullImage(Sender, *it);
        FImageSent.insert(*it);
        if (lag != FLagging.end()) FLagging.erase(lag);
        it = FResync.erase(it);
      } else {
        ++it;  // still on its way from "idesk", or behind
      }
    }
  }
  if (loop_need_restart) {
    loop_need_restart = false;
    stopCapture();
    startCapture();
  }
}

namespace {

// What a refused row's messages ("d": a function or an array of them) hold of this module.
struct RefusedDesk {
  bool known = false;  // "d" was there
  bool desk = false;   // a "desk" message
  bool image = false;  // a complete image among them
};

RefusedDesk refusedDesk(TRtcRecord& r) {
  RefusedDesk out;
  auto look = [&](TRtcValueObject* o) {
    auto* f = dynamic_cast<TRtcFunctionInfo*>(o);
    if (!f || f->GetType() != rtc_Function || UpperCaseAscii(f->FunctionName()) != u"DESK") return;
    out.desk = true;
    if (f->isType("init") != rtc_Null) out.image = true;
  };
  TRtcValueObject* d = r.GetObject(u"d");
  if (!d) return out;
  out.known = true;
  if (d->GetType() == rtc_Array) {
    auto& list = static_cast<TRtcArray&>(*d);
    for (int i = 0; i < list.Count(); ++i) look(list.GetObject(i));
  } else {
    look(d);
  }
  return out;
}

// Whether a refused row's messages ("d") carry clipboard text.
bool refusedClipboard(TRtcRecord& r) {
  auto isClip = [](TRtcValueObject* o) {
    auto* f = dynamic_cast<TRtcFunctionInfo*>(o);
    return f && f->GetType() == rtc_Function && UpperCaseAscii(f->FunctionName()) == u"CBRD";
  };
  TRtcValueObject* d = r.GetObject(u"d");
  if (!d || d->GetType() != rtc_Array) return d && isClip(d);
  auto& list = static_cast<TRtcArray&>(*d);
  for (int i = 0; i < list.Count(); ++i)
    if (isClip(list.GetObject(i))) return true;
  return false;
}

}  // namespace

// Clipboard text the gateway refused (too large for the viewer's queue) never arrived: the
// viewer is not taken to have it, so its next request sends it again, and the log says why.
void TRtcPDesktopHost::forgetRefusedClipboards(TRtcRecord& answer) {
  if (answer.isType("refused") != rtc_Array) return;
  TRtcArray& list = *answer.asArray("refused");
  for (int i = 0; i < list.Count(); ++i) {
    if (list.isType(i) != rtc_Record) continue;
    TRtcRecord& r = *list.asRecord(i);
    const std::string to = Utf8Encode(r.asText("to"));
    if (to.empty() || !refusedClipboard(r)) continue;
    {
      std::lock_guard g(CS2);
      Clipboards.erase(to);
    }
    WriteLog("DESK clipboard for " + to +
             " refused by the gateway: " + Utf8Encode(r.asText("reason")));
  }
}

void TRtcPDesktopHost::HandleRefused(TRtcConnection*, TRtcRecord& answer) {
  forgetRefusedClipboards(answer);
  std::set<std::string> users, lagging;
  bool unnamed = answer.isType("more") != rtc_Null;
  std::lock_guard g(FCapLock);
  if (answer.isType("refused") == rtc_Array) {
    TRtcArray& list = *answer.asArray("refused");
    for (int i = 0; i < list.Count(); ++i) {
      if (list.isType(i) != rtc_Record) continue;
      TRtcRecord& r = *list.asRecord(i);
      const std::string to = Utf8Encode(r.asText("to"));
      const std::string fn = Utf8Encode(r.asText("fn"));
      if (!fn.empty() && fn != kGroup && fn != kGroupWaiting) continue;
      const RefusedDesk d = refusedDesk(r);
      if (d.known && !d.desk) continue;  // another module's messages to the viewer
      if (to.empty()) {
        unnamed = true;
        continue;
      }
      // An update ahead of the complete image sent in the same turn: the image replaces it.
      if (d.known && !d.image && FImageSent.count(to)) continue;
      if (fn == kGroupWaiting || isSubscriber(to)) {
        users.insert(to);  // a lost first image counts as well: the viewer moves on to "desk"
        if (r.asString("reason") == kLaggingReason)
          lagging.insert(to);
        else
          FLagging.erase(to);  // drained: its image may go
      }
    }
  }
  if (!Scr) return;
  // A refusal that names nobody may have hit anybody: every viewer starts over.
  if (unnamed) {
    TAbsPortalClient* c = Client();
    if (c) {
      std::unique_ptr<TRtcRecord> infos = c->SubscriberInfos();
      for (int i = 0; i < infos->FieldCount(); ++i) users.insert(Utf8Encode(infos->FieldName(i)));
    }
  }
  for (const std::string& u : users)
    if (FResync.size() < kMaxResync) FResync.insert(u);
  for (const std::string& u : lagging)
    if (FResync.count(u)) FLagging[u] = FTick();
}

// ---- hooks ----

void TRtcPDesktopHost::ResetUsers() {
  {
    std::lock_guard g(FCapLock);
    stopCapture();
    FResync.clear();
    FLagging.clear();
    FImageSent.clear();
    FMovingToDesk.clear();
  }
  TRtcPModule::ResetUsers();
}

void TRtcPDesktopHost::HandleStart(TRtcConnection*, TRtcValue&) {
  std::lock_guard g(FCapLock);
  startCapture();
}

void TRtcPDesktopHost::HandleParams(TRtcConnection*, TRtcValue& Data) {
  {
    std::lock_guard g(CS2);
    FLastMouseUser.clear();
    Clipboards.clear();
  }
  {
    std::lock_guard g(FCapLock);
    RestartRequested = true;
  }
  if (!FGatewayParams || Data.isType() != rtc_Record) return;
  TRtcRecord& rec = *Data.asRecord();
  if (rec.FieldCount() < 2) return;
  for (int i = 0; i < rec.FieldCount(); ++i) {
    const RtcWideString wname = rec.FieldName(i);
    const std::string name = UpperCaseAscii(Utf8Encode(wname));
    try {
      const auto b = [&] { return rec.asBoolean(wname); };
      const auto n = [&] { return rec.asInteger(wname); };
      if (name == "NOVIEWDESKTOP")
        FAllowView = !b();
      else if (name == "NOCONTROLDESKTOP")
        FAllowControl = !b();
      else if (name == "NOSUPERVIEWDESKTOP")
        FAllowSuperView = !b();
      else if (name == "NOSUPERCONTROLDESKTOP")
        FAllowSuperControl = !b();
      else if (name == "SCREENREGION")
        FShowFullScreen = !b();
      else if (name == "MIRRORDRIVER")
        FUseMirrorDriver = b();
      else if (name == "MOUSEDRIVER")
        FUseMouseDriver = b();
      else if (name == "ALLMONITORS")
        FCaptureAllMonitors = b();
      else if (name == "LAYEREDWINDOWS")
        FCaptureLayeredWindows = b();
      else if (name == "ENCODERCLASSNAME") {
        std::lock_guard g(FSettingsLock);
        fEncoderClassName = Utf8Encode(rec.asText(wname));
      } else if (name == "SCREEN2DELAY")
        FScreenRefineDelay = n();
      else if (name == "COLORREDUCEPERCENT")
        FColorReducePercent = n();
      else {
        // Enumerations: values outside the range are not taken.
        const int v = name.rfind("SCREEN", 0) == 0 || name.find("COLOR") != std::string::npos ||
                              name == "FRAMERATE"
                          ? n()
                          : -1;
        TrdScreenBlocks blocks;
        TrdScreenLimit limit;
        TrdColorLimit color;
        TrdLowColorLimit low;
        TrdFrameRate rate;
        if (name == "SCREENBLOCKS" && enumOf(v, rdBlocks12, blocks))
          FScreenInBlocks = blocks;
        else if (name == "SCREENBLOCKS2" && enumOf(v, rdBlocks12, blocks))
          FScreenRefineBlocks = blocks;
        else if (name == "SCREENLIMIT" && enumOf(v, rdBlock512KB, limit))
          FScreenSizeLimit = limit;
        else if (name == "COLORLIMIT" && enumOf(v, rdColor32bit, color))
          FColorLimit = color;
        else if (name == "LOWCOLORLIMIT" && enumOf(v, rd_ColorHigh21bit, low))
          FLowColorLimit = low;
        else if (name == "FRAMERATE" && enumOf(v, rdFrameSleep500, rate))
          FFrameRate = rate;
      }
    } catch (const std::exception& e) {
      WriteExceptionLog("DESK param " + Utf8Encode(wname), e);
    }
  }
}

void TRtcPDesktopHost::HandleBatchStart(TRtcConnection*) {
  std::lock_guard g(FCapLock);
  _desksub.clear();
  _sub_desk.clear();
}

void TRtcPDesktopHost::HandleUserJoinedMyGroup(TRtcConnection* Sender, const std::string& group,
                                               const std::string& user) {
  if (group == kGroupWaiting) {
    if (!mayView(user)) return;
    {
      std::lock_guard g(FCapLock);
      if (std::find(_desksub.begin(), _desksub.end(), user) == _desksub.end())
        _desksub.push_back(user);
    }
    if (!isSubscriber(user)) EventNewUser(Sender, user);
  } else if (group == kGroup) {
    {
      std::lock_guard g(FCapLock);
      FMovingToDesk.erase(user);
    }
    if (!mayView(user)) return;
    setSubscriber(user, true);
    setControlActive(true);
  }
}

void TRtcPDesktopHost::HandleUserLeftMyGroup(TRtcConnection* Sender, const std::string& group,
                                             const std::string& user) {
  if (group == kGroup) {
    const bool changed = setSubscriber(user, false);
    releaseHeld(user);
    {
      std::lock_guard g(CS2);
      Clipboards.erase(user);
    }
    if (changed) EventOldUser(Sender, user);
    bool last = false;
    {
      std::lock_guard g(FCapLock);
      FResync.erase(user);
      FLagging.erase(user);
      FImageSent.erase(user);
      FMovingToDesk.erase(user);
      if (!HasActiveSubscribers() && Scr) {
        last = true;
        Scr->Clear();
      }
    }
    setControlActive(!last);
  } else if (group == kGroupWaiting) {
    if (!isSubscriber(user)) {
      {
        std::lock_guard g(FCapLock);
        FResync.erase(user);
        FLagging.erase(user);
        FImageSent.erase(user);
        FMovingToDesk.erase(user);
      }
      EventOldUser(Sender, user);
    }
  }
}

bool TRtcPDesktopHost::takesInput(const std::string& user) const {
  if (isSubscriber(user)) return true;
  std::lock_guard g(FCapLock);
  return FMovingToDesk.count(user) != 0;
}

void TRtcPDesktopHost::releaseHeld(const std::string& user) {
  std::lock_guard g(FCapLock);
  if (!Scr) return;
  try {
    // Modifiers are held for the desktop, not per viewer: any viewer that pressed keys
    // takes them with it.
    if (FKeyUsers.erase(user)) Scr->ReleaseAllKeys();
    if (FButtonsUser == user) {
      for (uint32_t b = 0; b < 3; ++b)
        if (FButtonsHeld & (1u << b))
          Scr->MouseUp(user, FButtonX, FButtonY, static_cast<TRtcScreenCapture::TMouseButton>(b));
      FButtonsHeld = 0;
      FButtonsUser.clear();
    }
  } catch (const std::exception& e) {
    WriteExceptionLog("DESK release", e);
  }
}

void TRtcPDesktopHost::HandleBatchEnd(TRtcConnection* Sender) {
  std::vector<std::string> entered, admitted;
  {
    std::lock_guard g(FCapLock);
    entered.swap(_desksub);
    admitted.swap(_sub_desk);
  }
  TAbsPortalClient* c = Client();
  if (!entered.empty()) {
    bool sent = false;
    {
      SenderHold hold(c, Sender);
      std::lock_guard g(FCapLock);
      if (Scr) {
        try {
          std::string screen, cursor;
          grab(screen, cursor);
          if (!screen.empty() || !cursor.empty()) FQuietSince = 0;
          // The grab moved the encoder on: viewers in "desk" must get its delta too, or their
          // image would miss it for good.
          if (HasActiveSubscribers() && c) {
            c->canSendNext();
            sendUpdate(Sender, screen, cursor);
          }
          LastGrab = FTick();
          if (LastGrab == 0) LastGrab = 1;
          sendFullImage(Sender, {});
          sent = true;
        } catch (const std::exception& e) {
          WriteExceptionLog("DESK init", e);
        }
      }
    }
    if (sent) {
      std::lock_guard g(FCapLock);
      for (const std::string& user : entered)
        if (!isSubscriber(user)) FMovingToDesk.insert(user);
    }
    if (sent && c)
      for (const std::string& user : entered) {
        c->AddUserToMyGroup(Sender, user, kGroup);
        c->RemoveUserFromMyGroup(Sender, user, kGroupWaiting);
      }
  }
  if (c)
    for (const std::string& user : admitted) c->AddUserToMyGroup(Sender, user, kGroupWaiting);
}

// ---- messages ----

void TRtcPDesktopHost::HandleDataFromUser(TRtcConnection* Sender, const std::string& user,
                                          TRtcFunctionInfo& Data) {
  const RtcWideString name = Data.FunctionName();
  try {
    if (name == u"desk")
      handleDesk(Sender, user, Data);
    else if (name == u"gethostparams")
      handleHostParams(Sender, user);
    else if (name == u"chgdesk") {
      if (mayControl(user)) handleChgDesk(user, Data);
    } else if (name == u"refreshdesk")
      Restart();
    else if (name == u"mouse") {
      if (mayControl(user) && takesInput(user)) handleMouse(user, Data);
    } else if (name == u"key") {
      if (mayControl(user)) handleKey(Sender, user, Data);
    } else if (name == u"cbrd") {
      if (mayControl(user) && takesInput(user)) handlePutClipboard(user, Data);
    } else if (name == u"gcbrd") {
      if (mayControl(user) && takesInput(user)) handleGetClipboard(Sender, user);
    } else if (name == u"lockinputs") {
      bool locked;
      if (mayControl(user) && takesInput(user) && Capturing() &&
          boolField(Data, "locked", locked) && OnLockInputs)
        OnLockInputs(locked);
    } else if (name == u"blankscreen") {
      if (OnBlankScreen) OnBlankScreen();
    } else if (name == u"dialog") {
      const TRtcValueTypes t = Data.isType("m");
      if (FHelpers && (t == rtc_Text || t == rtc_String || t == rtc_WideString))
        FHelpers->ShowRemoteNotification(Utf8Encode(Data.asText("m")));
    }
  } catch (const std::exception& e) {
    // The bad item is dropped; the rest of the batch goes on.
    WriteExceptionLog("DESK " + user, e);
  }
}

void TRtcPDesktopHost::handleDesk(TRtcConnection* Sender, const std::string& user,
                                  TRtcFunctionInfo& fn) {
  if (fn.FieldCount() != 0) return;
  if (fConfirmAllLogins && !(FHelpers && FHelpers->ConfirmDesktopAccess(user))) return;
  if (!mayView(user) || !QueryAccess(Sender, user)) return;
  std::lock_guard g(FCapLock);
  if (std::find(_sub_desk.begin(), _sub_desk.end(), user) == _sub_desk.end())
    _sub_desk.push_back(user);
}

void TRtcPDesktopHost::handleHostParams(TRtcConnection* Sender, const std::string& user) {
  TAbsPortalClient* c = Client();
  if (!c) return;
  auto f = function(u"hostparams");
  f->setAsInteger("color", FColorLimit);
  f->setAsInteger("colorlow", FLowColorLimit);
  f->setAsInteger("colorpercent", FColorReducePercent);
  f->setAsInteger("frame", FFrameRate);
  f->setAsInteger("scrblocks", FScreenInBlocks);
  f->setAsInteger("scrblocks2", FScreenRefineBlocks);
  f->setAsInteger("scr2delay", FScreenRefineDelay);
  f->setAsInteger("scrlimit", FScreenSizeLimit);
  f->setAsBoolean("mirror", FUseMirrorDriver);
  f->setAsBoolean("mouse", FUseMouseDriver);
  f->setAsBoolean("monitors", FCaptureAllMonitors);
  f->setAsBoolean("layered", FCaptureLayeredWindows);
  f->setAsString("EncoderClassName", GEncoderClassName());
  DisplayInfo info;
  int width = 0, height = 0;
  if (std::unique_ptr<ScreenSource> screen = FPlatform.OpenScreen();
      screen && screen->Display(false, info)) {
    width = info.rect.width();
    height = info.rect.height();
  }
  f->setAsInteger("tsWidth", width);
  f->setAsInteger("tsHeight", height);
  c->SendToUser(Sender, user, std::move(f));
}

void TRtcPDesktopHost::handleChgDesk(const std::string& user, TRtcFunctionInfo& fn) {
  (void)user;
  bool changed = false;
  int v;
  bool b;
  // Enumerations compare as their byte values; values outside a range are not taken.
  const auto enumField = [&](const char* name, auto current, auto last, auto setter) {
    using E = decltype(current);
    E e;
    if (intField(fn, name, v) && v != static_cast<uint8_t>(current) && enumOf(v, last, e)) {
      (this->*setter)(e);
      changed = true;
    }
  };
  enumField("color", GColorLimit(), rdColor32bit, &TRtcPDesktopHost::setGColorLimit);
  enumField("colorlow", GColorLowLimit(), rd_ColorHigh21bit, &TRtcPDesktopHost::setGColorLowLimit);
  if (intField(fn, "colorpercent", v) && v != GColorReducePercent()) {
    setGColorReducePercent(std::clamp(v, 0, 100));
    changed = true;
  }
  enumField("frame", GFrameRate(), rdFrameSleep500, &TRtcPDesktopHost::setGFrameRate);
  enumField("scrblocks", GSendScreenInBlocks(), rdBlocks12,
            &TRtcPDesktopHost::setGSendScreenInBlocks);
  enumField("scrblocks2", GSendScreenRefineBlocks(), rdBlocks12,
            &TRtcPDesktopHost::setGSendScreenRefineBlocks);
  if (intField(fn, "scr2delay", v) && v != GSendScreenRefineDelay()) {
    setGSendScreenRefineDelay(std::clamp(v, -1, 3600));
    changed = true;
  }
  enumField("scrlimit", GSendScreenSizeLimit(), rdBlock512KB,
            &TRtcPDesktopHost::setGSendScreenSizeLimit);
  const auto boolSetting = [&](const char* name, bool current,
                               void (TRtcPDesktopHost::*setter)(bool)) {
    if (boolField(fn, name, b) && b != current) {
      (this->*setter)(b);
      changed = true;
    }
  };
  boolSetting("mirror", GUseMirrorDriver(), &TRtcPDesktopHost::setGUseMirrorDriver);
  boolSetting("mouse", GUseMouseDriver(), &TRtcPDesktopHost::setGUseMouseDriver);
  boolSetting("monitors", GCaptureAllMonitors(), &TRtcPDesktopHost::setGCaptureAllMonitors);
  boolSetting("layered", GCaptureLayeredWindows(), &TRtcPDesktopHost::setGCaptureLayeredWindows);
  std::string s;
  if (stringField(fn, "EncoderClassName", s) && s != GEncoderClassName()) {
    setGEncoderClassName(s);
    changed = true;
  }
  if (changed) Restart();
}

void TRtcPDesktopHost::handleMouse(const std::string& user, TRtcFunctionInfo& fn) {
  int button = 0, x = 0, y = 0, wheel = 0;
  const bool hasXY = intField(fn, "x", x) && intField(fn, "y", y);
  bool down = false, up = false;
  if (hasXY && intField(fn, "d", button))
    down = true;
  else if (hasXY && intField(fn, "u", button))
    up = true;
  if (down || up) {
    std::lock_guard g(CS2);
    FLastMouseUser = user;
  }
  std::lock_guard g(FCapLock);
  if (!Scr) return;
  if (down || up) {
    if (button < 1 || button > 3) return;
    const auto b = static_cast<TRtcScreenCapture::TMouseButton>(button - 1);
    const uint32_t bit = 1u << (button - 1);
    if (down) {
      Scr->MouseDown(user, x, y, b);
      if (FButtonsUser != user) FButtonsHeld = 0;
      FButtonsUser = user;
      FButtonsHeld |= bit;
    } else {
      Scr->MouseUp(user, x, y, b);
      FButtonsHeld &= ~bit;
    }
    FButtonX = x;
    FButtonY = y;
  } else if (intField(fn, "w", wheel)) {
    Scr->MouseWheel(wheel);
  } else if (hasXY) {
    Scr->MouseMove(user, x, y);
    if (FButtonsUser == user) {
      FButtonX = x;
      FButtonY = y;
    }
  }
}

void TRtcPDesktopHost::handleKey(TRtcConnection* Sender, const std::string& user,
                                 TRtcFunctionInfo& fn) {
  std::string special;
  const bool hasSpecial = stringField(fn, "s", special);
  if (!takesInput(user)) {
    // Only the wallpaper is left to a controller that does not watch.
    if (!hasSpecial || !FHelpers) return;
    if (special == "HDESK")
      FHelpers->HideWallpaper();
    else if (special == "SDESK")
      FHelpers->ShowWallpaper();
    return;
  }
  int key = 0;
  bool tookSpecial = false;
  {
    std::lock_guard g(FCapLock);
    if (!Scr) return;
    const TRtcValueTypes p = fn.isType("p");
    if (intField(fn, "d", key)) {
      Scr->KeyDown(key);
      FKeyUsers.insert(user);
    } else if (intField(fn, "u", key)) {
      Scr->KeyUp(key);
    } else if (p == rtc_String) {
      intField(fn, "k", key);
      Scr->KeyPress(fn.asString("p"), key);
    } else if (p == rtc_WideString || p == rtc_Text) {
      intField(fn, "k", key);
      Scr->KeyPressW(fn.asText("p"), key);
    } else if (intField(fn, "lw", key)) {
      Scr->LWinKey(key);
    } else if (intField(fn, "rw", key)) {
      Scr->RWinKey(key);
    } else if (hasSpecial) {
      tookSpecial = true;
      if (special == "HDESK" || special == "SDESK") {
        if (FHelpers) {
          if (special == "HDESK")
            FHelpers->HideWallpaper();
          else
            FHelpers->ShowWallpaper();
        }
      } else if (special != "TAERO") {
        Scr->SpecialKey(special);
      }
    } else {
      return;
    }
  }
  if (!tookSpecial) return;
  if (special == "TAERO") {
    if (FHelpers) FHelpers->ToggleComposition();
  } else if (special == "COPY") {
    handleCopy(Sender, user);
  }
}

void TRtcPDesktopHost::handleCopy(TRtcConnection* Sender, const std::string& user) {
  TRtcPFileTransfer* ft = FFileTrans;
  if (!ft || !FHelpers) return;
  std::function<void(uint32_t)> sleep;
  {
    std::lock_guard g(FCapLock);
    sleep = FSleep;
  }
  sleep(250);
  const std::optional<std::vector<std::string>> files = FHelpers->ClipboardFileNames();
  if (!files) return;
  ft = FFileTrans;  // may have gone meanwhile
  if (!ft) return;
  for (const std::string& file : *files) ft->Send(user, file, {}, Sender);
}

void TRtcPDesktopHost::handlePutClipboard(const std::string& user, TRtcFunctionInfo& fn) {
  std::string text;
  if (fn.isType("s") != rtc_Null && !stringField(fn, "s", text)) return;
  std::lock_guard g(CS2);
  Clipboards[user] = text;
  if (FHelpers) FHelpers->WriteClipboard(text);
}

void TRtcPDesktopHost::handleGetClipboard(TRtcConnection* Sender, const std::string& user) {
  if (!FHelpers) return;
  std::string text;
  {
    std::lock_guard g(CS2);
    text = FHelpers->ReadClipboard();
    auto it = Clipboards.find(user);
    if (it != Clipboards.end() && it->second == text) return;
    FHelpers->WriteClipboard(text);
    text = FHelpers->ReadClipboard();
    it = Clipboards.find(user);
    if (it != Clipboards.end() && it->second == text) return;
    Clipboards[user] = text;
  }
  if (TAbsPortalClient* c = Client()) {
    auto f = function(u"cbrd");
    if (!text.empty()) f->setAsString("s", text);
    c->SendToUser(Sender, user, std::move(f));
  }
}

}  // namespace vtx
