#include "desktop/screen_encoder.h"

#include <algorithm>
#include <chrono>

#include "desktop/gdi_screen_encoder.h"
#include "desktop/mirage_screen_encoder.h"
#include "util/log.h"
#include "util/text.h"

namespace vtx {

// ---- registry ----

ScreenEncoderRegistry::ScreenEncoderRegistry() {
  entries_.push_back({kDefaultEncoderName, &TRtcGDIScreenEncoder::Make});
  entries_.push_back({kMirrorEncoderName, &TRtcMirageScreenEncoder::Make});
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    return UpperCaseAscii(a.name) < UpperCaseAscii(b.name);
  });
}

ScreenEncoderRegistry& ScreenEncoderRegistry::Instance() {
  static ScreenEncoderRegistry registry;
  return registry;
}

bool ScreenEncoderRegistry::Register(const std::string& name, EncoderFactory factory) {
  std::lock_guard lock(lock_);
  std::string key = UpperCaseAscii(name);
  auto at = std::lower_bound(
      entries_.begin(), entries_.end(), key,
      [](const Entry& e, const std::string& k) { return UpperCaseAscii(e.name) < k; });
  if (at != entries_.end() && UpperCaseAscii(at->name) == key) return false;
  entries_.insert(at, {name, factory});
  return true;
}

void ScreenEncoderRegistry::Unregister(const std::string& name) {
  std::lock_guard lock(lock_);
  std::string key = UpperCaseAscii(name);
  std::erase_if(entries_, [&](const Entry& e) { return UpperCaseAscii(e.name) == key; });
}

EncoderFactory ScreenEncoderRegistry::Find(const std::string& name) const {
  std::lock_guard lock(lock_);
  std::string key = UpperCaseAscii(name);
  for (const auto& e : entries_)
    if (UpperCaseAscii(e.name) == key) return e.factory;
  return nullptr;
}

std::vector<std::string> ScreenEncoderRegistry::Names() const {
  std::lock_guard lock(lock_);
  std::vector<std::string> names;
  for (const auto& e : entries_) names.push_back(e.name);
  return names;
}

// ---- events ----

void AutoResetEvent::Set() {
  {
    std::lock_guard lock(lock_);
    signaled_ = true;
  }
  cv_.notify_one();
}

bool AutoResetEvent::Wait(int milliseconds) {
  std::unique_lock lock(lock_);
  if (milliseconds < 0)
    cv_.wait(lock, [&] { return signaled_; });
  else if (!cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return signaled_; }))
    return false;
  signaled_ = false;
  return true;
}

// ---- base encoder ----

TRtcBaseScreenEncoder::TRtcBaseScreenEncoder(EncoderContext context)
    : screen_(std::move(context.screen)), input_(context.input) {
  thread_ = std::thread([this] { execute(); });
}

TRtcBaseScreenEncoder::~TRtcBaseScreenEncoder() {
  Stop();
}

void TRtcBaseScreenEncoder::Stop() {
  std::lock_guard cs(CS_);
  if (stopped_) return;
  stopped_ = true;
  {
    std::lock_guard lock(workLock_);
    stop_ = true;
  }
  startEvent_.Set();
  endEvent_.Wait(-1);
  if (thread_.joinable()) thread_.join();
}

void TRtcBaseScreenEncoder::Setup(const EncoderSetup& setup) {
  setup_ = setup;
}

bool TRtcBaseScreenEncoder::GrabScreen() {
  GrabDirect();
  return true;
}

bool TRtcBaseScreenEncoder::RunJob(std::unique_ptr<TRtcRecord> job) {
  std::lock_guard cs(CS_);
  if (stopped_) return false;
  {
    std::lock_guard lock(workLock_);
    work_ = std::move(job);
  }
  startEvent_.Set();
  endEvent_.Wait(-1);
  std::lock_guard lock(workLock_);
  bool result = done_ && done_->asBoolean("result");
  done_.reset();
  return result;
}

bool TRtcBaseScreenEncoder::Capture(int sleepTime, bool initial) {
  auto job = std::make_unique<TRtcRecord>();
  job->setAsInteger("job", 0);
  job->setAsInteger("SleepTime", sleepTime);
  job->setAsBoolean("Initial", initial);
  return RunJob(std::move(job));
}

bool TRtcBaseScreenEncoder::keybd_event(uint8_t vk, uint8_t scan, uint32_t flags,
                                        uint32_t extraInfo) {
  auto job = std::make_unique<TRtcRecord>();
  job->setAsInteger("job", 1);
  job->setAsInteger("bVk", vk);
  job->setAsInteger("bScan", scan);
  job->setAsCardinal("dwFlags", flags);
  job->setAsCardinal("dwExtraInfo", extraInfo);
  return RunJob(std::move(job));
}

bool TRtcBaseScreenEncoder::mouse_event(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data,
                                        uint32_t extraInfo) {
  auto job = std::make_unique<TRtcRecord>();
  job->setAsInteger("job", 2);
  job->setAsCardinal("dwFlags", flags);
  job->setAsCardinal("dx", dx);
  job->setAsCardinal("dy", dy);
  job->setAsCardinal("dwData", data);
  job->setAsCardinal("dwExtraInfo", extraInfo);
  return RunJob(std::move(job));
}

bool TRtcBaseScreenEncoder::cad() {
  auto job = std::make_unique<TRtcRecord>();
  job->setAsInteger("job", 3);
  return RunJob(std::move(job));
}

void TRtcBaseScreenEncoder::MouseJob(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data,
                                     uint32_t extraInfo) {
  if (input_) input_->MouseEvent(flags, dx, dy, data, extraInfo);
}

void TRtcBaseScreenEncoder::KeybdJob(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extraInfo) {
  if (input_) input_->KeybdEvent(vk, scan, flags, extraInfo);
}

void TRtcBaseScreenEncoder::SecureAttentionJob() {
  if (input_) input_->SecureAttention();
}

void TRtcBaseScreenEncoder::execute() {
  for (;;) {
    bool signaled = startEvent_.Wait(250);
    std::unique_ptr<TRtcRecord> job;
    {
      std::lock_guard lock(workLock_);
      if (stop_) break;
      if (!signaled) continue;
      job = std::move(work_);
    }
    if (!job) continue;
    job->setAsBoolean("result", false);
    try {
      prepareDesktop();
      dispatch(*job);
    } catch (const std::exception& e) {
      WriteExceptionLog("TRtcBaseScreenEncoder.Execute", e, "Screen");
    } catch (...) {
      WriteLog("TRtcBaseScreenEncoder.Execute: unknown exception", "Screen");
    }
    {
      std::lock_guard lock(workLock_);
      done_ = std::move(job);
    }
    endEvent_.Set();
  }
  endEvent_.Set();
}

void TRtcBaseScreenEncoder::prepareDesktop() {
  std::string name;
  bool access = screen_->InputDesktop(name);
  if (!desktopSeen_ || access != desktopAccess_ || (access && name != desktopName_))
    WriteLog("Desktop changed to: " + (access ? name : std::string("Logon (restricted)")),
             "Screen");
  desktopSeen_ = true;
  desktopAccess_ = access;
  desktopName_ = access ? name : std::string();
}

void TRtcBaseScreenEncoder::dispatch(TRtcRecord& job) {
  switch (job.asInteger("job")) {
    case 0:
      job.setAsBoolean("result", CaptureJob(job.asInteger("SleepTime"), job.asBoolean("Initial")));
      break;
    case 1:
      KeybdJob(static_cast<uint8_t>(job.asInteger("bVk")),
               static_cast<uint8_t>(job.asInteger("bScan")), job.asCardinal("dwFlags"),
               job.asCardinal("dwExtraInfo"));
      job.setAsBoolean("result", true);
      break;
    case 2:
      MouseJob(job.asCardinal("dwFlags"), job.asCardinal("dx"), job.asCardinal("dy"),
               job.asCardinal("dwData"), job.asCardinal("dwExtraInfo"));
      job.setAsBoolean("result", true);
      break;
    case 3:
      SecureAttentionJob();
      job.setAsBoolean("result", true);
      break;
    default:
      break;  // unknown jobs do nothing
  }
}

}  // namespace vtx
