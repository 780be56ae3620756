// The socket transports of a client connection: plain TCP and TLS, non-blocking on the
// reactor thread or blocking on the connection's own thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/rtc_transport.h"

namespace vtx {

class TRtcConnection;

struct TRtcSocketOptions {
  // Blocking: connect, write and read run on the calling (connection) thread; otherwise every
  // socket lives on the reactor thread and its readiness becomes jobs of the connection.
  bool Blocking = false;
  // TLS over the same socket; the server certificate is verified against the system store,
  // or against CAFile when given. ServerName (default: the server address) is sent as SNI and
  // checked against the certificate.
  bool UseSSL = false;
  std::string CAFile;
  std::string ServerName;
  bool VerifyPeer = true;
  // Milliseconds, 0 = none.
  uint32_t ConnectTimeout = 0, SendTimeout = 0, ReceiveTimeout = 0;
};

// A new transport for `conn` that reports to `sink` (the connection itself).
std::unique_ptr<TRtcConnectionProvider> NewSocketProvider(TRtcConnection& conn,
                                                          TRtcConnectionSink& sink,
                                                          const TRtcSocketOptions& options);

}  // namespace vtx
