#include <gtest/gtest.h>

#include "app/web/classes.h"
#include "app/web/erros.h"

namespace vtx {
namespace {

constexpr const char* kCliente = R"({"id": 101, "nome": "Padaria São João", "cidade": "Campinas",
  "implantacao": "1", "departamento": 2, "senha": 1, "bot": 0, "chave": "K-1", "porta": 1025,
  "servidor": "10.0.0.1", "segmento": "Varejo",
  "usuarios": {"lista": [{"id_user": 7, "nome": "Ana", "email": "a@x"},
                         {"id_user": "8", "nome": "Bia", "email": "b@x"}]}})";

TEST(Registros, ClienteCompletoComNumeroEmTextoENumeroComoTexto) {
  const TCliente c = LerCliente(kCliente);
  EXPECT_EQ(c.id, 101);
  EXPECT_EQ(c.nome, "Padaria São João");
  EXPECT_EQ(c.implantacao, 1);  // "1" accepted for an integer
  EXPECT_EQ(c.porta, "1025");   // 1025 taken as text
  EXPECT_FALSE(c.online);
  ASSERT_EQ(c.usuarios.lista.size(), 2u);
  EXPECT_EQ(c.usuarios.lista[1].id_user, 8);
  EXPECT_EQ(c.usuarios.lista[1].email, "b@x");
}

TEST(Registros, ClienteSemUsuarios) {
  std::string doc = kCliente;
  doc = doc.substr(0, doc.find("\"usuarios\"")) + R"("usuarios": {"lista": []}})";
  EXPECT_TRUE(LerCliente(doc).usuarios.lista.empty());
}

TEST(Registros, ClienteRecusaFaltaTipoErradoNuloEForaDe32Bits) {
  auto troca = [](const std::string& de, const std::string& para) {
    std::string d = kCliente;
    d.replace(d.find(de), de.size(), para);
    return d;
  };
  const std::string casos[] = {
      troca(R"("chave": "K-1", )", ""),              // key missing
      troca(R"("id": 101)", R"("id": "101a")"),      // text where an integer is needed
      troca(R"("id": 101)", R"("id": 1.5)"),         // not integral
      troca(R"("id": 101)", R"("id": 2147483648)"),  // beyond 32 bits
      troca(R"("id": 101)", R"("id": true)"),
      troca(R"("nome": "Padaria São João")", R"("nome": null)"),  // null not allowed here
      troca(R"("nome": "Padaria São João")", R"("nome": ["x"])"),
      troca(R"("id_user": 7)", R"("ID_USER": 7)"),
      troca(R"({"lista": [{)", R"({"list": [{)"),
      "[]",
      "",
      std::string(kCliente) + " {}",  // trailing data
      "{\"id\": \"\xff\"}",           // invalid UTF-8
  };
  for (const auto& doc : casos) {
    EXPECT_THROW(LerCliente(doc), EDocumentoInvalido) << doc;
  }
  try {
    LerCliente(troca(R"("chave": "K-1", )", ""));
  } catch (const EDocumentoInvalido& e) {
    EXPECT_NE(e.message().find("\"chave\""), std::string::npos) << e.message();
  }
}

TEST(Registros, InteiroEmTextoEstrito) {
  const char* bons[] = {R"("-12")", R"("+12")", R"("2147483647")", R"(-2147483648)", "3.0"};
  const char* ruins[] = {R"(" 12")",  R"("12 ")",        R"("")",       R"("+-1")",
                         R"("0x1F")", R"("2147483648")", "-2147483649", "1e99"};
  auto doc = [](const char* v) {
    return std::string(R"({"anterior": )") + v + R"(, "lista": []})";
  };
  for (const char* v : bons) EXPECT_NO_THROW(LerListaServicos(doc(v))) << v;
  for (const char* v : ruins) EXPECT_THROW(LerListaServicos(doc(v)), EDocumentoInvalido) << v;
  EXPECT_EQ(LerListaServicos(doc(R"("-12")")).anterior, -12);
}

TEST(Registros, ServicosComNulosPermitidos) {
  const auto s = LerListaServicos(R"({"anterior": 0, "lista": [
      {"id": 5, "descricao": null, "observacao": null, "i": null},
      {"id": 6, "descricao": "Fiscal", "observacao": "obs", "i": 3}]})");
  ASSERT_EQ(s.lista.size(), 2u);
  EXPECT_EQ(s.lista[0].descricao, "");
  EXPECT_EQ(s.lista[0].i, 0);  // null: a selectable service
  EXPECT_EQ(s.lista[1].i, 3);
  EXPECT_THROW(LerListaServicos(R"({"anterior": 0, "lista": [{"id": null, "descricao": null,
      "observacao": null, "i": null}]})"),
               EDocumentoInvalido);
  EXPECT_THROW(LerListaServicos(R"({"anterior": 0, "lista": [{"id": 1}]})"), EDocumentoInvalido);
}

std::string Chamado(const std::string& extra) {
  return R"({"ID": 42, "REABERTURA": "2", "RAZAOSOCIAL": "R", "NOMEFANTASIA": "F",
    "USUARIO": "U", "ANALISTA": null, "EMAIL": null, "ANALISTA_MAIL": null, "DESCRICAO": "S",
    "ID_SERV": 11, "TELEFONE1": 1955500199, "ID_CLI": 7, "TELEFONE2": null, "DATAHORA": "d",
    "TELEFONE3": null, "MAQUINA": "M", "TELEFONE4": null, "FECHAMENTO": null, "ID_USER": 9,
    "VTXSTORE": null, "ID_ANALISTA": null, "CHAMADOS": 3)" +
         extra + "}";
}

TEST(Registros, ChamadoUnicoExigeCurvaEListaNaoLe) {
  const TChamado c = LerChamado(Chamado(R"(, "CURVA": "A")"));
  EXPECT_EQ(c.id, 42);
  EXPECT_EQ(c.reabertura, 2);
  EXPECT_EQ(c.id_analista, 0);  // null: no analyst
  EXPECT_EQ(c.fone1, "1955500199");
  EXPECT_EQ(c.curva, "A");
  EXPECT_THROW(LerChamado(Chamado("")), EDocumentoInvalido);

  const auto lista = LerListaChamados("[" + Chamado("") + "," + Chamado(R"(, "CURVA": 5)") + "]");
  ASSERT_EQ(lista.lista.size(), 2u);
  EXPECT_EQ(lista.lista[1].curva, "");
  EXPECT_TRUE(LerListaChamados("[]").lista.empty());
  EXPECT_THROW(LerListaChamados(Chamado("")), EDocumentoInvalido);  // an object, not a list
  EXPECT_THROW(LerListaChamados("[" + Chamado("") + ", 3]"), EDocumentoInvalido);
}

TEST(Registros, ChatsEAnuncios) {
  const auto chats = LerListaChats(R"({"lista": [{"id": 1, "data": "x", "nome": "n", "msg": null,
      "tipo": null}, {"id": 2, "data": "y", "nome": "m", "msg": "oi", "tipo": 2}]})");
  ASSERT_EQ(chats.lista.size(), 2u);
  EXPECT_EQ(chats.lista[0].msg, "");
  EXPECT_EQ(chats.lista[1].tipo, 2);
  EXPECT_THROW(LerListaChats(R"({"lista": [{"id": 1, "data": null, "nome": "n", "msg": "",
      "tipo": 1}]})"),
               EDocumentoInvalido);

  EXPECT_TRUE(LerListaAnuncios(R"({"lista": []})").list.empty());
  const auto a = LerListaAnuncios(R"({"lista": [{"imagem": "i", "link": "l", "mensagem": "m"}]})");
  ASSERT_EQ(a.list.size(), 1u);
  EXPECT_EQ(a.list[0].link, "l");
  EXPECT_THROW(LerListaAnuncios(R"({"lista": [{"imagem": "i", "link": "l"}]})"),
               EDocumentoInvalido);
}

TEST(Registros, BotGuardaOitoItensNumerados) {
  std::string itens;
  for (int i = 1; i <= 10; ++i) {
    if (i > 1) itens += ",";
    itens += R"({"ID": )" + std::to_string(i) +
             R"(, "ID_MASTER": null, "DESCRICAO": "d", "ID_DET": null, "LINK": null,
                 "CONTEUDO": null, "TIPO": "4", "ALTURA": null})";
  }
  itens += R"(, "item nove ou dez não é lido")";
  const auto b =
      LerListaBots(R"({"master": 12, "descricao": "Menu", "mais": 1, "bots": [)" + itens + "]}");
  ASSERT_EQ(b.bots.size(), 8u);
  EXPECT_EQ(b.master, "12");
  EXPECT_EQ(b.bots[0].menu, "1");
  EXPECT_EQ(b.bots[7].menu, "8");
  EXPECT_EQ(b.bots[7].id, 8);
  EXPECT_EQ(b.bots[7].tipo, 4);
  EXPECT_THROW(LerListaBots(R"({"master": "0", "descricao": "x", "bots": []})"),
               EDocumentoInvalido);
}

TEST(Registros, RespostasDeTexto) {
  EXPECT_TRUE(LerBooleano("TRUE"));
  EXPECT_TRUE(LerBooleano("True\n"));
  EXPECT_FALSE(LerBooleano("false"));
  EXPECT_FALSE(LerBooleano("0"));
  EXPECT_FALSE(LerBooleano("-000"));
  EXPECT_TRUE(LerBooleano("2"));
  EXPECT_TRUE(LerBooleano("99999999999999999999"));
  for (const char* ruim : {"", "sim", "1.0", "-", "t rue", "0x1"})
    EXPECT_THROW(LerBooleano(ruim), EDocumentoInvalido) << ruim;

  EXPECT_EQ(LerVersao("5069"), 5069);
  EXPECT_EQ(LerVersao("5068\r\n"), 5068);
  EXPECT_EQ(LerVersao("abc"), 0);
  EXPECT_EQ(LerVersao(""), 0);
  EXPECT_EQ(LerVersao("99999999999"), 0);
}

}  // namespace
}  // namespace vtx
