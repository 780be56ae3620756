// The analyst's view of a host's desktop: a viewer adapter that rebuilds the screen from the
// host's updates and follows its cursor, the console's own clipboard, and the clipboard wire
// text of plain text.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/host/desktop_control.h"
#include "desktop/screen_image.h"

namespace vtx::analyst {

// Clipboard wire text with one row of Unicode text (format 13, UTF-16LE with its terminator);
// an empty text gives an empty wire text.
std::string ClipboardFromText(std::u16string_view text);
// The Unicode text row of a clipboard wire text (up to its terminator); empty when there is
// none. Throws ERtcInfo on a malformed wire text.
std::u16string ClipboardText(std::string_view wire);

// The console's clipboard, kept in memory.
class MemoryClipboard : public DesktopViewerClipboard {
 public:
  std::string ReadClipboard() override;
  void WriteClipboard(const std::string& wireText) override;

 private:
  std::mutex lock_;
  std::string text_;
};

// The cursor as the last cursor records left it (positions relative to the screen image).
struct CursorState {
  bool known = false, visible = true;
  int x = 0, y = 0, hotX = 0, hotY = 0;
  int shape = 0;     // standard cursor number, 0 when the shape came as bitmaps
  std::string user;  // the viewer who moved it last
};

// What a host may make the view hold; larger records are refused and counted as errors.
struct ViewLimits {
  int maxSide = 16384;                         // pixels each way
  int64_t maxImageBytes = int64_t{256} << 20;  // the screen image
  int64_t maxCursorBytes = int64_t{64} << 20;  // one cursor record
};

class DesktopView : public TRtcAbsPDesktopControlUI {
 public:
  explicit DesktopView(ViewLimits limits = {}) : limits_(limits) {}
  // Why the last refused or broken record failed; empty when none did.
  std::string LastError() const;
  // Waits until a complete image arrived since the view was opened (true), or `limit` passes.
  bool WaitForImage(std::chrono::milliseconds limit);
  // Updates applied so far.
  int64_t Updates() const;
  bool Open() const;
  // Decoding failures so far; each one asks the host for a complete image again.
  int64_t Errors() const;

  int Width() const;
  int Height() const;
  int Bits() const;  // of the host's screen
  // Bytes a pixel of the received image: 0 (4-bit palette), 1 (8-bit palette), 2 (5-6-5), 4.
  int PixelBytes() const;
  CursorState Cursor() const;
  // Called with the image after each applied screen update, under the view's lock (keep it
  // short; it must not call back into the view).
  void SetOnApplied(std::function<void(const ScreenImage&)> f);
  // The screen as 0x00RRGGBB pixels, row by row.
  std::vector<uint32_t> Pixels() const;
  // Writes the screen as an RGB PNG file; throws std::runtime_error when there is no image yet
  // or the file cannot be written.
  void WritePng(const std::string& path) const;

  void Call_LogOut(TRtcConnection* Sender) override;
  void Call_Error(TRtcConnection* Sender) override;
  void Call_Open(TRtcConnection* Sender) override;
  void Call_Close(TRtcConnection* Sender) override;
  void Call_Data(TRtcConnection* Sender, const std::string& cursor,
                 const std::string& screen) override;

 private:
  void applyCursor(std::string_view wire);
  // Throws ERtcInfo when the record asks for a screen beyond the limits.
  void checkResolution(std::string_view wire) const;

  const ViewLimits limits_;
  std::string lastError_;
  mutable std::mutex lock_;
  std::condition_variable cv_;
  ScreenImage image_;
  CursorState cursor_;
  bool open_ = false, complete_ = false, broken_ = false;
  int64_t updates_ = 0, errors_ = 0;
  std::function<void(const ScreenImage&)> onApplied_;
};

}  // namespace vtx::analyst
