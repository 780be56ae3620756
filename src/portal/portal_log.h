// The event log a portal client may report to: decides which dispatched events are worth
// recording, assembles their facts as one text and hands them to the writer of a descendant.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "values/values.h"

namespace vtx {

class TRtcConnection;
class TRtcPortalComponent;
class SystemInfo;

// What the writer receives for one recorded event.
struct TnxPortalLogEntry {
  bool Before = false;
  std::string Event;  // the event name in double quotes
  std::string PeerAddr, LocalUserName, LocalComputerName;
  std::string InfoUserName, InfoComputerName, InfoIP;        // of the remote user, when known
  std::string Text;                                          // "Name = value;" entries
  std::vector<std::pair<std::string, std::string>> Entries;  // the same, one pair each
};

class TnxPortalBaseLog {
 public:
  // The local names come from `system` (the platform's when null).
  explicit TnxPortalBaseLog(const SystemInfo* system = nullptr);
  virtual ~TnxPortalBaseLog() = default;

  bool LogAfter() const;
  void setLogAfter(bool on);
  bool LogBefore() const;
  void setLogBefore(bool on);
  bool Active() const;
  void setActive(bool on);
  std::vector<std::string> Filter() const;
  void setFilter(std::vector<std::string> names);

  // True when Active and Command is in the filter (exact match).
  bool Filtered(const std::string& Command) const;
  void WriteLog(bool Before, const std::string& Event, TRtcConnection* Sender,
                TRtcPortalComponent* Msg, TRtcValue* Data);

 protected:
  virtual void WriteEvent(const TnxPortalLogEntry& entry) = 0;

 private:
  const SystemInfo& system_;
  mutable std::mutex lock_;
  bool fLogAfter = true, fLogBefore = false, fActive = true;
  std::vector<std::string> fFilterCommands;
};

}  // namespace vtx
