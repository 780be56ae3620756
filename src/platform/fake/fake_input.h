// Input questions answered from settable state, and a log of the calls that act ("cursor X
// Y", "syscmd X Y CMD", "driver ACTION BUTTON X Y", "taskmgr", "hotkey", "cadfile"). Key
// lookups follow a US layout for ASCII letters, digits and space (upper case with Shift);
// other characters have no key unless set. Scan codes are the key code plus one.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/input.h"

namespace vtx {

class FakeInputPlatform final : public InputPlatform {
 public:
  uint8_t MapVirtualKey(uint8_t vk) override;
  int VkKeyScanA(char c) override;
  int VkKeyScanW(char16_t c) override;
  bool NumLockOn() override;
  bool CapsLockOn() override;
  bool SwappedButtons() override;
  bool PrimaryScreenSize(int& width, int& height) override;
  void SetCursorPos(int x, int y) override;
  int OwnWindowHitTest(int x, int y) override;
  bool OwnWindowMaximized(int x, int y) override;
  void PostOwnSysCommand(int x, int y, uint32_t command) override;
  bool AcquireMouseDriver() override;
  void ReleaseMouseDriver() override;
  void MouseDriverImitation(int32_t action, int32_t button, int32_t x, int32_t y) override;
  bool VirtualDesktop(int& left, int& top, int& right, int& bottom) override;
  std::string AccountName() override;
  int OsMajorVersion() override;
  void StartTaskManager() override;
  bool PostLogonHotKey() override;
  bool OtherInstanceRunning() override;
  void WriteCadRequestFile() override;
  SasCall SendCtrlAltDel(int& result) override;

  // ---- test controls ----
  void SetNumLock(bool on);
  void SetCapsLock(bool on);
  void SetSwapped(bool on);
  void SetPrimaryScreen(int width, int height);  // 0 x 0: unknown
  // The lookup result for a character (-1: no key).
  void SetKey(char16_t c, int result);
  // A window of this program covering rect with a caption button hit-test code there.
  void SetOwnWindow(int left, int top, int right, int bottom, int hitTest, bool maximized);
  // Mouse-driver availability (default: not available) and the number of live uses.
  void SetMouseDriverAvailable(bool on);
  int MouseDriverUses() const;
  void SetAccount(std::string name, int osMajor);
  void SetLogonHotKeyWorks(bool on);
  void SetOtherInstance(bool on);
  void SetSas(SasCall call, int result);

  std::vector<std::string> Log() const;
  void ClearLog();

 private:
  void log(std::string line);

  mutable std::mutex lock_;
  std::vector<std::string> log_;
  std::map<char16_t, int> keys_;
  bool num_ = false, caps_ = false, swapped_ = false;
  int width_ = 0, height_ = 0;
  int winLeft_ = 0, winTop_ = 0, winRight_ = 0, winBottom_ = 0, hit_ = 0;
  bool maximized_ = false;
  bool driverAvailable_ = false;
  int driverUses_ = 0;
  std::string account_ = "analyst";
  int osMajor_ = 6;
  bool hotKeyWorks_ = false, otherInstance_ = false;
  SasCall sas_ = SasCall::kLibraryMissing;
  int sasResult_ = 0;
};

}  // namespace vtx
