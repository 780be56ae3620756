// The two small windows shown to the local user: a notification and a yes/no question. The
// program shows real windows; a headless host answers by itself.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace vtx {

class LocalPrompts {
 public:
  virtual ~LocalPrompts() = default;
  // Shows the text and returns at once.
  virtual void ShowNotification(const std::string& title, const std::string& text) = 0;
  // True only for Yes; no answer within timeoutSeconds refuses.
  virtual bool Confirm(const std::string& title, const std::string& text, int timeoutSeconds) = 0;
};

// Answers every question the same way and keeps what it was shown ("notify TITLE: TEXT",
// "confirm TITLE: TEXT").
class AutoAnswerPrompts final : public LocalPrompts {
 public:
  explicit AutoAnswerPrompts(bool allow) : allow_(allow) {}
  void ShowNotification(const std::string& title, const std::string& text) override {
    std::lock_guard g(lock_);
    shown_.push_back("notify " + title + ": " + text);
  }
  bool Confirm(const std::string& title, const std::string& text, int) override {
    std::lock_guard g(lock_);
    shown_.push_back("confirm " + title + ": " + text);
    return allow_;
  }
  std::vector<std::string> Shown() const {
    std::lock_guard g(lock_);
    return shown_;
  }

 private:
  mutable std::mutex lock_;
  bool allow_;
  std::vector<std::string> shown_;
};

// The texts of the two windows.
inline constexpr const char* kNotificationTitle = "Message from Orvanta Portal";
inline constexpr const char* kConfirmAccessTitle = "Confirm Desktop Access";
inline constexpr int kConfirmAccessSeconds = 10;
inline std::string ConfirmAccessText(const std::string& user) {
  return user + " wants to access your desktop. Do you want to allow this?";
}

}  // namespace vtx
