// Session helpers for tests: a clipboard held as wire text, canned answers, and one log line
// per call ("HideWallpaper", "WriteClipboard", "Notify <text>", "Confirm <user>",
// "KeyboardLocked 1", ...). Safe to use from several threads.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "desktop/session_helpers.h"

namespace vtx {

class FakeSessionHelpers final : public DesktopSessionHelpers {
 public:
  void HideWallpaper() override { log("HideWallpaper"); }
  void ShowWallpaper() override { log("ShowWallpaper"); }
  void ToggleComposition() override { log("ToggleComposition"); }

  std::string ReadClipboard() override {
    std::lock_guard<std::mutex> g(lock_);
    log_.push_back("ReadClipboard");
    return clipboard_;
  }
  void WriteClipboard(const std::string& wireText) override {
    std::lock_guard<std::mutex> g(lock_);
    log_.push_back("WriteClipboard");
    clipboard_ = wireText;
  }
  std::optional<std::vector<std::string>> ClipboardFileNames() override {
    std::lock_guard<std::mutex> g(lock_);
    log_.push_back("ClipboardFileNames");
    if (fileNames_.empty()) return std::nullopt;
    return fileNames_;
  }

  void ShowRemoteNotification(const std::string& text) override { log("Notify " + text); }
  bool ConfirmDesktopAccess(const std::string& user) override {
    std::lock_guard<std::mutex> g(lock_);
    log_.push_back("Confirm " + user);
    return allow_;
  }

  bool KeyboardLocked() const override {
    std::lock_guard<std::mutex> g(lock_);
    return keyboardLocked_;
  }
  void SetKeyboardLocked(bool locked) override {
    std::lock_guard<std::mutex> g(lock_);
    log_.push_back(std::string("KeyboardLocked ") + (locked ? "1" : "0"));
    keyboardLocked_ = locked;
  }
  bool MouseLocked() const override {
    std::lock_guard<std::mutex> g(lock_);
    return mouseLocked_;
  }
  void SetMouseLocked(bool locked) override {
    std::lock_guard<std::mutex> g(lock_);
    log_.push_back(std::string("MouseLocked ") + (locked ? "1" : "0"));
    mouseLocked_ = locked;
  }

  // ---- test controls ----
  // The local clipboard as wire text (what ReadClipboard returns, what WriteClipboard set).
  std::string Clipboard() const {
    std::lock_guard<std::mutex> g(lock_);
    return clipboard_;
  }
  void SetClipboard(std::string wireText) {
    std::lock_guard<std::mutex> g(lock_);
    clipboard_ = std::move(wireText);
  }
  void SetFileNames(std::vector<std::string> names) {
    std::lock_guard<std::mutex> g(lock_);
    fileNames_ = std::move(names);
  }
  // The local user's answer to ConfirmDesktopAccess (default: allow).
  void SetAllowAccess(bool allow) {
    std::lock_guard<std::mutex> g(lock_);
    allow_ = allow;
  }
  std::vector<std::string> Log() const {
    std::lock_guard<std::mutex> g(lock_);
    return log_;
  }
  void ClearLog() {
    std::lock_guard<std::mutex> g(lock_);
    log_.clear();
  }

 private:
  void log(std::string line) {
    std::lock_guard<std::mutex> g(lock_);
    log_.push_back(std::move(line));
  }

  mutable std::mutex lock_;
  std::vector<std::string> log_;
  std::string clipboard_;
  std::vector<std::string> fileNames_;
  bool allow_ = true;
  bool keyboardLocked_ = false, mouseLocked_ = false;
};

}  // namespace vtx
