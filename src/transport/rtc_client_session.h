// The client-side session of a data client: the session ID the server gave, when and against
// which peer address it was opened, and a store for session-scoped values and objects.
#pragma once

#include <string>

#include "values/info.h"

namespace vtx {

class TRtcDataClient;

class TRtcClientSession : public TRtcSession {
 public:
  explicit TRtcClientSession(TRtcDataClient& owner) : FCon(owner) {}
  const char* ClassName() const override { return "TRtcClientSession"; }

  TRtcDataClient& Connection() const { return FCon; }

  // Closes a session that has an ID, then opens `ID` against the connection's current peer and
  // fires session-open.
  void Open(const std::string& ID);
  // With an ID: fires session-close, then forgets the ID and the stored values.
  void Close();
  // Closes and forgets the peer address too.
  void Init();

 private:
  TRtcDataClient& FCon;
};

}  // namespace vtx
