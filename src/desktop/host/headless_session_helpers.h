// Session helpers for a desktop without a local user to ask or show anything to: the
// clipboard lives in memory, notifications go to a callback, the access confirmation gives a
// fixed answer, and the wallpaper and composition have nothing to change.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "desktop/session_helpers.h"

namespace vtx {

class HeadlessSessionHelpers final : public DesktopSessionHelpers {
 public:
  explicit HeadlessSessionHelpers(bool allowAccess = true) : allow_(allowAccess) {}

  void HideWallpaper() override {}
  void ShowWallpaper() override {}
  void ToggleComposition() override {}
  std::string ReadClipboard() override;
  void WriteClipboard(const std::string& wireText) override;
  std::optional<std::vector<std::string>> ClipboardFileNames() override { return std::nullopt; }
  void ShowRemoteNotification(const std::string& text) override;
  bool ConfirmDesktopAccess(const std::string& user) override;
  bool KeyboardLocked() const override;
  void SetKeyboardLocked(bool locked) override;
  bool MouseLocked() const override;
  void SetMouseLocked(bool locked) override;

  // Called (on the caller's thread) with each notification and each confirmation asked.
  std::function<void(const std::string& text)> OnNotification;
  std::function<void(const std::string& user, bool allowed)> OnConfirmation;

 private:
  mutable std::mutex lock_;
  std::string clipboard_;
  bool allow_, keyboard_ = false, mouse_ = false;
};

}  // namespace vtx
