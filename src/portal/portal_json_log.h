// A portal event log that appends one JSON object per recorded event to a file:
//   {"time":"2026-01-02T03:04:05.678Z","before":false,"event":"ChatMessage","peer":"...",
//    "local_user":"...","local_computer":"...","info":{"username":..,"computername":..,"ip":..},
//    "entries":{"Room":"...","User":"...","Msg":"..."}}
// Text that is not valid UTF-8 is written with replacement characters. Any thread may write.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>

#include "portal/portal_log.h"
#include "values/values.h"

namespace vtx {

// A value as JSON text: scalars as numbers, Booleans, strings (text as UTF-8) or null,
// records as objects, arrays and data sets as arrays, functions as objects with "fn".
std::string PortalValueJson(const TRtcValueObject* v);

class TnxPortalJsonLog : public TnxPortalBaseLog {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;
  // Opens `path` for appending; ERtcInfo naming the file when it cannot be opened.
  explicit TnxPortalJsonLog(const std::filesystem::path& path, const SystemInfo* system = nullptr,
                            Clock clock = {});

  // The JSON text of one entry (no line end).
  static std::string Format(const TnxPortalLogEntry& entry,
                            std::chrono::system_clock::time_point time);

 protected:
  void WriteEvent(const TnxPortalLogEntry& entry) override;

 private:
  Clock clock_;
  std::mutex lock_;
  std::ofstream out_;
};

}  // namespace vtx
