#include "platform/fake/fake_input.h"

namespace vtx {

namespace {
int usLayout(char16_t c) {
  if (c >= u'a' && c <= u'z') return c - u'a' + 'A';
  if (c >= u'A' && c <= u'Z') return kKeyScanShift | c;
  if ((c >= u'0' && c <= u'9') || c == u' ') return c;
  return -1;
}
}  // namespace

uint8_t FakeInputPlatform::MapVirtualKey(uint8_t vk) {
  return static_cast<uint8_t>(vk + 1);
}

int FakeInputPlatform::VkKeyScanA(char c) {
  return VkKeyScanW(static_cast<char16_t>(static_cast<unsigned char>(c)));
}

int FakeInputPlatform::VkKeyScanW(char16_t c) {
  std::lock_guard g(lock_);
  auto it = keys_.find(c);
  return it != keys_.end() ? it->second : usLayout(c);
}

bool FakeInputPlatform::NumLockOn() {
  std::lock_guard g(lock_);
  return num_;
}
bool FakeInputPlatform::CapsLockOn() {
  std::lock_guard g(lock_);
  return caps_;
}
bool FakeInputPlatform::SwappedButtons() {
  std::lock_guard g(lock_);
  return swapped_;
}

bool FakeInputPlatform::PrimaryScreenSize(int& width, int& height) {
  std::lock_guard g(lock_);
  width = width_;
  height = height_;
  return width_ > 0 && height_ > 0;
}

void FakeInputPlatform::SetCursorPos(int x, int y) {
  log("cursor " + std::to_string(x) + " " + std::to_string(y));
}

int FakeInputPlatform::OwnWindowHitTest(int x, int y) {
  std::lock_guard g(lock_);
  bool inside = x >= winLeft_ && x < winRight_ && y >= winTop_ && y < winBottom_;
  return inside ? hit_ : 0;
}

bool FakeInputPlatform::OwnWindowMaximized(int, int) {
  std::lock_guard g(lock_);
  return maximized_;
}

void FakeInputPlatform::PostOwnSysCommand(int x, int y, uint32_t command) {
  log("syscmd " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(command));
}

bool FakeInputPlatform::AcquireMouseDriver() {
  std::lock_guard g(lock_);
  if (!driverAvailable_) return false;
  ++driverUses_;
  return true;
}

void FakeInputPlatform::ReleaseMouseDriver() {
  std::lock_guard g(lock_);
  if (driverUses_ > 0) --driverUses_;
}

void FakeInputPlatform::MouseDriverImitation(int32_t action, int32_t button, int32_t x, int32_t y) {
  log("driver " + std::to_string(action) + " " + std::to_string(button) + " " + std::to_string(x) +
      " " + std::to_string(y));
}

bool FakeInputPlatform::VirtualDesktop(int& left, int& top, int& right, int& bottom) {
  std::lock_guard g(lock_);
  left = 0;
  top = 0;
  right = width_;
  bottom = height_;
  return width_ > 0 && height_ > 0;
}

std::string FakeInputPlatform::AccountName() {
  std::lock_guard g(lock_);
  return account_;
}
int FakeInputPlatform::OsMajorVersion() {
  std::lock_guard g(lock_);
  return osMajor_;
}
void FakeInputPlatform::StartTaskManager() {
  log("taskmgr");
}
bool FakeInputPlatform::PostLogonHotKey() {
  log("hotkey");
  std::lock_guard g(lock_);
  return hotKeyWorks_;
}
bool FakeInputPlatform::OtherInstanceRunning() {
  std::lock_guard g(lock_);
  return otherInstance_;
}
void FakeInputPlatform::WriteCadRequestFile() {
  log("cadfile");
}
InputPlatform::SasCall FakeInputPlatform::SendCtrlAltDel(int& result) {
  std::lock_guard g(lock_);
  result = sasResult_;
  return sas_;
}

void FakeInputPlatform::SetNumLock(bool on) {
  std::lock_guard g(lock_);
  num_ = on;
}
void FakeInputPlatform::SetCapsLock(bool on) {
  std::lock_guard g(lock_);
  caps_ = on;
}
void FakeInputPlatform::SetSwapped(bool on) {
  std::lock_guard g(lock_);
  swapped_ = on;
}
void FakeInputPlatform::SetPrimaryScreen(int width, int height) {
  std::lock_guard g(lock_);
  width_ = width;
  height_ = height;
}
void FakeInputPlatform::SetKey(char16_t c, int result) {
  std::lock_guard g(lock_);
  keys_[c] = result;
}
void FakeInputPlatform::SetOwnWindow(int left, int top, int right, int bottom, int hitTest,
                                     bool maximized) {
  std::lock_guard g(lock_);
  winLeft_ = left;
  winTop_ = top;
  winRight_ = right;
  winBottom_ = bottom;
  hit_ = hitTest;
  maximized_ = maximized;
}
void FakeInputPlatform::SetMouseDriverAvailable(bool on) {
  std::lock_guard g(lock_);
  driverAvailable_ = on;
}
int FakeInputPlatform::MouseDriverUses() const {
  std::lock_guard g(lock_);
  return driverUses_;
}
void FakeInputPlatform::SetAccount(std::string name, int osMajor) {
  std::lock_guard g(lock_);
  account_ = std::move(name);
  osMajor_ = osMajor;
}
void FakeInputPlatform::SetLogonHotKeyWorks(bool on) {
  std::lock_guard g(lock_);
  hotKeyWorks_ = on;
}
void FakeInputPlatform::SetOtherInstance(bool on) {
  std::lock_guard g(lock_);
  otherInstance_ = on;
}
void FakeInputPlatform::SetSas(SasCall call, int result) {
  std::lock_guard g(lock_);
  sas_ = call;
  sasResult_ = result;
}

std::vector<std::string> FakeInputPlatform::Log() const {
  std::lock_guard g(lock_);
  return log_;
}
void FakeInputPlatform::ClearLog() {
  std::lock_guard g(lock_);
  log_.clear();
}
void FakeInputPlatform::log(std::string line) {
  std::lock_guard g(lock_);
  log_.push_back(std::move(line));
}

}  // namespace vtx
