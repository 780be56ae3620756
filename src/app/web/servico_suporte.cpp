#include "app/web/servico_suporte.h"

#include <cctype>
#include <fstream>
#include <system_error>

#include "app/web/charset.h"
#include "app/web/cliente_http.h"
#include "app/web/erros.h"

namespace vtx {

namespace {

constexpr std::size_t kLimiteImagem = 32u << 20;

bool SoBrancos(std::string_view s) {
  for (char ch : s)
    if (!std::isspace(static_cast<unsigned char>(ch))) return false;
  return true;
}

std::string Decimal(int32_t n) {
  return std::to_string(n);
}

}  // namespace

TServicoSuporte::TServicoSuporte(TConfiguracao config) : config_(std::move(config)) {
  ValidaConfiguracao(config_);
}

std::string TServicoSuporte::Envia(std::string_view endpoint, const TCampos& campos,
                                   bool tls) const {
  TRequisicaoHttp req;
  req.url = (tls ? config_.urlSuporteSegura : config_.urlSuporte) + std::string(PrefixoApi) +
            std::string(endpoint);
  req.corpoPost = CodificaFormulario(campos);
  req.tokenBearer = config_.tokenBearer;
  req.arquivoCA = config_.arquivoCA;
  const TRespostaHttp resposta = ExecutaRequisicao(req);
  return DecodificaTexto(resposta.corpo, resposta.contentType);
}

int32_t TServicoSuporte::BuscaVersao() const {
  return LerVersao(Envia("versao", {}, true));
}

void TServicoSuporte::BaixaInstalador(const std::filesystem::path& arquivo) const {
  std::filesystem::path parcial = arquivo;
  parcial += ".part";
  std::error_code ec;
  std::filesystem::remove(arquivo, ec);
  std::filesystem::remove(parcial, ec);
  try {
    {
      std::ofstream saida(parcial, std::ios::binary | std::ios::trunc);
      if (!saida) throw EWebServico("Não foi possível criar " + parcial.string());
      TRequisicaoHttp req;
      req.url = config_.urlSuporteSegura + "/vorantelix/vorantelix.exe";
      req.tokenBearer = config_.tokenBearer;
      req.arquivoCA = config_.arquivoCA;
      req.destino = [&saida](std::string_view pedaco) {
        saida.write(pedaco.data(), static_cast<std::streamsize>(pedaco.size()));
        return static_cast<bool>(saida);
      };
      ExecutaRequisicao(req);
      saida.close();
      if (!saida) throw EWebServico("Gravação de " + parcial.string() + " falhou");
    }
    std::filesystem::rename(parcial, arquivo, ec);
    if (ec) throw EWebServico("Não foi possível gravar " + arquivo.string() + ": " + ec.message());
  } catch (...) {
    std::filesystem::remove(parcial, ec);
    throw;
  }
}

std::optional<TListAnuncios> TServicoSuporte::BuscaAnuncios() const {
  const std::string texto = Envia("anuncios", {}, false);
  if (SoBrancos(texto)) return std::nullopt;
  return LerListaAnuncios(texto);
}

std::string TServicoSuporte::ConsultaCliente(std::string_view cnpj) const {
  return Envia("cliente", {{"cnpj", std::string(cnpj)}}, false);
}

std::optional<TCliente> TServicoSuporte::BuscaCliente(std::string_view cnpj) const {
  const std::string texto = ConsultaCliente(cnpj);
  if (SoBrancos(texto)) return std::nullopt;
  TCliente cliente = LerCliente(texto);
  cliente.online = true;
  return cliente;
}

bool TServicoSuporte::ConfereSenha(std::string_view email, std::string_view senha) const {
  return LerBooleano(Envia(
      "adminlogin",
      {{"codigo", config_.codigoAcesso}, {"email", std::string(email)}, {"pw", std::string(senha)}},
      false));
}

std::optional<TListaServicos> TServicoSuporte::BuscaServicos(int32_t id) const {
  const std::string texto = Envia("servico", {{"id", Decimal(id)}}, false);
  if (SoBrancos(texto)) return std::nullopt;
  return LerListaServicos(texto);
}

TListaChamados TServicoSuporte::BuscaChamadosUsuario(int32_t idUser) const {
  const std::string texto = Envia("chamadosusuario", {{"id", Decimal(idUser)}}, false);
  if (texto == "[]") return {};
  return LerListaChamados(texto);
}

std::optional<TChamado> TServicoSuporte::AbreNovoChamado(int32_t idCli, int32_t idServ,
                                                         std::string_view ip,
                                                         std::string_view maquina, int32_t idUser,
                                                         std::string_view nome) const {
  const std::string texto = Envia("novochamado",
                                  {{"ID_CLI", Decimal(idCli)},
                                   {"ID_SERV", Decimal(idServ)},
                                   {"IP", std::string(ip)},
                                   {"MAQUINA", std::string(maquina)},
                                   {"ID_USER", Decimal(idUser)},
                                   {"NOME", std::string(nome)}},
                                  false);
  if (SoBrancos(texto)) return std::nullopt;
  return LerChamado(texto);
}

std::optional<TChamado> TServicoSuporte::ReabreChamado(int32_t idChamado) const {
  const std::string texto = Envia("reabrirchamado", {{"ID", Decimal(idChamado)}}, false);
  if (SoBrancos(texto)) return std::nullopt;
  return LerChamado(texto);
}

std::string TServicoSuporte::GravaMensagem(int32_t idChamado, int32_t idUser,
                                           std::string_view msg) const {
  return Envia("mensagem",
               {{"ID", Decimal(idChamado)},
                {"ID_USER", Decimal(idUser)},
                {"TYPE", "1"},
                {"MSG", std::string(msg)}},
               false);
}

TListaChats TServicoSuporte::BuscaChat(int32_t idChamado) const {
  return LerListaChats(Envia(
      "chamadochat", {{"codigo", config_.codigoAcesso}, {"chamado", Decimal(idChamado)}}, false));
}

bool TServicoSuporte::AnalistaOnline(int32_t idAnalista) const {
  return Envia("analistaonline", {{"id", Decimal(idAnalista)}}, false) == "1";
}

bool TServicoSuporte::AtualizaServico(int32_t idChamado, int32_t idUser, int32_t idServ) const {
  return Envia("updateservico",
               {{"ID", Decimal(idChamado)},
                {"ID_USER", Decimal(idUser)},
                {"ID_SERV", Decimal(idServ)}},
               false) == "ok";
}

std::string TServicoSuporte::BuscaImagemAvaliacao() const {
  return Envia("avalie", {}, true);
}

std::optional<TListaBots> TServicoSuporte::ConsultaBot(int32_t empresa, int32_t usuario,
                                                       std::string_view id,
                                                       std::string_view nivel) const {
  TRequisicaoHttp req;
  req.url = config_.urlBot + "/vorantelix/bot";
  req.permiteTls = false;
  req.segueRedirecionamentos = false;
  req.corpoPost = CodificaFormulario({{"codigo", config_.codigoAcesso},
                                      {"empresa", Decimal(empresa)},
                                      {"usuario", Decimal(usuario)},
                                      {"id", std::string(id)},
                                      {"nivel", std::string(nivel)}});
  const TRespostaHttp resposta = ExecutaRequisicao(req);
  const std::string texto = DecodificaTexto(resposta.corpo, resposta.contentType);
  if (SoBrancos(texto)) return std::nullopt;
  return LerListaBots(texto);
}

std::string TServicoSuporte::BaixaFotoPerfil(int32_t idUser) const {
  TRequisicaoHttp req;
  req.url = config_.urlSuporte + "/img/profile/" + Decimal(idUser) + ".jpg";
  req.arquivoCA = config_.arquivoCA;
  req.limiteCorpo = kLimiteImagem;
  return ExecutaRequisicao(req).corpo;
}

std::string TServicoSuporte::BaixaImagem(const std::string& url) const {
  TRequisicaoHttp req;
  req.url = url;
  req.segueRedirecionamentos = false;
  req.arquivoCA = config_.arquivoCA;
  req.limiteCorpo = kLimiteImagem;
  return ExecutaRequisicao(req).corpo;
}

std::string TServicoSuporte::EnderecoAvaliacao(int32_t idChamado) const {
  return config_.urlSuporteSegura + "/avaliarchamado/" + config_.chaveAvaliacao +
         Decimal(idChamado) + config_.chaveAvaliacaoFinal;
}

}  // namespace vtx
