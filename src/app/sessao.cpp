#include "app/sessao.h"

#include <QString>
#include <algorithm>

#include "util/text.h"

namespace vtx {

namespace {

bool MesmoNome(const std::string& a, const std::string& b) {
  return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

}  // namespace

void PreencheDadosLogin(TRtcFunctionInfo& f, const TCliente& cliente, const TUsuario& usuario,
                        const std::string& maquina, const TChamado& chamado, double agora) {
  const auto texto = [&f](const char* k, const std::string& v) { f.setAsText(k, Utf8Decode(v)); };
  const bool online = cliente.online;
  texto("IsHost", "true");
  texto("EMPRESA", cliente.nome);
  texto("NOME", usuario.nome);
  texto("MAQUINA", maquina);
  texto("VERSAO", "5068");
  texto("SERVICO", online ? chamado.servico : "(desconhecido)");
  texto("FONE1", online ? chamado.fone1 : "");
  texto("FONE2", online ? chamado.fone2 : "");
  texto("FONE3", online ? chamado.fone3 : "");
  texto("FONE4", online ? chamado.fone4 : "");
  if (online) {
    f.setAsInteger("VTXSTORE", chamado.vtxstore);
    f.setAsInteger("CHAMADOS", chamado.chamados);
    texto("DATA", chamado.data);
    f.setAsInteger("CHAMADO", chamado.id);
    f.setAsInteger("ID_ANALISTA", chamado.id_analista);
    texto("ANALISTA", chamado.analista);
    texto("CURVA", chamado.curva);
  } else {
    texto("VTXSTORE", "");
    texto("CHAMADOS", "");
    f.setAsDateTime("DATA", agora);
    texto("CHAMADO", "0");
    texto("ID_ANALISTA", "0");
    texto("ANALISTA", "(desconhecido)");
    texto("CURVA", "***");
  }
}

TCoresLampada CoresDaLampada(TRtcPHttpConnStatus status, bool recepcao, int& contador) {
  static const QColor kPulso[] = {QColor(0, 0, 0),       QColor(128, 128, 128),
                                  QColor(192, 192, 192), QColor(255, 255, 255),
                                  QColor(192, 192, 192), QColor(128, 128, 128)};
  switch (status) {
    case TRtcPHttpConnStatus::rtccClosed:
      if (recepcao) return {QColor(255, 0, 0), QColor(128, 0, 0)};
      return {QColor(128, 128, 128), std::nullopt};
    case TRtcPHttpConnStatus::rtccOpen:
      return {QColor(0, 0, 128), std::nullopt};
    case TRtcPHttpConnStatus::rtccSending: {
      if (contador < 0 || contador > 5) contador = 0;
      const QColor contorno = kPulso[contador];
      contador = contador == 5 ? 0 : contador + 1;
      return {QColor(0, 128, 0), contorno};
    }
    case TRtcPHttpConnStatus::rtccReceiving:
      return {QColor(0, 255, 0), std::nullopt};
    default:
      return {QColor(255, 0, 255), QColor(255, 0, 0)};
  }
}

bool AdicionaAnalista(std::vector<std::string>& analistas, const std::string& nome) {
  if (std::any_of(analistas.begin(), analistas.end(),
                  [&](const std::string& a) { return MesmoNome(a, nome); }))
    return false;
  analistas.push_back(nome);
  return true;
}

bool RemoveAnalista(std::vector<std::string>& analistas, const std::string& nome) {
  const auto it = std::find_if(analistas.begin(), analistas.end(),
                               [&](const std::string& a) { return MesmoNome(a, nome); });
  if (it == analistas.end()) return false;
  analistas.erase(it);
  return true;
}

}  // namespace vtx
