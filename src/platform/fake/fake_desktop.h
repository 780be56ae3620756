// A desktop in memory for tests: a frame buffer that tests draw on, a cursor they move, and a
// record of what the capture code asked for. Safe to use from the test thread while an
// encoder's worker grabs.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/desktop_platform.h"
#include "platform/fake/fake_input.h"

namespace vtx {

class FakeDesktop final : public DesktopPlatform {
 public:
  // A primary monitor of width × height at (0, 0); bitsPerPixel is the depth reported.
  FakeDesktop(int width, int height, int bitsPerPixel = 32);

  std::unique_ptr<ScreenSource> OpenScreen() override;
  std::unique_ptr<CursorSource> OpenCursor() override;
  // None unless SetChangeWatch(true).
  std::unique_ptr<ChangeWatch> OpenChangeWatch() override;
  InputInjector* Input() override { return &input_; }
  InputPlatform* InputOps() override { return &inputOps_; }
  // The input questions' answers and their log.
  FakeInputPlatform& InputFake() { return inputOps_; }

  // ---- the screen ----
  // New geometry and depth; the content becomes black and every area counts as changed.
  void Reset(int width, int height, int bitsPerPixel);
  void SetDepth(int bitsPerPixel);
  // The virtual desktop (defaults to the primary monitor's rectangle).
  void SetVirtualRect(const ScreenRect& r);
  // Colours are 0x00RRGGBB; drawing outside the frame is clipped.
  void Fill(const ScreenRect& r, uint32_t rgb);
  void SetPixel(int x, int y, uint32_t rgb);
  // Pseudo-random pixels from seed.
  void Noise(const ScreenRect& r, uint32_t seed);
  uint32_t Pixel(int x, int y) const;
  int Width() const;
  int Height() const;

  void SetReachable(bool on);             // Display and Grab fail while off
  void SetGrabLimit(int grabs);           // grabs after this many fail (-1: no limit)
  void SetInputDesktopAccess(bool on);    // placeholder while off
  void SetBottomUp(bool on);              // row order of block images
  void SetTrackChanges(bool on);          // TakeChanges reports drawn rectangles
  std::vector<ScreenRect> Grabs() const;  // rectangles grabbed so far
  void SetChangeWatch(bool on);           // whether OpenChangeWatch gives a watch
  int WatchQueries() const;               // Changed() calls of all watches so far
  void ClearGrabs();

  // ---- the cursor ----
  void SetCursorInfoAvailable(bool on);
  void SetCursorReadable(bool on);
  void MoveCursor(int x, int y);
  void ShowCursor(bool on);
  // A new shape with a new handle.
  void SetCursorShape(const CursorShape& shape);

  // ---- injected input, one line per event ("key 65 0 0 0", "mouse 1 2 3 4 5", "sas") ----
  std::vector<std::string> InputLog() const;

 private:
  class Screen;
  class Cursor;
  class Watch;
  class Injector final : public InputInjector {
   public:
    explicit Injector(FakeDesktop& d) : d_(d) {}
    void KeybdEvent(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extraInfo) override;
    void MouseEvent(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data,
                    uint32_t extraInfo) override;
    void SecureAttention() override;

   private:
    FakeDesktop& d_;
  };
  void changed(const ScreenRect& r);

  mutable std::mutex lock_;
  int width_, height_, bpp_;
  ScreenRect virtual_;
  bool virtualSet_ = false;
  std::vector<uint32_t> pixels_;
  bool reachable_ = true, access_ = true, bottomUp_ = false, track_ = false, watch_ = false;
  uint64_t drawn_ = 0;  // drawings and geometry changes so far
  int watchQueries_ = 0;
  int grabLimit_ = -1;
  std::vector<ScreenRect> grabs_, changes_;
  bool cursorInfo_ = true, cursorReadable_ = true, cursorShowing_ = true;
  int cursorX_ = 0, cursorY_ = 0;
  uint64_t cursorHandle_ = 1;
  CursorShape cursorShape_;
  std::vector<std::string> inputLog_;
  Injector input_{*this};
  FakeInputPlatform inputOps_;
};

}  // namespace vtx
