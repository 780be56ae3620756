#include "desktop/screen_capture.h"

#include "util/exceptions.h"
#include "util/log.h"
#include "util/text.h"

namespace vtx {

namespace {
// The layered-window flag of the capture mask; no such flag exists here.
constexpr uint32_t kLayeredWindowsFlag = 0;
}  // namespace

TRtcScreenCapture::TRtcScreenCapture(DesktopPlatform& platform) : FPlatform(platform) {}

TRtcScreenCapture::~TRtcScreenCapture() {
  freeEncoder();
  setMouseDriver(false);
}

void TRtcScreenCapture::freeEncoder() {
  if (!Capture) return;
  Capture->Stop();
  Capture.reset();
}

void TRtcScreenCapture::Clear() {
  freeEncoder();
  FMouseInit = true;
}

void TRtcScreenCapture::setFixedRegion(const ScreenRect& r) {
  freeEncoder();
  FFullScreen = false;
  FFixedRegion = WidenFixedRegion(r);
}

bool TRtcScreenCapture::LayeredWindows() const {
  return kLayeredWindowsFlag != 0 && (FCaptureMask & kLayeredWindowsFlag) != 0;
}

void TRtcScreenCapture::setLayeredWindows(bool v) {
  if (v)
    FCaptureMask |= kLayeredWindowsFlag;
  else
    FCaptureMask &= ~kLayeredWindowsFlag;
}

bool TRtcScreenCapture::tryEncoder(const std::string& name, std::unique_ptr<ScreenSource>& screen) {
  WriteLog("TRtcScreenCapture.InitEncoder - " + name, "Screen");
  bool ok = false;
  if (EncoderFactory factory = ScreenEncoderRegistry::Instance().Find(name)) {
    EncoderContext context;
    context.screen = screen ? std::move(screen) : FPlatform.OpenScreen();
    context.input = FPlatform.Input();
    if (context.screen) {
      std::unique_ptr<TRtcAbstractScreenEncoder> encoder = factory(std::move(context));
      EncoderSetup s;
      s.bppLimit = FBPPLimit;
      s.maxBlockCount = FScreenBlockCount;
      s.screen1BlockCount = FScreenBlockCount;
      s.screen2BlockCount = FScreen2BlockCount;
      s.screen2Delay = FScreen2Delay;
      s.maxTotalSize = FMaxTotalSize;
      s.captureMask = FCaptureMask;
      s.reduce16bit = FReduce16bit;
      s.reduce32bit = FReduce32bit;
      s.lowReduce16bit = FLowReduce16bit;
      s.lowReduce32bit = FLowReduce32bit;
      s.lowReducedColors = FLowReducedColors;
      s.lowReduceType = FLowReduceType;
      s.lowReduceColorPercent = FLowReduceColorPercent;
      s.useCaptureMarks = false;
      s.multiMonitor = FMultiMonitor;
      s.fullScreen = FFullScreen;
      s.fixedRegion = FFixedRegion;
      encoder->Setup(s);
      if (encoder->GetSupported()) {
        Capture = std::move(encoder);
        ok = true;
      } else {
        encoder->Stop();
      }
    }
  }
  WriteLog(std::string("TRtcScreenCapture.InitEncoder - Result = ") + (ok ? "-1" : "0"), "Screen");
  return ok;
}

void TRtcScreenCapture::initEncoder() {
  std::unique_ptr<ScreenSource> screen = FPlatform.OpenScreen();
  DisplayInfo d;
  if (screen && screen->Display(FMultiMonitor, d)) {
    FScreenLeft = FMultiMonitor ? d.rect.left : 0;
    FScreenTop = FMultiMonitor ? d.rect.top : 0;
    FScreenWidth = d.rect.width();
    FScreenHeight = d.rect.height();
  }
  if (FFullScreen) {
    FCaptureLeft = FScreenLeft;
    FCaptureTop = FScreenTop;
    FCaptureWidth = FScreenWidth;
    FCaptureHeight = FScreenHeight;
  } else {
    FCaptureLeft = FFixedRegion.left;
    FCaptureTop = FFixedRegion.top;
    FCaptureWidth = FFixedRegion.width();
    FCaptureHeight = FFixedRegion.height();
  }
  if (tryEncoder(FEncoderClassName, screen)) return;
  if (tryEncoder(kDefaultEncoderName, screen)) return;
  throw ERtcInfo("Error creating screen encoder");
}

bool TRtcScreenCapture::GrabScreen() {
  if (!Capture) initEncoder();
  return Capture->Capture(0, false);
}

bool TRtcScreenCapture::ScreenMayHaveChanged() {
  if (!FWatchOpened) {
    FWatch = FPlatform.OpenChangeWatch();
    FWatchOpened = true;
  }
  // Asked even without an encoder, so that the watch covers what the coming grab misses.
  const bool changed = !FWatch || FWatch->Changed();
  return changed || !Capture;
}

const std::string& TRtcScreenCapture::GetScreenDelta() {
  return Capture ? Capture->GetScreenDelta() : noDelta_;
}

std::string TRtcScreenCapture::GetScreen() {
  return Capture ? Capture->GetScreen() : std::string();
}

void TRtcScreenCapture::SetLastMouse(const std::string& user, int x, int y) {
  FLastMouseUser = user;
  FLastMouseX = x;
  FLastMouseY = y;
}

void TRtcScreenCapture::mousePosition(int x, int y) {
  if (!FMouseInit && x == FMouseX && y == FMouseY) return;
  FMouseMoved = true;
  FMouseX = x;
  FMouseY = y;
  if (!FLastMouseUser.empty() && x == FLastMouseX && y == FLastMouseY)
    FMouseUser = FLastMouseUser;
  else
    FMouseUser.clear();
}

void TRtcScreenCapture::GrabMouse() {
  if (!FCursor) FCursor = FPlatform.OpenCursor();
  CursorSample s;
  if (!FCursor || !FCursor->Sample(s)) {
    FMouseVisible = false;
    return;
  }
  if (FCursor->InfoAvailable()) {
    if (!s.showing) {
      FMouseVisible = false;
      return;
    }
    FMouseVisible = true;
    mousePosition(s.x, s.y);
    if (FMouseInit || s.handle != FMouseHandle) {
      FMouseChangedShape = true;
      FMouseHandle = s.handle;
      FMouseIcon = {};
      CursorShape shape;
      bool known = FCursor->Shape(s.handle, shape);
      int number = known ? StandardCursorNumber(shape.name) : -1;
      if (number >= 0) {
        FMouseShape = -number;
      } else {
        FMouseShape = 1;
        FMouseHotX = shape.hotX;
        FMouseHotY = shape.hotY;
        if (known) FMouseIcon = MakeCursorBitmaps(shape, FBPPLimit);
      }
    }
  } else {
    FMouseVisible = true;
    mousePosition(s.x, s.y);
  }
  FMouseInit = false;
}

std::string TRtcScreenCapture::GetMouseDelta() {
  if (!FMouseMoved && !FMouseChangedShape && FMouseVisible == FMouseLastVisible) return {};
  TRtcRecord rec;
  if (FMouseVisible != FMouseLastVisible) rec.setAsBoolean("V", FMouseVisible);
  if (FMouseMoved) {
    rec.setAsInteger("X", FMouseX - FCaptureLeft);
    rec.setAsInteger("Y", FMouseY - FCaptureTop);
    if (!FMouseUser.empty()) rec.setAsText("U", Utf8Decode(FMouseUser));
  }
  if (FMouseChangedShape) {
    if (FMouseShape > 0) {
      rec.setAsInteger("HX", FMouseHotX);
      rec.setAsInteger("HY", FMouseHotY);
      if (!FMouseIcon.color.empty()) rec.setAsByteStream("I", RtcMemoryStream(FMouseIcon.color));
      if (!FMouseIcon.mask.empty()) rec.setAsByteStream("M", RtcMemoryStream(FMouseIcon.mask));
    } else {
      rec.setAsInteger("C", -FMouseShape);
    }
  }
  FMouseMoved = false;
  FMouseChangedShape = false;
  FMouseLastVisible = FMouseVisible;
  return rec.toCode();
}

std::string TRtcScreenCapture::GetMouse() {
  FMouseMoved = true;
  FMouseChangedShape = true;
  FMouseLastVisible = !FMouseVisible;
  return GetMouseDelta();
}

}  // namespace vtx
