#include "desktop/host/desktop_control.h"

#include <cstring>

#include "portal/abs_portal_client.h"
#include "util/exceptions.h"
#include "util/log.h"
#include "util/text.h"

namespace vtx {
namespace {

constexpr int kShift = 1, kAlt = 2, kCtrl = 4;
constexpr int kTab = 9, kCapsLock = 20, kNumLock = 144, kInsert = 45, kDelete = 46, kKeyC = 67,
              kLWin = 91, kRWin = 92;

RtcWideString w(const std::string& s) {
  return Utf8Decode(s);
}

std::unique_ptr<TRtcFunctionInfo> function(const char16_t* name) {
  auto f = std::make_unique<TRtcFunctionInfo>();
  f->setFunctionName(name);
  return f;
}

bool isText(TRtcValueTypes t) {
  return t == rtc_String || t == rtc_Text || t == rtc_WideString;
}

bool isInteger(TRtcValueTypes t) {
  return t == rtc_Integer || t == rtc_LargeInt || t == rtc_Cardinal;
}

// A wire text field as bytes: 8-bit strings as they are, text as UTF-8.
std::string bytesOf(const TRtcFunctionInfo& fn, const char* name) {
  const TRtcValueTypes t = fn.isType(name);
  if (t == rtc_String) return fn.asString(name);
  return Utf8Encode(fn.asText(name));
}

// The "s" of a special key and the messages whose only field is one 8-bit text.
bool isWinKey(int key) {
  return key == kLWin || key == kRWin;
}

bool isCtrlAltInsDel(int key, int shift) {
  return (shift & kCtrl) && (shift & kAlt) && (key == kInsert || key == kDelete);
}

// Shifted symbols of the US number row and punctuation keys.
constexpr const char* kDigits = "0123456789";
constexpr const char* kShiftedDigits = ")!@#$%^&*(";
struct PunctKey {
  int key;
  char plain, shifted;
};
constexpr PunctKey kPunct[] = {{186, ';', ':'},  {187, '=', '+'}, {188, ',', '<'}, {189, '-', '_'},
                               {190, '.', '>'},  {191, '/', '?'}, {192, '`', '~'}, {219, '[', '{'},
                               {220, '\\', '|'}, {221, ']', '}'}, {222, '\'', '"'}};

}  // namespace

// ---- Key map ----

std::optional<char16_t> UsAsciiKeyMap::CharOfKey(int key, int shift) const {
  if (shift & (kAlt | kCtrl)) return std::nullopt;
  const bool shifted = shift & kShift;
  if (key >= 'A' && key <= 'Z') return static_cast<char16_t>(shifted ? key : key - 'A' + 'a');
  if (key >= '0' && key <= '9')
    return static_cast<char16_t>(shifted ? kShiftedDigits[key - '0'] : key);
  if (key == ' ') return u' ';
  for (const PunctKey& p : kPunct)
    if (p.key == key) return static_cast<char16_t>(shifted ? p.shifted : p.plain);
  return std::nullopt;
}

std::optional<int> UsAsciiKeyMap::KeyOfChar(char16_t ch) const {
  if (ch >= u'a' && ch <= u'z') return ch - u'a' + 'A';
  if (ch >= u'A' && ch <= u'Z') return static_cast<int>(ch);
  if (ch == u' ') return ' ';
  if (ch < 128) {
    const char c = static_cast<char>(ch);
    if (c == 0) return std::nullopt;
    if (const char* d = std::strchr(kDigits, c)) return '0' + static_cast<int>(d - kDigits);
    if (const char* d = std::strchr(kShiftedDigits, c))
      return '0' + static_cast<int>(d - kShiftedDigits);
    for (const PunctKey& p : kPunct)
      if (p.plain == c || p.shifted == c) return p.key;
  }
  return std::nullopt;
}

// ---- Adapter ----

bool TRtcAbsPDesktopControlUI::CloseAndClear(TRtcConnection* Sender) {
  return unregisterAndClose(
      [&](TRtcPDesktopControl& m, const std::string& name) { m.Close(name, Sender); });
}

// ---- Module ----

TRtcPDesktopControl::TRtcPDesktopControl() = default;

TRtcPDesktopControl::~TRtcPDesktopControl() {
  UIs.UnlinkAll();
}

bool TRtcPDesktopControl::InControl(const std::string& UserName) const {
  std::lock_guard g(FLock);
  return FInControl.asBoolean(w(UserName));
}

TRtcPDesktopControl::HostParams TRtcPDesktopControl::HParams() const {
  std::lock_guard g(FLock);
  return FHost;
}

void TRtcPDesktopControl::send(TRtcConnection* Sender, const std::string& user,
                               std::unique_ptr<TRtcFunctionInfo> f) {
  if (TAbsPortalClient* c = Client()) c->SendToUser(Sender, user, std::move(f));
}

// ---- Operations ----

void TRtcPDesktopControl::Open(const std::string& UserName, TRtcConnection* Sender, bool all) {
  {
    std::lock_guard g(FLock);
    FClipboards.Extract(w(UserName));
  }
  if (FClipboard) FClipboard->WriteClipboard({});
  send(Sender, UserName, function(u"desk"));
  if (all) {
    send(Sender, UserName, function(u"chat"));
    send(Sender, UserName, function(u"files"));
  }
}

void TRtcPDesktopControl::Close(const std::string& UserName, TRtcConnection* Sender) {
  TAbsPortalClient* c = Client();
  if (!c) return;
  c->LockSender(Sender);
  try {
    c->LeaveUserGroup(Sender, UserName, "desk");
    c->LeaveUserGroup(Sender, UserName, "idesk");
  } catch (...) {
    c->UnLockSender(Sender);
    throw;
  }
  c->UnLockSender(Sender);
}

void TRtcPDesktopControl::mouse(TRtcConnection* Sender, const std::string& user, const char* field,
                                int button, int X, int Y) {
  auto f = function(u"mouse");
  if (field) f->setAsInteger(field, button + 1);
  f->setAsInteger("x", X);
  f->setAsInteger("y", Y);
  send(Sender, user, std::move(f));
}

void TRtcPDesktopControl::SendMouseDown(const std::string& UserName, int X, int Y, int,
                                        TMouseButton Button, TRtcConnection* Sender) {
  mouse(Sender, UserName, "d", Button, X, Y);
}

void TRtcPDesktopControl::SendMouseUp(const std::string& UserName, int X, int Y, int,
                                      TMouseButton Button, TRtcConnection* Sender) {
  mouse(Sender, UserName, "u", Button, X, Y);
}

void TRtcPDesktopControl::SendMouseMove(const std::string& UserName, int X, int Y, int,
                                        TRtcConnection* Sender) {
  mouse(Sender, UserName, nullptr, 0, X, Y);
}

void TRtcPDesktopControl::SendMouseWheel(const std::string& UserName, int Wheel, int,
                                         TRtcConnection* Sender) {
  auto f = function(u"mouse");
  f->setAsInteger("w", Wheel);
  send(Sender, UserName, std::move(f));
}

void TRtcPDesktopControl::sendKey(TRtcConnection* Sender, const std::string& user,
                                  const std::function<void(TRtcFunctionInfo&)>& fill) {
  auto f = function(u"key");
  fill(*f);
  send(Sender, user, std::move(f));
}

void TRtcPDesktopControl::SendKeyDown(const std::string& UserName, bool MapKeys, int Key, int Shift,
                                      int ScanCode, TRtcConnection* Sender) {
  auto special = [&](const char* s) { Send_SpecialKey(UserName, s, Sender); };
  const bool alt = Shift & kAlt, ctrl = Shift & kCtrl, shift = Shift & kShift;
  if (MapKeys && (Key == kCapsLock || Key == kNumLock)) return;
  if (alt && Key == kTab) return;
  if (isCtrlAltInsDel(Key, Shift)) return special("CAD");
  if (ctrl && alt && Key == kKeyC) return special("COPY");
  if (alt && isWinKey(Key)) {
    if (shift) return special(ctrl ? "SCAT" : "SAT");
    return special(ctrl ? "CAT" : "AT");
  }
  if (ctrl && isWinKey(Key)) return special(shift ? "SDESK" : "HDESK");
  if (isWinKey(Key)) {
    if (!shift) return;
    std::lock_guard g(FLock);
    (Key == kLWin ? LWinDown : RWinDown) = true;
    (Key == kLWin ? LWinUsed : RWinUsed) = false;
    return;
  }
  if (Key >= 'A' && Key <= 'Z') {
    const char* field = nullptr;
    {
      std::lock_guard g(FLock);
      if (LWinDown) {
        LWinUsed = true;
        field = "lw";
      } else if (RWinDown) {
        RWinUsed = true;
        field = "rw";
      }
    }
    if (field)
      return sendKey(Sender, UserName, [&](TRtcFunctionInfo& f) { f.setAsInteger(field, Key); });
  }
  std::optional<char16_t> ch;
  if (MapKeys) {
    ch = FKeys->CharOfKey(Key, Shift);
    if (ch && FKeys->KeyOfChar(*ch) != Key) ch.reset();
  }
  sendKey(Sender, UserName, [&](TRtcFunctionInfo& f) {
    if (ch) {
      if (*ch < 0x100)
        f.setAsString("p", std::string(1, static_cast<char>(*ch)));
      else
        f.setAsWideString("p", std::u16string(1, *ch));
      f.setAsInteger("k", Key);
    } else {
      f.setAsInteger("d", Key);
    }
    f.setAsInteger("scan", ScanCode);
  });
}

void TRtcPDesktopControl::SendKeyUp(const std::string& UserName, bool MapKeys, int Key, int Shift,
                                    int ScanCode, TRtcConnection* Sender) {
  if (MapKeys && (Key == kCapsLock || Key == kNumLock)) return;
  bool winHeld;
  {
    std::lock_guard g(FLock);
    winHeld = LWinDown || RWinDown;
  }
  if (!winHeld || Key < 65 || Key > 92) {
    if (isWinKey(Key) || isCtrlAltInsDel(Key, Shift) || ((Shift & kAlt) && Key == kTab)) return;
    if (MapKeys) {
      const std::optional<char16_t> ch = FKeys->CharOfKey(Key, Shift);
      if (ch && FKeys->KeyOfChar(*ch) == Key) return;
    }
    return sendKey(Sender, UserName, [&](TRtcFunctionInfo& f) {
      f.setAsInteger("u", Key);
      f.setAsInteger("scan", ScanCode);
    });
  }
  const char* special = nullptr;
  {
    std::lock_guard g(FLock);
    if (Key == kLWin && LWinDown) {
      LWinDown = false;
      if (!LWinUsed) special = "WIN";
    } else if (Key == kRWin && RWinDown) {
      RWinDown = false;
      if (!RWinUsed) special = "RWIN";
    }
  }
  if (special) Send_SpecialKey(UserName, special, Sender);
}

void TRtcPDesktopControl::SendText(const std::string& UserName, const std::u16string& Text,
                                   TRtcConnection* Sender) {
  // Runs of characters with a key go as one piece with the first one's key; a character with no
  // key goes alone with key 0 so the host types it through a spare key.
  std::size_t i = 0;
  while (i < Text.size()) {
    const std::optional<int> key = FKeys->KeyOfChar(Text[i]);
    std::size_t n = 1;
    if (key)
      while (i + n < Text.size() && n < kMaxTextPiece && FKeys->KeyOfChar(Text[i + n])) ++n;
    const std::u16string piece = Text.substr(i, n);
    sendKey(Sender, UserName, [&](TRtcFunctionInfo& f) {
      f.setAsWideString("p", piece);
      f.setAsInteger("k", key ? *key : 0);
    });
    i += n;
  }
}

void TRtcPDesktopControl::Send_SpecialKey(const std::string& UserName, const std::string& key,
                                          TRtcConnection* Sender) {
  sendKey(Sender, UserName, [&](TRtcFunctionInfo& f) { f.setAsString("s", key); });
}

void TRtcPDesktopControl::Send_CtrlAltDel(const std::string& u, TRtcConnection* s) {
  Send_SpecialKey(u, "CAD", s);
}
void TRtcPDesktopControl::Send_FileCopy(const std::string& u, TRtcConnection* s) {
  Send_SpecialKey(u, "COPY", s);
}
void TRtcPDesktopControl::Send_AltTAB(const std::string& u, TRtcConnection* s) {
  Send_SpecialKey(u, "AT", s);
}
void TRtcPDesktopControl::Send_ShiftAltTAB(const std::string& u, TRtcConnection* s) {
  Send_SpecialKey(u, "SAT", s);
}
void TRtcPDesktopControl::Send_CtrlAltTAB(const std::string& u, TRtcConnection* s) {
  Send_SpecialKey(u, "CAT", s);
}
void TRtcPDesktopControl::Send_ShiftCtrlAltTAB(const std::string& u, TRtcConnection* s) {
  Send_SpecialKey(u, "SCAT", s);
}
void TRtcPDesktopControl::Send_HideDesktop(const std::string& u, TRtcConnection* s) {
  Send_SpecialKey(u, "HDESK", s);
}
void TRtcPDesktopControl::Send_ShowDesktop(const std::string& u, TRtcConnection* s) {
  Send_SpecialKey(u, "SDESK", s);
}
void TRtcPDesktopControl::Send_ToggleAero(const std::string& u, TRtcConnection* s) {
  Send_SpecialKey(u, "TAERO", s);
}

void TRtcPDesktopControl::Send_BlankScreen(const std::string& UserName, TRtcConnection* Sender) {
  send(Sender, UserName, function(u"blankscreen"));
}

void TRtcPDesktopControl::Send_RefreshScreen(const std::string& UserName, TRtcConnection* Sender) {
  send(Sender, UserName, function(u"refreshdesk"));
}

void TRtcPDesktopControl::Send_UserInputs(const std::string& UserName, TRtcConnection* Sender,
                                          bool aOnOff) {
  auto f = function(u"lockinputs");
  f->setAsBoolean("locked", aOnOff);
  send(Sender, UserName, std::move(f));
}

void TRtcPDesktopControl::MessageDialog(const std::string& UserName, TRtcConnection* Sender,
                                        const std::string& aMessage) {
  auto f = function(u"dialog");
  f->setAsText("m", w(aMessage));
  send(Sender, UserName, std::move(f));
}

void TRtcPDesktopControl::Send_GetHostParams(const std::string& UserName, TRtcConnection* Sender) {
  send(Sender, UserName, function(u"gethostparams"));
}

void TRtcPDesktopControl::sendClipboard(TRtcConnection* Sender, const std::string& user) {
  if (!FClipboard) return;
  std::string text = FClipboard->ReadClipboard();
  {
    std::lock_guard g(FLock);
    if (FClipboards.isType(w(user)) != rtc_Null && FClipboards.asString(w(user)) == text) return;
  }
  // Writing it back and reading again gives the text its normal form.
  FClipboard->WriteClipboard(text);
  text = FClipboard->ReadClipboard();
  {
    std::lock_guard g(FLock);
    if (FClipboards.isType(w(user)) != rtc_Null && FClipboards.asString(w(user)) == text) return;
    FClipboards.setAsString(w(user), text);
  }
  auto f = function(u"cbrd");
  if (!text.empty()) f->setAsString("s", text);
  send(Sender, user, std::move(f));
}

void TRtcPDesktopControl::ControlStart(const std::string& UserName, TRtcConnection* Sender) {
  sendClipboard(Sender, UserName);
}

void TRtcPDesktopControl::ControlStop(const std::string& UserName, TRtcConnection* Sender) {
  send(Sender, UserName, function(u"gcbrd"));
}

// ---- Settings batch ----

void TRtcPDesktopControl::ChgDesktop_Begin() {
  std::lock_guard g(FLock);
  if (FChg_DeskCnt++ == 0) FChg_Desktop = function(u"chgdesk");
}

void TRtcPDesktopControl::ChgDesktop_End(const std::string& UserName, TRtcConnection* Sender) {
  std::unique_ptr<TRtcFunctionInfo> batch;
  {
    std::lock_guard g(FLock);
    if (FChg_DeskCnt == 0) return;
    if (--FChg_DeskCnt > 0) return;
    batch = std::move(FChg_Desktop);
  }
  if (!batch || !Client()) return;
  if (UserName.empty()) throw ERtcInfo("UserName required in the ChgDesktop_End method.");
  send(Sender, UserName, std::move(batch));
}

void TRtcPDesktopControl::chg(const std::string& user, TRtcConnection* Sender,
                              const std::function<void(TRtcFunctionInfo&)>& set) {
  ChgDesktop_Begin();
  {
    std::lock_guard g(FLock);
    set(*FChg_Desktop);
  }
  ChgDesktop_End(user, Sender);
}

#define VTX_CHG_INT(NAME, FIELD)                                                              \
  void TRtcPDesktopControl::NAME(int Value, const std::string& UserName, TRtcConnection* S) { \
    chg(UserName, S, [&](TRtcFunctionInfo& f) { f.setAsInteger(FIELD, Value); });             \
  }
#define VTX_CHG_BOOL(NAME, FIELD)                                                              \
  void TRtcPDesktopControl::NAME(bool Value, const std::string& UserName, TRtcConnection* S) { \
    chg(UserName, S, [&](TRtcFunctionInfo& f) { f.setAsBoolean(FIELD, Value); });              \
  }
VTX_CHG_INT(ChgDesktop_ColorLimit, "color")
VTX_CHG_INT(ChgDesktop_ColorLowLimit, "colorlow")
VTX_CHG_INT(ChgDesktop_ColorReducePercent, "colorpercent")
VTX_CHG_INT(ChgDesktop_FrameRate, "frame")
VTX_CHG_INT(ChgDesktop_SendScreenInBlocks, "scrblocks")
VTX_CHG_INT(ChgDesktop_SendScreenRefineBlocks, "scrblocks2")
VTX_CHG_INT(ChgDesktop_SendScreenRefineDelay, "scr2delay")
VTX_CHG_INT(ChgDesktop_SendScreenSizeLimit, "scrlimit")
VTX_CHG_BOOL(ChgDesktop_UseMirrorDriver, "mirror")
VTX_CHG_BOOL(ChgDesktop_UseMouseDriver, "mouse")
VTX_CHG_BOOL(ChgDesktop_CaptureAllMonitors, "monitors")
VTX_CHG_BOOL(ChgDesktop_CaptureLayeredWindows, "layered")
#undef VTX_CHG_INT
#undef VTX_CHG_BOOL

void TRtcPDesktopControl::ChgDesktop_EncoderClassName(const std::string& Value,
                                                      const std::string& UserName,
                                                      TRtcConnection* Sender) {
  chg(UserName, Sender, [&](TRtcFunctionInfo& f) { f.setAsString("EncoderClassName", Value); });
}

// ---- Adapters ----

void TRtcPDesktopControl::NotifyUI(const std::string& msg, TRtcConnection* Sender) {
  UIs.All([&](TRtcAbsPDesktopControlUI& ui) { ui.Call_Data(Sender, {}, msg); });
}

void TRtcPDesktopControl::raiseUser(TRtcConnection* Sender, const char* name,
                                    const UserEvent& handler, const std::string& user) {
  TRtcValue data;
  data.setAsText(w(user));
  CallEvent(
      Sender, name, static_cast<bool>(handler), [&] { handler(*this, user); }, &data);
}

// ---- Hooks ----

void TRtcPDesktopControl::ResetUsers() {
  TRtcPModule::ResetUsers();
  std::lock_guard g(FLock);
  FClipboards.Clear();
  FInControl.Clear();
}

void TRtcPDesktopControl::HandleLogOut(TRtcConnection* Sender) {
  UIs.All([&](TRtcAbsPDesktopControlUI& ui) { ui.Call_LogOut(Sender); });
}

void TRtcPDesktopControl::HandleError(TRtcConnection* Sender, TRtcValue&) {
  UIs.All([&](TRtcAbsPDesktopControlUI& ui) { ui.Call_Error(Sender); });
}

void TRtcPDesktopControl::HandleFatalError(TRtcConnection* Sender, TRtcValue&) {
  UIs.All([&](TRtcAbsPDesktopControlUI& ui) { ui.Call_Error(Sender); });
}

void TRtcPDesktopControl::openViewer(TRtcConnection* Sender, const std::string& user) {
  raiseUser(Sender, "DesktopOpen", On_DesktopOpen, user);
  UIs.With(Sender, user, 1, [&](TRtcAbsPDesktopControlUI& ui) { ui.Call_Open(Sender); });
}

void TRtcPDesktopControl::closeViewer(TRtcConnection* Sender, const std::string& user) {
  {
    std::lock_guard g(FLock);
    if (!FInControl.asBoolean(w(user))) return;
    FInControl.Extract(w(user));
  }
  raiseUser(Sender, "DesktopClose", On_DesktopClose, user);
  UIs.With(Sender, user, 0, [&](TRtcAbsPDesktopControlUI& ui) { ui.Call_Close(Sender); });
  EventOldUser(Sender, user);
}

void TRtcPDesktopControl::HandleJoinedUsersGroup(TRtcConnection* Sender, const std::string& group,
                                                 const std::string& user) {
  if (group == "desk") {
    setSubscriber(user, true);
    return;
  }
  if (group != "idesk" || isSubscriber(user)) return;
  if (!QueryAccess(Sender, user)) {
    Close(user, Sender);
    return;
  }
  {
    std::lock_guard g(FLock);
    if (FInControl.asBoolean(w(user))) return;  // a repeated notice
    FInControl.setAsBoolean(w(user), true);
  }
  EventNewUser(Sender, user);
  openViewer(Sender, user);
}

void TRtcPDesktopControl::HandleLeftUsersGroup(TRtcConnection* Sender, const std::string& group,
                                               const std::string& user) {
  if (group == "desk") {
    if (setSubscriber(user, false)) closeViewer(Sender, user);
  } else if (group == "idesk") {
    if (!isSubscriber(user)) closeViewer(Sender, user);
  }
}

void TRtcPDesktopControl::HandleDataFromUser(TRtcConnection* Sender, const std::string& user,
                                             TRtcFunctionInfo& Data) {
  const RtcWideString name = Data.FunctionName();
  try {
    if (name == u"desk")
      handleDesk(Sender, user, Data);
    else if (name == u"cbrd")
      handleClipboard(Sender, user, Data);
    else if (name == u"hostparams")
      handleHostParams(Sender, user, Data);
  } catch (const std::exception& e) {
    WriteExceptionLog("DESKTOP " + user, e);
  }
}

void TRtcPDesktopControl::handleDesk(TRtcConnection* Sender, const std::string& user,
                                     TRtcFunctionInfo& fn) {
  if (fn.FieldCount() == 0 || !InControl(user)) return;
  const std::string cursor = isText(fn.isType("cur")) ? bytesOf(fn, "cur") : std::string();
  if (isText(fn.isType("init")))
    desktopData(Sender, user, cursor, bytesOf(fn, "init"));
  else if (isText(fn.isType("next")))
    desktopData(Sender, user, cursor, bytesOf(fn, "next"));
  else if (!cursor.empty())
    desktopData(Sender, user, cursor, {});
}

void TRtcPDesktopControl::desktopData(TRtcConnection* Sender, const std::string& user,
                                      const std::string& cursor, const std::string& screen) {
  TRtcValue data;
  data.setAsText(w(user));
  auto handler = On_DesktopData;
  CallEvent(
      Sender, "DesktopData", static_cast<bool>(handler),
      [&] { handler(*this, user, cursor, screen); }, &data);
  UIs.With(Sender, user, 0,
           [&](TRtcAbsPDesktopControlUI& ui) { ui.Call_Data(Sender, cursor, screen); });
}

void TRtcPDesktopControl::handleClipboard(TRtcConnection* Sender, const std::string& user,
                                          TRtcFunctionInfo& fn) {
  if (!InControl(user)) return;
  const TRtcValueTypes t = fn.isType("s");
  if (t != rtc_Null && !isText(t)) return;
  const std::string text = t == rtc_Null ? std::string() : bytesOf(fn, "s");
  {
    std::lock_guard g(FLock);
    FClipboards.setAsString(w(user), text);
  }
  if (FClipboard) FClipboard->WriteClipboard(text);
  raiseUser(Sender, "Clipboard", On_Clipboard, user);
}

void TRtcPDesktopControl::handleHostParams(TRtcConnection* Sender, const std::string& user,
                                           TRtcFunctionInfo& fn) {
  auto integer = [&](const char* name, int& out) {
    if (isInteger(fn.isType(name))) out = fn.asInteger(name);
  };
  auto boolean = [&](const char* name, bool& out) {
    if (fn.isType(name) == rtc_Boolean) out = fn.asBoolean(name);
  };
  {
    std::lock_guard g(FLock);
    HostParams& h = FHost;
    h.known = true;
    integer("color", h.ColorLimit);
    integer("colorlow", h.ColorLowLimit);
    integer("colorpercent", h.ColorReducePercent);
    integer("frame", h.FrameRate);
    integer("scrblocks", h.SendScreenInBlocks);
    integer("scrblocks2", h.SendScreenRefineBlocks);
    integer("scr2delay", h.SendScreenRefineDelay);
    integer("scrlimit", h.SendScreenSizeLimit);
    integer("tsWidth", h.ScreenWidth);
    integer("tsHeight", h.ScreenHeight);
    boolean("mirror", h.UseMirrorDriver);
    boolean("mouse", h.UseMouseDriver);
    boolean("monitors", h.CaptureAllMonitors);
    boolean("layered", h.CaptureLayeredWindows);
    if (isText(fn.isType("EncoderClassName"))) h.EncoderClassName = bytesOf(fn, "EncoderClassName");
  }
  raiseUser(Sender, "HostParams", On_HostParams, user);
}

}  // namespace vtx
