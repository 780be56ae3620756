// Short free-form text commands between two users: "custom-command" {msg} carries one command,
// accepted from anyone; "custom-command-open" asks the receiver to take the sender back into
// its group "custom-command". No access test applies.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "portal/portal_module.h"

namespace vtx {

enum class TEventType { etConnect, etDisconnect };

class TRtcPCustomCommand : public TRtcPModule {
 public:
  using MessageEvent = std::function<void(TRtcPCustomCommand& Sender, const std::string& user,
                                          const std::string& msg)>;
  using ConnectionEvent = std::function<void(TRtcPCustomCommand& Sender, TEventType eventtype,
                                             const std::string& user)>;

  MessageEvent OnMessageReceived;
  ConnectionEvent OnConnectionEvent;

  void SendCustomMessage(const std::string& UserName, const std::string& Msg,
                         TRtcConnection* Sender = nullptr);
  void Open(const std::string& UserName, TRtcConnection* Sender = nullptr);
  void Close(const std::string& UserName, TRtcConnection* Sender = nullptr);

  // Users in the local group.
  int MemberCount() const;
  bool isMember(const std::string& user) const;

  // A bad command is dropped with a log line; it never stops the rest of a batch.
  void HandleDataFromUser(TRtcConnection* Sender, const std::string& user,
                          TRtcFunctionInfo& Data) override;
  void HandleUserJoinedMyGroup(TRtcConnection* Sender, const std::string& group,
                               const std::string& user) override;
  void HandleUserLeftMyGroup(TRtcConnection* Sender, const std::string& group,
                             const std::string& user) override;
  void HandleJoinedUsersGroup(TRtcConnection* Sender, const std::string& group,
                              const std::string& user) override;
  void HandleLeftUsersGroup(TRtcConnection* Sender, const std::string& group,
                            const std::string& user) override;

 private:
  void eventCon(TRtcConnection* Sender, TEventType evt, const std::string& user);

  mutable std::mutex FLock;  // AmHost
  std::map<std::string, bool> AmHost;
  int AmHostCnt = 0;
};

}  // namespace vtx
