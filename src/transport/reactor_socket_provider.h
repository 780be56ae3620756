// The non-blocking socket transport: every socket lives on the reactor thread, whose readiness
// becomes deliveries in the connection's context.
#pragma once

#include <memory>

#include "transport/socket_provider.h"

namespace vtx {

std::unique_ptr<TRtcConnectionProvider> NewReactorSocketProvider(TRtcConnection& conn,
                                                                 TRtcConnectionSink& sink,
                                                                 const TRtcSocketOptions& options);

}  // namespace vtx
