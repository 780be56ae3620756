// Viewer input turned into injected events. Every event goes through the encoder's worker
// thread (straight to the platform's injector while there is no encoder yet).
#include <algorithm>
#include <cstdint>

#include "desktop/screen_capture.h"
#include "util/log.h"

namespace vtx {

namespace {

constexpr int kVkTab = 9;
constexpr int kVkShift = 16;
constexpr int kVkCtrl = 17;
constexpr int kVkAlt = 18;
constexpr int kVkCapsLock = 20;
constexpr int kVkPageUp = 33;
constexpr int kVkDelete = 46;
constexpr int kVkLWin = 91;
constexpr int kVkRWin = 92;
constexpr int kVkNumLock = 144;

constexpr uint32_t kKeyUp = 0x0002;
constexpr uint32_t kMouseMoveAbsolute = 0x8001;
constexpr uint32_t kMouseWheel = 0x0800;
constexpr uint32_t kLeftDown = 0x0002, kLeftUp = 0x0004;
constexpr uint32_t kRightDown = 0x0008, kRightUp = 0x0010;
constexpr uint32_t kMiddleDown = 0x0020, kMiddleUp = 0x0040;

constexpr int kHitMinimize = 8, kHitMaximize = 9, kHitClose = 20;
constexpr uint32_t kScMinimize = 0xF020, kScClose = 0xF060, kScRestore = 0xF120,
                   kScMaximize = 0xF030;

// Answers for a platform that cannot tell: no keys, no locks, nothing known.
class NoInputPlatform final : public InputPlatform {
 public:
  uint8_t MapVirtualKey(uint8_t) override { return 0; }
  int VkKeyScanA(char) override { return -1; }
  int VkKeyScanW(char16_t) override { return -1; }
  bool NumLockOn() override { return false; }
  bool CapsLockOn() override { return false; }
  bool SwappedButtons() override { return false; }
  bool PrimaryScreenSize(int&, int&) override { return false; }
  void SetCursorPos(int, int) override {}
  std::string AccountName() override { return {}; }
};

bool validKey(int key) {
  return key > 0 && key < 255;
}

// A key going down or up. While Num Lock is on, a navigation key (Page Up..Delete) goes between
// two Num Lock pairs ordered against its own direction: up-down around a press, down-up around
// a release.
template <class Inject>
void keyAmidNumLock(int key, bool down, InputPlatform& ops, Inject inject) {
  if (key < kVkPageUp || key > kVkDelete || !ops.NumLockOn()) return inject(key, down);
  inject(kVkNumLock, !down);
  inject(kVkNumLock, down);
  inject(key, down);
  inject(kVkNumLock, !down);
  inject(kVkNumLock, down);
}

// round(v × 65535 / (size − 1)), ties to even, v clamped to the screen.
uint32_t scaleToAbsolute(int v, int size) {
  if (size <= 1) return 0;
  int64_t den = size - 1;
  int64_t num = int64_t{std::clamp<int64_t>(v, 0, den)} * 65535;
  int64_t q = num / den, r = num % den;
  if (2 * r > den || (2 * r == den && (q & 1) != 0)) ++q;
  return static_cast<uint32_t>(q);
}

int saturatedAdd(int a, int b) {
  return static_cast<int>(std::clamp<int64_t>(int64_t{a} + b, INT32_MIN, INT32_MAX));
}

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace

InputPlatform& TRtcScreenCapture::inputOps() {
  static NoInputPlatform none;  // stateless
  InputPlatform* ops = FPlatform.InputOps();
  return ops ? *ops : none;
}

void TRtcScreenCapture::setMouseDriver(bool v) {
  if (v == FMouseDriver) return;
  FMouseDriver = v;
  if (v) {
    FMouseDriverInUse = inputOps().AcquireMouseDriver();
  } else if (FMouseDriverInUse) {
    FMouseDriverInUse = false;
    inputOps().ReleaseMouseDriver();
  }
}

void TRtcScreenCapture::injectKey(int key, bool down) {
  if (!validKey(key)) return;
  auto vk = static_cast<uint8_t>(key);
  uint8_t scan = inputOps().MapVirtualKey(vk);
  uint32_t flags = down ? 0 : kKeyUp;
  if (Capture)
    Capture->keybd_event(vk, scan, flags, 0);
  else if (InputInjector* in = FPlatform.Input())
    in->KeybdEvent(vk, scan, flags, 0);
}

void TRtcScreenCapture::injectMouse(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data) {
  if (Capture)
    Capture->mouse_event(flags, dx, dy, data, 0);
  else if (InputInjector* in = FPlatform.Input())
    in->MouseEvent(flags, dx, dy, data, 0);
}

void TRtcScreenCapture::pressAndRelease(int key) {
  injectKey(key, true);
  injectKey(key, false);
}

void TRtcScreenCapture::moveMouseTo(const std::string& user, int X, int Y) {
  int x = saturatedAdd(X, FCaptureLeft), y = saturatedAdd(Y, FCaptureTop);
  SetLastMouse(user, x, y);
  InputPlatform& ops = inputOps();
  bool sizeKnown = FScreenWidth > 0 && FScreenHeight > 0;
  int w = FScreenWidth, h = FScreenHeight;
  int pw = 0, ph = 0;
  if (ops.PrimaryScreenSize(pw, ph)) {
    w = pw;
    h = ph;
  }
  if (mouseDriverInUse()) {
    int l, t, r, b;
    if (ops.VirtualDesktop(l, t, r, b) && (x < l || x >= r || y < t || y >= b)) return;
    if (sizeKnown)
      ops.MouseDriverImitation(1, 0, static_cast<int32_t>(scaleToAbsolute(x, w)),
                               static_cast<int32_t>(scaleToAbsolute(y, h)));
  } else if (sizeKnown) {
    injectMouse(kMouseMoveAbsolute, scaleToAbsolute(x, w), scaleToAbsolute(y, h), 0);
  } else {
    ops.SetCursorPos(x, y);
  }
}

void TRtcScreenCapture::mouseButton(const std::string& user, int X, int Y, TMouseButton button,
                                    bool down) {
  if (button != mbLeft && button != mbRight && button != mbMiddle) return;
  moveMouseTo(user, X, Y);
  InputPlatform& ops = inputOps();
  if (button != mbMiddle && ops.SwappedButtons()) button = button == mbLeft ? mbRight : mbLeft;
  if (button == mbLeft) {
    int hit = ops.OwnWindowHitTest(FLastMouseX, FLastMouseY);
    if (hit == kHitMinimize || hit == kHitMaximize || hit == kHitClose) {
      if (!down) {
        uint32_t command = hit == kHitMinimize                                ? kScMinimize
                           : hit == kHitClose                                 ? kScClose
                           : ops.OwnWindowMaximized(FLastMouseX, FLastMouseY) ? kScRestore
                                                                              : kScMaximize;
        ops.PostOwnSysCommand(FLastMouseX, FLastMouseY, command);
      }
      return;
    }
  }
  if (mouseDriverInUse() && button != mbMiddle) {
    int code = button == mbLeft ? (down ? 1 : 2) : (down ? 4 : 8);
    ops.MouseDriverImitation(0, code, 0, 0);
    return;
  }
  uint32_t flags = button == mbLeft    ? (down ? kLeftDown : kLeftUp)
                   : button == mbRight ? (down ? kRightDown : kRightUp)
                                       : (down ? kMiddleDown : kMiddleUp);
  injectMouse(flags, 0, 0, 0);
}

void TRtcScreenCapture::MouseDown(const std::string& user, int X, int Y, TMouseButton Button) {
  mouseButton(user, X, Y, Button, true);
}

void TRtcScreenCapture::MouseUp(const std::string& user, int X, int Y, TMouseButton Button) {
  mouseButton(user, X, Y, Button, false);
}

void TRtcScreenCapture::MouseMove(const std::string& user, int X, int Y) {
  moveMouseTo(user, X, Y);
}

void TRtcScreenCapture::MouseWheel(int Wheel) {
  injectMouse(kMouseWheel, 0, 0, static_cast<uint32_t>(Wheel));
}

void TRtcScreenCapture::KeyDown(int Key, int) {
  if (!validKey(Key)) return;
  bool* held = Key == kVkShift  ? &FShiftDown
               : Key == kVkCtrl ? &FCtrlDown
               : Key == kVkAlt  ? &FAltDown
                                : nullptr;
  if (held) {
    if (*held) return;
    *held = true;
  } else {
    FKeysDown[static_cast<size_t>(Key)] = true;
  }
  keyAmidNumLock(Key, true, inputOps(), [this](int k, bool down) { injectKey(k, down); });
}

void TRtcScreenCapture::KeyUp(int Key, int) {
  if (!validKey(Key)) return;
  bool* held = Key == kVkShift  ? &FShiftDown
               : Key == kVkCtrl ? &FCtrlDown
               : Key == kVkAlt  ? &FAltDown
                                : nullptr;
  if (held) {
    if (!*held) return;
    *held = false;
  } else {
    FKeysDown[static_cast<size_t>(Key)] = false;
  }
  keyAmidNumLock(Key, false, inputOps(), [this](int k, bool down) { injectKey(k, down); });
}

void TRtcScreenCapture::bracketBefore(bool capsLock, const Modifiers& want) {
  if (capsLock) pressAndRelease(kVkCapsLock);
  if (want.shift != FShiftDown) injectKey(kVkShift, want.shift);
  if (want.ctrl != FCtrlDown) injectKey(kVkCtrl, want.ctrl);
  if (want.alt != FAltDown) injectKey(kVkAlt, want.alt);
}

void TRtcScreenCapture::bracketAfter(bool capsLock, const Modifiers& want) {
  if (want.alt != FAltDown) injectKey(kVkAlt, FAltDown);
  if (want.ctrl != FCtrlDown) injectKey(kVkCtrl, FCtrlDown);
  if (want.shift != FShiftDown) injectKey(kVkShift, FShiftDown);
  if (capsLock) pressAndRelease(kVkCapsLock);
}

void TRtcScreenCapture::typeKey(int lookup, int AKey) {
  if (lookup < 0 || (lookup & 0xFF) == 0xFF) {
    if (AKey != kVkShift && AKey != kVkCtrl && AKey != kVkAlt && AKey != kVkCapsLock &&
        AKey != kVkNumLock)
      pressAndRelease(AKey);
    return;
  }
  bool caps = inputOps().CapsLockOn();
  Modifiers want{(lookup & kKeyScanShift) != 0, (lookup & kKeyScanCtrl) != 0,
                 (lookup & kKeyScanAlt) != 0};
  bracketBefore(caps, want);
  pressAndRelease(lookup & 0xFF);
  bracketAfter(caps, want);
}

void TRtcScreenCapture::KeyPress(const std::string& AText, int AKey) {
  for (char c : AText) typeKey(inputOps().VkKeyScanA(c), AKey);
}

void TRtcScreenCapture::KeyPressW(const RtcWideString& AText, int AKey) {
  for (char16_t c : AText) typeKey(inputOps().VkKeyScanW(c), AKey);
}

void TRtcScreenCapture::winKey(int winKey, int key) {
  Modifiers none;
  bracketBefore(false, none);
  injectKey(winKey, true);
  injectKey(key, true);
  injectKey(key, false);
  injectKey(winKey, false);
  bracketAfter(false, none);
}

void TRtcScreenCapture::LWinKey(int Key) {
  winKey(kVkLWin, Key);
}

void TRtcScreenCapture::RWinKey(int Key) {
  winKey(kVkRWin, Key);
}

void TRtcScreenCapture::SpecialKey(const std::string& AKey) {
  struct Combination {
    const char* name;
    int key;
    Modifiers mods;
  };
  static constexpr Combination kCombinations[] = {
      {"COPY", 'C', {false, true, false}},      {"AT", kVkTab, {false, false, true}},
      {"SAT", kVkTab, {true, false, true}},     {"CAT", kVkTab, {false, true, true}},
      {"SCAT", kVkTab, {true, true, true}},     {"WIN", kVkLWin, {false, false, false}},
      {"RWIN", kVkRWin, {false, false, false}},
  };
  if (AKey == "CAD") {
    ctrlAltDel();
    return;
  }
  if (AKey == "HDESK" || AKey == "SDESK") {
    if (FHelpers) {
      if (AKey == "HDESK")
        FHelpers->HideWallpaper();
      else
        FHelpers->ShowWallpaper();
    }
    return;
  }
  for (const Combination& c : kCombinations) {
    if (AKey != c.name) continue;
    bool caps = inputOps().CapsLockOn();
    bracketBefore(caps, c.mods);
    pressAndRelease(c.key);
    bracketAfter(caps, c.mods);
    return;
  }
}

void TRtcScreenCapture::ReleaseAllKeys() {
  if (FShiftDown) KeyUp(kVkShift);
  if (FAltDown) KeyUp(kVkAlt);
  if (FCtrlDown) KeyUp(kVkCtrl);
  for (int key = 0; key < static_cast<int>(FKeysDown.size()); ++key)
    if (FKeysDown[static_cast<size_t>(key)]) KeyUp(key);
}

void TRtcScreenCapture::ctrlAltDel() {
  InputPlatform& ops = inputOps();
  std::string account = upper(ops.AccountName());
  int major = ops.OsMajorVersion();
  if (account == "SYSTEM") {
    if (major >= 6) {
      ops.StartTaskManager();
    } else if (Capture) {
      Capture->cad();
    } else if (InputInjector* in = FPlatform.Input()) {
      in->SecureAttention();
    }
    return;
  }
  if (major < 6) {
    bool caps = ops.CapsLockOn();
    Modifiers none;
    bracketBefore(caps, none);
    if (!ops.PostLogonHotKey() && ops.OtherInstanceRunning()) ops.WriteCadRequestFile();
    bracketAfter(caps, none);
    return;
  }
  int result = 0;
  switch (ops.SendCtrlAltDel(result)) {
    case InputPlatform::SasCall::kCalled:
      WriteLog("sendCtrlAltDel result: " + std::to_string(result));
      break;
    case InputPlatform::SasCall::kFunctionMissing:
      WriteLog("Loading function sendCtrlAltDel failed");
      break;
    case InputPlatform::SasCall::kLibraryMissing:
      WriteLog("Loading aw_sas32.dll failed");
      break;
  }
}

}  // namespace vtx
