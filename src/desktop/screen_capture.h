// TRtcScreenCapture: the desktop host's one object for reading the screen and the cursor. It
// keeps the capture settings, owns one screen encoder (created by registered name on the first
// grab and freed whenever a setting changes) and turns cursor samples into cursor records.
// Not thread-safe: the host uses it under its capture lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "desktop/capture_geometry.h"
#include "desktop/cursor_image.h"
#include "desktop/screen_encoder.h"
#include "desktop/session_helpers.h"
#include "platform/desktop_platform.h"
#include "util/text.h"

namespace vtx {

class TRtcScreenCapture {
 public:
  // platform is observed and must outlive the capture object.
  explicit TRtcScreenCapture(DesktopPlatform& platform);
  ~TRtcScreenCapture();
  TRtcScreenCapture(const TRtcScreenCapture&) = delete;
  TRtcScreenCapture& operator=(const TRtcScreenCapture&) = delete;

  // Frees the encoder; the next grab starts from scratch and the next cursor sample reports
  // position and shape.
  void Clear();
  // Creates the encoder when there is none (ERtcInfo "Error creating screen encoder" when no
  // registered encoder can be made) and captures.
  bool GrabScreen();
  // Whether a grab now could find anything: false only when the platform can tell that nothing
  // was drawn since the previous call and an encoder is running. Cheap (no grab); a true answer
  // must be followed by a grab.
  bool ScreenMayHaveChanged();
  // The last update's wire text (empty when nothing changed); valid until the next grab or
  // setting change.
  const std::string& GetScreenDelta();
  std::string GetScreen();
  void GrabMouse();
  std::string GetMouseDelta();
  std::string GetMouse();

  // Input injection reports where a viewer put the mouse (screen coordinates).
  void SetLastMouse(const std::string& user, int x, int y);

  // ---- input from viewers (x, y relative to the capture rectangle; run through the encoder's
  // worker thread) ----
  enum TMouseButton { mbLeft = 0, mbRight = 1, mbMiddle = 2 };
  void MouseDown(const std::string& user, int X, int Y, TMouseButton Button);
  void MouseUp(const std::string& user, int X, int Y, TMouseButton Button);
  void MouseMove(const std::string& user, int X, int Y);
  void MouseWheel(int Wheel);
  // Virtual key codes; Shift is not used.
  void KeyDown(int Key, int Shift = 0);
  void KeyUp(int Key, int Shift = 0);
  // Types the characters of AText; AKey is pressed for characters that are on no key.
  void KeyPress(const std::string& AText, int AKey);
  void KeyPressW(const RtcWideString& AText, int AKey);
  void LWinKey(int Key);
  void RWinKey(int Key);
  // "CAD", "COPY", "AT", "SAT", "CAT", "SCAT", "WIN", "RWIN", "HDESK", "SDESK"; others do nothing.
  void SpecialKey(const std::string& AKey);
  // Releases Shift, Alt and Ctrl held by the viewer, then any other key it still holds down.
  void ReleaseAllKeys();
  // The helpers "HDESK" and "SDESK" use (observed; none: those keys do nothing).
  void setSessionHelpers(DesktopSessionHelpers* helpers) { FHelpers = helpers; }

  // ---- settings; changing one frees the encoder ----
  int BPPLimit() const { return FBPPLimit; }
  void setBPPLimit(int v) { change(FBPPLimit, v); }
  int MaxTotalSize() const { return FMaxTotalSize; }
  void setMaxTotalSize(int v) { change(FMaxTotalSize, v); }
  int ScreenBlockCount() const { return FScreenBlockCount; }
  void setScreenBlockCount(int v) { change(FScreenBlockCount, v); }
  int Screen2BlockCount() const { return FScreen2BlockCount; }
  void setScreen2BlockCount(int v) { change(FScreen2BlockCount, v); }
  int Screen2Delay() const { return FScreen2Delay; }
  void setScreen2Delay(int v) { change(FScreen2Delay, v); }
  bool FullScreen() const { return FFullScreen; }
  void setFullScreen(bool v) { change(FFullScreen, v); }
  uint32_t Reduce16bit() const { return FReduce16bit; }
  void setReduce16bit(uint32_t v) { change(FReduce16bit, v); }
  uint32_t Reduce32bit() const { return FReduce32bit; }
  void setReduce32bit(uint32_t v) { change(FReduce32bit, v); }
  uint32_t LowReduce16bit() const { return FLowReduce16bit; }
  void setLowReduce16bit(uint32_t v) { change(FLowReduce16bit, v); }
  uint32_t LowReduce32bit() const { return FLowReduce32bit; }
  void setLowReduce32bit(uint32_t v) { change(FLowReduce32bit, v); }
  bool LowReducedColors() const { return FLowReducedColors; }
  void setLowReducedColors(bool v) { change(FLowReducedColors, v); }
  int LowReduceType() const { return FLowReduceType; }
  void setLowReduceType(int v) { change(FLowReduceType, v); }
  int LowReduceColorPercent() const { return FLowReduceColorPercent; }
  void setLowReduceColorPercent(int v) { change(FLowReduceColorPercent, v); }
  bool MultiMonitor() const { return FMultiMonitor; }
  void setMultiMonitor(bool v) { change(FMultiMonitor, v); }
  const std::string& EncoderClassName() const { return FEncoderClassName; }
  void setEncoderClassName(const std::string& v) { change(FEncoderClassName, v); }
  // Always frees the encoder, switches FullScreen off and widens the region to a multiple of
  // 4 pixels.
  const ScreenRect& FixedRegion() const { return FFixedRegion; }
  void setFixedRegion(const ScreenRect& r);
  // The layered-window flag of the capture mask; this platform has none, so it stays off.
  bool LayeredWindows() const;
  void setLayeredWindows(bool v);
  uint32_t CaptureMask() const { return FCaptureMask; }
  bool MouseDriver() const { return FMouseDriver; }
  // On: uses the platform's mouse-driver library when it has one (normal injection otherwise).
  void setMouseDriver(bool v);

  // Desktop geometry for input coordinates, known once an encoder was created.
  int ScreenWidth() const { return FScreenWidth; }
  int ScreenHeight() const { return FScreenHeight; }
  int ScreenLeft() const { return FScreenLeft; }
  int ScreenTop() const { return FScreenTop; }
  int CaptureLeft() const { return FCaptureLeft; }
  int CaptureTop() const { return FCaptureTop; }
  int CaptureWidth() const { return FCaptureWidth; }
  int CaptureHeight() const { return FCaptureHeight; }

  // The current encoder, or none.
  TRtcAbstractScreenEncoder* Encoder() const { return Capture.get(); }

 private:
  template <class T>
  void change(T& field, const T& v) {
    if (field == v) return;
    field = v;
    freeEncoder();
  }
  void freeEncoder();
  void initEncoder();
  bool tryEncoder(const std::string& name, std::unique_ptr<ScreenSource>& screen);
  void mousePosition(int x, int y);

  // ---- input injection ----
  struct Modifiers {
    bool shift = false, ctrl = false, alt = false;
  };
  InputPlatform& inputOps();
  bool mouseDriverInUse() const { return FMouseDriver && FMouseDriverInUse; }
  void injectKey(int key, bool down);
  void injectMouse(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data);
  void pressAndRelease(int key);
  void moveMouseTo(const std::string& user, int X, int Y);
  void mouseButton(const std::string& user, int X, int Y, TMouseButton button, bool down);
  void bracketBefore(bool capsLock, const Modifiers& want);
  void bracketAfter(bool capsLock, const Modifiers& want);
  void typeKey(int lookup, int AKey);
  void winKey(int winKey, int key);
  void ctrlAltDel();

  DesktopPlatform& FPlatform;
  std::unique_ptr<TRtcAbstractScreenEncoder> Capture;
  const std::string noDelta_;
  std::unique_ptr<CursorSource> FCursor;
  std::unique_ptr<ChangeWatch> FWatch;
  bool FWatchOpened = false;

  uint32_t FCaptureMask = 0x00CC0020;
  int FBPPLimit = 4;
  int FMaxTotalSize = 0;
  int FScreenBlockCount = 1;
  int FScreen2BlockCount = 1;
  int FScreen2Delay = 0;
  bool FFullScreen = true;
  ScreenRect FFixedRegion;
  uint32_t FReduce16bit = 0, FReduce32bit = 0, FLowReduce16bit = 0, FLowReduce32bit = 0;
  bool FLowReducedColors = false;
  int FLowReduceType = 0;
  int FLowReduceColorPercent = 0;
  bool FMultiMonitor = false;
  bool FMouseDriver = false;
  std::string FEncoderClassName;
  int FScreenWidth = 0, FScreenHeight = 0, FScreenLeft = 0, FScreenTop = 0;
  int FCaptureLeft = 0, FCaptureTop = 0, FCaptureWidth = 0, FCaptureHeight = 0;

  int FMouseX = -1, FMouseY = -1, FMouseHotX = 0, FMouseHotY = 0;
  bool FMouseVisible = false, FMouseLastVisible = false;
  uint64_t FMouseHandle = 0;
  CursorBitmaps FMouseIcon;  // colour and mask bitmaps of a custom cursor
  int FMouseShape = 0;
  bool FMouseMoved = false, FMouseChangedShape = false, FMouseInit = true;
  std::string FMouseUser, FLastMouseUser;
  int FLastMouseX = -1, FLastMouseY = -1;

  bool FShiftDown = false, FCtrlDown = false, FAltDown = false;
  bool FMouseDriverInUse = false;  // holds one use of the platform's mouse-driver library
  std::vector<bool> FKeysDown = std::vector<bool>(256);  // other keys the viewer holds down
  DesktopSessionHelpers* FHelpers = nullptr;
};

}  // namespace vtx
