// Event signatures of the portal client and its modules.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "values/values.h"

namespace vtx {

class TRtcConnection;
class TRtcPortalComponent;
class TAbsPortalClient;

using TRtcPortalNotifyEvent = std::function<void(TAbsPortalClient& Sender)>;
using TRtcPortalDataEvent = std::function<void(TAbsPortalClient& Sender, TRtcValue& Data)>;
using TRtcPortalMessageEvent =
    std::function<void(TAbsPortalClient& Sender, const std::string& Msg)>;
using TRtcPortalUserEvent = std::function<void(TAbsPortalClient& Sender, const std::string& User)>;
using TRtcPortalGroupEvent = std::function<void(TAbsPortalClient& Sender, const std::string& Group,
                                                const std::string& User)>;
// Raised before and after every dispatched event. Sender is the connection the event came
// from (null outside one); setting callEvent false keeps the later notifications from running.
using TRtcPortalEventNotification = std::function<void(
    TRtcConnection* Sender, bool before, const std::string& Event, const std::string& uname,
    TRtcPortalComponent* Obj, TRtcValue* Data, bool& callEvent)>;

// One registered notification handler; the token returned by AddNotificationHandler is its
// identity.
class TnxpNotificationHandlerContainer {
 public:
  TnxpNotificationHandlerContainer(uint64_t token, TRtcPortalEventNotification handler)
      : FToken(token), FHandler(std::move(handler)) {}
  bool nxEquals(uint64_t token) const { return token == FToken; }
  uint64_t Token() const { return FToken; }
  const TRtcPortalEventNotification& Handler() const { return FHandler; }

 private:
  uint64_t FToken;
  TRtcPortalEventNotification FHandler;
};

}  // namespace vtx
