#include "transport/rtc_client_request.h"

namespace vtx {

void TRtcClientRequest::Repost() {
  if (Reposting) return;
  Init();
  if (FCloseNoted && Close() != FOwnClose) {
    setClose(FOwnClose);
    if (!FOwnClose) setValueCS("CONNECTION", "");
  }
  Reposting = true;
  ++Reposted;
}

void TRtcClientRequest::NoteOwnClose() {
  if (FCloseNoted) return;
  FCloseNoted = true;
  FOwnClose = Close();
}

void TRtcClientRequest::Init() {
  Started = Active = Complete = Skipped = Reposting = false;
  if (AutoLength) {
    setValueCS("CONTENT-LENGTH", "");
    AutoLength = false;
  }
  DataOut = 0;
}

void TRtcClientRequest::Clear() {
  TRtcRequest::Clear();
  Init();
  Reposted = 0;
  FCloseNoted = FOwnClose = false;
}

void TRtcClientResponse::Clear() {
  TRtcResponse::Clear();
  setStatus(0, "");
  Started = Receiving = Done = Rejected = ManualRead = false;
  DataIn = ContentIn = 0;
}

}  // namespace vtx
