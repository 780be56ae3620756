#include "platform/x11/x11_desktop.h"

#include "platform/x11/x11_input.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#undef CursorShape  // an X11 constant; the name is ours

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace vtx {
namespace {

// Xlib reports protocol errors through one process-wide handler; the default one ends the
// process. Ours records the error for the thread that made the failing request (each
// connection is used by one thread at a time).
thread_local int tLastError = 0;

int recordError(::Display*, XErrorEvent* e) {
  tLastError = e->error_code ? e->error_code : 1;
  return 0;
}

void installErrorHandler() {
  static std::once_flag once;
  std::call_once(once, [] { XSetErrorHandler(recordError); });
}

::Display* openDisplay(const std::string& name) {
  installErrorHandler();
  return XOpenDisplay(name.empty() ? nullptr : name.c_str());
}

// Runs f and reports whether the server accepted its requests.
template <class F>
bool checked(::Display* dpy, F&& f) {
  XSync(dpy, False);
  tLastError = 0;
  f();
  XSync(dpy, False);
  return tLastError == 0;
}

class X11Screen final : public ScreenSource {
 public:
  explicit X11Screen(const X11Options& o) : options_(o) {
    dpy_ = openDisplay(o.display);
    if (!dpy_) return;
    root_ = DefaultRootWindow(dpy_);
    int screen = DefaultScreen(dpy_);
    visual_ = DefaultVisual(dpy_, screen);
    depth_ = DefaultDepth(dpy_, screen);
    int n = 0;
    if (XPixmapFormatValues* f = XListPixmapFormats(dpy_, &n)) {
      for (int i = 0; i < n; ++i)
        if (f[i].depth == depth_) bpp_ = f[i].bits_per_pixel;
      XFree(f);
    }
    int eventBase = 0, errorBase = 0;
    randr_ = XRRQueryExtension(dpy_, &randrEvent_, &errorBase);
    XSelectInput(dpy_, root_, StructureNotifyMask);
    if (randr_) XRRSelectInput(dpy_, root_, RRScreenChangeNotifyMask);
    shm_ = o.useShm && XShmQueryExtension(dpy_);
    if (o.trackChanges && XDamageQueryExtension(dpy_, &damageEvent_, &errorBase) &&
        XFixesQueryExtension(dpy_, &eventBase, &errorBase)) {
      damage_ = XDamageCreate(dpy_, root_, XDamageReportNonEmpty);
      region_ = XFixesCreateRegion(dpy_, nullptr, 0);
    }
  }

  ~X11Screen() override {
    if (!dpy_) return;
    releaseShm();
    if (plain_) XDestroyImage(plain_);
    if (damage_) XDamageDestroy(dpy_, damage_);
    if (region_) XFixesDestroyRegion(dpy_, region_);
    XCloseDisplay(dpy_);
  }

  bool Display(bool multiMonitor, DisplayInfo& out) override {
    if (!dpy_) return false;
    drainEvents();
    if (!geometryKnown_) readGeometry();
    out.rect = multiMonitor ? virtual_ : primary_;
    out.bitsPerPixel = bpp_;
    return true;
  }

  bool Grab(const ScreenRect& rect, RawImage& out) override {
    if (!dpy_ || rect.empty()) return false;
    drainEvents();
    if (!geometryKnown_) readGeometry();
    ScreenRect c{std::max(rect.left, virtual_.left), std::max(rect.top, virtual_.top),
                 std::min(rect.right, virtual_.right), std::min(rect.bottom, virtual_.bottom)};
    if (c.empty()) return blackImage(rect, out);
    XImage* image = nullptr;
    if (shm_) image = shmGrab(c);
    if (!image) image = plainGrab(c);
    if (!image) return false;
    out.layout.bitsPerPixel = image->bits_per_pixel;
    out.layout.redMask = static_cast<uint32_t>(image->red_mask);
    out.layout.greenMask = static_cast<uint32_t>(image->green_mask);
    out.layout.blueMask = static_cast<uint32_t>(image->blue_mask);
    if (image->byte_order != LSBFirst && image->bits_per_pixel > 8) out.layout.bitsPerPixel = 0;
    if (c.left == rect.left && c.top == rect.top) {
      out.data = reinterpret_cast<const uint8_t*>(image->data);
      out.stride = static_cast<size_t>(image->bytes_per_line);
      out.width = c.width();
      out.height = c.height();
      return true;
    }
    // The desktop starts right or below the rectangle's corner: place the part in black.
    size_t bytes = static_cast<size_t>(image->bits_per_pixel) / 8;
    out.stride = bytes * static_cast<size_t>(rect.width());
    padded_.assign(out.stride * static_cast<size_t>(c.bottom - rect.top), 0);
    for (int y = 0; y < c.height(); ++y)
      std::memcpy(padded_.data() + static_cast<size_t>(c.top - rect.top + y) * out.stride +
                      bytes * static_cast<size_t>(c.left - rect.left),
                  image->data + static_cast<size_t>(y) * image->bytes_per_line,
                  bytes * static_cast<size_t>(c.width()));
    out.data = padded_.data();
    out.width = c.right - rect.left;
    out.height = c.bottom - rect.top;
    return true;
  }

  bool TakeChanges(std::vector<ScreenRect>& out) override {
    out.clear();
    if (!dpy_ || !damage_) return false;
    XDamageSubtract(dpy_, damage_, None, region_);
    int n = 0;
    XRectangle* rects = XFixesFetchRegion(dpy_, region_, &n);  // a round trip
    for (int i = 0; i < n; ++i)
      out.push_back(
          {rects[i].x, rects[i].y, rects[i].x + rects[i].width, rects[i].y + rects[i].height});
    if (rects) XFree(rects);
    drainEvents();
    return true;
  }

 private:
  void drainEvents() {
    while (XPending(dpy_) > 0) {
      XEvent e;
      XNextEvent(dpy_, &e);
      if (e.type == ConfigureNotify || (randr_ && e.type == randrEvent_ + RRScreenChangeNotify)) {
        if (randr_) XRRUpdateConfiguration(&e);
        geometryKnown_ = false;
      }
    }
  }

  void readGeometry() {
    XWindowAttributes a;
    if (!XGetWindowAttributes(dpy_, root_, &a)) return;
    virtual_ = {0, 0, a.width, a.height};
    primary_ = virtual_;
    if (randr_) {
      int n = 0;
      if (XRRMonitorInfo* m = XRRGetMonitors(dpy_, root_, True, &n)) {
        int pick = -1;
        for (int i = 0; i < n; ++i)
          if (m[i].primary) pick = i;
        if (pick < 0 && n > 0) pick = 0;
        if (pick >= 0)
          primary_ = {m[pick].x, m[pick].y, m[pick].x + m[pick].width, m[pick].y + m[pick].height};
        XRRFreeMonitors(m);
      }
    }
    geometryKnown_ = true;
  }

  bool blackImage(const ScreenRect& rect, RawImage& out) {
    out = RawImage{};
    out.layout.bitsPerPixel = 32;
    out.data = reinterpret_cast<const uint8_t*>("");
    out.width = out.height = 0;
    (void)rect;
    return true;
  }

  XImage* shmGrab(const ScreenRect& c) {
    size_t need = static_cast<size_t>(c.width()) * c.height() * 4 + 64;
    if (need > shmSize_ && !allocShm(need)) {
      shm_ = false;  // the server cannot share memory with us: plain grabs from now on
      return nullptr;
    }
    if (!shmImage_ || shmImage_->width != c.width() || shmImage_->height != c.height()) {
      if (shmImage_) {
        shmImage_->data = nullptr;
        XDestroyImage(shmImage_);
      }
      shmImage_ = XShmCreateImage(dpy_, visual_, static_cast<unsigned>(depth_), ZPixmap,
                                  shmInfo_.shmaddr, &shmInfo_, static_cast<unsigned>(c.width()),
                                  static_cast<unsigned>(c.height()));
      if (!shmImage_) return nullptr;
      if (static_cast<size_t>(shmImage_->bytes_per_line) * c.height() > shmSize_) {
        shmImage_->data = nullptr;
        XDestroyImage(shmImage_);
        shmImage_ = nullptr;
        return nullptr;
      }
    }
    tLastError = 0;
    if (!XShmGetImage(dpy_, root_, shmImage_, c.left, c.top, AllPlanes) || tLastError)
      return nullptr;
    return shmImage_;
  }

  bool allocShm(size_t size) {
    releaseShm();
    size = std::max(size, size_t{1} << 20);
    int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return false;
    void* addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
      shmctl(id, IPC_RMID, nullptr);
      return false;
    }
    shmInfo_ = {};
    shmInfo_.shmid = id;
    shmInfo_.shmaddr = static_cast<char*>(addr);
    shmInfo_.readOnly = False;
    bool attached = checked(dpy_, [&] { XShmAttach(dpy_, &shmInfo_); });
    shmctl(id, IPC_RMID, nullptr);  // freed once both sides detach
    if (!attached) {
      shmdt(addr);
      shmInfo_ = {};
      return false;
    }
    shmSize_ = size;
    return true;
  }

  void releaseShm() {
    if (shmImage_) {
      shmImage_->data = nullptr;
      XDestroyImage(shmImage_);
      shmImage_ = nullptr;
    }
    if (shmSize_) {
      XShmDetach(dpy_, &shmInfo_);
      XSync(dpy_, False);
      shmdt(shmInfo_.shmaddr);
      shmSize_ = 0;
      shmInfo_ = {};
    }
  }

  XImage* plainGrab(const ScreenRect& c) {
    if (plain_) {
      XDestroyImage(plain_);
      plain_ = nullptr;
    }
    tLastError = 0;
    plain_ = XGetImage(dpy_, root_, c.left, c.top, static_cast<unsigned>(c.width()),
                       static_cast<unsigned>(c.height()), AllPlanes, ZPixmap);
    if (tLastError && plain_) {
      XDestroyImage(plain_);
      plain_ = nullptr;
    }
    return plain_;
  }

  X11Options options_;
  ::Display* dpy_ = nullptr;
  Window root_ = 0;
  Visual* visual_ = nullptr;
  int depth_ = 0, bpp_ = 0;
  bool randr_ = false;
  int randrEvent_ = 0, damageEvent_ = 0;
  bool geometryKnown_ = false;
  ScreenRect primary_, virtual_;
  bool shm_ = false;
  XShmSegmentInfo shmInfo_{};
  size_t shmSize_ = 0;
  XImage* shmImage_ = nullptr;
  XImage* plain_ = nullptr;
  Damage damage_ = 0;
  XserverRegion region_ = 0;
  std::vector<uint8_t> padded_;
};

class X11Cursor final : public CursorSource {
 public:
  explicit X11Cursor(const X11Options& o) {
    dpy_ = openDisplay(o.display);
    if (!dpy_) return;
    int errorBase = 0;
    xfixes_ = XFixesQueryExtension(dpy_, &fixesEvent_, &errorBase);
    if (xfixes_)
      XFixesSelectCursorInput(dpy_, DefaultRootWindow(dpy_), XFixesDisplayCursorNotifyMask);
  }
  ~X11Cursor() override {
    if (image_) XFree(image_);
    if (dpy_) XCloseDisplay(dpy_);
  }

  bool InfoAvailable() const override { return xfixes_; }

  // The cursor image is fetched only when the server reported a new shape since the last fetch;
  // otherwise a pointer query gives the position.
  bool Sample(CursorSample& out) override {
    if (!dpy_) return false;
    if (xfixes_ && image_) {
      int x = 0, y = 0;
      // Events sent before the reply are queued by the time it is read: a shape change made
      // before the query is seen below.
      if (queryPointer(x, y) && !shapeChanged()) {
        out.showing = true;
        out.x = x;
        out.y = y;
        out.handle = image_->cursor_serial;
        return true;
      }
    }
    if (xfixes_) {
      shapeChanged();  // the image fetched now is newer than every queued notice
      XFixesCursorImage* image = XFixesGetCursorImage(dpy_);
      if (image_) XFree(image_);
      image_ = image;  // none: the next sample fetches again
      if (!image) return false;
      out.showing = true;
      out.x = image->x;
      out.y = image->y;
      out.handle = image->cursor_serial;
      return true;
    }
    int x = 0, y = 0;
    if (!queryPointer(x, y)) return false;
    out.showing = true;
    out.x = x;
    out.y = y;
    out.handle = 0;
    return true;
  }

  bool Shape(uint64_t handle, CursorShape& out) override {
    if (!image_ || image_->cursor_serial != handle) return false;
    out.name = image_->name ? image_->name : "";
    out.width = image_->width;
    out.height = image_->height;
    out.hotX = image_->xhot;
    out.hotY = image_->yhot;
    out.argb.resize(static_cast<size_t>(out.width) * out.height);
    for (size_t i = 0; i < out.argb.size(); ++i)
      out.argb[i] = static_cast<uint32_t>(image_->pixels[i]);  // unsigned long per pixel
    return true;
  }

 private:
  bool queryPointer(int& x, int& y) {
    Window root = 0, child = 0;
    int wx = 0, wy = 0;
    unsigned mask = 0;
    return XQueryPointer(dpy_, DefaultRootWindow(dpy_), &root, &child, &x, &y, &wx, &wy, &mask);
  }
  // Takes the queued events; true when one of them reports a new cursor shape.
  bool shapeChanged() {
    bool changed = false;
    while (XPending(dpy_) > 0) {
      XEvent e;
      XNextEvent(dpy_, &e);
      if (e.type == fixesEvent_ + XFixesCursorNotify) changed = true;
    }
    return changed;
  }

  ::Display* dpy_ = nullptr;
  bool xfixes_ = false;
  int fixesEvent_ = 0;
  XFixesCursorImage* image_ = nullptr;
};

// Damage on the root window through a connection of its own: a notice arrives when the damaged
// area stops being empty, so asking is a look at the event queue (no round trip).
class X11ChangeWatch final : public ChangeWatch {
 public:
  explicit X11ChangeWatch(const X11Options& o) {
    dpy_ = openDisplay(o.display);
    if (!dpy_) return;
    int damageEvent = 0, eventBase = 0, errorBase = 0;
    if (!XDamageQueryExtension(dpy_, &damageEvent, &errorBase) ||
        !XFixesQueryExtension(dpy_, &eventBase, &errorBase))
      return;
    const Window root = DefaultRootWindow(dpy_);
    XSelectInput(dpy_, root, StructureNotifyMask);
    Damage damage = 0;
    // Without a working damage object there would be no notices: then every answer is true.
    if (checked(dpy_, [&] { damage = XDamageCreate(dpy_, root, XDamageReportNonEmpty); }))
      damage_ = damage;
  }
  ~X11ChangeWatch() override {
    if (!dpy_) return;
    if (damage_) XDamageDestroy(dpy_, damage_);
    XCloseDisplay(dpy_);
  }

  bool Changed() override {
    if (!dpy_ || !damage_) return true;
    bool changed = first_;
    first_ = false;
    while (XPending(dpy_) > 0) {  // damage or geometry notices
      XEvent e;
      XNextEvent(dpy_, &e);
      changed = true;
    }
    if (changed) {
      // Empty again, so the next drawing sends a new notice. Waited for: the server may take
      // other clients' requests first, and a drawing it took between the caller's grab and
      // this request would be emptied away without a notice.
      XDamageSubtract(dpy_, damage_, None, None);
      XSync(dpy_, False);
    }
    return changed;
  }

 private:
  ::Display* dpy_ = nullptr;
  Damage damage_ = 0;
  bool first_ = true;
};

class X11Desktop final : public DesktopPlatform {
 public:
  explicit X11Desktop(X11Options o) : options_(std::move(o)) {}
  std::unique_ptr<ScreenSource> OpenScreen() override {
    return std::make_unique<X11Screen>(options_);
  }
  std::unique_ptr<CursorSource> OpenCursor() override {
    return std::make_unique<X11Cursor>(options_);
  }
  std::unique_ptr<ChangeWatch> OpenChangeWatch() override {
    if (!options_.trackChanges) return nullptr;
    return std::make_unique<X11ChangeWatch>(options_);
  }
  InputInjector* Input() override { return input(); }
  InputPlatform* InputOps() override { return input(); }

 private:
  X11Input* input() {
    std::lock_guard g(inputLock_);
    if (!input_) input_ = std::make_unique<X11Input>(openDisplay(options_.display));
    return input_.get();
  }

  X11Options options_;
  std::mutex inputLock_;
  std::unique_ptr<X11Input> input_;
};

}  // namespace

_XDisplay* OpenX11Connection(const std::string& display) {
  return openDisplay(display);
}

std::unique_ptr<DesktopPlatform> OpenX11Desktop(X11Options options) {
  return std::make_unique<X11Desktop>(std::move(options));
}

}  // namespace vtx
