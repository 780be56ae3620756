// The main window's side of the gateway session: its events, the lamps, the analysts present,
// the ticket page's header, files dropped on the window and the analyst's commands.
#include <QApplication>
#include <QDateTime>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <memory>

#include "app/comandos_analista.h"
#include "app/janela_principal.h"
#include "app/lampada.h"
#include "app/mensagens_locais.h"
#include "app/sessao.h"
#include "util/datetime.h"

namespace vtx {

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// The longest path a drop may name (longer ones are logged and skipped).
constexpr std::size_t kMaxCaminho = 1023;
// Milliseconds between the end of a session after an error and its new start.
constexpr int kPausaReinicio = 1500;
// At most this many names are shown beside the lamps.
constexpr std::size_t kMaxNomes = 3;

int32_t Inteiro(const std::string& s) {
  try {
    std::size_t usado = 0;
    const long v = std::stol(s, &usado);
    if (usado != s.size() || v < INT32_MIN || v > INT32_MAX) return 0;
    return static_cast<int32_t>(v);
  } catch (const std::exception&) {
    return 0;
  }
}

// The analyst's commands acting on this window.
class AcoesJanela final : public TAcoesComando {
 public:
  AcoesJanela(TfmVorantelix& j, const TPastas& pastas, TExecutor& executor)
      : j_(j), pastas_(pastas), executor_(executor) {}
  void MudaAnalista(const std::string& c, const std::string& a, const std::string& n) override {
    j_.MudaAnalista(c, a, n);
  }
  void AnalistaOnline(const std::string& c, const std::string& a) override {
    j_.AnalistaOnline(c, a);
  }
  void PedeEncerramento() override {
    QTimer::singleShot(0, &j_, [j = &j_] { j->MensagemDaJanela(MensagemDesconecta); });
  }
  std::string NomeComputador() const override { return j_.NOME_COMPUTADOR(); }
  std::string PastaDados() const override { return pastas_.dados.string() + "/"; }
  std::string PastaEntrada() const override { return pastas_.Inbox().string() + "/"; }
  void Log(const std::string& linha) override { j_.xLog(linha); }
  TExecutor& Executor() override { return executor_; }
  bool ProcessoAtivo(std::string_view nome) const override { return vtx::ProcessoAtivo(nome); }

 private:
  TfmVorantelix& j_;
  const TPastas& pastas_;
  TExecutor& executor_;
};

}  // namespace

void TfmVorantelix::ConectaSessao() {
  TEventosSessao e;
  e.OnLogIn = [this] { SessaoLogIn(); };
  e.OnLogOut = [this] { SessaoLogOut(); };
  e.OnStart = [this] { SessaoInicio(); };
  e.OnError = [this](const std::string& m) { SessaoErro(m); };
  e.OnFatalError = [this](const std::string& m) { SessaoErroFatal(m); };
  e.OnInformationMessage = [this](const std::string& m) { SessaoInformacao(m); };
  e.OnStatusGet = [this](int s) { LampadaRecepcao(s); };
  e.OnStatusPut = [this](int s) { LampadaEnvio(s); };
  e.OnCustomLoginData = [this](TRtcFunctionInfo& f) { PreencheLogin(f); };
  e.UsuarioEntrou = [this](const std::string& u) { UsuarioEntrou(u); };
  e.UsuarioChatSaiu = [this](const std::string& u) { UsuarioChatSaiu(u); };
  e.UsuarioArquivosSaiu = [this](const std::string& u) { UsuarioArquivosSaiu(u); };
  e.VisualizadorDesktop = [this](const std::string& u, bool d) { VisualizadorDesktop(u, d); };
  e.Comando = [this](const std::string& u, const std::string& m) { comandoMessageReceived(u, m); };
  e.MensagemChat = [this](const std::string&, const std::string& m) { ChatRecebido(m); };
  e.AdmiteAnalista = [this](const std::string& u) { return AdmiteAnalista(u); };
  portal().setPastaEntrada(ambiente_.pastas.Inbox());
  portal().setEventos(std::move(e));
}

void TfmVorantelix::SessaoLogIn() {
  setTextoStatus(QStringLiteral("Efetuando login..."));
}

void TfmVorantelix::SessaoInicio() {
  // The start of a session that has already been ended (Desconecta ran before the event came)
  // changes nothing.
  if (!portal().Active()) return;
  encerrado_ = false;
  admissao_.NovaSessao();
  // A start after a log-out that dropped the ticket keeps the ticket number it had.
  if (cliente_.online && chamadoAtual_.id != 0)
    ID_CHAMADO_ATUAL_ = std::to_string(chamadoAtual_.id);
  setTextoStatus(QStringLiteral("Conectado!"));
  page_->setCurrentWidget(tsChamado_);
  btDesconectar_->show();
  BuscaDadosChamado();
}

void TfmVorantelix::SessaoLogOut() {
  // The log-out of a session already replaced by a new one (a restart after an error) comes
  // while the new one is logged in: it changes nothing.
  if (portal().Active()) return;
  Analistas_.clear();
  chamadoAtual_ = TChamado{};
  setAceitaArquivos(false);
  timerTempo_->stop();
  visualizadores_.clear();
  MostraConectados();
  page_->setCurrentWidget(tsConexao_);
  // After Desconecta its own status text stays.
  if (!encerrado_) setTextoStatus(QStringLiteral("Deconectado"));
}

bool TfmVorantelix::AdmiteAnalista(const std::string& user) {
  return admissao_.Admite(user);
}

void TfmVorantelix::SessaoErro(const std::string& msg) {
  // The session ends as after a fatal error, then starts again, with the same login name and
  // ticket, from the main loop after a pause: the gateway's answers to the old session's calls
  // still in flight ("LOGGED OUT") would otherwise end the new one.
  const TChamado chamado = chamadoAtual_;
  SessaoErroFatal(msg);
  QTimer::singleShot(kPausaReinicio, this, [this, chamado] {
    if (portal().Active() || portal().LoginUserName().empty()) return;
    chamadoAtual_ = chamado;
    portal().Reativa();
  });
}

void TfmVorantelix::SessaoErroFatal(const std::string& msg) {
  setTextoStatus(Q(msg));
  portal().Disconnect();
  Desconecta();
}

void TfmVorantelix::SessaoInformacao(const std::string& msg) {
  setTextoStatus(Q(msg));
  QApplication::beep();
}

void TfmVorantelix::LampadaRecepcao(int status) {
  const TCoresLampada c = CoresDaLampada(static_cast<TRtcPHttpConnStatus>(status), true, ReqCnt2_);
  if (c.contorno) sStatus2_->setContorno(*c.contorno);
  sStatus2_->setPreenchimento(c.preenchimento);
}

void TfmVorantelix::LampadaEnvio(int status) {
  const TCoresLampada c = CoresDaLampada(static_cast<TRtcPHttpConnStatus>(status), false, ReqCnt1_);
  if (c.contorno) sStatus1_->setContorno(*c.contorno);
  sStatus1_->setPreenchimento(c.preenchimento);
}

void TfmVorantelix::PreencheLogin(TRtcFunctionInfo& login) {
  PreencheDadosLogin(login, cliente_, usuarioPrincipal_, NOME_COMPUTADOR_, chamadoAtual_,
                     NowLocal());
}

void TfmVorantelix::setAceitaArquivos(bool aceita) {
  aceitaArquivos_ = aceita;
  setAcceptDrops(aceita);
}

void TfmVorantelix::UsuarioEntrou(const std::string& user) {
  xLog("DragAcceptFiles = true");
  setAceitaArquivos(true);
  AdicionaAnalista(Analistas_, user);
  AtualizaAguarde();
}

void TfmVorantelix::UsuarioChatSaiu(const std::string& user) {
  RemoveAnalista(Analistas_, user);
  AtualizaAguarde();
}

void TfmVorantelix::UsuarioArquivosSaiu(const std::string& user) {
  xLog("DragAcceptFiles = false");
  setAceitaArquivos(false);
  AdicionaAnalista(Analistas_, user);
  AtualizaAguarde();
}

void TfmVorantelix::VisualizadorDesktop(const std::string& user, bool entrou) {
  if (entrou)
    AdicionaAnalista(visualizadores_, user);
  else
    RemoveAnalista(visualizadores_, user);
  MostraConectados();
}

void TfmVorantelix::MostraConectados() {
  QStringList nomes;
  for (std::size_t i = 0; i < visualizadores_.size() && i < kMaxNomes; ++i)
    nomes << Q(visualizadores_[i]).left(40);
  if (visualizadores_.size() > kMaxNomes)
    nomes << QStringLiteral("+%1").arg(visualizadores_.size() - kMaxNomes);
  const QString texto = nomes.join(QStringLiteral(", "));
  lConectado_->setText(texto);
  lConectado_->setToolTip(texto);
  lConectado_->setVisible(!texto.isEmpty());
}

void TfmVorantelix::comandoMessageReceived(const std::string& /*user*/, const std::string& msg) {
  AcoesJanela acoes(*this, ambiente_.pastas, *ambiente_.executor);
  ExecutaComando(InterpretaComando(msg), acoes);
}

void TfmVorantelix::AtualizaAguarde() {
  const bool vazio = Analistas_.empty();
  lAguarde_->setVisible(vazio);
  edtMsg_->setVisible(!vazio);
}

void TfmVorantelix::BuscaDadosChamado() {
  AtualizaAguarde();
  AtualizaTempo();
  LimpaChat();
  MostraBoasVindas();
  edtMsg_->setEnabled(true);
  lChamado_->clear();
  lAnalista_->clear();
  lServico_->clear();
  lAnalistOffline_->hide();
  if (cliente_.online) {
    char numero[16];
    std::snprintf(numero, sizeof numero, "%06d", chamadoAtual_.id);
    lChamado_->setText(Q(std::string(numero) + " " + chamadoAtual_.data));
    lAnalista_->setText(Q(chamadoAtual_.analista));
    lServico_->setText(Q(chamadoAtual_.servico));
    if (chamadoAtual_.id_analista <= 0) {
      edtMsg_->setEnabled(false);
      lAnalista_->setText(QStringLiteral("(Nenhum Disponível)"));
      imgAnalista_->hide();
    } else {
      BaixaFotoAnalista(true);
    }
    // The history, read in the background and drawn in order on this thread.
    auto historico = std::make_shared<TListaChats>();
    const TServicoSuporte web = web_;
    const int32_t id = chamadoAtual_.id;
    fundo_.Executa(
        [web, id, historico] {
          *historico = web.BuscaChat(id);
          return std::string();
        },
        [this, historico](const std::string&, bool falhou) {
          if (falhou) {
            setTextoStatus(
                QStringLiteral("Erro atualizando imagem: não foi possível ler o "
                               "histórico do chamado."));
            return;
          }
          conteudoChat_->hide();
          for (const TChat& c : historico->lista)
            AdicionaMensagem(c.data, std::to_string(c.id), c.msg, c.nome);
          conteudoChat_->show();
        });
  }
  setAceitaArquivos(true);
  timerTempo_->start();
  if (edtMsg_->isVisible() && edtMsg_->isEnabled()) edtMsg_->setFocus();
}

void TfmVorantelix::MudaAnalista(const std::string& chamado, const std::string& analista,
                                 const std::string& nome) {
  const int32_t id = Inteiro(analista);
  if (Inteiro(chamado) != chamadoAtual_.id || id <= 0) return;
  chamadoAtual_.id_analista = id;
  chamadoAtual_.analista = nome;
  lAnalista_->setText(Q(nome));
  Analistas_.push_back(analista);
  const QString agora =
      QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yyyy hh:mm:ss"));
  const std::string linha(60, '-');
  for (const std::string& m : {linha, "O analista " + nome + " assumiu o chamado", linha})
    AdicionaMensagem(agora.toStdString(), analista, m, nome);
  BaixaFotoAnalista(false);
}

void TfmVorantelix::AnalistaOnline(const std::string& chamado, const std::string& analista) {
  if (Inteiro(chamado) == chamadoAtual_.id && Inteiro(analista) == chamadoAtual_.id_analista)
    lAnalistOffline_->hide();
}

void TfmVorantelix::EnviaArquivosSoltos(const std::vector<std::string>& caminhos) {
  xLog("Iniciando transferência de arquivo: ");
  if (!portal().Active()) {
    QApplication::beep();
    return;
  }
  const std::string user = portal().LastMouseUser();
  if (user.empty()) {
    xLog("Usuário vazio ");
    return;
  }
  xLog("Arquivos para transferência: " + std::to_string(caminhos.size()));
  for (const std::string& caminho : caminhos) {
    try {
      if (caminho.size() > kMaxCaminho)
        throw std::runtime_error("caminho com mais de " + std::to_string(kMaxCaminho) +
                                 " caracteres");
      portal().EnviaArquivo(user, caminho);
    } catch (const std::exception& e) {
      xLog(std::string("Falha na transferência de arquivo: ") + e.what());
      return;
    }
  }
}

void TfmVorantelix::dragEnterEvent(QDragEnterEvent* e) {
  if (aceitaArquivos_ && e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void TfmVorantelix::dropEvent(QDropEvent* e) {
  if (!aceitaArquivos_) return;
  std::vector<std::string> caminhos;
  for (const QUrl& url : e->mimeData()->urls())
    if (url.isLocalFile()) caminhos.push_back(url.toLocalFile().toStdString());
  e->acceptProposedAction();
  EnviaArquivosSoltos(caminhos);
}

}  // namespace vtx
