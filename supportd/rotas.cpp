#include "rotas.h"

#include <httplib.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>

#include "banco.h"
#include "figuras.h"
#include "formulario_servidor.h"
#include "imagens.h"

namespace vtx::supportd {

namespace {

using nlohmann::json;
using Campos = std::map<std::string, std::string>;

constexpr const char* kApi = "/api/sanctum/vorantelix/";
constexpr std::size_t kCorpoMaximo = 1u << 20;  // form bodies

struct CampoInvalido {
  std::string texto;
};

// UTF-8 to ISO-8859-1; characters beyond it become "?".
std::string ParaLatin1(const std::string& s) {
  std::string r;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      r += s[i];
    } else if ((b & 0xE0) == 0xC0 && i + 1 < s.size()) {
      const unsigned cp = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
      r += cp <= 0xFF ? static_cast<char>(cp) : '?';
      ++i;
    } else {
      r += '?';
      while (i + 1 < s.size() && (static_cast<unsigned char>(s[i + 1]) & 0xC0) == 0x80) ++i;
    }
  }
  return r;
}

// Failed admin logins by address and by email: after kLivres of them each further attempt
// waits, 1 s doubling up to 5 min, before it is checked at all.
class GuardaLogin {
 public:
  bool Livre(const std::string& endereco, const std::string& email) {
    std::lock_guard trava(trava_);
    const auto agora = Relogio::now();
    for (const std::string& chave : {"a:" + endereco, "e:" + email}) {
      auto it = falhas_.find(chave);
      if (it != falhas_.end() && it->second.ate > agora) return false;
    }
    return true;
  }
  void Registra(const std::string& endereco, const std::string& email, bool certo) {
    std::lock_guard trava(trava_);
    if (falhas_.size() > kChaves) falhas_.clear();  // bounded; a flood only forgets
    for (const std::string& chave : {"a:" + endereco, "e:" + email}) {
      if (certo) {
        falhas_.erase(chave);
        continue;
      }
      Falhas& f = falhas_[chave];
      if (++f.n > kLivres) {
        const int passos = std::min(f.n - kLivres - 1, 9);  // 2^9 s > 5 min
        f.ate = Relogio::now() + std::min<std::chrono::seconds>(std::chrono::seconds(1 << passos),
                                                                std::chrono::minutes(5));
      }
    }
  }

 private:
  using Relogio = std::chrono::steady_clock;
  struct Falhas {
    int n = 0;
    Relogio::time_point ate{};
  };
  static constexpr int kLivres = 5;
  static constexpr std::size_t kChaves = 100000;
  std::mutex trava_;
  std::map<std::string, Falhas> falhas_;
};

class Rotas {
 public:
  Rotas(TBanco& banco, const TOpcoesRotas& opcoes, std::string base)
      : banco_(banco), opcoes_(opcoes), base_(std::move(base)) {}

  void Registra(httplib::Server& s) {
    Api(s, "versao", [this](const httplib::Request&, const Campos&, httplib::Response& r) {
      Texto(r, std::to_string(opcoes_.versao));
    });
    s.Get("/vorantelix/vorantelix.exe", [this](const httplib::Request& q, httplib::Response& r) {
      if (!Autorizado(q, r)) return;
      r.set_content(opcoes_.instalador, "application/octet-stream");
    });
    Api(s, "anuncios", [this](const httplib::Request& q, const Campos&, httplib::Response& r) {
      json a = banco_.Anuncios();
      for (auto& item : a["lista"]) item["imagem"] = Base(q) + item["imagem"].get<std::string>();
      Json(r, a);
    });
    Api(s, "cliente", [this](const httplib::Request&, const Campos& c, httplib::Response& r) {
      auto cliente = banco_.Cliente(Campo(c, "cnpj"));
      cliente ? Json(r, *cliente) : Texto(r, "");
    });
    Api(s, "adminlogin", [this](const httplib::Request& q, const Campos& c, httplib::Response& r) {
      if (!CodigoConfere(c, r)) return;
      const std::string email = Campo(c, "email");
      if (!guarda_.Livre(q.remote_addr, email)) {
        r.status = 429;
        r.set_content("tentativas demais; aguarde", "text/plain; charset=utf-8");
        return;
      }
      const bool confere = banco_.SenhaConfere(email, Campo(c, "pw"));
      guarda_.Registra(q.remote_addr, email, confere);
      Texto(r, confere ? "true" : "false");
    });
    Api(s, "servico", [this](const httplib::Request&, const Campos& c, httplib::Response& r) {
      auto nivel = banco_.Servicos(Numero(c, "id"));
      nivel ? Json(r, *nivel) : Texto(r, "");
    });
    Api(s, "chamadosusuario",
        [this](const httplib::Request&, const Campos& c, httplib::Response& r) {
          Json(r, banco_.ChamadosAbertos(Numero(c, "id")));
        });
    Api(s, "novochamado", [this](const httplib::Request&, const Campos& c, httplib::Response& r) {
      auto ch = banco_.NovoChamado(Numero(c, "ID_CLI"), Numero(c, "ID_SERV"), Campo(c, "IP"),
                                   Campo(c, "MAQUINA"), Numero(c, "ID_USER"));
      (void)Campo(c, "NOME");
      ch ? Json(r, *ch) : Texto(r, "");
    });
    Api(s, "reabrirchamado",
        [this](const httplib::Request&, const Campos& c, httplib::Response& r) {
          auto ch = banco_.ReabreChamado(Numero(c, "ID"));
          ch ? Json(r, *ch) : Texto(r, "");
        });
    Api(s, "mensagem", [this](const httplib::Request&, const Campos& c, httplib::Response& r) {
      Texto(r, banco_.GravaMensagem(Numero(c, "ID"), Numero(c, "ID_USER"), Numero(c, "TYPE"),
                                    Campo(c, "MSG")));
    });
    Api(s, "chamadochat", [this](const httplib::Request&, const Campos& c, httplib::Response& r) {
      if (!CodigoConfere(c, r)) return;
      auto conversa = banco_.Conversa(Numero(c, "chamado"));
      Json(r, conversa ? *conversa : json{{"lista", json::array()}});
    });
    Api(s, "analistaonline",
        [this](const httplib::Request&, const Campos& c, httplib::Response& r) {
          Texto(r, banco_.AnalistaOnline(Numero(c, "id")) ? "1" : "0");
        });
    Api(s, "updateservico", [this](const httplib::Request&, const Campos& c, httplib::Response& r) {
      const bool ok =
          banco_.AtualizaServico(Numero(c, "ID"), Numero(c, "ID_USER"), Numero(c, "ID_SERV"));
      Texto(r, ok ? "ok" : "erro");
    });
    Api(s, "avalie", [this](const httplib::Request& q, const Campos&, httplib::Response& r) {
      Texto(r, Base(q) + "/img/avaliacao.gif");
    });
    s.Post("/vorantelix/bot", [this](const httplib::Request& q, httplib::Response& r,
                                     const httplib::ContentReader& leitor) {
      Trata(q, leitor, r,
            [this](const httplib::Request&, const Campos& c, httplib::Response& resp) {
              if (!CodigoConfere(c, resp)) return;
              (void)Campo(c, "nivel");
              (void)Numero(c, "usuario");
              auto bot = banco_.Bot(Numero(c, "empresa"), Campo(c, "id"));
              bot ? Json(resp, *bot) : Texto(resp, "");
            });
    });
    s.Get(R"(/img/profile/(\d{1,9})\.jpg)",
          [this](const httplib::Request& q, httplib::Response& r) {
            if (!banco_.PessoaExiste(std::stoll(q.matches[1].str()))) return NaoExiste(r);
            Imagem(r, kPngPerfil, sizeof kPngPerfil, "image/png");
          });
    s.Get(R"(/img/anuncios/(\d{1,9})\.png)",
          [this](const httplib::Request& q, httplib::Response& r) {
            if (!banco_.AnuncioExiste(std::stoll(q.matches[1].str()))) return NaoExiste(r);
            const std::string png = PngAnuncio(std::stoll(q.matches[1].str()));
            r.set_content(png, "image/png");
          });
    s.Get("/img/avaliacao.gif", [this](const httplib::Request&, httplib::Response& r) {
      r.set_content(gifAvaliacao_, "image/gif");
    });
    s.Get(R"(/avaliarchamado/([a-z0-9-]+))", [](const httplib::Request&, httplib::Response& r) {
      r.set_content("<html><body><h1>Avalie o atendimento</h1></body></html>",
                    "text/html; charset=utf-8");
    });
    // The request that exposed the fault of a handler gets 400 or 500, never a dead server.
    s.set_exception_handler([](const httplib::Request&, httplib::Response& r, std::exception_ptr) {
      r.status = 500;
      r.set_content("erro interno", "text/plain; charset=utf-8");
    });
  }

 private:
  using Acao = std::function<void(const httplib::Request&, const Campos&, httplib::Response&)>;

  void Api(httplib::Server& s, const std::string& nome, Acao acao) {
    // The token is checked before any of the body is read.
    s.Post(kApi + nome, [this, acao](const httplib::Request& q, httplib::Response& r,
                                     const httplib::ContentReader& leitor) {
      if (!Autorizado(q, r)) return;
      Trata(q, leitor, r, acao);
    });
  }

  // Reads the body (chunked or not) up to kCorpoMaximo: a larger one gets 413 unread.
  void Trata(const httplib::Request& q, const httplib::ContentReader& leitor, httplib::Response& r,
             const Acao& acao) {
    std::string corpo;
    bool grande = false;
    leitor([&](const char* dados, std::size_t n) {
      grande = corpo.size() + n > kCorpoMaximo;
      if (!grande) corpo.append(dados, n);
      return !grande;
    });
    if (grande) {
      r.status = 413;
      r.set_content("corpo grande demais", "text/plain; charset=utf-8");
      return;
    }
    try {
      acao(q, DecodificaFormulario(corpo), r);
    } catch (const CampoInvalido& e) {
      r.status = 400;
      r.set_content(e.texto, "text/plain; charset=utf-8");
    }
  }

  bool Autorizado(const httplib::Request& q, httplib::Response& r) const {
    if (q.get_header_value("Authorization") == "Bearer " + opcoes_.tokenBearer) return true;
    r.status = 401;
    r.set_content("token inválido", "text/plain; charset=utf-8");
    return false;
  }

  bool CodigoConfere(const Campos& c, httplib::Response& r) const {
    if (Campo(c, "codigo") == opcoes_.codigoAcesso) return true;
    r.status = 403;
    r.set_content("código de acesso inválido", "text/plain; charset=utf-8");
    return false;
  }

  static std::string Campo(const Campos& c, const std::string& nome) {
    auto it = c.find(nome);
    if (it == c.end()) throw CampoInvalido{"campo ausente: " + nome};
    return it->second;
  }

  static int64_t Numero(const Campos& c, const std::string& nome) {
    const std::string v = Campo(c, nome);
    int64_t n = 0;
    auto [p, erro] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (v.empty() || erro != std::errc() || p != v.data() + v.size())
      throw CampoInvalido{"campo inválido: " + nome};
    return n;
  }

  // scheme://host:port of this listener as configured; never the request's Host header.
  std::string Base(const httplib::Request&) const { return base_; }

  void Texto(httplib::Response& r, const std::string& texto) const {
    if (opcoes_.latin1)
      r.set_content(ParaLatin1(texto), "text/plain; charset=iso-8859-1");
    else
      r.set_content(texto, "text/plain; charset=utf-8");
  }

  void Json(httplib::Response& r, const json& doc) const {
    const std::string texto = doc.dump();
    if (opcoes_.latin1)
      r.set_content(ParaLatin1(texto), "application/json; charset=iso-8859-1");
    else
      r.set_content(texto, "application/json; charset=utf-8");
  }

  static void Imagem(httplib::Response& r, const unsigned char* bytes, std::size_t n,
                     const char* tipo) {
    r.set_content(reinterpret_cast<const char*>(bytes), n, tipo);
  }

  static void NaoExiste(httplib::Response& r) {
    r.status = 404;
    r.set_content("não encontrado", "text/plain; charset=utf-8");
  }

  TBanco& banco_;
  TOpcoesRotas opcoes_;
  std::string base_;
  GuardaLogin guarda_;
  const std::string gifAvaliacao_ = GifAvaliacao();
};

}  // namespace

std::shared_ptr<void> RegistraRotas(httplib::Server& servidor, TBanco& banco,
                                    const TOpcoesRotas& opcoes, const std::string& base) {
  auto rotas = std::make_shared<Rotas>(banco, opcoes, base);
  rotas->Registra(servidor);
  return rotas;
}

}  // namespace vtx::supportd
