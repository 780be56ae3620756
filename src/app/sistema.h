// The computer's identity as the program reports it to the web service and the gateway.
#pragma once

#include <string>

namespace vtx {

// The host name, trimmed, at most 256 characters; empty when unavailable.
std::string NomeComputador();
// The first IPv4 address of the host name, dotted decimal; empty when it has none.
std::string PrimeiroIPv4();

}  // namespace vtx
