#include "banco.h"

#include <sqlite3.h>

#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vtx::supportd {

using nlohmann::json;

// A prepared statement; binds by position from 1, reads columns from 0.
class TBanco::Comando {
 public:
  Comando(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db));
  }
  ~Comando() { sqlite3_finalize(st_); }
  Comando(const Comando&) = delete;
  Comando& operator=(const Comando&) = delete;

  Comando& Liga(int i, int64_t v) {
    sqlite3_bind_int64(st_, i, v);
    return *this;
  }
  Comando& Liga(int i, const std::string& v) {
    sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  bool Passo() {
    const int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db_));
  }
  int64_t Inteiro(int c) { return sqlite3_column_int64(st_, c); }
  std::string Texto(int c) {
    const auto* p = sqlite3_column_text(st_, c);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(st_, c)))
             : std::string();
  }
  // The column as JSON: null, a number or a text.
  json Valor(int c) {
    switch (sqlite3_column_type(st_, c)) {
      case SQLITE_NULL:
        return nullptr;
      case SQLITE_INTEGER:
        return Inteiro(c);
      case SQLITE_FLOAT:
        return sqlite3_column_double(st_, c);
      default:
        return Texto(c);
    }
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

namespace {

std::string Agora(const char* formato) {
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, formato, &local);
  return buf;
}

bool Numerico(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

constexpr const char* kSqlChamado = R"(
  SELECT c.id, c.reabertura, cl.nome, cl.fantasia, u.nome, a.nome, u.email, a.email,
         COALESCE(s.descricao, CASE WHEN c.id_serv = 0 THEN 'Implantação' END), c.id_serv, cl.telefone, c.id_cli, u.fone, c.datahora, c.maquina,
         c.fechamento, c.id_user, c.id_analista, c.curva,
         (SELECT COUNT(*) FROM chamados x WHERE x.id_cli = c.id_cli)
  FROM chamados c
  JOIN clientes cl ON cl.id = c.id_cli
  JOIN usuarios u ON u.id_user = c.id_user
  LEFT JOIN servicos s ON s.id = c.id_serv
  LEFT JOIN analistas a ON a.id = c.id_analista
)";

}  // namespace

TBanco::TBanco(const std::string& arquivo, const std::filesystem::path& semente) {
  if (sqlite3_open(arquivo.c_str(), &db_) != SQLITE_OK) {
    std::string erro = db_ ? sqlite3_errmsg(db_) : "sem memória";
    sqlite3_close(db_);
    throw std::runtime_error("não foi possível abrir " + arquivo + ": " + erro);
  }
  bool temEsquema;
  {
    Comando q(db_, "SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name='clientes'");
    temEsquema = q.Passo() && q.Inteiro(0) > 0;
  }
  if (!temEsquema) {
    std::ifstream entrada(semente, std::ios::binary);
    if (!entrada) {
      sqlite3_close(db_);
      throw std::runtime_error("não foi possível ler a semente " + semente.string());
    }
    std::ostringstream sql;
    sql << entrada.rdbuf();
    try {
      Executa(sql.str());
    } catch (...) {
      sqlite3_close(db_);
      throw;
    }
  }
  CifraSenhasAbertas();
}

// Passwords the seed (or an older database) holds in plain text are replaced by their hash.
void TBanco::CifraSenhasAbertas() {
  std::vector<std::pair<int64_t, std::string>> abertas;
  {
    Comando q(db_, "SELECT id_user, senha_portal FROM usuarios WHERE senha_portal IS NOT NULL");
    while (q.Passo())
      if (!SenhaCifrada(q.Texto(1))) abertas.emplace_back(q.Inteiro(0), q.Texto(1));
  }
  if (!abertas.empty()) Executa("PRAGMA secure_delete = ON");  // the plain bytes do not linger
  for (const auto& [id, senha] : abertas) {
    Comando q(db_, "UPDATE usuarios SET senha_portal = ? WHERE id_user = ?");
    q.Liga(1, CifraSenha(senha)).Liga(2, id);
    q.Passo();
  }
}

TBanco::~TBanco() {
  sqlite3_close(db_);
}

void TBanco::Executa(const std::string& sql) {
  char* erro = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &erro) != SQLITE_OK) {
    std::string texto = erro ? erro : "?";
    sqlite3_free(erro);
    throw std::runtime_error("sqlite: " + texto);
  }
}

std::optional<json> TBanco::Cliente(const std::string& cnpj) {
  std::lock_guard trava(trava_);
  Comando q(db_,
            "SELECT id, nome, cidade, implantacao, departamento, senha, bot, chave, porta, "
            "servidor, segmento FROM clientes WHERE cnpj = ?");
  q.Liga(1, cnpj);
  if (!q.Passo()) return std::nullopt;
  json c = {{"id", q.Inteiro(0)},        {"nome", q.Texto(1)},         {"cidade", q.Texto(2)},
            {"implantacao", q.Valor(3)}, {"departamento", q.Valor(4)}, {"senha", q.Valor(5)},
            {"bot", q.Valor(6)},         {"chave", q.Texto(7)},        {"porta", q.Valor(8)},
            {"servidor", q.Texto(9)},    {"segmento", q.Texto(10)}};
  json lista = json::array();
  Comando u(db_, "SELECT id_user, nome, email FROM usuarios WHERE id_cli = ? ORDER BY id_user");
  u.Liga(1, c["id"].get<int64_t>());
  while (u.Passo())
    lista.push_back({{"id_user", u.Inteiro(0)}, {"nome", u.Texto(1)}, {"email", u.Texto(2)}});
  c["usuarios"] = {{"lista", lista}};
  return c;
}

void TBanco::DefineGateway(const std::string& servidor, const std::string& porta) {
  std::lock_guard trava(trava_);
  Comando q(db_, "UPDATE clientes SET servidor = ?, porta = ?");
  q.Liga(1, servidor);
  q.Liga(2, porta);
  q.Passo();
}

bool TBanco::SenhaConfere(const std::string& email, const std::string& senha) {
  std::lock_guard trava(trava_);
  Comando q(db_, "SELECT senha_portal FROM usuarios WHERE email = ? AND senha_portal IS NOT NULL");
  q.Liga(1, email);
  bool confere = false;
  bool achou = false;
  while (q.Passo()) {
    achou = true;
    confere = SenhaBate(q.Texto(0), senha) || confere;
  }
  // An unknown address costs as much as a known one.
  if (!achou) SenhaBate(senhaFicticia_, senha);
  return confere;
}

std::optional<json> TBanco::Servicos(int64_t nivel) {
  std::lock_guard trava(trava_);
  json lista = json::array();
  Comando q(db_,
            "SELECT s.id, s.descricao, s.observacao, "
            "(SELECT COUNT(*) FROM servicos f WHERE f.nivel = s.id) FROM servicos s "
            "WHERE s.nivel = ? ORDER BY s.id");
  q.Liga(1, nivel);
  while (q.Passo()) {
    const int64_t filhos = q.Inteiro(3);
    lista.push_back({{"id", q.Inteiro(0)},
                     {"descricao", q.Valor(1)},
                     {"observacao", q.Valor(2)},
                     {"i", filhos > 0 ? json(filhos) : json(nullptr)}});
  }
  if (lista.empty()) return std::nullopt;
  int64_t anterior = 0;
  Comando a(db_, "SELECT nivel FROM servicos WHERE id = ?");
  a.Liga(1, nivel);
  if (a.Passo()) anterior = a.Inteiro(0);
  return json{{"anterior", anterior}, {"lista", lista}};
}

std::optional<json> TBanco::Chamado(int64_t id, bool comCurva) {
  Comando q(db_, (std::string(kSqlChamado) + " WHERE c.id = ?").c_str());
  q.Liga(1, id);
  if (!q.Passo()) return std::nullopt;
  json c = {{"ID", q.Inteiro(0)},
            {"REABERTURA", std::to_string(q.Inteiro(1))},  // a number in a string, as seen
            {"RAZAOSOCIAL", q.Valor(2)},
            {"NOMEFANTASIA", q.Valor(3)},
            {"USUARIO", q.Valor(4)},
            {"ANALISTA", q.Valor(5)},
            {"EMAIL", q.Valor(6)},
            {"ANALISTA_MAIL", q.Valor(7)},
            {"DESCRICAO", q.Valor(8)},
            {"ID_SERV", q.Valor(9)},
            {"TELEFONE1", q.Valor(10)},
            {"ID_CLI", q.Valor(11)},
            {"TELEFONE2", q.Valor(12)},
            {"DATAHORA", q.Valor(13)},
            {"TELEFONE3", nullptr},
            {"MAQUINA", q.Valor(14)},
            {"TELEFONE4", nullptr},
            {"FECHAMENTO", q.Valor(15)},
            {"ID_USER", q.Valor(16)},
            {"VTXSTORE", "0"},
            {"ID_ANALISTA", q.Valor(17)},
            {"CHAMADOS", q.Inteiro(19)}};
  if (comCurva) c["CURVA"] = q.Valor(18);
  return c;
}

json TBanco::ChamadosAbertos(int64_t idUser) {
  std::lock_guard trava(trava_);
  std::vector<int64_t> ids;
  {
    Comando q(db_, "SELECT id FROM chamados WHERE id_user = ? AND fechamento IS NULL ORDER BY id");
    q.Liga(1, idUser);
    while (q.Passo()) ids.push_back(q.Inteiro(0));
  }
  json lista = json::array();
  for (int64_t id : ids)
    if (auto c = Chamado(id, false)) lista.push_back(std::move(*c));
  return lista;
}

std::optional<json> TBanco::NovoChamado(int64_t idCli, int64_t idServ, const std::string& ip,
                                        const std::string& maquina, int64_t idUser) {
  std::lock_guard trava(trava_);
  {
    // A service with no entries below it, or service 0 ("Implantação") for a company being
    // deployed, whose catalogue is that one local entry.
    Comando u(db_,
              "SELECT 1 FROM usuarios u JOIN clientes cl ON cl.id = u.id_cli WHERE u.id_user = ? "
              "AND u.id_cli = ? AND ((? = 0 AND cl.implantacao = 1) OR EXISTS (SELECT 1 FROM "
              "servicos s WHERE s.id = ? AND NOT EXISTS (SELECT 1 FROM servicos f WHERE f.nivel "
              "= s.id)))");
    u.Liga(1, idUser).Liga(2, idCli).Liga(3, idServ).Liga(4, idServ);
    if (!u.Passo()) return std::nullopt;
  }
  Comando q(db_,
            "INSERT INTO chamados (id_cli, id_serv, id_user, id_analista, maquina, ip, datahora, "
            "fechamento, reabertura, curva) VALUES (?, ?, ?, NULL, ?, ?, ?, NULL, 0, 'A')");
  q.Liga(1, idCli).Liga(2, idServ).Liga(3, idUser).Liga(4, maquina).Liga(5, ip);
  q.Liga(6, Agora("%d/%m/%Y %H:%M:%S"));
  q.Passo();
  return Chamado(sqlite3_last_insert_rowid(db_), true);
}

std::optional<json> TBanco::ReabreChamado(int64_t id) {
  std::lock_guard trava(trava_);
  Comando q(db_, "UPDATE chamados SET fechamento = NULL, reabertura = reabertura + 1 WHERE id = ?");
  q.Liga(1, id);
  q.Passo();
  if (sqlite3_changes(db_) == 0) return std::nullopt;
  return Chamado(id, true);
}

std::string TBanco::GravaMensagem(int64_t chamado, int64_t idUser, int64_t tipo,
                                  const std::string& msg) {
  std::lock_guard trava(trava_);
  std::string nome;
  {
    Comando q(db_, "SELECT u.nome FROM chamados c JOIN usuarios u ON u.id_user = ? WHERE c.id = ?");
    q.Liga(1, idUser).Liga(2, chamado);
    if (!q.Passo()) return {};
    nome = q.Texto(0);
  }
  const std::string data = Agora("%d/%m/%Y %H:%M:%S");
  Comando q(
      db_, "INSERT INTO chat (chamado, id_autor, nome, tipo, msg, data) VALUES (?, ?, ?, ?, ?, ?)");
  q.Liga(1, chamado).Liga(2, idUser).Liga(3, nome).Liga(4, tipo).Liga(5, msg).Liga(6, data);
  q.Passo();
  return data;
}

std::optional<json> TBanco::Conversa(int64_t chamado) {
  std::lock_guard trava(trava_);
  {
    Comando c(db_, "SELECT 1 FROM chamados WHERE id = ?");
    c.Liga(1, chamado);
    if (!c.Passo()) return std::nullopt;
  }
  json lista = json::array();
  Comando q(db_, "SELECT id_autor, data, nome, msg, tipo FROM chat WHERE chamado = ? ORDER BY id");
  q.Liga(1, chamado);
  while (q.Passo()) {
    lista.push_back({{"id", q.Inteiro(0)},
                     {"data", q.Texto(1)},
                     {"nome", q.Texto(2)},
                     {"msg", q.Valor(3)},
                     {"tipo", q.Valor(4)}});
  }
  return json{{"lista", lista}};
}

bool TBanco::AnalistaOnline(int64_t id) {
  std::lock_guard trava(trava_);
  Comando q(db_, "SELECT online FROM analistas WHERE id = ?");
  q.Liga(1, id);
  return q.Passo() && q.Inteiro(0) == 1;
}

bool TBanco::AtualizaServico(int64_t chamado, int64_t idUser, int64_t idServ) {
  std::lock_guard trava(trava_);
  Comando q(db_,
            "UPDATE chamados SET id_serv = ? WHERE id = ? AND id_user = ? AND EXISTS "
            "(SELECT 1 FROM servicos s WHERE s.id = ? AND NOT EXISTS "
            "(SELECT 1 FROM servicos f WHERE f.nivel = s.id))");
  q.Liga(1, idServ).Liga(2, chamado).Liga(3, idUser).Liga(4, idServ);
  q.Passo();
  return sqlite3_changes(db_) > 0;
}

json TBanco::Anuncios() {
  std::lock_guard trava(trava_);
  json lista = json::array();
  Comando q(db_, "SELECT id, link, mensagem FROM anuncios ORDER BY id");
  while (q.Passo()) {
    lista.push_back({{"imagem", "/img/anuncios/" + std::to_string(q.Inteiro(0)) + ".png"},
                     {"link", q.Texto(1)},
                     {"mensagem", q.Texto(2)}});
  }
  return json{{"lista", lista}};
}

bool TBanco::AnuncioExiste(int64_t id) {
  std::lock_guard trava(trava_);
  Comando q(db_, "SELECT 1 FROM anuncios WHERE id = ?");
  q.Liga(1, id);
  return q.Passo();
}

bool TBanco::PessoaExiste(int64_t id) {
  std::lock_guard trava(trava_);
  Comando q(
      db_, "SELECT 1 FROM usuarios WHERE id_user = ?1 UNION SELECT 1 FROM analistas WHERE id = ?1");
  q.Liga(1, id);
  return q.Passo();
}

std::optional<json> TBanco::Bot(int64_t empresa, const std::string& id) {
  std::lock_guard trava(trava_);
  {
    Comando c(db_, "SELECT 1 FROM clientes WHERE id = ?");
    c.Liga(1, empresa);
    if (!c.Passo()) return std::nullopt;
  }
  json resposta = {{"master", "0"}, {"descricao", "Menu principal"}, {"mais", 0}};
  const char* colunas =
      "SELECT id, id_master, descricao, id_det, link, conteudo, tipo, altura "
      "FROM bots ";
  std::unique_ptr<Comando> q;
  if (Numerico(id)) {
    const int64_t nivel = std::stoll(id);
    if (nivel != 0) {
      Comando n(db_, "SELECT id_master, descricao FROM bots WHERE id = ?");
      n.Liga(1, nivel);
      if (!n.Passo()) return std::nullopt;
      resposta["master"] = std::to_string(n.Inteiro(0));
      resposta["descricao"] = n.Texto(1);
    }
    q = std::make_unique<Comando>(
        db_, (std::string(colunas) + "WHERE id_master = ? OR (id = ? AND ? <> 0 AND NOT EXISTS "
                                     "(SELECT 1 FROM bots f WHERE f.id_master = ?)) ORDER BY id")
                 .c_str());
    q->Liga(1, nivel).Liga(2, nivel).Liga(3, nivel).Liga(4, nivel);
  } else {
    resposta["descricao"] = "Resultados para: " + id;
    q = std::make_unique<Comando>(
        db_, (std::string(colunas) +
              "WHERE instr(lower(descricao), lower(?)) > 0 OR instr(lower(conteudo), lower(?)) > 0 "
              "ORDER BY id")
                 .c_str());
    q->Liga(1, id).Liga(2, id);
  }
  json itens = json::array();
  while (q->Passo()) {
    itens.push_back({{"ID", q->Inteiro(0)},
                     {"ID_MASTER", q->Valor(1)},
                     {"DESCRICAO", q->Valor(2)},
                     {"ID_DET", q->Valor(3)},
                     {"LINK", q->Valor(4)},
                     {"CONTEUDO", q->Valor(5)},
                     {"TIPO", q->Valor(6)},
                     {"ALTURA", q->Valor(7)}});
  }
  if (itens.empty()) return std::nullopt;
  resposta["mais"] = itens.size() > 8 ? 1 : 0;
  resposta["bots"] = std::move(itens);
  return resposta;
}

}  // namespace vtx::supportd
