#include "platform/x11/x11_session_helpers.h"

// Before the X headers, whose macros clash with names of the platform layer.
#include "platform/x11/x11_desktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <cstring>
#include <mutex>

#include "desktop/clipboard_wire.h"
#include "platform/x11/x11_clipboard.h"
#include "util/exceptions.h"
#include "util/log.h"
#include "util/text.h"

namespace vtx {

namespace {

constexpr const char* kUtf8 = "UTF8_STRING";
constexpr const char* kLatin1 = "STRING";
constexpr const char* kUriList = "text/uri-list";
// Targets read from the clipboard, in row order (text first).
const std::vector<std::string> kReadTargets = {kUtf8, kLatin1, "image/png", kUriList, "text/html"};
// Names that belong to the selection protocol itself.
bool reservedTarget(const std::string& name) {
  return name == "TARGETS" || name == "MULTIPLE" || name == "INCR" || name == "TIMESTAMP" ||
         name == "DELETE" || name == "SAVE_TARGETS";
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class X11SessionHelpers final : public DesktopSessionHelpers {
 public:
  X11SessionHelpers(const std::string& display, std::unique_ptr<LocalPrompts> prompts)
      : clipboard_(display), prompts_(std::move(prompts)), dpy_(OpenX11Connection(display)) {
    int event, error;
    if (dpy_ && XQueryExtension(dpy_, "XInputExtension", &xiOpcode_, &event, &error)) {
      int major = 2, minor = 0;
      xi_ = XIQueryVersion(dpy_, &major, &minor) == Success;
    }
  }
  ~X11SessionHelpers() override {
    if (!dpy_) return;
    setDevices(XISlaveKeyboard, true);
    setDevices(XISlavePointer, true);
    XCloseDisplay(dpy_);
  }

  void HideWallpaper() override {
    std::lock_guard g(lock_);
    if (!dpy_ || !wallpaperShown_) return;
    wallpaperShown_ = false;
    Window root = DefaultRootWindow(dpy_);
    savedWallpaper_ = rootPixmap();
    XSetWindowBackground(dpy_, root, BlackPixel(dpy_, DefaultScreen(dpy_)));
    XClearWindow(dpy_, root);
    XSync(dpy_, False);
  }

  void ShowWallpaper() override {
    std::lock_guard g(lock_);
    if (!dpy_ || savedWallpaper_ == None) return;  // nothing to put back
    wallpaperShown_ = true;
    Window root = DefaultRootWindow(dpy_);
    XSetWindowBackgroundPixmap(dpy_, root, savedWallpaper_);
    XClearWindow(dpy_, root);
    XSync(dpy_, False);
  }

  void ToggleComposition() override {}

  std::string ReadClipboard() override {
    std::vector<ClipboardFormat> rows;
    bool text = false;
    for (X11Clipboard::Item& item : clipboard_.Read(kReadTargets)) {
      if (item.target == kUtf8 || item.target == kLatin1) {
        if (text) continue;
        text = true;
        std::string utf8 = item.target == kUtf8 ? item.data : Utf8FromTextClipboardData(item.data);
        rows.push_back({"", kClipboardUnicodeText, UnicodeClipboardData(utf8)});
      } else {
        rows.push_back({item.target, 0, std::move(item.data)});
      }
    }
    return ClipboardWireText(rows);
  }

  void WriteClipboard(const std::string& wireText) override {
    std::vector<ClipboardFormat> rows;
    try {
      rows = ParseClipboardWireText(wireText);
    } catch (const RtcException& e) {
      WriteLog(std::string("WriteClipboard: ") + e.what());
      return;
    }
    std::vector<X11Clipboard::Item> items;
    std::string text;
    bool haveUnicode = false;
    for (const ClipboardFormat& f : rows) {
      if (f.form.empty() && f.fmt == kClipboardUnicodeText && !haveUnicode) {
        text = Utf8FromUnicodeClipboardData(f.data);
        haveUnicode = true;
      } else if (f.form.empty() && f.fmt == kClipboardText && !haveUnicode && text.empty()) {
        text = Utf8FromTextClipboardData(f.data);
      } else if (!f.form.empty() && !reservedTarget(f.form)) {
        items.push_back({f.form, f.data});
      }
    }
    if (!text.empty()) {
      std::string latin1 = Narrow(Utf8Decode(text));
      items.insert(items.begin(), {{kUtf8, text},
                                   {"text/plain;charset=utf-8", text},
                                   {kLatin1, latin1},
                                   {"text/plain", latin1}});
    }
    clipboard_.Write(std::move(items));
  }

  std::optional<std::vector<std::string>> ClipboardFileNames() override {
    std::vector<std::string> names;
    for (const X11Clipboard::Item& item : clipboard_.Read({kUriList}))
      names = FilePathsFromUriList(item.data);
    if (names.empty()) return std::nullopt;
    return names;
  }

  void ShowRemoteNotification(const std::string& text) override {
    if (prompts_) prompts_->ShowNotification(kNotificationTitle, text);
  }
  bool ConfirmDesktopAccess(const std::string& user) override {
    return prompts_ &&
           prompts_->Confirm(kConfirmAccessTitle, ConfirmAccessText(user), kConfirmAccessSeconds);
  }

  bool KeyboardLocked() const override {
    std::lock_guard g(lock_);
    return keyboardLocked_;
  }
  void SetKeyboardLocked(bool locked) override {
    std::lock_guard g(lock_);
    if (locked == keyboardLocked_) return;
    keyboardLocked_ = locked;
    setDevices(XISlaveKeyboard, !locked);
  }
  bool MouseLocked() const override {
    std::lock_guard g(lock_);
    return mouseLocked_;
  }
  void SetMouseLocked(bool locked) override {
    std::lock_guard g(lock_);
    if (locked == mouseLocked_) return;
    mouseLocked_ = locked;
    setDevices(XISlavePointer, !locked);
  }

 private:
  // The wallpaper pixmap that desktop setters publish on the root window, or None.
  Pixmap rootPixmap() {
    Atom prop = XInternAtom(dpy_, "_XROOTPMAP_ID", True);
    if (prop == None) return None;
    Atom type;
    int format;
    unsigned long items, after;
    unsigned char* data = nullptr;
    Pixmap p = None;
    if (XGetWindowProperty(dpy_, DefaultRootWindow(dpy_), prop, 0, 1, False, XA_PIXMAP, &type,
                           &format, &items, &after, &data) == Success &&
        data && type == XA_PIXMAP && format == 32 && items == 1)
      p = static_cast<Pixmap>(*reinterpret_cast<const long*>(data));
    if (data) XFree(data);
    return p;
  }

  // Grabs (or lets go of) the physical devices of a kind with an empty event mask: their events
  // are swallowed, while injected input comes through the XTest devices, which stay free. The
  // server ends the grabs by itself when this connection closes, so a crashed host cannot leave
  // the local user locked out. Errors are ignored.
  void setDevices(int use, bool enabled) {
    if (!dpy_ || !xi_) return;
    int n = 0;
    XIDeviceInfo* info = XIQueryDevice(dpy_, XIAllDevices, &n);
    for (int i = 0; info && i < n; ++i) {
      if (info[i].use != use || std::strstr(info[i].name, "XTEST")) continue;
      if (enabled) {
        XIUngrabDevice(dpy_, info[i].deviceid, CurrentTime);
      } else {
        unsigned char bits[4] = {0, 0, 0, 0};
        XIEventMask mask{info[i].deviceid, sizeof bits, bits};
        XIGrabDevice(dpy_, info[i].deviceid, DefaultRootWindow(dpy_), CurrentTime, None,
                     XIGrabModeAsync, XIGrabModeAsync, False, &mask);
      }
    }
    if (info) XIFreeDeviceInfo(info);
    XSync(dpy_, False);
  }

  X11Clipboard clipboard_;
  std::unique_ptr<LocalPrompts> prompts_;
  mutable std::mutex lock_;  // the connection and the flags below
  Display* dpy_;
  int xiOpcode_ = 0;
  bool xi_ = false;
  bool wallpaperShown_ = true;
  Pixmap savedWallpaper_ = None;
  bool keyboardLocked_ = false, mouseLocked_ = false;
};

}  // namespace

std::unique_ptr<DesktopSessionHelpers> OpenX11SessionHelpers(
    const std::string& display, std::unique_ptr<LocalPrompts> prompts) {
  return std::make_unique<X11SessionHelpers>(display, std::move(prompts));
}

std::vector<std::string> FilePathsFromUriList(const std::string& list) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < list.size()) {
    size_t end = list.find('\n', at);
    if (end == std::string::npos) end = list.size();
    std::string line = list.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#' || line.compare(0, 5, "file:") != 0) continue;
    std::string path = line.substr(5);
    if (path.compare(0, 2, "//") == 0) {
      size_t slash = path.find('/', 2);  // skip the host
      if (slash == std::string::npos) continue;
      path = path.substr(slash);
    }
    std::string decoded;
    for (size_t i = 0; i < path.size(); ++i) {
      int hi, lo;
      if (path[i] == '%' && i + 2 < path.size() + 0 && (hi = hexValue(path[i + 1])) >= 0 &&
          (lo = hexValue(path[i + 2])) >= 0) {
        decoded += static_cast<char>(hi * 16 + lo);
        i += 2;
      } else {
        decoded += path[i];
      }
    }
    if (!decoded.empty() && decoded.find('\0') == std::string::npos) out.push_back(decoded);
  }
  return out;
}

}  // namespace vtx
