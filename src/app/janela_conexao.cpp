// The connection page: company lookup, user and password, open tickets, service catalogue and
// the opening or reopening of a ticket.
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTreeWidget>
#include <algorithm>

#include "app/arquivos.h"
#include "app/janela_principal.h"
#include "app/web/erros.h"

namespace vtx {

namespace {

const QString kTituloCaixa = QStringLiteral("VARNELIKO Vorantelix");
const QString kMensagem = QStringLiteral("Mensagem");

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// Hourglass cursor for the life of the object.
struct CursorEspera {
  CursorEspera() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~CursorEspera() { QApplication::restoreOverrideCursor(); }
};

// Marks a step of the connection page as running for its lifetime; steps may nest.
class Passo {
 public:
  explicit Passo(bool& ocupado) : ocupado_(ocupado), antes_(ocupado) { ocupado_ = true; }
  ~Passo() { ocupado_ = antes_; }
  Passo(const Passo&) = delete;
  Passo& operator=(const Passo&) = delete;

 private:
  bool& ocupado_;
  bool antes_;
};

bool SoBrancos(const std::string& s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

}  // namespace

void TfmVorantelix::BuscaCliente() {
  QCoreApplication::processEvents();
  const QString texto = cnpj_->text();
  if (texto.size() != 14 || !razao_->text().isEmpty()) return;
  CursorEspera espera;
  const std::string cnpj = texto.toStdString();
  try {
    const std::string resposta = web_.ConsultaCliente(cnpj);
    if (SoBrancos(resposta)) {
      setTextoStatus(QStringLiteral("Erro buscando empresa!"));
      return;
    }
    // Only a reply that reads as a company replaces the cache: a broken one must not destroy
    // the copy the offline mode depends on.
    TCliente c = LerCliente(resposta);
    SalvaTexto(ambiente_.pastas.CacheEmpresa(), resposta, true);
    AplicaCliente(std::move(c), true);
  } catch (const EVorantelix& e) {
    const QString falha = TextoDaFalha(e);
    if (auto cache = LeArquivoTexto(ambiente_.pastas.CacheEmpresa())) {
      try {
        AplicaCliente(LerCliente(*cache), false);
      } catch (const EVorantelix&) {
      }
    }
    setTextoStatus(falha);
  }
}

QString TfmVorantelix::TextoDaFalha(const EVorantelix& e) {
  xLog(e.message());
  if (const auto* w = dynamic_cast<const EWebServico*>(&e)) {
    if (w->status() > 0)
      return QStringLiteral("O servidor de suporte respondeu com erro %1.").arg(w->status());
    return QStringLiteral("Sem comunicação com o servidor de suporte.");
  }
  if (dynamic_cast<const EDocumentoInvalido*>(&e))
    return QStringLiteral("Resposta inválida do servidor de suporte.");
  return QStringLiteral("Falha na comunicação com o servidor de suporte.");
}

void TfmVorantelix::LimpaEmpresa() {
  cliente_ = TCliente{};
  idcli_->clear();
  cidade_->clear();
  segmento_->clear();
  pSenha_->hide();
  cbUsuarios_->clear();
  LimpaUsuario();
}

void TfmVorantelix::LimpaUsuario() {
  usuarioPrincipal_ = TUsuario{};
  imgUsuario_->clear();
  eSenha_->clear();
  Chamados_ = TListaChamados{};
  listChamados_->clear();
  Servicos_ = TListaServicos{};
  listServicos_->clear();
  obs_->clear();
  if (page2_->currentWidget() == tsChamados_) page2_->setCurrentWidget(tsServicos_);
}

// The record's gateway is taken only when it is one of the configured ones; otherwise the
// session stays on the current gateway and the status and the log say why.
void TfmVorantelix::AplicaGatewayDoCliente() {
  if (!GatewayConfigurado(ambiente_.config, cliente_.servidor)) {
    const std::string nome = cliente_.servidor.substr(0, 100);
    xLog("Servidor do cadastro recusado (não configurado): \"" + nome + "\"");
    setTextoStatus(
        QStringLiteral("Servidor recusado: %1 não é um servidor configurado.").arg(Q(nome)));
    return;
  }
  portal().setGatePort(cliente_.porta);
  portal().setGateAddr(cliente_.servidor);
  setTextoStatus(Q(portal().GateAddr() + ":" + portal().GatePort()));
}

void TfmVorantelix::AplicaCliente(TCliente c, bool online) {
  cliente_ = std::move(c);
  cliente_.online = online;
  pSenha_->setVisible(cliente_.senha == 1);
  razao_->setText(Q(cliente_.nome));
  idcli_->setText(QString::number(cliente_.id));
  cidade_->setText(Q(cliente_.cidade));
  segmento_->setText(Q(cliente_.segmento));
  AplicaGatewayDoCliente();

  std::vector<std::pair<QString, int>> itens;
  for (std::size_t i = 0; i < cliente_.usuarios.lista.size(); ++i) {
    const TUsuario& u = cliente_.usuarios.lista[i];
    itens.emplace_back(Q(u.nome) + QStringLiteral(" | ") + Q(u.email), static_cast<int>(i));
  }
  std::stable_sort(itens.begin(), itens.end(), [](const auto& a, const auto& b) {
    return QString::compare(a.first, b.first, Qt::CaseInsensitive) < 0;
  });
  cbUsuarios_->clear();
  for (const auto& [texto, indice] : itens) cbUsuarios_->addItem(texto, indice);
  if (cbUsuarios_->count() > 0) cbUsuarios_->setCurrentIndex(0);
  ini_.Grava("CONFIG", "CNPJ", cnpj_->text().toStdString());
}

bool TfmVorantelix::TeclaConexao(QObject* o, int tecla) {
  const bool enter = tecla == Qt::Key_Return || tecla == Qt::Key_Enter;
  const bool escape = tecla == Qt::Key_Escape;
  // A key that arrives while a step runs its pending events would start a step inside it.
  if (ocupado_ && (enter || escape)) return true;
  if (o == cnpj_) {
    if (tecla == Qt::Key_Backspace) {
      idcli_->clear();
      razao_->clear();
      cidade_->clear();
      cbUsuarios_->clear();
      return false;  // the edit still removes the character
    }
    if (!enter) return false;
    if (cbUsuarios_->count() == 0)
      ambiente_.dialogos->Informa(this, kTituloCaixa,
                                  QStringLiteral("Nenhum usuário Cadastrado, por favor verifique "
                                                 "se informou o CNPJ da empresa corretamente"));
    else
      cbUsuarios_->setFocus();
    return true;
  }
  if (o == cbUsuarios_) {
    if (enter) {
      const int i = cbUsuarios_->currentIndex();
      if (i >= 0) {
        const int indice = cbUsuarios_->itemData(i).toInt();
        if (indice < 0 || static_cast<std::size_t>(indice) >= cliente_.usuarios.lista.size())
          return true;
        usuarioPrincipal_ = cliente_.usuarios.lista[static_cast<std::size_t>(indice)];
        if (pSenha_->isVisible())
          eSenha_->setFocus();
        else
          BuscaChamadosUsuario();
      }
      return true;
    }
    if (escape) {
      cnpj_->setFocus();
      return true;
    }
    return false;
  }
  if (o == eSenha_) {
    if (enter) {
      EntraSenha();
      return true;
    }
    if (escape) {
      cbUsuarios_->setFocus();
      return true;
    }
    return false;
  }
  if (o == listServicos_) {
    if (enter) {
      if (!btReabrir_->isEnabled()) HabilitaBotoes();
      if (auto* item = listServicos_->currentItem(); item && item->isSelected())
        SelecionaServico(listServicos_->indexOfTopLevelItem(item));
      return true;
    }
    if (escape) {
      if (listServicos_->topLevelItemCount() > static_cast<int>(Servicos_.lista.size()))
        BuscaServicos(Servicos_.anterior);
      else
        cbUsuarios_->setFocus();
      return true;
    }
    return false;
  }
  if (o == listChamados_) {
    if (enter) {
      if (!btReabrir_->isEnabled()) HabilitaBotoes();
      btReabrir_->setFocus();
      return true;
    }
    if (escape) {
      cbUsuarios_->setFocus();
      return true;
    }
    return false;
  }
  if (o == btReabrir_ || o == btNovoChamado_ || o == btConectar_) {
    if (escape && o != btConectar_) {
      cbUsuarios_->setFocus();
      return true;
    }
    if (enter) {  // Enter on a focused button presses it
      static_cast<QPushButton*>(o)->click();
      return true;
    }
  }
  return false;
}

void TfmVorantelix::HabilitaBotoes() {
  btReabrir_->setEnabled(true);
  btNovoChamado_->setEnabled(true);
  btConectar_->setEnabled(true);
}

void TfmVorantelix::EntraSenha() {
  const Passo passo(ocupado_);
  bool aceita = true;
  if (cliente_.online) {
    try {
      aceita = web_.ConfereSenha(usuarioPrincipal_.email, eSenha_->text().toStdString());
    } catch (const EVorantelix& e) {
      const QString falha = TextoDaFalha(e);
      ambiente_.dialogos->Erro(this, falha);
      setTextoStatus(falha);
      aceita = false;
    }
  }
  if (aceita) {
    BuscaChamadosUsuario();
    if (portal().GateAddr() == ambiente_.config.enderecoTesteLan || cliente_.bot == 1)
      ambiente_.auxiliares->AbreBot(this);
  } else {
    ONHintBalloon(eSenha_, QStringLiteral("Senha incorreta!"), kMensagem);
    setTextoStatus(QStringLiteral("Senha incorreta!"));
  }
}

void TfmVorantelix::BuscaChamadosUsuario() {
  const Passo passo(ocupado_);
  listChamados_->clear();
  Chamados_ = TListaChamados{};
  QCoreApplication::processEvents();
  if (!cliente_.online) {
    BuscaServicos(0);
    return;
  }
  try {
    Chamados_ = web_.BuscaChamadosUsuario(usuarioPrincipal_.id_user);
    for (const TChamado& c : Chamados_.lista) {
      auto* item = new QTreeWidgetItem(listChamados_);
      item->setText(0, QStringLiteral("%1").arg(c.id, 6, 10, QLatin1Char('0')));
      item->setText(1, Q(c.servico));
      item->setText(2, Q(c.analista));
      item->setText(3, QString::number(c.reabertura));
    }
    if (listChamados_->topLevelItemCount() == 0) {
      BuscaServicos(0);
    } else {
      page2_->setCurrentWidget(tsChamados_);
      listChamados_->setCurrentItem(listChamados_->topLevelItem(0));
      listChamados_->setFocus();
    }
  } catch (const EVorantelix&) {
    BuscaServicos(0);
  }
  BaixaFotoUsuario();
}

void TfmVorantelix::BaixaFotoUsuario() {
  const TServicoSuporte web = web_;
  const int32_t id = usuarioPrincipal_.id_user;
  fundo_.Executa([web, id] { return web.BaixaFotoPerfil(id); },
                 [this, id](const std::string& bytes, bool falhou) {
                   if (id != usuarioPrincipal_.id_user) return;  // another user's, too late
                   QPixmap px;
                   if (falhou || !px.loadFromData(reinterpret_cast<const uchar*>(bytes.data()),
                                                  static_cast<uint>(bytes.size()), "PNG")) {
                     px = QPixmap(225, 225);
                     px.fill(Qt::darkGray);
                   }
                   imgUsuario_->setPixmap(px.scaled(61, 63, Qt::KeepAspectRatio));
                 });
}

void TfmVorantelix::BuscaServicos(int32_t id) {
  const Passo passo(ocupado_);
  listServicos_->clear();
  obs_->clear();
  const bool local = cliente_.implantacao == 1 || !cliente_.online;
  bool mostraLinhas = false;
  if (local) {
    Servicos_ = TListaServicos{{TServico{0, "", "Implantação", 0}}, 0};
    mostraLinhas = true;
  } else {
    CursorEspera espera;
    btConectar_->setEnabled(false);
    setTextoStatus(QStringLiteral("Buscando..."));
    try {
      auto nivel = web_.BuscaServicos(id);
      if (nivel) {
        Servicos_ = std::move(*nivel);
        ID_SERV_ANTERIOR_ = Servicos_.anterior;
        mostraLinhas = true;
        setTextoStatus(QStringLiteral("Selecione um item"));
      } else {
        setTextoStatus(QStringLiteral("Falha na obtenção da lista de serviços!"));
      }
    } catch (const EVorantelix& e) {
      setTextoStatus(TextoDaFalha(e));
    }
  }
  if (mostraLinhas && !Servicos_.lista.empty()) {
    for (const TServico& s : Servicos_.lista) {
      auto* item = new QTreeWidgetItem(listServicos_);
      item->setText(1, Q(s.descricao));
    }
    if (id > 0) (new QTreeWidgetItem(listServicos_))->setText(1, QStringLiteral("<  <  Voltar"));
  }
  page2_->setCurrentWidget(tsServicos_);
  if (listServicos_->topLevelItemCount() > 0)
    listServicos_->setCurrentItem(listServicos_->topLevelItem(0));
  listServicos_->setFocus();
}

void TfmVorantelix::SelecionaServico(int linha) {
  if (linha < 0) return;
  if (linha >= static_cast<int>(Servicos_.lista.size())) {
    BuscaServicos(Servicos_.anterior);
    return;
  }
  const TServico& s = Servicos_.lista[static_cast<std::size_t>(linha)];
  if (s.i > 0) {
    BuscaServicos(s.id);
    return;
  }
  obs_->setPlainText(Q(s.observacao));
  setTextoStatus(QStringLiteral("Serviço: ") + Q(s.descricao) +
                 QStringLiteral(" -> Clique em Abrir Chamado"));
  btConectar_->setEnabled(true);
  btConectar_->setFocus();
}

const TServico* TfmVorantelix::ServicoSelecionado() const {
  auto* item = listServicos_->currentItem();
  if (item == nullptr || !item->isSelected()) return nullptr;
  const int linha = listServicos_->indexOfTopLevelItem(item);
  if (linha < 0 || linha >= static_cast<int>(Servicos_.lista.size())) return nullptr;
  const TServico& s = Servicos_.lista[static_cast<std::size_t>(linha)];
  return s.i > 0 ? nullptr : &s;
}

bool TfmVorantelix::PaginaServicosVisivel() const {
  return page2_->currentWidget() == tsServicos_;
}

bool TfmVorantelix::PaginaChamadosVisivel() const {
  return page2_->currentWidget() == tsChamados_;
}

void TfmVorantelix::AbrirChamadoClicado() {
  if (const TServico* s = ServicoSelecionado()) {
    const bool temAberto = std::any_of(Chamados_.lista.begin(), Chamados_.lista.end(),
                                       [s](const TChamado& c) { return c.id_serv == s->id; });
    if (temAberto) {
      page2_->setCurrentWidget(tsChamados_);
      listChamados_->setFocus();
      ONHintBalloon(listChamados_,
                    QStringLiteral("Por favor selecione o chamado e clique em Reabrir!"),
                    kMensagem);
      return;
    }
  }
  AbreChamado();
}

void TfmVorantelix::AbreChamado() {
  const Passo passo(ocupado_);
  if (ambiente_.auxiliares->BotAberto()) ambiente_.auxiliares->FechaBot();
  if (portal().Active()) {
    Desconecta();
    return;
  }
  // A ticket needs one of the company's users, and a service or a ticket to act on; without
  // them nothing is sent.
  const bool doCliente = std::any_of(
      cliente_.usuarios.lista.begin(), cliente_.usuarios.lista.end(), [this](const TUsuario& u) {
        return u.id_user == usuarioPrincipal_.id_user && u.email == usuarioPrincipal_.email;
      });
  if (!doCliente) {
    setTextoStatus(QStringLiteral("Selecione o usuário e tecle ENTER"));
    return;
  }
  const bool novo = PaginaServicosVisivel();
  const TServico* servico = ServicoSelecionado();
  auto* itemChamado = listChamados_->currentItem();
  const int linhaChamado = itemChamado ? listChamados_->indexOfTopLevelItem(itemChamado) : -1;
  if (cliente_.online) {
    if ((novo && servico == nullptr) ||
        (!novo && (linhaChamado < 0 || linhaChamado >= static_cast<int>(Chamados_.lista.size()) ||
                   !PaginaChamadosVisivel()))) {
      setTextoStatus(QStringLiteral("Selecione um item"));
      return;
    }
  }
  const int32_t idServ = servico ? servico->id : 0;
  const int32_t idChamado =
      (!novo && linhaChamado >= 0 && linhaChamado < static_cast<int>(Chamados_.lista.size()))
          ? Chamados_.lista[static_cast<std::size_t>(linhaChamado)].id
          : 0;

  btConn_->hide();
  btReabrir_->setEnabled(false);
  btConectar_->setEnabled(false);
  btNovoChamado_->setEnabled(false);
  ID_CHAMADO_ATUAL_.clear();
  portal().setLoginUserName(std::to_string(usuarioPrincipal_.id_user) + NOME_COMPUTADOR_);
  try {
    if (cliente_.online && novo) {
      auto ch = web_.AbreNovoChamado(cliente_.id, idServ, IP_COMPUTADOR_, NOME_COMPUTADOR_,
                                     usuarioPrincipal_.id_user, usuarioPrincipal_.nome);
      if (!ch) {
        ambiente_.dialogos->Informa(
            this, kTituloCaixa,
            QStringLiteral("Erro abrindo Chamado, tente novamente, se o problema continuar "
                           "contate a VARNELIKO pelo telefone 19-5550-0199"));
        setTextoStatus(QStringLiteral("Erro abrindo chamado"));
        return;
      }
      chamadoAtual_ = std::move(*ch);
    } else if (cliente_.online) {
      auto ch = web_.ReabreChamado(idChamado);
      if (!ch) {
        ambiente_.dialogos->Informa(
            this, kTituloCaixa,
            QStringLiteral("Erro Reabrindo Chamado, tente novamente, se o problema continuar "
                           "contate a VARNELIKO pelo telefone 19-5550-0199"));
        setTextoStatus(QStringLiteral("Erro reabrindo chamado"));
        return;
      }
      chamadoAtual_ = std::move(*ch);
    } else {
      chamadoAtual_ = TChamado{};
    }
    page2_->setCurrentWidget(semPagina_);
    portal().setActive(true);
    setTextoStatus(QStringLiteral("Conectando... "));
    QCoreApplication::processEvents();
  } catch (const EVorantelix& e) {
    setTextoStatus(TextoDaFalha(e));
  }
}

}  // namespace vtx
