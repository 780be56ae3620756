// The stand-in's endpoints, registered on one cpp-httplib server (plain or TLS).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace vtx::supportd {

class TBanco;

struct TOpcoesRotas {
  std::string tokenBearer;
  std::string codigoAcesso;
  int32_t versao = 5068;
  std::string instalador;  // the installer's bytes
  bool latin1 = false;     // text replies in ISO-8859-1 instead of UTF-8
};

// Registers every endpoint on servidor; base ("http://HOST:PORT" of the listener as configured)
// begins the picture addresses it hands out.
// The returned handle keeps the handlers' state alive: hold it while the server runs.
std::shared_ptr<void> RegistraRotas(httplib::Server& servidor, TBanco& banco,
                                    const TOpcoesRotas& opcoes, const std::string& base);

}  // namespace vtx::supportd
