// The request and response of one queued exchange, with the progress flags the request flow and
// the HTTP connection keep on them.
#pragma once

#include <cstdint>
#include <functional>

#include "transport/http_request_writer.h"
#include "values/http_request.h"
#include "values/http_response.h"

namespace vtx {

class TRtcConnection;
using TRtcClientRequestFixup = HttpRequestFixup;

class TRtcClientRequest : public TRtcRequest {
 public:
  using Event = std::function<void(TRtcConnection& Sender)>;

  bool Started = false;
  bool Active = false;    // header written, request in progress
  bool Complete = false;  // whole request written
  bool Skipped = false;
  bool Reposting = false;
  bool AutoLength = false;  // the Content-Length header was added by the connection
  uint32_t Reposted = 0;
  int64_t DataOut = 0;
  int64_t ContentOut = 0;

  Event OnBegin, OnData, OnDone, OnAbort, OnReject;

  void Skip() { Skipped = true; }
  // Sends the request again (once per call while not already reposting). A close the peer
  // asked for in its response does not travel with the repost.
  void Repost();
  // Remembers the close flag the sender chose, before the first header goes out.
  void NoteOwnClose();
  // Ready to be sent again: progress flags cleared, an automatic Content-Length removed.
  void Init();
  // The HTTP request cleared as well, and the repost count.
  void Clear() override;

 private:
  bool FCloseNoted = false, FOwnClose = false;
};

class TRtcClientResponse : public TRtcResponse {
 public:
  bool Started = false;
  bool Receiving = false;
  bool Done = false;
  bool Rejected = false;
  bool ManualRead = false;
  int64_t DataIn = 0;
  int64_t ContentIn = 0;

  void Reject() { Rejected = true; }
  void Clear() override;
};

}  // namespace vtx
