#include "app/web/classes.h"

#include <algorithm>
#include <cctype>

#include "app/web/erros.h"
#include "app/web/leitor_json.h"

namespace vtx {

using nlohmann::json;
using namespace json_campos;

namespace {

std::string Item(const std::string& lista, std::size_t i) {
  return lista + "[" + std::to_string(i) + "]";
}

TChamado ChamadoDe(const json& j, const std::string& onde, bool comCurva) {
  const json& o = Objeto(j, onde);
  TChamado c;
  constexpr Nulo n = Nulo::Permitido;
  Inteiro(o, "ID", onde, c.id, n);
  Inteiro(o, "REABERTURA", onde, c.reabertura, n);
  Texto(o, "RAZAOSOCIAL", onde, c.razao, n);
  Texto(o, "NOMEFANTASIA", onde, c.fantasia, n);
  Texto(o, "USUARIO", onde, c.user, n);
  Texto(o, "ANALISTA", onde, c.analista, n);
  Texto(o, "EMAIL", onde, c.mail, n);
  Texto(o, "ANALISTA_MAIL", onde, c.analista_mail, n);
  Texto(o, "DESCRICAO", onde, c.servico, n);
  Inteiro(o, "ID_SERV", onde, c.id_serv, n);
  Texto(o, "TELEFONE1", onde, c.fone1, n);
  Inteiro(o, "ID_CLI", onde, c.id_cli, n);
  Texto(o, "TELEFONE2", onde, c.fone2, n);
  Texto(o, "DATAHORA", onde, c.data, n);
  Texto(o, "TELEFONE3", onde, c.fone3, n);
  Texto(o, "MAQUINA", onde, c.maquina, n);
  Texto(o, "TELEFONE4", onde, c.fone4, n);
  Texto(o, "FECHAMENTO", onde, c.fechamento, n);
  Inteiro(o, "ID_USER", onde, c.iduser, n);
  Inteiro(o, "VTXSTORE", onde, c.vtxstore, n);
  Inteiro(o, "ID_ANALISTA", onde, c.id_analista, n);
  Inteiro(o, "CHAMADOS", onde, c.chamados, n);
  if (comCurva) Texto(o, "CURVA", onde, c.curva, n);
  return c;
}

std::string_view SemBrancos(std::string_view s) {
  auto branco = [](char ch) { return std::isspace(static_cast<unsigned char>(ch)) != 0; };
  while (!s.empty() && branco(s.front())) s.remove_prefix(1);
  while (!s.empty() && branco(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

TCliente LerCliente(std::string_view texto) {
  const json doc = Analisa(texto);
  const json& o = Objeto(doc, "empresa");
  const std::string onde = "empresa";
  TCliente c;
  Inteiro(o, "id", onde, c.id);
  Texto(o, "nome", onde, c.nome);
  Texto(o, "cidade", onde, c.cidade);
  Inteiro(o, "implantacao", onde, c.implantacao);
  Inteiro(o, "departamento", onde, c.departamento);
  Inteiro(o, "senha", onde, c.senha);
  Inteiro(o, "bot", onde, c.bot);
  Texto(o, "chave", onde, c.chave);
  Texto(o, "porta", onde, c.porta);
  Texto(o, "servidor", onde, c.servidor);
  Texto(o, "segmento", onde, c.segmento);
  const json& usuarios = Objeto(Chave(o, "usuarios", onde), "usuarios");
  const json& lista = Lista(Chave(usuarios, "lista", "usuarios"), "usuarios.lista");
  c.usuarios.lista.reserve(lista.size());
  for (std::size_t i = 0; i < lista.size(); ++i) {
    const std::string aqui = Item("usuarios.lista", i);
    const json& u = Objeto(lista[i], aqui);
    TUsuario usuario;
    Inteiro(u, "id_user", aqui, usuario.id_user);
    Texto(u, "nome", aqui, usuario.nome);
    Texto(u, "email", aqui, usuario.email);
    c.usuarios.lista.push_back(std::move(usuario));
  }
  return c;
}

TListaServicos LerListaServicos(std::string_view texto) {
  const json doc = Analisa(texto);
  const json& o = Objeto(doc, "nível de serviços");
  TListaServicos servicos;
  Inteiro(o, "anterior", "", servicos.anterior);
  const json& lista = Lista(Chave(o, "lista", ""), "lista");
  servicos.lista.reserve(lista.size());
  for (std::size_t i = 0; i < lista.size(); ++i) {
    const std::string aqui = Item("lista", i);
    const json& s = Objeto(lista[i], aqui);
    TServico servico;
    Inteiro(s, "id", aqui, servico.id);
    Texto(s, "descricao", aqui, servico.descricao, Nulo::Permitido);
    Texto(s, "observacao", aqui, servico.observacao, Nulo::Permitido);
    Inteiro(s, "i", aqui, servico.i, Nulo::Permitido);
    servicos.lista.push_back(std::move(servico));
  }
  return servicos;
}

TChamado LerChamado(std::string_view texto) {
  return ChamadoDe(Analisa(texto), "chamado", true);
}

TListaChamados LerListaChamados(std::string_view texto) {
  const json doc = Analisa(texto);
  const json& lista = Lista(doc, "lista de chamados");
  TListaChamados chamados;
  chamados.lista.reserve(lista.size());
  for (std::size_t i = 0; i < lista.size(); ++i)
    chamados.lista.push_back(ChamadoDe(lista[i], Item("chamados", i), false));
  return chamados;
}

TListaChats LerListaChats(std::string_view texto) {
  const json doc = Analisa(texto);
  const json& o = Objeto(doc, "conversa");
  const json& lista = Lista(Chave(o, "lista", ""), "lista");
  TListaChats chats;
  chats.lista.reserve(lista.size());
  for (std::size_t i = 0; i < lista.size(); ++i) {
    const std::string aqui = Item("lista", i);
    const json& m = Objeto(lista[i], aqui);
    TChat chat;
    Inteiro(m, "id", aqui, chat.id);
    Texto(m, "data", aqui, chat.data);
    Texto(m, "nome", aqui, chat.nome);
    Texto(m, "msg", aqui, chat.msg, Nulo::Permitido);
    Inteiro(m, "tipo", aqui, chat.tipo, Nulo::Permitido);
    chats.lista.push_back(std::move(chat));
  }
  return chats;
}

TListAnuncios LerListaAnuncios(std::string_view texto) {
  const json doc = Analisa(texto);
  const json& o = Objeto(doc, "anúncios");
  const json& lista = Lista(Chave(o, "lista", ""), "lista");
  TListAnuncios anuncios;
  anuncios.list.reserve(lista.size());
  for (std::size_t i = 0; i < lista.size(); ++i) {
    const std::string aqui = Item("lista", i);
    const json& a = Objeto(lista[i], aqui);
    TAnuncio anuncio;
    Texto(a, "imagem", aqui, anuncio.imagem);
    Texto(a, "link", aqui, anuncio.link);
    Texto(a, "mensagem", aqui, anuncio.mensagem);
    anuncios.list.push_back(std::move(anuncio));
  }
  return anuncios;
}

TListaBots LerListaBots(std::string_view texto) {
  const json doc = Analisa(texto);
  const json& o = Objeto(doc, "resposta do robô");
  TListaBots bots;
  Texto(o, "master", "", bots.master);
  Texto(o, "descricao", "", bots.descricao);
  Inteiro(o, "mais", "", bots.mais);
  const json& lista = Lista(Chave(o, "bots", ""), "bots");
  const std::size_t quantos = std::min(lista.size(), MaxItensBot);
  bots.bots.reserve(quantos);
  constexpr Nulo n = Nulo::Permitido;
  for (std::size_t i = 0; i < quantos; ++i) {
    const std::string aqui = Item("bots", i);
    const json& b = Objeto(lista[i], aqui);
    TMenuBot item;
    item.menu = std::to_string(i + 1);
    Inteiro(b, "ID", aqui, item.id, n);
    Inteiro(b, "ID_MASTER", aqui, item.id_master, n);
    Texto(b, "DESCRICAO", aqui, item.descricao, n);
    Inteiro(b, "ID_DET", aqui, item.id_det, n);
    Texto(b, "LINK", aqui, item.link, n);
    Texto(b, "CONTEUDO", aqui, item.conteudo, n);
    Inteiro(b, "TIPO", aqui, item.tipo, n);
    Inteiro(b, "ALTURA", aqui, item.altura, n);
    bots.bots.push_back(std::move(item));
  }
  return bots;
}

bool LerBooleano(std::string_view texto) {
  const std::string_view t = SemBrancos(texto);
  std::string minusculo(t);
  std::transform(minusculo.begin(), minusculo.end(), minusculo.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  if (minusculo == "true") return true;
  if (minusculo == "false") return false;
  // A decimal number of any length: zero is false, anything else true.
  std::string_view digitos = t;
  if (!digitos.empty() && (digitos.front() == '-' || digitos.front() == '+'))
    digitos.remove_prefix(1);
  const bool numero = !digitos.empty() && std::all_of(digitos.begin(), digitos.end(), [](char ch) {
    return ch >= '0' && ch <= '9';
  });
  if (!numero) {
    throw EDocumentoInvalido(
        "Resposta inválida do serviço: esperava true, false ou um número, veio \"" +
        std::string(t.substr(0, 40)) + "\"");
  }
  return std::any_of(digitos.begin(), digitos.end(), [](char ch) { return ch != '0'; });
}

int32_t LerVersao(std::string_view texto) {
  int32_t versao = 0;
  return InteiroDeTexto(SemBrancos(texto), versao) ? versao : 0;
}

}  // namespace vtx
