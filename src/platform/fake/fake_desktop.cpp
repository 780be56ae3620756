#include "platform/fake/fake_desktop.h"

#include <algorithm>
#include <cstring>

namespace vtx {

namespace {
ScreenRect clip(const ScreenRect& r, int width, int height) {
  return {std::max(r.left, 0), std::max(r.top, 0), std::min(r.right, width),
          std::min(r.bottom, height)};
}
}  // namespace

class FakeDesktop::Screen final : public ScreenSource {
 public:
  explicit Screen(FakeDesktop& d) : d_(d) {}

  bool Display(bool multiMonitor, DisplayInfo& out) override {
    std::lock_guard lock(d_.lock_);
    if (!d_.reachable_) return false;
    out.rect =
        multiMonitor && d_.virtualSet_ ? d_.virtual_ : ScreenRect{0, 0, d_.width_, d_.height_};
    out.bitsPerPixel = d_.bpp_;
    return true;
  }

  bool Grab(const ScreenRect& rect, RawImage& out) override {
    std::lock_guard lock(d_.lock_);
    d_.grabs_.push_back(rect);
    if (!d_.reachable_) return false;
    if (d_.grabLimit_ >= 0) {
      if (d_.grabLimit_ == 0) return false;
      --d_.grabLimit_;
    }
    ScreenRect c = clip(rect, d_.width_, d_.height_);
    PixelLayout layout;
    if (d_.bpp_ == 16) layout = {16, 0xF800, 0x07E0, 0x001F};
    if (d_.bpp_ == 24) layout.bitsPerPixel = 24;
    int w = std::max(0, c.right - rect.left), h = std::max(0, c.bottom - rect.top);
    if (c.left > rect.left || c.top > rect.top) w = h = 0;  // keep the contract simple
    size_t bytes = static_cast<size_t>(layout.bitsPerPixel / 8);
    out.stride = static_cast<size_t>(w) * bytes;
    buffer_.assign(out.stride * static_cast<size_t>(h), 0);
    for (int y = 0; y < h; ++y) {
      uint8_t* row = buffer_.data() + static_cast<size_t>(y) * out.stride;
      const uint32_t* src = &d_.pixels_[static_cast<size_t>(rect.top + y) * d_.width_ + rect.left];
      for (int x = 0; x < w; ++x) {
        uint32_t p = src[x];
        if (bytes == 2) {
          uint16_t v = static_cast<uint16_t>(((p >> 8) & 0xF800) | ((p >> 5) & 0x07E0) |
                                             ((p >> 3) & 0x001F));
          std::memcpy(row + 2 * x, &v, 2);
        } else {
          std::memcpy(row + bytes * x, &p, bytes);
        }
      }
    }
    out.data = buffer_.data();
    out.width = w;
    out.height = h;
    out.layout = layout;
    return true;
  }

  bool InputDesktop(std::string& name) override {
    std::lock_guard lock(d_.lock_);
    name = d_.access_ ? "Default" : "";
    return d_.access_;
  }
  bool BottomUpRows() const override {
    std::lock_guard lock(d_.lock_);
    return d_.bottomUp_;
  }
  bool TakeChanges(std::vector<ScreenRect>& out) override {
    std::lock_guard lock(d_.lock_);
    out.clear();
    if (!d_.track_) return false;
    out.swap(d_.changes_);
    return true;
  }

 private:
  FakeDesktop& d_;
  std::vector<uint8_t> buffer_;
};

class FakeDesktop::Cursor final : public CursorSource {
 public:
  explicit Cursor(FakeDesktop& d) : d_(d) {}
  bool InfoAvailable() const override {
    std::lock_guard lock(d_.lock_);
    return d_.cursorInfo_;
  }
  bool Sample(CursorSample& out) override {
    std::lock_guard lock(d_.lock_);
    if (!d_.cursorReadable_) return false;
    out.showing = d_.cursorShowing_;
    out.x = d_.cursorX_;
    out.y = d_.cursorY_;
    out.handle = d_.cursorHandle_;
    return true;
  }
  bool Shape(uint64_t handle, CursorShape& out) override {
    std::lock_guard lock(d_.lock_);
    if (handle != d_.cursorHandle_) return false;
    out = d_.cursorShape_;
    return true;
  }

 private:
  FakeDesktop& d_;
};

class FakeDesktop::Watch final : public ChangeWatch {
 public:
  explicit Watch(FakeDesktop& d) : d_(d) {}
  bool Changed() override {
    std::lock_guard lock(d_.lock_);
    ++d_.watchQueries_;
    const bool changed = first_ || seen_ != d_.drawn_;
    first_ = false;
    seen_ = d_.drawn_;
    return changed;
  }

 private:
  FakeDesktop& d_;
  bool first_ = true;
  uint64_t seen_ = 0;
};

FakeDesktop::FakeDesktop(int width, int height, int bitsPerPixel) {
  Reset(width, height, bitsPerPixel);
  cursorShape_.name = "left_ptr";
}

std::unique_ptr<ScreenSource> FakeDesktop::OpenScreen() {
  return std::make_unique<Screen>(*this);
}
std::unique_ptr<CursorSource> FakeDesktop::OpenCursor() {
  return std::make_unique<Cursor>(*this);
}
std::unique_ptr<ChangeWatch> FakeDesktop::OpenChangeWatch() {
  std::lock_guard lock(lock_);
  if (!watch_) return nullptr;
  return std::make_unique<Watch>(*this);
}
void FakeDesktop::SetChangeWatch(bool on) {
  std::lock_guard lock(lock_);
  watch_ = on;
}
int FakeDesktop::WatchQueries() const {
  std::lock_guard lock(lock_);
  return watchQueries_;
}

void FakeDesktop::Reset(int width, int height, int bitsPerPixel) {
  std::lock_guard lock(lock_);
  width_ = std::max(0, width);
  height_ = std::max(0, height);
  bpp_ = bitsPerPixel;
  pixels_.assign(static_cast<size_t>(width_) * height_, 0);
  changes_.push_back({0, 0, width_, height_});
  ++drawn_;
}

void FakeDesktop::SetDepth(int bitsPerPixel) {
  std::lock_guard lock(lock_);
  bpp_ = bitsPerPixel;
  changes_.push_back({0, 0, width_, height_});
  ++drawn_;
}

void FakeDesktop::SetVirtualRect(const ScreenRect& r) {
  std::lock_guard lock(lock_);
  virtual_ = r;
  virtualSet_ = true;
  ++drawn_;
}

void FakeDesktop::changed(const ScreenRect& r) {
  if (r.empty()) return;
  changes_.push_back(r);
  ++drawn_;
}

void FakeDesktop::Fill(const ScreenRect& r, uint32_t rgb) {
  std::lock_guard lock(lock_);
  ScreenRect c = clip(r, width_, height_);
  for (int y = c.top; y < c.bottom; ++y)
    std::fill_n(&pixels_[static_cast<size_t>(y) * width_ + c.left], std::max(0, c.width()),
                rgb & 0xFFFFFF);
  changed(c);
}

void FakeDesktop::SetPixel(int x, int y, uint32_t rgb) {
  Fill({x, y, x + 1, y + 1}, rgb);
}

void FakeDesktop::Noise(const ScreenRect& r, uint32_t seed) {
  std::lock_guard lock(lock_);
  ScreenRect c = clip(r, width_, height_);
  uint32_t s = seed * 2654435761u + 1;
  for (int y = c.top; y < c.bottom; ++y)
    for (int x = c.left; x < c.right; ++x) {
      s ^= s << 13, s ^= s >> 17, s ^= s << 5;
      pixels_[static_cast<size_t>(y) * width_ + x] = s & 0xFFFFFF;
    }
  changed(c);
}

uint32_t FakeDesktop::Pixel(int x, int y) const {
  std::lock_guard lock(lock_);
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  return pixels_[static_cast<size_t>(y) * width_ + x];
}
int FakeDesktop::Width() const {
  std::lock_guard lock(lock_);
  return width_;
}
int FakeDesktop::Height() const {
  std::lock_guard lock(lock_);
  return height_;
}

void FakeDesktop::SetReachable(bool on) {
  std::lock_guard lock(lock_);
  reachable_ = on;
}
void FakeDesktop::SetGrabLimit(int grabs) {
  std::lock_guard lock(lock_);
  grabLimit_ = grabs;
}
void FakeDesktop::SetInputDesktopAccess(bool on) {
  std::lock_guard lock(lock_);
  access_ = on;
}
void FakeDesktop::SetBottomUp(bool on) {
  std::lock_guard lock(lock_);
  bottomUp_ = on;
}
void FakeDesktop::SetTrackChanges(bool on) {
  std::lock_guard lock(lock_);
  track_ = on;
  changes_.clear();
}
std::vector<ScreenRect> FakeDesktop::Grabs() const {
  std::lock_guard lock(lock_);
  return grabs_;
}
void FakeDesktop::ClearGrabs() {
  std::lock_guard lock(lock_);
  grabs_.clear();
}

void FakeDesktop::SetCursorInfoAvailable(bool on) {
  std::lock_guard lock(lock_);
  cursorInfo_ = on;
}
void FakeDesktop::SetCursorReadable(bool on) {
  std::lock_guard lock(lock_);
  cursorReadable_ = on;
}
void FakeDesktop::MoveCursor(int x, int y) {
  std::lock_guard lock(lock_);
  cursorX_ = x;
  cursorY_ = y;
}
void FakeDesktop::ShowCursor(bool on) {
  std::lock_guard lock(lock_);
  cursorShowing_ = on;
}
void FakeDesktop::SetCursorShape(const CursorShape& shape) {
  std::lock_guard lock(lock_);
  cursorShape_ = shape;
  ++cursorHandle_;
}

std::vector<std::string> FakeDesktop::InputLog() const {
  std::lock_guard lock(lock_);
  return inputLog_;
}

void FakeDesktop::Injector::KeybdEvent(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extra) {
  std::lock_guard lock(d_.lock_);
  d_.inputLog_.push_back("key " + std::to_string(vk) + " " + std::to_string(scan) + " " +
                         std::to_string(flags) + " " + std::to_string(extra));
}
void FakeDesktop::Injector::MouseEvent(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data,
                                       uint32_t extra) {
  std::lock_guard lock(d_.lock_);
  d_.inputLog_.push_back("mouse " + std::to_string(flags) + " " + std::to_string(dx) + " " +
                         std::to_string(dy) + " " + std::to_string(data) + " " +
                         std::to_string(extra));
}
void FakeDesktop::Injector::SecureAttention() {
  std::lock_guard lock(d_.lock_);
  d_.inputLog_.push_back("sas");
}

}  // namespace vtx
