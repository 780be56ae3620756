// The stand-in's data in SQLite: companies, users, analysts, services, tickets, chat lines,
// advertisements and bot items. One connection behind one lock; every statement is prepared.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "senha.h"

struct sqlite3;

namespace vtx::supportd {

class TBanco {
 public:
  // Opens arquivo (":memory:" allowed) and loads semente when the schema is absent.
  TBanco(const std::string& arquivo, const std::filesystem::path& semente);
  ~TBanco();
  TBanco(const TBanco&) = delete;
  TBanco& operator=(const TBanco&) = delete;

  std::optional<nlohmann::json> Cliente(const std::string& cnpj);
  // Points every company at one portal gateway (the demo's and the tests' own).
  void DefineGateway(const std::string& servidor, const std::string& porta);
  // The portal password check of a user found by email.
  bool SenhaConfere(const std::string& email, const std::string& senha);
  std::optional<nlohmann::json> Servicos(int64_t nivel);
  nlohmann::json ChamadosAbertos(int64_t idUser);
  std::optional<nlohmann::json> NovoChamado(int64_t idCli, int64_t idServ, const std::string& ip,
                                            const std::string& maquina, int64_t idUser);
  std::optional<nlohmann::json> ReabreChamado(int64_t id);
  // The stored message's time stamp, empty when the ticket or user is unknown.
  std::string GravaMensagem(int64_t chamado, int64_t idUser, int64_t tipo, const std::string& msg);
  std::optional<nlohmann::json> Conversa(int64_t chamado);
  bool AnalistaOnline(int64_t id);
  bool AtualizaServico(int64_t chamado, int64_t idUser, int64_t idServ);
  nlohmann::json Anuncios();
  bool AnuncioExiste(int64_t id);
  bool PessoaExiste(int64_t id);
  // A bot level (numeric id) or a keyword search; nullopt when nothing matches.
  std::optional<nlohmann::json> Bot(int64_t empresa, const std::string& id);

 private:
  class Comando;
  std::optional<nlohmann::json> Chamado(int64_t id, bool comCurva);
  void Executa(const std::string& sql);
  void CifraSenhasAbertas();
  const std::string senhaFicticia_ = CifraSenha("");

  std::mutex trava_;
  sqlite3* db_ = nullptr;
};

}  // namespace vtx::supportd
