#include "portal/portal_log.h"

#include <algorithm>

#include "platform/system_info.h"
#include "portal/abs_portal_client.h"
#include "transport/rtc_connection.h"
#include "util/text.h"

namespace vtx {
namespace {

void entry(TnxPortalLogEntry& e, const char* name, const std::string& value) {
  e.Entries.emplace_back(name, value);
  std::string& text = e.Text;
  text += name;
  text += " = ";
  text += value;
  text += ';';
}

std::string field(TRtcRecord& rec, const char* name) {
  try {
    return Utf8Encode(rec.asText(name));
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

TnxPortalBaseLog::TnxPortalBaseLog(const SystemInfo* system)
    : system_(system ? *system : PlatformSystemInfo()), fFilterCommands{"Put",
                                                                        "Get",
                                                                        "Control",
                                                                        "Params",
                                                                        "ChatUserJoined",
                                                                        "UserJoined",
                                                                        "Message",
                                                                        "QueryAccess",
                                                                        "ChatInit",
                                                                        "Init",
                                                                        "NewUser",
                                                                        "NewUI",
                                                                        "ChatOpen",
                                                                        "Open",
                                                                        "FileTransInit",
                                                                        "FileTransOpen",
                                                                        "ReadStart",
                                                                        "ReadStop",
                                                                        "Read",
                                                                        "ReadUpdate",
                                                                        "FileReadUpdate",
                                                                        "FileRead"} {}

bool TnxPortalBaseLog::LogAfter() const {
  std::lock_guard g(lock_);
  return fLogAfter;
}
void TnxPortalBaseLog::setLogAfter(bool on) {
  std::lock_guard g(lock_);
  fLogAfter = on;
}
bool TnxPortalBaseLog::LogBefore() const {
  std::lock_guard g(lock_);
  return fLogBefore;
}
void TnxPortalBaseLog::setLogBefore(bool on) {
  std::lock_guard g(lock_);
  fLogBefore = on;
}
bool TnxPortalBaseLog::Active() const {
  std::lock_guard g(lock_);
  return fActive;
}
void TnxPortalBaseLog::setActive(bool on) {
  std::lock_guard g(lock_);
  fActive = on;
}
std::vector<std::string> TnxPortalBaseLog::Filter() const {
  std::lock_guard g(lock_);
  return fFilterCommands;
}
void TnxPortalBaseLog::setFilter(std::vector<std::string> names) {
  std::lock_guard g(lock_);
  fFilterCommands = std::move(names);
}

bool TnxPortalBaseLog::Filtered(const std::string& Command) const {
  std::lock_guard g(lock_);
  return fActive && std::find(fFilterCommands.begin(), fFilterCommands.end(), Command) !=
                        fFilterCommands.end();
}

void TnxPortalBaseLog::WriteLog(bool Before, const std::string& Event, TRtcConnection* Sender,
                                TRtcPortalComponent* Msg, TRtcValue* Data) {
  if (Filtered(Event)) return;
  if (Before ? !LogBefore() : !LogAfter()) return;
  TnxPortalLogEntry e;
  e.Before = Before;
  e.Event = "\"" + Event + "\"";
  if (Sender) {
    e.PeerAddr = Sender->PeerAddr();
    e.LocalUserName = system_.UserName();
    e.LocalComputerName = system_.ComputerName();
  }
  TRtcRecord* rec = Data && Data->isType() == rtc_Record ? Data->asRecord() : nullptr;
  if (Event == "LogIn" || Event == "Start") {
    if (!Sender) return;
    entry(e, "Gateway", Sender->ServerAddr);
    entry(e, "GatewayPort", Sender->ServerPort);
    if (auto* client = dynamic_cast<TAbsPortalClient*>(Msg))
      entry(e, "UserName", client->LoginUserName());
  } else if (Event == "UserJoinedMyGroup" || Event == "UserLeftMyGroup") {
    if (!rec) return;
    entry(e, "RemoteUserName", field(*rec, "user"));
    entry(e, "Group", field(*rec, "group"));
    TRtcRecord* notice =
        rec->isType("UserInfo") == rtc_Record ? rec->asRecord("UserInfo") : nullptr;
    if (notice && notice->isType("userinfo") == rtc_Record) {
      TRtcRecord* info = notice->asRecord("userinfo");
      {
        e.InfoUserName = field(*info, "info_username");
        e.InfoComputerName = field(*info, "info_computername");
        e.InfoIP = field(*info, "info_ip");
      }
    }
  } else if (Event == "ChatMessage") {
    if (!rec) return;
    const RtcWideString msg = rec->asText("Msg");
    const std::string trimmed = Utf8Encode(msg);
    const auto first = trimmed.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || trimmed[first] == '\x01') return;
    entry(e, "Room", field(*rec, "Room"));
    entry(e, "User", field(*rec, "User"));
    entry(e, "Msg", trimmed);
  } else if (Event == "FileReadStart" || Event == "FileReadStop") {
    if (!rec) return;
    entry(e, "User", field(*rec, "User"));
    entry(e, "Path", field(*rec, "Path"));
    entry(e, "Folder", field(*rec, "Folder"));
    entry(e, "Size", Narrow(rec->asText("Size")));
  } else {
    return;
  }
  WriteEvent(e);
}

}  // namespace vtx
