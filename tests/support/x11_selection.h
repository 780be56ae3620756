// Test X clients of the CLIPBOARD selection, written against the selection protocol alone: an
// owner that serves a UTF-8 text from a thread of its own (through INCR above a chunk size), and
// a reader that fetches the text as UTF8_STRING (following INCR when the owner uses it).
#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <map>
#include <string>
#include <thread>
#include <utility>

namespace vtx::test {

// Waits at most `limit` for an event that satisfies `pred` (others are dropped); false on
// time-out.
template <class Pred>
bool waitXEvent(Display* dpy, XEvent& e, std::chrono::milliseconds limit, Pred pred) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    while (XPending(dpy) > 0) {
      XNextEvent(dpy, &e);
      if (pred(e)) return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{ConnectionNumber(dpy), POLLIN, 0};
    poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 50)));
  }
}

inline Window makeSelectionWindow(Display* dpy) {
  XSetWindowAttributes a{};
  a.event_mask = PropertyChangeMask;
  return XCreateWindow(dpy, DefaultRootWindow(dpy), -10, -10, 1, 1, 0, CopyFromParent, InputOnly,
                       CopyFromParent, CWEventMask, &a);
}

// Owns CLIPBOARD with `text` until destroyed or until another client takes it over.
class ClipboardOwner {
 public:
  ClipboardOwner(const std::string& display, std::string text, size_t chunk = 64 * 1024)
      : text_(std::move(text)), chunk_(chunk) {
    dpy_ = XOpenDisplay(display.c_str());
    if (!dpy_) return;
    clipboard_ = XInternAtom(dpy_, "CLIPBOARD", False);
    targets_ = XInternAtom(dpy_, "TARGETS", False);
    incr_ = XInternAtom(dpy_, "INCR", False);
    utf8_ = XInternAtom(dpy_, "UTF8_STRING", False);
    win_ = makeSelectionWindow(dpy_);
    // A real server time for the ownership, taken from a property change of our window.
    XChangeProperty(dpy_, win_, XA_WM_NAME, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XEvent e;
    Time when = CurrentTime;
    if (waitXEvent(dpy_, e, std::chrono::seconds(5), [&](const XEvent& ev) {
          return ev.type == PropertyNotify && ev.xproperty.window == win_;
        }))
      when = e.xproperty.time;
    XSetSelectionOwner(dpy_, clipboard_, win_, when);
    owned_ = XGetSelectionOwner(dpy_, clipboard_) == win_;
    thread_ = std::thread([this] { run(); });
  }
  ~ClipboardOwner() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (dpy_) XCloseDisplay(dpy_);
  }
  ClipboardOwner(const ClipboardOwner&) = delete;
  ClipboardOwner& operator=(const ClipboardOwner&) = delete;

  bool owned() const { return owned_; }
  // Whether another client took the selection over.
  bool lost() const { return lost_; }
  // Requests answered with the whole text, and those of them that went through INCR.
  int served() const { return served_; }
  int servedIncr() const { return servedIncr_; }

 private:
  void run() {
    while (!stop_) {
      XEvent e;
      if (!waitXEvent(dpy_, e, std::chrono::milliseconds(100), [](const XEvent&) { return true; }))
        continue;
      if (e.type == SelectionRequest) {
        answer(e.xselectionrequest);
      } else if (e.type == SelectionClear) {
        lost_ = true;
      } else if (e.type == PropertyNotify && e.xproperty.state == PropertyDelete) {
        auto it = transfers_.find({e.xproperty.window, e.xproperty.atom});
        if (it != transfers_.end()) sendChunk(it);
      }
    }
  }

  void answer(const XSelectionRequestEvent& r) {
    XSelectionEvent n{};
    n.type = SelectionNotify;
    n.requestor = r.requestor;
    n.selection = r.selection;
    n.target = r.target;
    n.time = r.time;
    n.property = None;
    const Atom prop = r.property != None ? r.property : r.target;
    if (!lost_ && r.selection == clipboard_) {
      if (r.target == targets_) {
        const long list[] = {static_cast<long>(targets_), static_cast<long>(utf8_)};
        XChangeProperty(dpy_, r.requestor, prop, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(list), 2);
        n.property = prop;
      } else if (r.target == utf8_) {
        if (text_.size() > chunk_) {
          // Told of the requestor's deletions before the INCR value goes out.
          XSelectInput(dpy_, r.requestor, PropertyChangeMask);
          const long size = static_cast<long>(text_.size());
          XChangeProperty(dpy_, r.requestor, prop, incr_, 32, PropModeReplace,
                          reinterpret_cast<const unsigned char*>(&size), 1);
          transfers_[{r.requestor, prop}] = 0;
        } else {
          XChangeProperty(dpy_, r.requestor, prop, utf8_, 8, PropModeReplace,
                          reinterpret_cast<const unsigned char*>(text_.data()),
                          static_cast<int>(text_.size()));
          ++served_;
        }
        n.property = prop;
      }
    }
    XSendEvent(dpy_, r.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&n));
    XFlush(dpy_);
  }

  void sendChunk(std::map<std::pair<Window, Atom>, size_t>::iterator it) {
    const size_t at = it->second, n = std::min(chunk_, text_.size() - at);
    XChangeProperty(dpy_, it->first.first, it->first.second, utf8_, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(text_.data() + at), static_cast<int>(n));
    it->second += n;
    if (n == 0) {  // the empty piece that ends the transfer
      transfers_.erase(it);
      ++served_;
      ++servedIncr_;
    }
    XFlush(dpy_);
  }

  const std::string text_;
  const size_t chunk_;
  Display* dpy_ = nullptr;
  Window win_ = 0;
  Atom clipboard_ = 0, targets_ = 0, incr_ = 0, utf8_ = 0;
  bool owned_ = false;
  std::thread thread_;
  std::atomic<bool> stop_{false}, lost_{false};
  std::atomic<int> served_{0}, servedIncr_{0};
  std::map<std::pair<Window, Atom>, size_t> transfers_;  // the thread's: sent so far
};

struct ClipboardRead {
  bool ok = false;    // the owner answered and the transfer completed
  bool incr = false;  // it came through INCR
  std::string text;
};

// The CLIPBOARD selection as UTF8_STRING, read over a connection of its own.
inline ClipboardRead readClipboardText(
    const std::string& display, std::chrono::milliseconds patience = std::chrono::seconds(5)) {
  ClipboardRead out;
  Display* dpy = XOpenDisplay(display.c_str());
  if (!dpy) return out;
  const Atom clipboard = XInternAtom(dpy, "CLIPBOARD", False);
  const Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
  const Atom incr = XInternAtom(dpy, "INCR", False);
  const Atom prop = XInternAtom(dpy, "VTX_TEST_SELECTION", False);
  const Window win = makeSelectionWindow(dpy);
  // The whole property, optionally deleted; false when it cannot be read.
  auto take = [&](bool remove, Atom& type, std::string& data) {
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* bytes = nullptr;
    if (XGetWindowProperty(dpy, win, prop, 0, LONG_MAX / 4, remove ? True : False, AnyPropertyType,
                           &type, &format, &items, &after, &bytes) != Success)
      return false;
    data.assign(reinterpret_cast<const char*>(bytes),
                bytes && format == 8 ? static_cast<size_t>(items) : 0);
    if (bytes) XFree(bytes);
    return true;
  };
  XConvertSelection(dpy, clipboard, utf8, prop, win, CurrentTime);
  XFlush(dpy);
  XEvent e;
  Atom type = None;
  std::string piece;
  if (waitXEvent(dpy, e, patience,
                 [&](const XEvent& ev) {
                   return ev.type == SelectionNotify && ev.xselection.requestor == win;
                 }) &&
      e.xselection.property != None && take(false, type, piece)) {
    if (type != incr) {
      out.ok = true;
      out.text = std::move(piece);
    } else {
      // Deleting the INCR value asks for the first piece; an empty piece ends the transfer.
      out.incr = true;
      XDeleteProperty(dpy, win, prop);
      XFlush(dpy);
      for (;;) {
        if (!waitXEvent(dpy, e, patience, [&](const XEvent& ev) {
              return ev.type == PropertyNotify && ev.xproperty.window == win &&
                     ev.xproperty.atom == prop && ev.xproperty.state == PropertyNewValue;
            }))
          break;
        if (!take(true, type, piece)) break;
        XFlush(dpy);
        if (piece.empty()) {
          out.ok = true;
          break;
        }
        out.text += piece;
      }
    }
  }
  XDestroyWindow(dpy, win);
  XCloseDisplay(dpy);
  return out;
}

}  // namespace vtx::test
