// Records of the support web service and the readers of its replies.
//
// Text fields are UTF-8 std::string (the Qt layer converts with QString::fromUtf8). Integers are
// 32-bit signed. A new record has empty text, zero integers and false Booleans.
//
// Every Ler* function parses one whole reply into a fresh record and returns it only when every
// field has been filled; any fault (not JSON, a key missing, a value of the wrong kind, an
// integer beyond 32 bits) throws EDocumentoInvalido and no record is produced.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vtx {

struct TUsuario {
  std::string email;
  int32_t gerente = 0;
  int32_t id_equipe = 0;
  bool offline = false;
  int32_t id_cli = 0;
  std::string empresa;
  std::string nome;
  int32_t id_user = 0;
  std::string fone;
  std::string funcao;
  int32_t tempo_alerta = 0;
};

struct TUsuarios {
  std::vector<TUsuario> lista;
};

// A company.
struct TCliente {
  std::string fantasia;
  int32_t id = 0;
  TUsuarios usuarios;
  std::string doc1;
  std::string nome;
  std::string cidade;
  int32_t implantacao = 0;  // 1 = being deployed
  int32_t departamento = 0;
  int32_t vtxstore = 0;
  std::string telefone;
  int32_t bot = 0;    // 1 = open the bot window after login
  int32_t senha = 0;  // 1 = the portal password is required
  std::string chave;
  std::string servidor;
  std::string segmento;
  std::string porta;
  bool online = false;  // set by the program: true when read from the web service
};

// One entry of the service catalogue.
struct TServico {
  int32_t i = 0;  // > 0: a group with entries below it
  std::string observacao;
  std::string descricao;
  int32_t id = 0;
};

struct TListaServicos {
  std::vector<TServico> lista;
  int32_t anterior = 0;
};

// A support ticket.
struct TChamado {
  int32_t id_analista = 0;  // <= 0: no analyst yet
  std::string fantasia;
  std::string fechamento;
  std::string servico;
  std::string analista_mail;
  int32_t iduser = 0;
  int32_t id = 0;
  int32_t id_cli = 0;
  int32_t pendente = 0;
  std::string maquina;
  std::string fone2;
  std::string mail;
  std::string fone3;
  std::string fone1;
  int32_t reabertura = 0;
  int32_t id_serv = 0;
  std::string user;
  std::string analista;
  std::string fone4;
  std::string data;
  std::string razao;
  std::string ip;
  int32_t vtxstore = 0;
  int32_t chamados = 0;
  std::string curva;
};

struct TListaChamados {
  std::vector<TChamado> lista;
  std::string msg;
};

// One message of a ticket's conversation.
struct TChat {
  std::string msg;
  int32_t id = 0;
  std::string nome;
  int32_t tipo = 0;
  std::string data;
};

struct TListaChats {
  std::vector<TChat> lista;
};

struct TAnuncio {
  std::string link;
  std::string imagem;
  std::string mensagem;
};

struct TListAnuncios {
  std::vector<TAnuncio> list;
};

// One bot item; menu is "1" to "8" by position in the answer.
struct TMenuBot {
  int32_t id = 0;
  std::string menu;
  std::string descricao;
  int32_t id_master = 0;
  int32_t id_det = 0;
  std::string link;
  std::string conteudo;
  int32_t tipo = 0;    // 1 document, 2 video, 3 web link, 4 plain text block
  int32_t altura = 0;  // fixed height for tipo 4, 0 = automatic
};

struct TListaBots {
  std::vector<TMenuBot> bots;  // at most MaxItensBot
  std::string master;
  std::string descricao;
  int32_t mais = 0;
};

inline constexpr std::size_t MaxItensBot = 8;

// Company reply ("cliente"). online stays false: the caller sets it.
TCliente LerCliente(std::string_view json);
// Service level reply ("servico").
TListaServicos LerListaServicos(std::string_view json);
// Single-ticket reply ("novochamado", "reabrirchamado"), with "CURVA".
TChamado LerChamado(std::string_view json);
// Open-tickets reply ("chamadosusuario"): an array of tickets, "CURVA" not read.
TListaChamados LerListaChamados(std::string_view json);
// Chat history reply ("chamadochat").
TListaChats LerListaChats(std::string_view json);
// Advertisement list reply ("anuncios").
TListAnuncios LerListaAnuncios(std::string_view json);
// Bot answer: the first eight items, numbered "1" to "8"; further items are dropped unread.
TListaBots LerListaBots(std::string_view json);

// Plain-text replies.
// "adminlogin": "true"/"false" in any case, or a decimal number (0 false, other true); the
// surrounding blanks are ignored. Anything else throws EDocumentoInvalido.
bool LerBooleano(std::string_view texto);
// "versao": a decimal build number; anything else (or beyond 32 bits) gives 0.
int32_t LerVersao(std::string_view texto);

}  // namespace vtx
