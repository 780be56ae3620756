#include "platform/x11/x11_clipboard.h"

// Before the X headers, whose macros clash with names of the platform layer.
#include "platform/x11/x11_desktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace vtx {

namespace {

using Clock = std::chrono::steady_clock;
// How long the owner may stay silent before a read gives up.
constexpr auto kReadPatience = std::chrono::seconds(2);

Window makeWindow(Display* dpy) {
  XSetWindowAttributes a{};
  a.event_mask = PropertyChangeMask;
  return XCreateWindow(dpy, DefaultRootWindow(dpy), -10, -10, 1, 1, 0, CopyFromParent, InputOnly,
                       CopyFromParent, CWEventMask, &a);
}

// Waits for an event of the given type on the window (matching pred); false on time-out.
template <class Pred>
bool waitEvent(Display* dpy, XEvent& e, Pred pred) {
  auto deadline = Clock::now() + kReadPatience;
  while (Clock::now() < deadline) {
    while (XPending(dpy) > 0) {
      XNextEvent(dpy, &e);
      if (pred(e)) return true;
    }
    pollfd p{ConnectionNumber(dpy), POLLIN, 0};
    poll(&p, 1, 20);
  }
  return false;
}

// The whole property as bytes (format 32 items widened from the client's longs back to 32-bit
// values); type and format set; optionally deleted.
bool readProperty(Display* dpy, Window w, Atom prop, bool remove, std::string& out, Atom& type,
                  int& format) {
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(dpy, w, prop, 0, LONG_MAX / 4, remove ? True : False, AnyPropertyType,
                         &type, &format, &items, &after, &data) != Success)
    return false;
  out.clear();
  if (data) {
    if (format == 32) {
      const long* l = reinterpret_cast<const long*>(data);
      for (unsigned long i = 0; i < items; ++i) {
        uint32_t v = static_cast<uint32_t>(l[i]);
        out.append(reinterpret_cast<const char*>(&v), 4);
      }
    } else {
      out.assign(reinterpret_cast<const char*>(data), items * static_cast<unsigned>(format) / 8);
    }
    XFree(data);
  }
  return true;
}

}  // namespace

// ---- reading: one connection and window, used by one caller at a time ----
struct X11Clipboard::Reader {
  std::mutex lock;
  Display* dpy = nullptr;
  Window win = 0;
  Atom clipboard = 0, targets = 0, incr = 0, prop = 0;

  // The data of one target, or false.
  bool convert(Atom target, std::string& out) {
    XConvertSelection(dpy, clipboard, target, prop, win, CurrentTime);
    XFlush(dpy);
    XEvent e;
    if (!waitEvent(dpy, e, [&](const XEvent& ev) {
          return ev.type == SelectionNotify && ev.xselection.requestor == win &&
                 ev.xselection.selection == clipboard;
        }))
      return false;
    if (e.xselection.property == None) return false;
    Atom type = 0;
    int format = 0;
    if (!readProperty(dpy, win, prop, false, out, type, format)) return false;
    if (type != incr) {
      XDeleteProperty(dpy, win, prop);
      XFlush(dpy);
      return true;
    }
    // INCR: each chunk arrives as a new value; an empty one ends the transfer.
    XDeleteProperty(dpy, win, prop);
    XFlush(dpy);
    std::string all, chunk;
    for (;;) {
      if (!waitEvent(dpy, e, [&](const XEvent& ev) {
            return ev.type == PropertyNotify && ev.xproperty.window == win &&
                   ev.xproperty.atom == prop && ev.xproperty.state == PropertyNewValue;
          }))
        return false;
      if (!readProperty(dpy, win, prop, true, chunk, type, format)) return false;
      XFlush(dpy);
      if (chunk.empty()) break;
      if (all.size() + chunk.size() > kMaxReadBytes) return false;
      all += chunk;
    }
    out = std::move(all);
    return true;
  }
};

// ---- owning: a thread that answers requests for the items it holds ----
struct X11Clipboard::Server {
  Display* dpy = nullptr;
  Window win = 0;
  Atom clipboard = 0, targets = 0, incr = 0, atomType = XA_ATOM;
  int wake[2] = {-1, -1};
  std::thread thread;
  std::atomic<bool> stop{false};

  std::mutex lock;  // guards pending, wantOwn and the counts
  std::condition_variable owned;
  std::vector<Item> pending;
  bool wantOwn = false;
  uint64_t requested = 0, served = 0;

  // The thread's own state.
  std::map<Atom, std::shared_ptr<const std::string>> items;
  std::vector<Atom> order;
  struct Transfer {
    std::shared_ptr<const std::string> data;
    Atom type;
    size_t offset;
    bool finished;
    Clock::time_point last;  // the requestor's last step
  };
  std::map<std::pair<Window, Atom>, Transfer> transfers;
  size_t chunk = 0;
  std::atomic<size_t> transferCount{0};
  std::atomic<int64_t> idleLimitMs{30000};

  void counted() { transferCount = transfers.size(); }

  // Drops the transfers to a requestor window that is gone.
  void dropTransfersTo(Window w) {
    for (auto it = transfers.begin(); it != transfers.end();)
      it = it->first.first == w ? transfers.erase(it) : std::next(it);
    counted();
  }

  // Drops the transfers whose requestor took no chunk for the idle limit.
  void dropIdleTransfers() {
    const auto limit = std::chrono::milliseconds(idleLimitMs.load());
    const auto now = Clock::now();
    for (auto it = transfers.begin(); it != transfers.end();) {
      if (now - it->second.last < limit) {
        ++it;
        continue;
      }
      XSelectInput(dpy, it->first.first, NoEventMask);
      it = transfers.erase(it);
    }
    counted();
  }

  void run() {
    while (!stop) {
      pollfd p[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {wake[0], POLLIN, 0}};
      if (XPending(dpy) == 0) poll(p, 2, 200);
      if (p[1].revents & POLLIN) {
        char buf[64];
        while (read(wake[0], buf, sizeof buf) == static_cast<ssize_t>(sizeof buf)) {
        }
      }
      takeOver();
      while (XPending(dpy) > 0) {
        XEvent e;
        XNextEvent(dpy, &e);
        handle(e);
      }
      if (!transfers.empty()) {
        dropIdleTransfers();
        XFlush(dpy);
      }
    }
  }

  void takeOver() {
    std::vector<Item> next;
    {
      std::lock_guard g(lock);
      if (!wantOwn) return;
      wantOwn = false;
      ++requested;
      next = std::move(pending);
    }
    items.clear();
    order.clear();
    transfers.clear();
    counted();
    for (Item& i : next) {
      Atom a = XInternAtom(dpy, i.target.c_str(), False);
      if (!items.count(a)) order.push_back(a);
      items[a] = std::make_shared<const std::string>(std::move(i.data));
    }
    XSetSelectionOwner(dpy, clipboard, win, CurrentTime);
    XSync(dpy, False);
    std::lock_guard g(lock);
    served = requested;
    owned.notify_all();
  }

  void handle(const XEvent& e) {
    if (e.type == SelectionClear && e.xselectionclear.selection == clipboard) {
      items.clear();
      order.clear();
    } else if (e.type == SelectionRequest) {
      answer(e.xselectionrequest);
    } else if (e.type == PropertyNotify && e.xproperty.state == PropertyDelete) {
      auto it = transfers.find({e.xproperty.window, e.xproperty.atom});
      if (it != transfers.end()) sendChunk(it);
    } else if (e.type == DestroyNotify) {
      dropTransfersTo(e.xdestroywindow.window);
    }
  }

  void answer(const XSelectionRequestEvent& r) {
    XSelectionEvent n{};
    n.type = SelectionNotify;
    n.display = r.display;
    n.requestor = r.requestor;
    n.selection = r.selection;
    n.target = r.target;
    n.time = r.time;
    Atom prop = r.property != None ? r.property : r.target;  // obsolete clients
    n.property = None;
    if (r.selection == clipboard && r.owner == win) {
      if (r.target == targets) {
        std::vector<long> list{static_cast<long>(targets)};
        for (Atom a : order) list.push_back(static_cast<long>(a));
        XChangeProperty(dpy, r.requestor, prop, atomType, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(list.data()),
                        static_cast<int>(list.size()));
        n.property = prop;
      } else if (auto it = items.find(r.target); it != items.end()) {
        const std::string& d = *it->second;
        if (d.size() > chunk) {
          long size = static_cast<long>(std::min<size_t>(d.size(), LONG_MAX));
          // Its destruction ends the transfer too.
          XSelectInput(dpy, r.requestor, PropertyChangeMask | StructureNotifyMask);
          XChangeProperty(dpy, r.requestor, prop, incr, 32, PropModeReplace,
                          reinterpret_cast<const unsigned char*>(&size), 1);
          transfers[{r.requestor, prop}] = Transfer{it->second, r.target, 0, false, Clock::now()};
          counted();
        } else {
          XChangeProperty(dpy, r.requestor, prop, r.target, 8, PropModeReplace,
                          reinterpret_cast<const unsigned char*>(d.data()),
                          static_cast<int>(d.size()));
        }
        n.property = prop;
      }
    }
    XSendEvent(dpy, r.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&n));
    XFlush(dpy);
  }

  void sendChunk(std::map<std::pair<Window, Atom>, Transfer>::iterator it) {
    Transfer& t = it->second;
    size_t n = std::min(chunk, t.data->size() - t.offset);
    XChangeProperty(dpy, it->first.first, it->first.second, t.type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(t.data->data() + t.offset),
                    static_cast<int>(n));
    t.offset += n;
    t.last = Clock::now();
    if (n == 0) {
      // The empty chunk that ends the transfer went out.
      XSelectInput(dpy, it->first.first, NoEventMask);
      transfers.erase(it);
      counted();
    }
    XFlush(dpy);
  }
};

X11Clipboard::X11Clipboard(const std::string& display)
    : reader_(std::make_unique<Reader>()), server_(std::make_unique<Server>()) {
  Reader& r = *reader_;
  r.dpy = OpenX11Connection(display);
  if (r.dpy) {
    r.win = makeWindow(r.dpy);
    r.clipboard = XInternAtom(r.dpy, "CLIPBOARD", False);
    r.targets = XInternAtom(r.dpy, "TARGETS", False);
    r.incr = XInternAtom(r.dpy, "INCR", False);
    r.prop = XInternAtom(r.dpy, "VTX_CLIPBOARD", False);
  }
  Server& s = *server_;
  s.dpy = OpenX11Connection(display);
  if (!s.dpy || pipe(s.wake) != 0) return;
  for (int fd : s.wake) fcntl(fd, F_SETFL, O_NONBLOCK);
  s.win = makeWindow(s.dpy);
  s.clipboard = XInternAtom(s.dpy, "CLIPBOARD", False);
  s.targets = XInternAtom(s.dpy, "TARGETS", False);
  s.incr = XInternAtom(s.dpy, "INCR", False);
  long maxRequest = XExtendedMaxRequestSize(s.dpy);
  if (maxRequest == 0) maxRequest = XMaxRequestSize(s.dpy);
  s.chunk = std::min<size_t>(256 * 1024, static_cast<size_t>(maxRequest) * 4 - 1024);
  XFlush(s.dpy);
  s.thread = std::thread([&s] { s.run(); });
}

X11Clipboard::~X11Clipboard() {
  Server& s = *server_;
  if (s.thread.joinable()) {
    s.stop = true;
    char c = 0;
    (void)!write(s.wake[1], &c, 1);
    s.thread.join();
  }
  for (int fd : s.wake)
    if (fd >= 0) close(fd);
  if (s.dpy) XCloseDisplay(s.dpy);
  if (reader_->dpy) XCloseDisplay(reader_->dpy);
}

std::vector<X11Clipboard::Item> X11Clipboard::Read(const std::vector<std::string>& wanted) {
  std::vector<Item> out;
  Reader& r = *reader_;
  std::lock_guard g(r.lock);
  if (!r.dpy || XGetSelectionOwner(r.dpy, r.clipboard) == None) return out;
  std::string list;
  if (!r.convert(r.targets, list)) return out;
  std::vector<Atom> offered;
  for (size_t i = 0; i + 4 <= list.size(); i += 4) {
    uint32_t v;
    std::memcpy(&v, list.data() + i, 4);
    offered.push_back(v);
  }
  for (const std::string& name : wanted) {
    Atom a = XInternAtom(r.dpy, name.c_str(), False);
    if (std::find(offered.begin(), offered.end(), a) == offered.end()) continue;
    Item item{name, {}};
    if (r.convert(a, item.data) && !item.data.empty()) out.push_back(std::move(item));
  }
  return out;
}

size_t X11Clipboard::OpenTransfers() const {
  return server_->transferCount;
}

void X11Clipboard::setTransferIdleLimit(std::chrono::milliseconds limit) {
  server_->idleLimitMs = limit.count();
}

void X11Clipboard::Write(std::vector<Item> items) {
  Server& s = *server_;
  if (!s.thread.joinable()) return;
  std::unique_lock g(s.lock);
  s.pending = std::move(items);
  s.wantOwn = true;
  uint64_t want = s.requested + 1;
  char c = 0;
  (void)!write(s.wake[1], &c, 1);
  // Back once the selection is ours, so that a read that follows sees the new content.
  s.owned.wait_for(g, kReadPatience, [&] { return s.served >= want; });
}

}  // namespace vtx
