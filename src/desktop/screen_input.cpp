// Viewer input turned into injected events (placeholder bodies until the injection logic lands).
#include "desktop/screen_capture.h"

namespace vtx {

void TRtcScreenCapture::MouseDown(const std::string&, int, int, TMouseButton) {}
void TRtcScreenCapture::MouseUp(const std::string&, int, int, TMouseButton) {}
void TRtcScreenCapture::MouseMove(const std::string&, int, int) {}
void TRtcScreenCapture::MouseWheel(int) {}
void TRtcScreenCapture::KeyDown(int, int) {}
void TRtcScreenCapture::KeyUp(int, int) {}
void TRtcScreenCapture::KeyPress(const std::string&, int) {}
void TRtcScreenCapture::KeyPressW(const RtcWideString&, int) {}
void TRtcScreenCapture::LWinKey(int) {}
void TRtcScreenCapture::RWinKey(int) {}
void TRtcScreenCapture::SpecialKey(const std::string&) {}
void TRtcScreenCapture::ReleaseAllKeys() {}

}  // namespace vtx
