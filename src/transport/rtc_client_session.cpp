#include "transport/rtc_client_session.h"

#include "transport/rtc_data_client.h"
#include "util/datetime.h"

namespace vtx {

void TRtcClientSession::Open(const std::string& ID) {
  if (!this->ID().empty()) Close();
  TRtcInfo::Clear();
  setID(ID);
  setCreated(NowLocal());
  setPeerAddr(FCon.PeerAddr());
  if (FCon.FActive)
    FCon.FActive->Call_SessionOpen(FCon);
  else
    FCon.CallSessionOpen();
}

void TRtcClientSession::Close() {
  if (ID().empty()) return;
  if (FCon.FActive)
    FCon.FActive->Call_SessionClose(FCon);
  else
    FCon.CallSessionClose();
  setCreated(0);
  setID("");
  TRtcInfo::Clear();
}

void TRtcClientSession::Init() {
  Close();
  TRtcInfo::Clear();
  setID("");
  setCreated(0);
  setPeerAddr("");
}

}  // namespace vtx
