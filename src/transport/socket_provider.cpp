#include "transport/socket_provider.h"

#include "transport/blocking_socket_provider.h"
#include "transport/reactor_socket_provider.h"

namespace vtx {

std::unique_ptr<TRtcConnectionProvider> NewSocketProvider(TRtcConnection& conn,
                                                          TRtcConnectionSink& sink,
                                                          const TRtcSocketOptions& options) {
  if (options.Blocking) return NewBlockingSocketProvider(conn, sink, options);
  return NewReactorSocketProvider(conn, sink, options);
}

}  // namespace vtx
