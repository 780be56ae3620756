// Input on an X server through XTest: Windows-style key and mouse events turned into key codes
// of the current keyboard map and pointer buttons, and the input questions answered from the
// server's state. Characters that are on no key are typed through spare key codes (codes with
// no symbols) mapped to them on demand; the spares get their empty mapping back when the
// object goes. The secure attention sequence has no counterpart here and does nothing.
//
// One connection, used under a lock: the host's thread asks, the encoder's worker injects.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/input.h"
#include "platform/screen.h"

struct _XDisplay;

namespace vtx {

class X11Input final : public InputInjector, public InputPlatform {
 public:
  // Takes the connection (none: every event is dropped and nothing is known).
  explicit X11Input(_XDisplay* dpy);
  ~X11Input() override;
  X11Input(const X11Input&) = delete;
  X11Input& operator=(const X11Input&) = delete;

  // InputInjector
  void KeybdEvent(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extraInfo) override;
  void MouseEvent(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data,
                  uint32_t extraInfo) override;
  void SecureAttention() override {}

  // InputPlatform
  uint8_t MapVirtualKey(uint8_t vk) override;
  int VkKeyScanA(char c) override;
  int VkKeyScanW(char16_t c) override;
  bool NumLockOn() override;
  bool CapsLockOn() override;
  bool SwappedButtons() override;
  // The root window's size (absolute coordinates cover every monitor).
  bool PrimaryScreenSize(int& width, int& height) override;
  void SetCursorPos(int x, int y) override;
  bool VirtualDesktop(int& left, int& top, int& right, int& bottom) override;
  std::string AccountName() override;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// The X key symbol of a Windows virtual-key code (0 when there is none).
uint32_t KeySymForVirtualKey(uint8_t vk);

}  // namespace vtx
