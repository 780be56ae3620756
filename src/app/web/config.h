// The program's fixed configuration values, with defaults that a JSON file may override.
//
// The file is named by the environment variable VORANTELIX_CONFIG. It holds one JSON object
// whose keys are the field names below; every key is optional, unknown keys are an error (keys
// beginning with "_" are comments). Example for a local stand-in:
//   { "urlSuporte": "http://127.0.0.1:8080", "urlSuporteSegura": "https://127.0.0.1:8443",
//     "urlBot": "http://127.0.0.1:8080", "arquivoCA": "/tmp/supportd/cert.pem",
//     "gatewayTls": "1", "arquivoCAGateway": "/tmp/gateway/cert.pem" }
// The three base URLs default to "http://" + hostSuporte, "https://" + hostSuporte and
// "http://www." + hostSuporte.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vtx {

struct TConfiguracao {
  // Support web service.
  std::string hostSuporte = "suporte.vorantelix.example";
  std::string urlSuporte;        // plain endpoints, scheme://host[:port] without a final "/"
  std::string urlSuporteSegura;  // TLS endpoints
  std::string urlBot;            // the bot call (plain HTTP only)
  std::string arquivoCA;         // extra CA file to trust (PEM); empty = the system's store
  std::string tokenBearer = "aSVQXGDuh2pqeyAvYUXMbav6fPgakHXdJUtIIAv9jucBXWKs";  // 48 alnum
  std::string codigoAcesso = "582941";                                           // 6 digits
  // Rating page: url + "/avaliarchamado/" + chaveAvaliacao + ticket id + chaveAvaliacaoFinal.
  std::string chaveAvaliacao =
      "8ckkn44de1mjg77620uklpk8y5xzndt-gxv9zw9f1edpxvqnv3c0f5acjhr3174q026pb";
  std::string chaveAvaliacaoFinal = "7v3gdb94hpqqij";

  // Portal gateway.
  std::string gatewayPadrao = "portal.vorantelix.example";
  std::string gatewayPrimario = "portal1.vorantelix.example";
  std::string gatewaySecundario = "portal2.vorantelix.example";
  std::string portaGateway = "1025";
  // "1": the portal client speaks TLS and checks the certificate; "0" (only when asked for
  // explicitly): plain HTTP.
  std::string gatewayTls = "1";
  std::string arquivoCAGateway;  // CA file (PEM) for the gateway; empty = arquivoCA
  // "1": the customer is asked, once per analyst per session, before an analyst enters the
  // desktop, the files or the chat; "0": not asked.
  std::string perguntaAcesso = "0";
  std::string enderecoTesteLan = "192.168.25.10";  // opens the bot window for every company
  std::string chaveDados = "kgQWdXnb5mVpW";        // 13 characters
  std::string senhaLogin = "fyduzAKrpRQdnnwXjRM";  // 19 characters

  // Program files: the folder that holds "LOG" and "portal.retorno"; empty = beside the
  // executable when writable, else the data root.
  std::string pastaPrograma;
};

// The defaults, with the derived URLs filled in.
TConfiguracao ConfiguracaoPadrao();
// The defaults overridden by a JSON object; a bad document or value throws EConfiguracao.
TConfiguracao LeConfiguracao(std::string_view json);
TConfiguracao CarregaConfiguracao(const std::filesystem::path& arquivo);
// The file named by VORANTELIX_CONFIG, or the defaults when the variable is unset or empty.
TConfiguracao ConfiguracaoDoAmbiente();

// Whether `endereco` (a gateway address from a company record) is one of the three configured
// gateways, compared without regard to case. Any other address is refused: the record travels
// over a connection that may have been altered.
bool GatewayConfigurado(const TConfiguracao& c, std::string_view endereco);

// Throws EConfiguracao naming the first field whose value has the wrong form.
void ValidaConfiguracao(const TConfiguracao& c);

}  // namespace vtx
