// vorantelix-supportd: a stand-in for the support web service, for the demo and the tests.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/web/config.h"
#include "app/web/erros.h"
#include "banco.h"
#include "certificado.h"
#include "rotas.h"

namespace {

using namespace vtx;
using namespace vtx::supportd;

constexpr const char* kUso = R"(usage: vorantelix-supportd --listen HOST:PORT [options]
  --listen HOST:PORT      plain HTTP listener (PORT 0 picks a free port)
  --tls-listen HOST:PORT  TLS listener with a self-signed certificate
  --db FILE               SQLite database (":memory:" allowed; seeded when empty)
  --seed FILE             SQL seed (default: the source tree's tests/fixtures/supportd/seed.sql)
  --cert-dir DIR          where cert.pem and key.pem live (default: beside the database,
                          or the current folder for ":memory:")
  --gateway HOST:PORT     the portal gateway every company is served from
  --version-build N       build number the "versao" endpoint reports (default 5068)
  --installer FILE        bytes served as the installer (default: a small placeholder)
  --latin1                text and JSON replies in ISO-8859-1
  --exit-with-parent      stop (as on SIGTERM) when the starting process ends
  --help                  this text
The bearer token and access code come from the file named by VORANTELIX_CONFIG (defaults
otherwise; the defaults serve loopback listeners only). On start it prints one line per listener, the certificate's path and "pronto";
with TLS it writes vorantelix-config.json beside the certificate for the program to use.
Stops on SIGTERM or SIGINT.
)";

struct Opcoes {
  std::string listen, tlsListen, db = ":memory:", seed = VTX_SUPPORTD_SEED, certDir, installer,
                                 gateway;
  int32_t versao = 5068;
  bool latin1 = false;
  bool comPai = false;
};

struct Endereco {
  std::string host;
  int porta = 0;
};

std::optional<Endereco> LeEndereco(const std::string& s) {
  const auto dois = s.rfind(':');
  if (dois == std::string::npos || dois == 0) return std::nullopt;
  try {
    std::size_t usado = 0;
    const std::string porta = s.substr(dois + 1);
    const int p = std::stoi(porta, &usado);
    if (usado != porta.size() || p < 0 || p > 65535) return std::nullopt;
    return Endereco{s.substr(0, dois), p};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<Opcoes> LeOpcoes(int argc, char** argv) {
  Opcoes o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto valor = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error("falta o valor de " + a);
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUso;
      return std::nullopt;
    } else if (a == "--listen") {
      o.listen = valor();
    } else if (a == "--tls-listen") {
      o.tlsListen = valor();
    } else if (a == "--db") {
      o.db = valor();
    } else if (a == "--seed") {
      o.seed = valor();
    } else if (a == "--cert-dir") {
      o.certDir = valor();
    } else if (a == "--gateway") {
      o.gateway = valor();
      if (!LeEndereco(o.gateway)) throw std::runtime_error("--gateway inválido: " + o.gateway);
    } else if (a == "--installer") {
      o.installer = valor();
    } else if (a == "--latin1") {
      o.latin1 = true;
    } else if (a == "--exit-with-parent") {
      o.comPai = true;
    } else if (a == "--version-build") {
      const std::string v = valor();
      std::size_t usado = 0;
      try {
        o.versao = std::stoi(v, &usado);
      } catch (const std::exception&) {
        usado = 0;
      }
      if (v.empty() || usado != v.size())
        throw std::runtime_error("--version-build inválido: " + v);
    } else {
      throw std::runtime_error("opção desconhecida: " + a);
    }
  }
  if (o.listen.empty()) throw std::runtime_error("--listen é obrigatório");
  return o;
}

std::string LeArquivo(const std::string& caminho) {
  std::ifstream f(caminho, std::ios::binary);
  if (!f) throw std::runtime_error("não foi possível ler " + caminho);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// Slow or silent clients must not hold every worker: many workers, and short waits for a
// client's bytes.
void Prepara(httplib::Server& s) {
  s.set_payload_max_length(1u << 20);
  s.new_task_queue = [] { return new httplib::ThreadPool(64); };
  s.set_read_timeout(5, 0);
  s.set_write_timeout(5, 0);
  s.set_keep_alive_timeout(2);
  s.set_keep_alive_max_count(100);
}

int Liga(httplib::Server& s, const Endereco& e) {
  if (e.porta == 0) return s.bind_to_any_port(e.host);
  return s.bind_to_port(e.host, e.porta) ? e.porta : -1;
}

bool Local(const std::string& host) {
  return host.rfind("127.", 0) == 0 || host == "localhost" || host == "::1" || host == "[::1]";
}

int Executa(const Opcoes& o) {
  const TConfiguracao config = ConfiguracaoDoAmbiente();
  // The built-in token and access code are known to everyone who has the program: they do for
  // a stand-in on this machine only.
  const TConfiguracao padrao = ConfiguracaoPadrao();
  const bool credenciaisConhecidas =
      config.tokenBearer == padrao.tokenBearer || config.codigoAcesso == padrao.codigoAcesso;
  for (const std::string* escuta : {&o.listen, &o.tlsListen}) {
    const auto e = escuta->empty() ? std::nullopt : LeEndereco(*escuta);
    if (e && !Local(e->host) && credenciaisConhecidas)
      throw std::runtime_error("escutar em " + *escuta +
                               " exige token e código próprios (VORANTELIX_CONFIG)");
  }
  TOpcoesRotas rotas{config.tokenBearer, config.codigoAcesso, o.versao,
                     o.installer.empty() ? std::string("MZ vorantelix installer placeholder\n")
                                         : LeArquivo(o.installer),
                     o.latin1};
  TBanco banco(o.db, o.seed);
  if (!o.gateway.empty()) {
    const auto g = LeEndereco(o.gateway);
    banco.DefineGateway(g->host, std::to_string(g->porta));
  }

  const auto http = LeEndereco(o.listen);
  if (!http) throw std::runtime_error("endereço inválido: " + o.listen);
  std::optional<Endereco> tls;
  if (!o.tlsListen.empty()) {
    tls = LeEndereco(o.tlsListen);
    if (!tls) throw std::runtime_error("endereço inválido: " + o.tlsListen);
  }

  // Signals are taken by sigwait below; block them before any thread starts.
  sigset_t sinais;
  sigemptyset(&sinais);
  sigaddset(&sinais, SIGTERM);
  sigaddset(&sinais, SIGINT);
  pthread_sigmask(SIG_BLOCK, &sinais, nullptr);
  if (o.comPai) {
    const pid_t pai = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != pai) return 0;  // the parent is already gone
  }

  httplib::Server simples;
  Prepara(simples);
  const int portaHttp = Liga(simples, *http);
  if (portaHttp < 0) throw std::runtime_error("não foi possível escutar em " + o.listen);
  auto estadoSimples = RegistraRotas(simples, banco, rotas,
                                     "http://" + http->host + ":" + std::to_string(portaHttp));
  std::cout << "vorantelix-supportd: http://" << http->host << ":" << portaHttp << std::endl;

  std::unique_ptr<httplib::SSLServer> seguro;
  std::shared_ptr<void> estadoSeguro;
  if (tls) {
    std::filesystem::path pasta = o.certDir;
    if (pasta.empty())
      pasta = o.db == ":memory:" ? std::filesystem::current_path()
                                 : std::filesystem::absolute(o.db).parent_path();
    const TCertificado cert = GaranteCertificado(pasta);
    seguro = std::make_unique<httplib::SSLServer>(cert.certificado.c_str(), cert.chave.c_str());
    if (!seguro->is_valid()) throw std::runtime_error("certificado recusado pelo servidor TLS");
    Prepara(*seguro);
    const int portaTls = Liga(*seguro, *tls);
    if (portaTls < 0) throw std::runtime_error("não foi possível escutar em " + o.tlsListen);
    estadoSeguro = RegistraRotas(*seguro, banco, rotas,
                                 "https://" + tls->host + ":" + std::to_string(portaTls));
    const std::string base = "http://" + http->host + ":" + std::to_string(portaHttp);
    const nlohmann::json trecho = {
        {"urlSuporte", base},
        {"urlSuporteSegura", "https://" + tls->host + ":" + std::to_string(portaTls)},
        {"urlBot", base},
        {"arquivoCA", std::filesystem::absolute(cert.certificado).string()}};
    std::ofstream(pasta / "vorantelix-config.json") << trecho.dump(2) << "\n";
    std::cout << "vorantelix-supportd: https://" << tls->host << ":" << portaTls << std::endl;
    std::cout << "vorantelix-supportd: certificado "
              << std::filesystem::absolute(cert.certificado).string() << std::endl;
  }

  std::atomic<int> terminados{0};
  std::thread t1([&] {
    simples.listen_after_bind();
    ++terminados;
  });
  std::thread t2;
  if (seguro)
    t2 = std::thread([&] {
      seguro->listen_after_bind();
      ++terminados;
    });
  // stop() is ignored by a server that has not entered its accept loop yet, so "pronto" (and
  // with it the first SIGTERM a caller may send) waits until both are running.
  while (terminados == 0 && (!simples.is_running() || (seguro && !seguro->is_running())))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::cout << "vorantelix-supportd: pronto" << std::endl;

  int sinal = 0;
  sigwait(&sinais, &sinal);
  simples.stop();
  if (seguro) seguro->stop();
  t1.join();
  if (t2.joinable()) t2.join();
  std::cout << "vorantelix-supportd: encerrado" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const auto opcoes = LeOpcoes(argc, argv);
    if (!opcoes) return 0;
    return Executa(*opcoes);
  } catch (const std::exception& e) {
    std::cerr << "vorantelix-supportd: " << e.what() << "\n";
    return 1;
  }
}
