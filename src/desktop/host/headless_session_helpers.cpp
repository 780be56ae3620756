#include "desktop/host/headless_session_helpers.h"

namespace vtx {

std::string HeadlessSessionHelpers::ReadClipboard() {
  std::lock_guard g(lock_);
  return clipboard_;
}

void HeadlessSessionHelpers::WriteClipboard(const std::string& wireText) {
  std::lock_guard g(lock_);
  clipboard_ = wireText;
}

void HeadlessSessionHelpers::ShowRemoteNotification(const std::string& text) {
  if (OnNotification) OnNotification(text);
}

bool HeadlessSessionHelpers::ConfirmDesktopAccess(const std::string& user) {
  if (OnConfirmation) OnConfirmation(user, allow_);
  return allow_;
}

bool HeadlessSessionHelpers::KeyboardLocked() const {
  std::lock_guard g(lock_);
  return keyboard_;
}
void HeadlessSessionHelpers::SetKeyboardLocked(bool locked) {
  std::lock_guard g(lock_);
  keyboard_ = locked;
}
bool HeadlessSessionHelpers::MouseLocked() const {
  std::lock_guard g(lock_);
  return mouse_;
}
void HeadlessSessionHelpers::SetMouseLocked(bool locked) {
  std::lock_guard g(lock_);
  mouse_ = locked;
}

}  // namespace vtx
