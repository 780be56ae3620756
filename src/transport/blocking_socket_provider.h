// The blocking socket transport: connect, write and read run on the connection's own thread
// (its queue, or the main loop), waiting in poll with the time-outs. Reading runs as a
// repeated job while the connection is open. Sink calls come in the same order as from the
// reactor transport.
#pragma once

#include <memory>

#include "transport/socket_provider.h"

namespace vtx {

std::unique_ptr<TRtcConnectionProvider> NewBlockingSocketProvider(TRtcConnection& conn,
                                                                  TRtcConnectionSink& sink,
                                                                  const TRtcSocketOptions& options);

}  // namespace vtx
