#include "platform/x11/x11_input.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace vtx {

namespace {

struct VkSym {
  uint8_t vk;
  KeySym sym;
};

constexpr VkSym kVkSyms[] = {
    {8, XK_BackSpace},     {9, XK_Tab},           {12, XK_Clear},         {13, XK_Return},
    {16, XK_Shift_L},      {17, XK_Control_L},    {18, XK_Alt_L},         {19, XK_Pause},
    {20, XK_Caps_Lock},    {27, XK_Escape},       {32, XK_space},         {33, XK_Prior},
    {34, XK_Next},         {35, XK_End},          {36, XK_Home},          {37, XK_Left},
    {38, XK_Up},           {39, XK_Right},        {40, XK_Down},          {41, XK_Select},
    {43, XK_Execute},      {44, XK_Print},        {45, XK_Insert},        {46, XK_Delete},
    {47, XK_Help},         {91, XK_Super_L},      {92, XK_Super_R},       {93, XK_Menu},
    {106, XK_KP_Multiply}, {107, XK_KP_Add},      {108, XK_KP_Separator}, {109, XK_KP_Subtract},
    {110, XK_KP_Decimal},  {111, XK_KP_Divide},   {144, XK_Num_Lock},     {145, XK_Scroll_Lock},
    {160, XK_Shift_L},     {161, XK_Shift_R},     {162, XK_Control_L},    {163, XK_Control_R},
    {164, XK_Alt_L},       {165, XK_Alt_R},       {186, XK_semicolon},    {187, XK_equal},
    {188, XK_comma},       {189, XK_minus},       {190, XK_period},       {191, XK_slash},
    {192, XK_grave},       {219, XK_bracketleft}, {220, XK_backslash},    {221, XK_bracketright},
    {222, XK_apostrophe},  {226, XK_less},
};

// Key codes not used by Windows, lent to characters that are on no key.
constexpr uint8_t kSpareVks[] = {0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F, 0x97,
                                 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E, 0x9F};

// Wheel notches per event at most (a hostile delta would otherwise click for minutes).
constexpr int kMaxWheelNotches = 100;

uint8_t virtualKeyForSym(KeySym sym) {
  if (sym == NoSymbol) return 0;
  for (int vk = 1; vk < 255; ++vk)
    if (KeySymForVirtualKey(static_cast<uint8_t>(vk)) == sym) return static_cast<uint8_t>(vk);
  return 0;
}

// v in 0..65535 back to 0..size-1, to the nearest pixel.
int scaleFromAbsolute(uint32_t v, int size) {
  if (size <= 1) return 0;
  uint64_t n = std::min<uint32_t>(v, 65535);
  return static_cast<int>((n * static_cast<uint64_t>(size - 1) * 2 + 65535) / (2 * 65535));
}

}  // namespace

uint32_t KeySymForVirtualKey(uint8_t vk) {
  if (vk >= '0' && vk <= '9') return XK_0 + (vk - '0');
  if (vk >= 'A' && vk <= 'Z') return XK_a + (vk - 'A');
  if (vk >= 96 && vk <= 105) return XK_KP_0 + (vk - 96);
  if (vk >= 112 && vk <= 135) return XK_F1 + (vk - 112);
  for (const VkSym& e : kVkSyms)
    if (e.vk == vk) return static_cast<uint32_t>(e.sym);
  return 0;
}

struct X11Input::State {
  std::mutex lock;
  Display* dpy = nullptr;
  bool xtest = false;
  int minCode = 8, maxCode = 8, perCode = 0;
  std::vector<KeySym> map;  // perCode symbols per key code from minCode
  struct Spare {
    KeyCode code;
    uint8_t vk;
    KeySym sym;  // NoSymbol while unused
  };
  std::vector<Spare> spares;
  size_t nextSpare = 0;
  int wheelRest = 0, hwheelRest = 0;

  KeySym symAt(int code, int level) const {
    if (code < minCode || code > maxCode || level >= perCode) return NoSymbol;
    return map[static_cast<size_t>((code - minCode) * perCode + level)];
  }

  void loadMap() {
    map.clear();
    perCode = 0;
    XDisplayKeycodes(dpy, &minCode, &maxCode);
    int per = 0;
    KeySym* m =
        XGetKeyboardMapping(dpy, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &per);
    if (!m) return;
    perCode = per;
    map.assign(m, m + static_cast<size_t>((maxCode - minCode + 1) * per));
    XFree(m);
  }

  // Picks up mapping changes made by any client.
  void refresh() {
    bool changed = false;
    while (XPending(dpy) > 0) {
      XEvent e;
      XNextEvent(dpy, &e);
      if (e.type == MappingNotify) {
        XRefreshKeyboardMapping(&e.xmapping);
        changed = true;
      }
    }
    if (changed) loadMap();
  }

  KeyCode codeForSym(KeySym sym) const {
    for (int level = 0; level < std::min(perCode, 2); ++level)
      for (int code = minCode; code <= maxCode; ++code)
        if (symAt(code, level) == sym) return static_cast<KeyCode>(code);
    return 0;
  }

  KeyCode codeForVk(uint8_t vk) const {
    for (const Spare& s : spares)
      if (s.vk == vk && s.sym != NoSymbol) return s.code;
    KeySym sym = KeySymForVirtualKey(vk);
    return sym ? codeForSym(sym) : 0;
  }

  void mapSpare(Spare& s, KeySym sym) {
    int per = std::max(perCode, 2);
    std::vector<KeySym> syms(static_cast<size_t>(per), NoSymbol);
    if (sym != NoSymbol) syms[0] = syms[1] = sym;
    XChangeKeyboardMapping(dpy, s.code, per, syms.data(), 1);
    XSync(dpy, False);
    s.sym = sym;
    loadMap();
  }

  // Absolute pointer coordinates span the root window: on an X server every monitor is a
  // part of it, with the origin at its top-left corner.
  bool primary(int& x, int& y, int& w, int& h) {
    x = y = 0;
    w = DisplayWidth(dpy, DefaultScreen(dpy));
    h = DisplayHeight(dpy, DefaultScreen(dpy));
    return w > 0 && h > 0;
  }

  unsigned lockedMods() {
    XkbStateRec st{};
    if (XkbGetState(dpy, XkbUseCoreKbd, &st) != Success) return 0;
    return st.locked_mods;
  }

  unsigned numLockMask() {
    KeyCode num = codeForSym(XK_Num_Lock);
    unsigned mask = 0;
    XModifierKeymap* mm = XGetModifierMapping(dpy);
    if (!mm) return 0;
    for (int mod = 0; mod < 8 && num; ++mod)
      for (int i = 0; i < mm->max_keypermod; ++i)
        if (mm->modifiermap[mod * mm->max_keypermod + i] == num) mask |= 1u << mod;
    XFreeModifiermap(mm);
    return mask;
  }

  void clickWheel(int& rest, int32_t delta, unsigned up, unsigned down) {
    int64_t sum = int64_t{rest} + delta;
    int64_t notches = sum / 120;
    rest = static_cast<int>(sum % 120);
    notches = std::clamp<int64_t>(notches, -kMaxWheelNotches, kMaxWheelNotches);
    unsigned button = notches > 0 ? up : down;
    for (int64_t i = 0; i < std::abs(notches); ++i) {
      XTestFakeButtonEvent(dpy, button, True, CurrentTime);
      XTestFakeButtonEvent(dpy, button, False, CurrentTime);
    }
  }
};

X11Input::X11Input(_XDisplay* dpy) : s_(std::make_unique<State>()) {
  s_->dpy = dpy;
  if (!dpy) return;
  int ev, err, major, minor;
  s_->xtest = XTestQueryExtension(dpy, &ev, &err, &major, &minor);
  s_->loadMap();
  size_t slot = 0;
  for (int code = s_->minCode; code <= s_->maxCode && slot < std::size(kSpareVks); ++code) {
    bool empty = true;
    for (int level = 0; level < s_->perCode && empty; ++level)
      empty = s_->symAt(code, level) == NoSymbol;
    if (empty && s_->perCode > 0)
      s_->spares.push_back({static_cast<KeyCode>(code), kSpareVks[slot++], NoSymbol});
  }
}

X11Input::~X11Input() {
  if (!s_->dpy) return;
  for (State::Spare& s : s_->spares)
    if (s.sym != NoSymbol) s_->mapSpare(s, NoSymbol);
  XCloseDisplay(s_->dpy);
}

void X11Input::KeybdEvent(uint8_t vk, uint8_t, uint32_t flags, uint32_t) {
  std::lock_guard g(s_->lock);
  if (!s_->xtest) return;
  s_->refresh();
  KeyCode code = s_->codeForVk(vk);
  if (!code) return;
  XTestFakeKeyEvent(s_->dpy, code, (flags & 0x0002) ? False : True, CurrentTime);
  XFlush(s_->dpy);
}

void X11Input::MouseEvent(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data, uint32_t) {
  std::lock_guard g(s_->lock);
  if (!s_->xtest) return;
  Display* dpy = s_->dpy;
  if (flags & 0x0001) {
    if (flags & 0x8000) {
      int x, y, w, h;
      s_->primary(x, y, w, h);
      XTestFakeMotionEvent(dpy, -1, x + scaleFromAbsolute(dx, w), y + scaleFromAbsolute(dy, h),
                           CurrentTime);
    } else {
      XTestFakeRelativeMotionEvent(dpy, static_cast<int32_t>(dx), static_cast<int32_t>(dy),
                                   CurrentTime);
    }
  }
  struct ButtonFlag {
    uint32_t flag;
    unsigned button;
    bool press;
  };
  static constexpr ButtonFlag kButtons[] = {{0x0002, 1, true}, {0x0004, 1, false},
                                            {0x0008, 3, true}, {0x0010, 3, false},
                                            {0x0020, 2, true}, {0x0040, 2, false}};
  for (const ButtonFlag& b : kButtons)
    if (flags & b.flag) XTestFakeButtonEvent(dpy, b.button, b.press ? True : False, CurrentTime);
  if (flags & 0x0800) s_->clickWheel(s_->wheelRest, static_cast<int32_t>(data), 4, 5);
  if (flags & 0x1000) s_->clickWheel(s_->hwheelRest, static_cast<int32_t>(data), 7, 6);
  XFlush(dpy);
}

uint8_t X11Input::MapVirtualKey(uint8_t vk) {
  std::lock_guard g(s_->lock);
  if (!s_->dpy) return 0;
  s_->refresh();
  return s_->codeForVk(vk);
}

int X11Input::VkKeyScanA(char c) {
  return VkKeyScanW(static_cast<char16_t>(static_cast<unsigned char>(c)));
}

int X11Input::VkKeyScanW(char16_t c) {
  switch (c) {
    case u'\r':
    case u'\n':
      return 13;
    case u'\t':
      return 9;
    case u'\b':
      return 8;
    case 0x1B:
      return 27;
    default:
      break;
  }
  if (c < 0x20 || (c >= 0x7F && c < 0xA0) || (c >= 0xD800 && c <= 0xDFFF)) return -1;
  KeySym sym = c < 0x100 ? KeySym{c} : (0x01000000 | KeySym{c});
  std::lock_guard g(s_->lock);
  if (!s_->dpy) return -1;
  s_->refresh();
  for (const State::Spare& s : s_->spares)
    if (s.sym == sym) return s.vk;
  for (int level = 0; level < std::min(s_->perCode, 2); ++level)
    for (int code = s_->minCode; code <= s_->maxCode; ++code) {
      if (s_->symAt(code, level) != sym) continue;
      uint8_t vk = virtualKeyForSym(s_->symAt(code, 0));
      if (vk && s_->codeForVk(vk) == code) return vk | (level == 1 ? kKeyScanShift : 0);
    }
  if (s_->spares.empty() || !s_->xtest) return -1;
  State::Spare& spare = s_->spares[s_->nextSpare++ % s_->spares.size()];
  s_->mapSpare(spare, sym);
  return spare.vk;
}

bool X11Input::NumLockOn() {
  std::lock_guard g(s_->lock);
  if (!s_->dpy) return false;
  s_->refresh();
  unsigned mask = s_->numLockMask();
  return mask && (s_->lockedMods() & mask);
}

bool X11Input::CapsLockOn() {
  std::lock_guard g(s_->lock);
  return s_->dpy && (s_->lockedMods() & LockMask);
}

bool X11Input::SwappedButtons() {
  std::lock_guard g(s_->lock);
  if (!s_->dpy) return false;
  unsigned char map[32];
  int n = XGetPointerMapping(s_->dpy, map, sizeof map);
  return n >= 3 && map[0] == 3 && map[2] == 1;
}

bool X11Input::PrimaryScreenSize(int& width, int& height) {
  std::lock_guard g(s_->lock);
  int x, y;
  width = height = 0;
  return s_->dpy && s_->primary(x, y, width, height);
}

void X11Input::SetCursorPos(int x, int y) {
  std::lock_guard g(s_->lock);
  if (!s_->dpy) return;
  XWarpPointer(s_->dpy, None, DefaultRootWindow(s_->dpy), 0, 0, 0, 0, x, y);
  XFlush(s_->dpy);
}

bool X11Input::VirtualDesktop(int& left, int& top, int& right, int& bottom) {
  std::lock_guard g(s_->lock);
  left = top = right = bottom = 0;
  if (!s_->dpy) return false;
  right = DisplayWidth(s_->dpy, DefaultScreen(s_->dpy));
  bottom = DisplayHeight(s_->dpy, DefaultScreen(s_->dpy));
  return true;
}

std::string X11Input::AccountName() {
  passwd pw{};
  passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found)
    return found->pw_name;
  return {};
}

}  // namespace vtx
