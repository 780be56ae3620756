// Why the gateway could not be reached, found by connecting to it once more on its own: no
// such name, nothing listening, TLS spoken where plain HTTP was expected or the other way
// round, or a certificate the console does not trust.
#pragma once

#include <string>

namespace vtx::analyst {

// A sentence naming the fault; empty when a plain connection (and its TLS handshake, when
// `tls`) works, so the fault lies elsewhere.
std::string ProbeGateway(const std::string& addr, const std::string& port, bool tls,
                         const std::string& caFile);

}  // namespace vtx::analyst
