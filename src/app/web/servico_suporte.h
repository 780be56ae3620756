// The support web service, one typed call per endpoint. Every call builds its own request (a
// fresh libcurl handle), so one TServicoSuporte may be used from several threads at once.
//
// Failures: a transport, TLS or HTTP-status failure throws EWebServico; a reply that does not
// hold the expected document throws EDocumentoInvalido (both derive from EVorantelix, whose
// message() is the text to show). Where the service may answer with nothing, the call returns
// std::nullopt for a reply that is empty or only blanks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "app/web/classes.h"
#include "app/web/config.h"
#include "app/web/formulario.h"

namespace vtx {

inline constexpr std::string_view PrefixoApi = "/api/sanctum/vorantelix/";

class TServicoSuporte {
 public:
  explicit TServicoSuporte(TConfiguracao config);
  const TConfiguracao& config() const { return config_; }

  // "versao" (TLS): the latest build number, 0 when the reply is not a number.
  int32_t BuscaVersao() const;
  // "/vorantelix/vorantelix.exe" (TLS): writes the installer into arquivo, replacing it. The
  // bytes go to arquivo + ".part" first and are moved into place only when complete; on any
  // failure nothing is left behind and EWebServico is thrown.
  void BaixaInstalador(const std::filesystem::path& arquivo) const;
  // "anuncios".
  std::optional<TListAnuncios> BuscaAnuncios() const;
  // "cliente": the reply text as received (decoded to UTF-8), for the company cache.
  std::string ConsultaCliente(std::string_view cnpj) const;
  // "cliente" parsed, with online = true.
  std::optional<TCliente> BuscaCliente(std::string_view cnpj) const;
  // "adminlogin": the portal password check. A reply that is not a Boolean throws.
  bool ConfereSenha(std::string_view email, std::string_view senha) const;
  // "servico": one level of the catalogue (0 = top).
  std::optional<TListaServicos> BuscaServicos(int32_t id) const;
  // "chamadosusuario": the user's open tickets; "[]" gives an empty list.
  TListaChamados BuscaChamadosUsuario(int32_t idUser) const;
  // "novochamado".
  std::optional<TChamado> AbreNovoChamado(int32_t idCli, int32_t idServ, std::string_view ip,
                                          std::string_view maquina, int32_t idUser,
                                          std::string_view nome) const;
  // "reabrirchamado".
  std::optional<TChamado> ReabreChamado(int32_t idChamado) const;
  // "mensagem": the stored message's time stamp; empty when the service did not store it.
  std::string GravaMensagem(int32_t idChamado, int32_t idUser, std::string_view msg) const;
  // "chamadochat": the ticket's conversation.
  TListaChats BuscaChat(int32_t idChamado) const;
  // "analistaonline": true exactly when the reply is "1".
  bool AnalistaOnline(int32_t idAnalista) const;
  // "updateservico": true exactly when the reply is "ok".
  bool AtualizaServico(int32_t idChamado, int32_t idUser, int32_t idServ) const;
  // "avalie" (TLS): the address of the rating picture, or empty.
  std::string BuscaImagemAvaliacao() const;
  // "/vorantelix/bot": plain HTTP, no redirects, no extra header lines.
  std::optional<TListaBots> ConsultaBot(int32_t empresa, int32_t usuario, std::string_view id,
                                        std::string_view nivel) const;
  // "/img/profile/<id>.jpg": the picture's bytes (redirects followed, no extra header lines).
  std::string BaixaFotoPerfil(int32_t idUser) const;
  // Any picture address (advertisement, rating): no redirects, no extra header lines.
  std::string BaixaImagem(const std::string& url) const;
  // The rating page's address, opened in the browser.
  std::string EnderecoAvaliacao(int32_t idChamado) const;

  // A standard POST to API + endpoint; returns the reply decoded to UTF-8.
  std::string Envia(std::string_view endpoint, const TCampos& campos, bool tls) const;

 private:
  TConfiguracao config_;
};

}  // namespace vtx
