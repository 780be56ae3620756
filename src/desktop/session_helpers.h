// The local-session helpers around remote control that the desktop host calls: wallpaper,
// composition, clipboard, local input locks and the two small windows shown to the local user.
// The host observes one implementation; tests give it a recording fake.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vtx {

class DesktopSessionHelpers {
 public:
  virtual ~DesktopSessionHelpers() = default;

  virtual void HideWallpaper() = 0;
  virtual void ShowWallpaper() = 0;
  virtual void ToggleComposition() = 0;

  // The clipboard as wire text (a data set with rows "form"/"fmt" and "data"); the same
  // content always gives the same text.
  virtual std::string ReadClipboard() = 0;
  virtual void WriteClipboard(const std::string& wireText) = 0;
  // File names copied to the clipboard, or none.
  virtual std::optional<std::vector<std::string>> ClipboardFileNames() = 0;

  virtual void ShowRemoteNotification(const std::string& text) = 0;
  // True only when the local user allows it.
  virtual bool ConfirmDesktopAccess(const std::string& user) = 0;

  // Local input locks: while locked, only injected input reaches the desktop.
  virtual bool KeyboardLocked() const = 0;
  virtual void SetKeyboardLocked(bool locked) = 0;
  virtual bool MouseLocked() const = 0;
  virtual void SetMouseLocked(bool locked) = 0;
};

}  // namespace vtx
