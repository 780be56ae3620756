// The viewer side of desktop sharing: asks a desktop host for its screen, hands the screen and
// cursor updates it receives to the host's UI adapter (or its data event) without decoding them,
// and sends the analyst's mouse, keyboard, clipboard and settings messages.
//
// Functions sent to the host: "desk" (join), "mouse", "key", "cbrd", "gcbrd", "chgdesk",
// "gethostparams", "refreshdesk", "blankscreen", "lockinputs", "dialog". Received: "desk"
// (init / next / cur), "cbrd", "hostparams".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "portal/portal_module.h"
#include "portal/portal_ui_registry.h"

namespace vtx {

class TRtcPDesktopControl;

// This PC's clipboard as clipboard wire text; an empty text is an empty clipboard.
class DesktopViewerClipboard {
 public:
  virtual ~DesktopViewerClipboard() = default;
  virtual std::string ReadClipboard() = 0;
  virtual void WriteClipboard(const std::string& wireText) = 0;
};

// The character a virtual key produces in the current keyboard state (Shift flags 1 Shift,
// 2 Alt, 4 Ctrl), and the virtual key that produces a character; none when there is not exactly
// one.
class DesktopKeyMap {
 public:
  virtual ~DesktopKeyMap() = default;
  virtual std::optional<char16_t> CharOfKey(int key, int shift) const = 0;
  virtual std::optional<int> KeyOfChar(char16_t ch) const = 0;
};

// The US layout's printable ASCII keys: letters, digits, space and the punctuation keys.
class UsAsciiKeyMap : public DesktopKeyMap {
 public:
  std::optional<char16_t> CharOfKey(int key, int shift) const override;
  std::optional<int> KeyOfChar(char16_t ch) const override;
};

class TRtcAbsPDesktopControlUI : public TRtcPModuleUI<TRtcPDesktopControl> {
 public:
  // Links through setModule / setUserName: UserName must be set before linking (ERtcInfo
  // "Set "UserName" before linking to RtcPDesktopControl"); another adapter of the same host
  // is unlinked.
  TRtcAbsPDesktopControlUI() : TRtcPModuleUI("RtcPDesktopControl", "DESKUI") {}

  // Hooks the module calls.
  virtual void Call_LogOut(TRtcConnection* Sender) = 0;
  virtual void Call_Error(TRtcConnection* Sender) = 0;
  virtual void Call_Open(TRtcConnection* Sender) = 0;
  virtual void Call_Close(TRtcConnection* Sender) = 0;
  // One update: the cursor record and the screen update as wire texts, either may be empty.
  virtual void Call_Data(TRtcConnection* Sender, const std::string& cursor,
                         const std::string& screen) = 0;

  // Unregisters and closes; true when the adapter was free and is unlinked now, false when it
  // is still in use (it is unlinked, with a LogOut hook, when its last use ends).
  bool CloseAndClear(TRtcConnection* Sender = nullptr);
};

class TRtcPDesktopControl : public TRtcPModule {
 public:
  // Mouse buttons of the mouse operations.
  enum TMouseButton : int { mbLeft = 0, mbRight = 1, mbMiddle = 2 };

  TRtcPDesktopControl();
  // Unlinks every adapter and discards a pending settings batch.
  ~TRtcPDesktopControl() override;

  // Observed; none: the clipboard is neither read nor written.
  void setClipboard(DesktopViewerClipboard* clipboard) { FClipboard = clipboard; }
  // Observed; none: a US ASCII layout.
  void setKeyMap(const DesktopKeyMap* keys) { FKeys = keys ? keys : &FDefaultKeys; }
  bool GwStoreParams() const { return FGatewayParams; }
  void setGwStoreParams(bool on) { FGatewayParams = on; }

  // Forgets the host's clipboard text, empties this PC's clipboard and asks for the screen;
  // with `all` also for the host's chat and file transfer.
  void Open(const std::string& UserName, TRtcConnection* Sender = nullptr, bool all = false);
  // Leaves the host's "desk" and "idesk" groups.
  void Close(const std::string& UserName, TRtcConnection* Sender = nullptr);

  void SendMouseDown(const std::string& UserName, int X, int Y, int Shift, TMouseButton Button,
                     TRtcConnection* Sender = nullptr);
  void SendMouseUp(const std::string& UserName, int X, int Y, int Shift, TMouseButton Button,
                   TRtcConnection* Sender = nullptr);
  void SendMouseMove(const std::string& UserName, int X, int Y, int Shift,
                     TRtcConnection* Sender = nullptr);
  void SendMouseWheel(const std::string& UserName, int Wheel, int Shift,
                      TRtcConnection* Sender = nullptr);
  // Keys as virtual key codes, Shift flags 1 Shift, 2 Alt, 4 Ctrl.
  void SendKeyDown(const std::string& UserName, bool MapKeys, int Key, int Shift, int ScanCode,
                   TRtcConnection* Sender = nullptr);
  void SendKeyUp(const std::string& UserName, bool MapKeys, int Key, int Shift, int ScanCode,
                 TRtcConnection* Sender = nullptr);
  // Typed text, in pieces of at most kMaxTextPiece characters; characters without a key of the
  // key map carry key 0.
  void SendText(const std::string& UserName, const std::u16string& Text,
                TRtcConnection* Sender = nullptr);
  static constexpr std::size_t kMaxTextPiece = 256;

  void Send_SpecialKey(const std::string& UserName, const std::string& key,
                       TRtcConnection* Sender = nullptr);
  void Send_CtrlAltDel(const std::string& UserName, TRtcConnection* Sender = nullptr);
  void Send_FileCopy(const std::string& UserName, TRtcConnection* Sender = nullptr);
  void Send_AltTAB(const std::string& UserName, TRtcConnection* Sender = nullptr);
  void Send_ShiftAltTAB(const std::string& UserName, TRtcConnection* Sender = nullptr);
  void Send_CtrlAltTAB(const std::string& UserName, TRtcConnection* Sender = nullptr);
  void Send_ShiftCtrlAltTAB(const std::string& UserName, TRtcConnection* Sender = nullptr);
  void Send_HideDesktop(const std::string& UserName, TRtcConnection* Sender = nullptr);
  void Send_ShowDesktop(const std::string& UserName, TRtcConnection* Sender = nullptr);
  void Send_ToggleAero(const std::string& UserName, TRtcConnection* Sender = nullptr);
  void Send_BlankScreen(const std::string& UserName, TRtcConnection* Sender = nullptr);
  void Send_RefreshScreen(const std::string& UserName, TRtcConnection* Sender = nullptr);
  void Send_UserInputs(const std::string& UserName, TRtcConnection* Sender, bool aOnOff);
  void MessageDialog(const std::string& UserName, TRtcConnection* Sender,
                     const std::string& aMessage);
  // Asks the host for "hostparams".
  void Send_GetHostParams(const std::string& UserName, TRtcConnection* Sender = nullptr);
  // Sends this PC's clipboard to the host when it changed since the last exchange.
  void ControlStart(const std::string& UserName, TRtcConnection* Sender = nullptr);
  // Asks the host for its clipboard.
  void ControlStop(const std::string& UserName, TRtcConnection* Sender = nullptr);

  // The settings batch: one "chgdesk" per outermost Begin / End pair. Enumerations are their
  // ordinal numbers.
  void ChgDesktop_Begin();
  void ChgDesktop_End(const std::string& UserName, TRtcConnection* Sender = nullptr);
  void ChgDesktop_ColorLimit(int Value, const std::string& UserName,
                             TRtcConnection* Sender = nullptr);
  void ChgDesktop_ColorLowLimit(int Value, const std::string& UserName,
                                TRtcConnection* Sender = nullptr);
  void ChgDesktop_ColorReducePercent(int Value, const std::string& UserName,
                                     TRtcConnection* Sender = nullptr);
  void ChgDesktop_FrameRate(int Value, const std::string& UserName,
                            TRtcConnection* Sender = nullptr);
  void ChgDesktop_UseMirrorDriver(bool Value, const std::string& UserName,
                                  TRtcConnection* Sender = nullptr);
  void ChgDesktop_EncoderClassName(const std::string& Value, const std::string& UserName,
                                   TRtcConnection* Sender = nullptr);
  void ChgDesktop_UseMouseDriver(bool Value, const std::string& UserName,
                                 TRtcConnection* Sender = nullptr);
  void ChgDesktop_SendScreenInBlocks(int Value, const std::string& UserName,
                                     TRtcConnection* Sender = nullptr);
  void ChgDesktop_SendScreenRefineBlocks(int Value, const std::string& UserName,
                                         TRtcConnection* Sender = nullptr);
  void ChgDesktop_SendScreenRefineDelay(int Value, const std::string& UserName,
                                        TRtcConnection* Sender = nullptr);
  void ChgDesktop_SendScreenSizeLimit(int Value, const std::string& UserName,
                                      TRtcConnection* Sender = nullptr);
  void ChgDesktop_CaptureAllMonitors(bool Value, const std::string& UserName,
                                     TRtcConnection* Sender = nullptr);
  void ChgDesktop_CaptureLayeredWindows(bool Value, const std::string& UserName,
                                        TRtcConnection* Sender = nullptr);

  // Passes `msg` to every registered adapter's data hook as a screen text.
  void NotifyUI(const std::string& msg, TRtcConnection* Sender = nullptr);

  // The hosts whose screen this viewer shows.
  bool InControl(const std::string& UserName) const;

  // Host settings last reported by "hostparams" (ordinal numbers for enumerations).
  struct HostParams {
    bool known = false;
    int ColorLimit = 0, ColorLowLimit = 0, ColorReducePercent = 0, FrameRate = 0,
        SendScreenInBlocks = 0, SendScreenRefineBlocks = 0, SendScreenRefineDelay = 0,
        SendScreenSizeLimit = 0, ScreenWidth = 0, ScreenHeight = 0;
    bool UseMirrorDriver = false, UseMouseDriver = false, CaptureAllMonitors = false,
         CaptureLayeredWindows = false;
    std::string EncoderClassName;
  };
  HostParams HParams() const;

  using UserEvent = std::function<void(TRtcPDesktopControl& Sender, const std::string& user)>;
  using DataEvent = std::function<void(TRtcPDesktopControl& Sender, const std::string& user,
                                       const std::string& cursor, const std::string& screen)>;
  using QueryAccessEvent =
      std::function<void(TRtcPModule& Sender, const std::string& user, bool& Allow)>;
  using ModuleUserEvent = std::function<void(TRtcPModule& Sender, const std::string& user)>;

  void setOnQueryAccess(QueryAccessEvent e) { FOnQueryAccess = std::move(e); }
  void setOnUserJoined(ModuleUserEvent e) { FOnNewUser = std::move(e); }
  void setOnUserLeft(ModuleUserEvent e) { FOnOldUser = std::move(e); }
  UserEvent OnNewUI, On_DesktopOpen, On_DesktopClose;
  DataEvent On_DesktopData;
  // Raised after "hostparams" and "cbrd" were taken in (not part of the wire protocol).
  UserEvent On_HostParams, On_Clipboard;

  // Hooks.
  void ResetUsers() override;
  void HandleLogOut(TRtcConnection* Sender) override;
  void HandleError(TRtcConnection* Sender, TRtcValue& Data) override;
  void HandleFatalError(TRtcConnection* Sender, TRtcValue& Data) override;
  void HandleJoinedUsersGroup(TRtcConnection* Sender, const std::string& group,
                              const std::string& user) override;
  void HandleLeftUsersGroup(TRtcConnection* Sender, const std::string& group,
                            const std::string& user) override;
  // A malformed message is dropped with a log line; it never stops the rest of a batch.
  void HandleDataFromUser(TRtcConnection* Sender, const std::string& user,
                          TRtcFunctionInfo& Data) override;

 private:
  friend class TRtcAbsPDesktopControlUI;
  friend class TRtcPModuleUI<TRtcPDesktopControl>;
  void send(TRtcConnection* Sender, const std::string& user, std::unique_ptr<TRtcFunctionInfo> f);
  void sendKey(TRtcConnection* Sender, const std::string& user,
               const std::function<void(TRtcFunctionInfo&)>& fill);
  void mouse(TRtcConnection* Sender, const std::string& user, const char* field, int button, int X,
             int Y);
  // Runs `set` on the batch inside its own Begin / End.
  void chg(const std::string& user, TRtcConnection* Sender,
           const std::function<void(TRtcFunctionInfo&)>& set);
  // The clipboard sent to `user` when it changed since the last exchange ("gcbrd" rule).
  void sendClipboard(TRtcConnection* Sender, const std::string& user);

  void handleDesk(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn);
  void handleClipboard(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn);
  void handleHostParams(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn);
  void desktopData(TRtcConnection* Sender, const std::string& user, const std::string& cursor,
                   const std::string& screen);
  void openViewer(TRtcConnection* Sender, const std::string& user);
  void closeViewer(TRtcConnection* Sender, const std::string& user);
  void raiseUser(TRtcConnection* Sender, const char* name, const UserEvent& handler,
                 const std::string& user);

  TRtcPUIRegistry<TRtcPDesktopControl, TRtcAbsPDesktopControlUI> UIs{*this, "DesktopOpen",
                                                                     "DESKTOP"};
  mutable std::mutex FLock;  // everything below
  TRtcRecord FInControl;     // host -> Boolean
  TRtcRecord FClipboards;    // host -> clipboard wire text last exchanged
  bool LWinDown = false, RWinDown = false, LWinUsed = false, RWinUsed = false;
  int FChg_DeskCnt = 0;
  std::unique_ptr<TRtcFunctionInfo> FChg_Desktop;
  HostParams FHost;
  bool FGatewayParams = false;

  DesktopViewerClipboard* FClipboard = nullptr;
  UsAsciiKeyMap FDefaultKeys;
  const DesktopKeyMap* FKeys = &FDefaultKeys;
};

}  // namespace vtx
