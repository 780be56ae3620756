#include "transport/socket_provider.h"

#include "transport/reactor_socket_provider.h"

namespace vtx {

std::unique_ptr<TRtcConnectionProvider> NewSocketProvider(TRtcConnection& conn,
                                                          TRtcConnectionSink& sink,
                                                          const TRtcSocketOptions& options) {
  return NewReactorSocketProvider(conn, sink, options);
}

}  // namespace vtx
