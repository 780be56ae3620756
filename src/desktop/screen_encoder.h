// Screen encoders: a worker thread per encoder that runs every screen grab and every injected
// input event, one job at a time, and the process-wide registry of encoder names.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/screen.h"
#include "values/values.h"

namespace vtx {

// The settings an encoder is built with (TRtcScreenCapture passes its own).
struct EncoderSetup {
  int bppLimit = 4;
  int maxBlockCount = 1;
  int screen1BlockCount = 1;
  int screen2BlockCount = 1;
  int screen2Delay = 0;
  int maxTotalSize = 0;
  uint32_t captureMask = 0x00CC0020;
  uint32_t reduce16bit = 0, reduce32bit = 0, lowReduce16bit = 0, lowReduce32bit = 0;
  bool lowReducedColors = false;
  int lowReduceType = 0;
  int lowReduceColorPercent = 0;
  bool useCaptureMarks = false;
  bool multiMonitor = false;
  bool fullScreen = true;
  ScreenRect fixedRegion;
};

// What an encoder needs from the platform: its own screen source, and the input injector
// (observed; may be none).
struct EncoderContext {
  std::unique_ptr<ScreenSource> screen;
  InputInjector* input = nullptr;
};

class TRtcAbstractScreenEncoder {
 public:
  virtual ~TRtcAbstractScreenEncoder() = default;
  virtual void Stop() = 0;
  virtual void Setup(const EncoderSetup& setup) = 0;
  virtual bool GrabScreen() = 0;
  virtual TRtcValue& GetInitialScreenData() = 0;
  virtual TRtcValue& GetScreenData() = 0;
  // Valid until the next job.
  virtual const std::string& GetScreenDelta() = 0;
  virtual std::string GetScreen() = 0;
  virtual bool ScreenChanged() = 0;
  virtual bool GetSupported() = 0;
  virtual bool cad() = 0;
  virtual bool Capture(int sleepTime, bool initial) = 0;
  virtual bool mouse_event(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data,
                           uint32_t extraInfo) = 0;
  virtual bool keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extraInfo) = 0;
  bool Supported() { return GetSupported(); }
};

using EncoderFactory = std::unique_ptr<TRtcAbstractScreenEncoder> (*)(EncoderContext context);

// Registered encoder names, sorted and matched ignoring case; "Default (GDI)" and
// "Mirage Mirror Driver" are registered from the start.
class ScreenEncoderRegistry {
 public:
  static ScreenEncoderRegistry& Instance();
  // False when the name is taken.
  bool Register(const std::string& name, EncoderFactory factory);
  void Unregister(const std::string& name);
  EncoderFactory Find(const std::string& name) const;
  std::vector<std::string> Names() const;

 private:
  ScreenEncoderRegistry();
  struct Entry {
    std::string name;
    EncoderFactory factory;
  };
  mutable std::mutex lock_;
  std::vector<Entry> entries_;  // sorted by upper-cased name
};

inline constexpr const char* kDefaultEncoderName = "Default (GDI)";
inline constexpr const char* kMirrorEncoderName = "Mirage Mirror Driver";

// An auto-reset event.
class AutoResetEvent {
 public:
  void Set();
  // Waits until set (consuming the signal); false on time-out. A negative time waits forever.
  bool Wait(int milliseconds);

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  bool signaled_ = false;
};

// The worker thread and its request protocol. Requests are synchronous: the caller waits until
// the worker has run its job. A job that throws is logged; the requester is released and the
// worker goes on. Derived classes call Stop() in their destructor.
class TRtcBaseScreenEncoder : public TRtcAbstractScreenEncoder {
 public:
  explicit TRtcBaseScreenEncoder(EncoderContext context);
  ~TRtcBaseScreenEncoder() override;

  void Stop() override;
  void Setup(const EncoderSetup& setup) override;
  bool GrabScreen() override;
  const std::string& GetScreenDelta() override { return BuildScreenDelta(); }
  std::string GetScreen() override { return BuildScreen(); }
  bool GetSupported() override { return CheckSupported(); }
  bool cad() override;
  bool Capture(int sleepTime, bool initial) override;
  bool mouse_event(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data,
                   uint32_t extraInfo) override;
  bool keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extraInfo) override;

  // Runs a job record on the worker ("job" selects the action, "result" comes back); false
  // once the encoder is stopped.
  bool RunJob(std::unique_ptr<TRtcRecord> job);

 protected:
  virtual bool CaptureJob(int sleepTime, bool initial) = 0;
  virtual void MouseJob(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data,
                        uint32_t extraInfo);
  virtual void KeybdJob(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extraInfo);
  virtual void GrabDirect() = 0;
  virtual const std::string& BuildScreenDelta() = 0;
  virtual std::string BuildScreen() = 0;
  virtual bool CheckSupported() = 0;
  virtual void SecureAttentionJob();

  ScreenSource& screen() { return *screen_; }
  const EncoderSetup& setup() const { return setup_; }
  // Whether the input desktop could be read at the last job.
  bool desktopAccess() const { return desktopAccess_; }

 private:
  void execute();
  void prepareDesktop();
  void dispatch(TRtcRecord& job);

  std::unique_ptr<ScreenSource> screen_;
  InputInjector* input_;
  EncoderSetup setup_;
  std::mutex CS_;        // one request at a time
  std::mutex workLock_;  // the pending and finished job
  std::unique_ptr<TRtcRecord> work_, done_;
  AutoResetEvent startEvent_, endEvent_;
  bool stop_ = false;     // guarded by workLock_
  bool stopped_ = false;  // guarded by CS_
  bool desktopAccess_ = true, desktopSeen_ = false;
  std::string desktopName_;
  std::thread thread_;
};

}  // namespace vtx
