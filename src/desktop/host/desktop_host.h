// TRtcPDesktopHost: the portal module through which remote viewers see and control this
// desktop. It admits viewers (group "idesk" until their first complete image, then "desk"),
// owns the capture object while anybody watches, paces the screen and cursor updates, applies
// the viewers' mouse, keyboard, clipboard and settings messages (from the moment a viewer is
// sent its first image) and keeps its settings on the gateway.
//
// Functions received: "desk" (join request), "gethostparams", "chgdesk", "refreshdesk",
// "mouse", "key", "cbrd", "gcbrd", "lockinputs", "blankscreen", "dialog". Sent: "desk"
// (next/cur to "desk", init/cur to "idesk" or to one viewer that must start over),
// "hostparams", "cbrd".
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "desktop/screen_capture.h"
#include "desktop/session_helpers.h"
#include "platform/desktop_platform.h"
#include "portal/portal_module.h"

namespace vtx {

class TRtcPFileTransfer;

// Enumerations, stored and sent as their ordinal numbers.
enum TrdScreenBlocks : uint8_t {
  rdBlocks1,
  rdBlocks2,
  rdBlocks3,
  rdBlocks4,
  rdBlocks5,
  rdBlocks6,
  rdBlocks7,
  rdBlocks8,
  rdBlocks9,
  rdBlocks10,
  rdBlocks11,
  rdBlocks12
};
enum TrdScreenLimit : uint8_t {
  rdBlockAnySize,
  rdBlock1KB,
  rdBlock2KB,
  rdBlock4KB,
  rdBlock8KB,
  rdBlock12KB,
  rdBlock16KB,
  rdBlock24KB,
  rdBlock32KB,
  rdBlock48KB,
  rdBlock64KB,
  rdBlock96KB,
  rdBlock128KB,
  rdBlock192KB,
  rdBlock256KB,
  rdBlock384KB,
  rdBlock512KB
};
enum TrdColorLimit : uint8_t {
  rdColor8bit,
  rdColor16bit,
  rdColor4bit,
  rdColor6bit,
  rdColor9bit,
  rdColor12bit,
  rdColor15bit,
  rdColor18bit,
  rdColor21bit,
  rdColor32bit
};
enum TrdLowColorLimit : uint8_t {
  rd_ColorHigh,
  rd_Color6bit,
  rd_Color9bit,
  rd_Color12bit,
  rd_Color15bit,
  rd_Color18bit,
  rd_Color21bit,
  rd_ColorHigh6bit,
  rd_ColorHigh9bit,
  rd_ColorHigh12bit,
  rd_ColorHigh15bit,
  rd_ColorHigh18bit,
  rd_ColorHigh21bit
};
enum TrdFrameRate : uint8_t {
  rdFramesMax,
  rdFrames50,
  rdFrames40,
  rdFrames25,
  rdFrames20,
  rdFrames10,
  rdFrames8,
  rdFrames5,
  rdFrames4,
  rdFrames2,
  rdFrames1,
  rdFrameSleep10,
  rdFrameSleep20,
  rdFrameSleep40,
  rdFrameSleep50,
  rdFrameSleep80,
  rdFrameSleep100,
  rdFrameSleep200,
  rdFrameSleep250,
  rdFrameSleep400,
  rdFrameSleep500
};

class TRtcPDesktopHost : public TRtcPModule {
 public:
  static constexpr const char* kGroupWaiting = "idesk";
  static constexpr const char* kGroup = "desk";
  // The gateway's reason for an update refused because the viewer's backlog is too long.
  static constexpr const char* kLaggingReason = "receiver lagging";
  // How long a lagging viewer's image waits without a refusal that says it is still behind.
  static constexpr uint32_t kLagRecheck = 1000;

  // Both observed and must outlive the module; helpers may be null (no clipboard, wallpaper,
  // notification or confirmation: a confirmation then refuses).
  explicit TRtcPDesktopHost(DesktopPlatform& platform, DesktopSessionHelpers* helpers = nullptr);
  // Stops capturing (held keys released) and leaves the file transfer module.
  ~TRtcPDesktopHost() override;

  // ---- settings ----
  bool GwStoreParams() const { return FGatewayParams; }
  void setGwStoreParams(bool on) { FGatewayParams = on; }
  bool AccessControl() const { return FAccessControl; }
  void setAccessControl(bool on) { FAccessControl = on; }
  bool GConfirmAllLogins() const { return fConfirmAllLogins; }
  void setGConfirmAllLogins(bool on) { fConfirmAllLogins = on; }

  // The G settings: a different value is stored on the gateway first (with GwStoreParams and
  // a client), then kept.
  bool GAllowView() const { return FAllowView; }
  void setGAllowView(bool v);
  bool GAllowView_Super() const { return FAllowSuperView; }
  void setGAllowView_Super(bool v);
  bool GAllowControl() const { return FAllowControl; }
  void setGAllowControl(bool v);
  bool GAllowControl_Super() const { return FAllowSuperControl; }
  void setGAllowControl_Super(bool v);
  TrdScreenBlocks GSendScreenInBlocks() const { return FScreenInBlocks; }
  void setGSendScreenInBlocks(TrdScreenBlocks v);
  TrdScreenBlocks GSendScreenRefineBlocks() const { return FScreenRefineBlocks; }
  void setGSendScreenRefineBlocks(TrdScreenBlocks v);
  int GSendScreenRefineDelay() const { return FScreenRefineDelay; }
  void setGSendScreenRefineDelay(int seconds);
  TrdScreenLimit GSendScreenSizeLimit() const { return FScreenSizeLimit; }
  void setGSendScreenSizeLimit(TrdScreenLimit v);
  bool GUseMirrorDriver() const { return FUseMirrorDriver; }
  void setGUseMirrorDriver(bool v);
  bool GUseMouseDriver() const { return FUseMouseDriver; }
  void setGUseMouseDriver(bool v);
  bool GCaptureLayeredWindows() const { return FCaptureLayeredWindows; }
  void setGCaptureLayeredWindows(bool v);
  bool GCaptureAllMonitors() const { return FCaptureAllMonitors; }
  void setGCaptureAllMonitors(bool v);
  TrdColorLimit GColorLimit() const { return FColorLimit; }
  void setGColorLimit(TrdColorLimit v);
  TrdLowColorLimit GColorLowLimit() const { return FLowColorLimit; }
  void setGColorLowLimit(TrdLowColorLimit v);
  int GColorReducePercent() const { return FColorReducePercent; }
  void setGColorReducePercent(int v);
  TrdFrameRate GFrameRate() const { return FFrameRate; }
  void setGFrameRate(TrdFrameRate v);
  bool GFullScreen() const { return FShowFullScreen; }
  void setGFullScreen(bool v);
  std::string GEncoderClassName() const;
  // Also switches GUseMirrorDriver off.
  void setGEncoderClassName(const std::string& v);
  ScreenRect GetScreenRect() const;
  void setScreenRect(const ScreenRect& r);

  // The file transfer module that sends files copied with "COPY" (observed; cleared when it
  // goes away).
  TRtcPFileTransfer* FileTransfer() const { return FFileTrans; }
  void setFileTransfer(TRtcPFileTransfer* ft);

  // ---- state ----
  std::string LastMouseUser() const;
  bool ControlActive() const { return FControlActive; }
  // Stores the value and fires OnDeskTopActiveChanged.
  void setControlActive(bool on);
  bool MouseLocked() const;
  void setMouseLocked(bool on);
  bool KeyboardLocked() const;
  void setKeyboardLocked(bool on);
  bool Capturing() const;

  // ---- operations ----
  // Invites the user (into "idesk").
  void Open(const std::string& uname, TRtcConnection* Sender = nullptr);
  // Removes the user from "desk".
  void Close(const std::string& uname, TRtcConnection* Sender = nullptr);
  void CloseAll(TRtcConnection* Sender = nullptr);
  // With subscribers: the capture object is rebuilt after the next send; else at once.
  void Restart();
  static bool MirrorDriverInstalled(bool init = false);

  // ---- events ----
  using QueryAccessEvent =
      std::function<void(TRtcPModule& Sender, const std::string& user, bool& Allow)>;
  using ModuleUserEvent = std::function<void(TRtcPModule& Sender, const std::string& user)>;
  void setOnQueryAccess(QueryAccessEvent e) { FOnQueryAccess = std::move(e); }
  void setOnUserJoined(ModuleUserEvent e) { FOnNewUser = std::move(e); }
  void setOnUserLeft(ModuleUserEvent e) { FOnOldUser = std::move(e); }
  std::function<void(TRtcPDesktopHost& Sender)> OnDeskTopActiveChanged;
  // What "lockinputs" and "blankscreen" post to the application's main window (nothing when
  // unassigned).
  std::function<void(bool locked)> OnLockInputs;
  std::function<void()> OnBlankScreen;

  // The clock behind the pacing and the wait before reading copied file names (tests replace
  // both: milliseconds since some start, and a sleep).
  void setClock(std::function<uint32_t()> tick, std::function<void(uint32_t ms)> sleep);

  // ---- hooks ----
  void ResetUsers() override;
  void UnlinkModule(TRtcPModule* module) override;
  bool WantToSend(TRtcConnection* Sender) override;
  void PrepareToSend(TRtcConnection* Sender) override;
  void ExecuteSend(TRtcConnection* Sender) override;
  void HandleStart(TRtcConnection* Sender, TRtcValue& Data) override;
  void HandleParams(TRtcConnection* Sender, TRtcValue& Data) override;
  void HandleBatchStart(TRtcConnection* Sender) override;
  void HandleUserJoinedMyGroup(TRtcConnection* Sender, const std::string& group,
                               const std::string& user) override;
  void HandleUserLeftMyGroup(TRtcConnection* Sender, const std::string& group,
                             const std::string& user) override;
  // A bad message is dropped with a log line; it never stops the rest of a batch.
  void HandleDataFromUser(TRtcConnection* Sender, const std::string& user,
                          TRtcFunctionInfo& Data) override;
  void HandleBatchEnd(TRtcConnection* Sender) override;
  void HandleRefused(TRtcConnection* Sender, TRtcRecord& answer) override;

  // The quiet pace: after kQuietAfter ms of empty updates the send cycle grabs every
  // kQuietPoll ms (or the frame pacing, when slower) and sends a ping every kQuietPing ms.
  static constexpr uint32_t kQuietAfter = 500, kQuietPoll = 80, kQuietPing = 1000;

  // Capture settings derived from the G settings (exposed for tests and tools).
  int FramePause() const;
  int FrameSleep() const;
  // The capture object's settings, or none while not capturing; runs `read` under the lock.
  void InspectCapture(const std::function<void(const TRtcScreenCapture*)>& read) const;
  // Viewers waiting for a complete image after an update of theirs was refused.
  std::vector<std::string> ResyncPending() const;

 private:
  bool mayView(const std::string& user) const;
  bool mayControl(const std::string& user) const;
  // In "desk", or on the way there with its first image sent.
  bool takesInput(const std::string& user) const;

  // Under FCapLock.
  void startCapture();
  void stopCapture();
  void applyCaptureSettings(TRtcScreenCapture& scr) const;
  // Grabs once and keeps the screen and cursor deltas.
  void grab(std::string& screen, std::string& cursor);
  // After a grab that found nothing new: once the screen has been quiet for a while, keeps
  // grabbing at the slower quiet pace (lock released while sleeping) until something changes,
  // other sending is pending, or it is time for a ping. Sets FQuietSince.
  void waitWhileQuiet(std::unique_lock<std::mutex>& lock);
  void sendUpdate(TRtcConnection* Sender, const std::string& screen, const std::string& cursor);
  void sendFullImage(TRtcConnection* Sender, const std::string& to);

  void handleDesk(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn);
  void handleHostParams(TRtcConnection* Sender, const std::string& user);
  void handleChgDesk(const std::string& user, TRtcFunctionInfo& fn);
  void handleMouse(const std::string& user, TRtcFunctionInfo& fn);
  void handleKey(TRtcConnection* Sender, const std::string& user, TRtcFunctionInfo& fn);
  void handleCopy(TRtcConnection* Sender, const std::string& user);
  void handlePutClipboard(const std::string& user, TRtcFunctionInfo& fn);
  void forgetRefusedClipboards(TRtcRecord& answer);
  void handleGetClipboard(TRtcConnection* Sender, const std::string& user);
  // Releases the keys and buttons a viewer still holds.
  void releaseHeld(const std::string& user);

  // Stores a setting on the gateway when GwStoreParams is set.
  void storeBool(const char* name, bool value);
  void storeInt(const char* name, int value);

  DesktopPlatform& FPlatform;
  DesktopSessionHelpers* FHelpers;

  mutable std::mutex CS2;  // Clipboards and FLastMouseUser
  std::map<std::string, std::string> Clipboards;
  std::string FLastMouseUser;

  // The capture lock: the capture object, the send cycle, the batch lists and pacing.
  mutable std::mutex FCapLock;
  std::unique_ptr<TRtcScreenCapture> Scr;
  uint32_t LastGrab = 0;
  uint32_t FQuietSince = 0;  // first grab of the current run of empty updates (0 = none)
  uint32_t FFramePause = 0, FFrameSleep = 0;
  bool RestartRequested = false;
  bool loop_needtosend = false, loop_need_restart = false;
  std::string loop_s1, loop_s2;
  std::vector<std::string> _desksub;   // entered "idesk" in this batch
  std::vector<std::string> _sub_desk;  // admitted in this batch, to be put into "idesk"
  std::set<std::string> FResync;       // viewers whose updates were refused
  // Of those, the ones whose backlog on the gateway was too long at the last refusal, and when
  // (FTick): their image waits for a refusal that says otherwise, or kLagRecheck ms without one
  // (a quiet screen sends no updates to be refused).
  std::map<std::string, uint32_t> FLagging;
  std::set<std::string> FImageSent;  // sent a complete image in the last turn
  // Sent their first image and moved on to "desk", the gateway's notice not seen yet: they
  // control already.
  std::set<std::string> FMovingToDesk;
  static constexpr std::size_t kMaxResync = 4096;
  uint32_t FButtonsHeld = 0;  // mouse buttons pressed by FButtonsUser
  std::string FButtonsUser;
  int FButtonX = 0, FButtonY = 0;
  std::set<std::string> FKeyUsers;  // viewers that pressed keys since the last release
  std::function<uint32_t()> FTick;
  std::function<void(uint32_t)> FSleep;

  mutable std::mutex FSettingsLock;  // the text and rectangle settings
  std::string fEncoderClassName;
  ScreenRect FScreenRect;

  std::atomic<bool> FShowFullScreen{true}, FUseMouseDriver{false}, FUseMirrorDriver{false},
      FCaptureAllMonitors{false}, FCaptureLayeredWindows{false};
  std::atomic<TrdScreenBlocks> FScreenInBlocks{rdBlocks1}, FScreenRefineBlocks{rdBlocks1};
  std::atomic<int> FScreenRefineDelay{0};
  std::atomic<TrdScreenLimit> FScreenSizeLimit{rdBlockAnySize};
  std::atomic<TrdColorLimit> FColorLimit{rdColor8bit};
  std::atomic<TrdLowColorLimit> FLowColorLimit{rd_ColorHigh};
  std::atomic<int> FColorReducePercent{0};
  std::atomic<bool> fConfirmAllLogins{false};
  std::atomic<TrdFrameRate> FFrameRate{rdFramesMax};
  std::atomic<bool> FAllowControl{true}, FAllowView{true}, FAllowSuperControl{true},
      FAllowSuperView{true};
  std::atomic<bool> FAccessControl{true}, FGatewayParams{false}, FControlActive{false};
  std::atomic<TRtcPFileTransfer*> FFileTrans{nullptr};
};

}  // namespace vtx
