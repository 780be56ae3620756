// What the input logic asks of the local desktop besides injecting events (InputInjector does
// that on the encoder's worker): key lookups, lock-key states, the pointer's button order, the
// caption buttons of this program's own windows, the optional mouse-driver library and the
// pieces of the Ctrl+Alt+Del procedure. Key codes are Windows virtual-key codes.
//
// Called from the host's thread under its capture lock; implementations that share state with
// their injector guard it themselves.
#pragma once

#include <cstdint>
#include <string>

namespace vtx {

// Bits of a key lookup result above the key code.
inline constexpr int kKeyScanShift = 0x100;
inline constexpr int kKeyScanCtrl = 0x200;
inline constexpr int kKeyScanAlt = 0x400;

class InputPlatform {
 public:
  virtual ~InputPlatform() = default;

  // Scan code of a virtual key (0 when the keyboard has none).
  virtual uint8_t MapVirtualKey(uint8_t vk) = 0;
  // The key (low byte) and the modifiers (kKeyScan* bits) producing a character; -1 when no
  // key produces it. The 8-bit form reads the character as Latin-1.
  virtual int VkKeyScanA(char c) = 0;
  virtual int VkKeyScanW(char16_t c) = 0;
  virtual bool NumLockOn() = 0;
  virtual bool CapsLockOn() = 0;
  // Whether the local user swapped the left and right buttons.
  virtual bool SwappedButtons() = 0;
  // Primary screen size for absolute pointer coordinates; false when unknown.
  virtual bool PrimaryScreenSize(int& width, int& height) = 0;
  // Puts the pointer at a desktop position without an input event.
  virtual void SetCursorPos(int x, int y) = 0;

  // Hit-test code of this program's own window at a desktop position (8 minimise, 9
  // maximise, 20 close; 0 for anything else or another program's window).
  virtual int OwnWindowHitTest(int /*x*/, int /*y*/) { return 0; }
  virtual bool OwnWindowMaximized(int /*x*/, int /*y*/) { return false; }
  // Posts a system command (SC_*) to this program's window at a desktop position.
  virtual void PostOwnSysCommand(int /*x*/, int /*y*/, uint32_t /*command*/) {}

  // The mouse-driver library: Acquire loads and initialises it on first use (false when it
  // is not available), Release drops one use and unloads it at zero.
  virtual bool AcquireMouseDriver() { return false; }
  virtual void ReleaseMouseDriver() {}
  // action 1 moves to (x, y) in 0..65535; action 0 sends a button code.
  virtual void MouseDriverImitation(int32_t /*action*/, int32_t /*button*/, int32_t /*x*/,
                                    int32_t /*y*/) {}
  // The desktop rectangle of all monitors (for the mouse-driver path).
  virtual bool VirtualDesktop(int& left, int& top, int& right, int& bottom) {
    left = top = right = bottom = 0;
    return false;
  }

  // ---- Ctrl+Alt+Del ----
  virtual std::string AccountName() = 0;
  virtual int OsMajorVersion() { return 6; }
  virtual void StartTaskManager() {}
  // Posts the Ctrl+Alt+Del hot key on the logon desktop; false when it only reached the
  // current one.
  virtual bool PostLogonHotKey() { return false; }
  // Whether another process runs this program's executable.
  virtual bool OtherInstanceRunning() { return false; }
  // Creates (replacing) the empty request file for that other instance.
  virtual void WriteCadRequestFile() {}
  enum class SasCall { kCalled, kLibraryMissing, kFunctionMissing };
  // Asks the secure-attention library to send Ctrl+Alt+Del; result is set when called.
  virtual SasCall SendCtrlAltDel(int& result) {
    result = 0;
    return SasCall::kLibraryMissing;
  }
};

}  // namespace vtx
