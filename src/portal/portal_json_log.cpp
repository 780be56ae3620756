#include "portal/portal_json_log.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>

#include "util/exceptions.h"
#include "util/text.h"

namespace vtx {
namespace {

std::string isoTime(std::chrono::system_clock::time_point t) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms % 1000));
  return buf;
}

std::string unquoted(const std::string& event) {
  if (event.size() >= 2 && event.front() == '"' && event.back() == '"')
    return event.substr(1, event.size() - 2);
  return event;
}

nlohmann::ordered_json toJson(const TRtcValueObject* v, int depth) {
  if (!v || depth > 64) return nullptr;
  switch (v->GetType()) {
    case rtc_Null:
      return nullptr;
    case rtc_Boolean:
    case rtc_Integer:
    case rtc_Cardinal:
    case rtc_LargeInt:
    case rtc_Float:
    case rtc_Currency:
    case rtc_DateTime: {
      TRtcValue copy;
      copy.setAsObject(v->copyOf());
      if (v->GetType() == rtc_Boolean) return copy.asBoolean();
      if (v->GetType() == rtc_Integer || v->GetType() == rtc_Cardinal ||
          v->GetType() == rtc_LargeInt)
        return copy.asLargeInt();
      return copy.asFloat();
    }
    case rtc_Record:
    case rtc_Function: {
      auto& rec = static_cast<const TRtcRecord&>(*v);
      nlohmann::ordered_json j = nlohmann::ordered_json::object();
      if (v->GetType() == rtc_Function)
        j["fn"] = Utf8Encode(static_cast<const TRtcFunctionInfo&>(*v).FunctionName());
      for (int i = 0; i < rec.FieldCount(); ++i)
        j[Utf8Encode(rec.FieldName(i))] = toJson(rec.FieldObject(i), depth + 1);
      return j;
    }
    case rtc_Array: {
      auto& arr = static_cast<const TRtcArray&>(*v);
      nlohmann::ordered_json j = nlohmann::ordered_json::array();
      for (int i = 0; i < arr.Count(); ++i) j.push_back(toJson(arr.GetObject(i), depth + 1));
      return j;
    }
    default: {
      TRtcValue copy;
      copy.setAsObject(v->copyOf());
      try {
        return Utf8Encode(copy.asText());
      } catch (const std::exception&) {
        return v->toCode();
      }
    }
  }
}

}  // namespace

std::string PortalValueJson(const TRtcValueObject* v) {
  return toJson(v, 0).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

TnxPortalJsonLog::TnxPortalJsonLog(const std::filesystem::path& path, const SystemInfo* system,
                                   Clock clock)
    : TnxPortalBaseLog(system), clock_(std::move(clock)) {
  out_.open(path, std::ios::binary | std::ios::app);
  if (!out_) throw ERtcInfo("Can not open \"" + path.string() + "\" for writing");
}

std::string TnxPortalJsonLog::Format(const TnxPortalLogEntry& e,
                                     std::chrono::system_clock::time_point time) {
  nlohmann::ordered_json j;
  j["time"] = isoTime(time);
  j["before"] = e.Before;
  j["event"] = unquoted(e.Event);
  j["peer"] = e.PeerAddr;
  j["local_user"] = e.LocalUserName;
  j["local_computer"] = e.LocalComputerName;
  if (!e.InfoUserName.empty() || !e.InfoComputerName.empty() || !e.InfoIP.empty())
    j["info"] = {
        {"username", e.InfoUserName}, {"computername", e.InfoComputerName}, {"ip", e.InfoIP}};
  nlohmann::ordered_json entries = nlohmann::ordered_json::object();
  for (const auto& [name, value] : e.Entries) entries[name] = value;
  j["entries"] = std::move(entries);
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void TnxPortalJsonLog::WriteEvent(const TnxPortalLogEntry& entry) {
  const std::string line =
      Format(entry, clock_ ? clock_() : std::chrono::system_clock::now()) + "\n";
  std::lock_guard g(lock_);
  out_ << line;
  out_.flush();
}

}  // namespace vtx
