// TfmVorantelix: the program's main window, its start-up state, title bar, notification-area
// icon, server menu, and the company identification and ticket opening on its connection page.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QSystemTrayIcon>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/admissao.h"
#include "app/dialogos.h"
#include "app/ferramentas.h"
#include "app/ini.h"
#include "app/links.h"
#include "app/pastas.h"
#include "app/portal_cliente.h"
#include "app/tarefa_fundo.h"
#include "app/web/classes.h"
#include "app/web/config.h"
#include "app/web/erros.h"
#include "app/web/servico_suporte.h"

class QComboBox;
class QScrollArea;
class QTimer;
class QDragEnterEvent;
class QDropEvent;
class QKeyEvent;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QStatusBar;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class QMenu;

namespace vtx {

class TLampada;
class TRtcFunctionInfo;

// The windows that come with other features (bot, rating). Defaults do nothing.
class TJanelasAuxiliares {
 public:
  virtual ~TJanelasAuxiliares() = default;
  virtual void AbreBot(QWidget* /*pai*/) {}
  virtual bool BotAberto() const { return false; }
  virtual void FechaBot() {}
  virtual void MostraAvaliacao(QWidget* /*pai*/, const std::string& /*idChamado*/) {}
};

// What the window is built with.
struct TAmbiente {
  TConfiguracao config;
  TPastas pastas;
  std::vector<std::string> argumentos;  // command-line arguments after the program's name
  std::unique_ptr<TPortalCliente> portal;
  std::unique_ptr<TDialogos> dialogos;
  std::unique_ptr<TAbreLinks> links;  // default: the desktop's handler
  // Seed of the advertisement's choice; none: seeded once per program run.
  std::optional<uint32_t> sementeAnuncio;
  // Default: the program's own bot and rating windows.
  std::unique_ptr<TJanelasAuxiliares> auxiliares;
  // Starts the desktop tools the analyst's commands ask for; default: the system's.
  std::unique_ptr<TExecutor> executor;
};

class TfmServico;

class TfmVorantelix : public QMainWindow {
 public:
  explicit TfmVorantelix(TAmbiente ambiente);
  ~TfmVorantelix() override;

  // Operations other features call.
  void xLog(const std::string& texto);
  void ONHintBalloon(QWidget* sender, const QString& sHint, const QString& sTitle);
  void TaskBarAddIcon();
  void TaskBarRemoveIcon();
  void Desconecta();
  // The minimise button "_" and message 2024.
  void MinimizaParaBandeja();
  // A click on the notification-area icon.
  void IconeAtivado(QSystemTrayIcon::ActivationReason motivo);
  // Window messages from other programs: 2024 minimises, 1924 ends the session.
  void MensagemDaJanela(int mensagem);

  // The gateway session's events.
  void SessaoLogIn();
  void SessaoInicio();
  void SessaoLogOut();
  void SessaoErro(const std::string& msg);
  void SessaoErroFatal(const std::string& msg);
  void SessaoInformacao(const std::string& msg);
  void LampadaRecepcao(int status);
  void LampadaEnvio(int status);
  void PreencheLogin(TRtcFunctionInfo& login);
  void UsuarioEntrou(const std::string& user);
  void UsuarioChatSaiu(const std::string& user);
  void UsuarioArquivosSaiu(const std::string& user);
  void VisualizadorDesktop(const std::string& user, bool entrou);
  // Whether the analyst may enter the desktop, files or chat: asks the customer once per analyst
  // per session when the configuration says so.
  bool AdmiteAnalista(const std::string& user);
  void comandoMessageReceived(const std::string& user, const std::string& msg);
  // Files dropped on the window go to the analyst who last used the mouse.
  void EnviaArquivosSoltos(const std::vector<std::string>& caminhos);
  // The ticket page: its header, and the waiting label or the message box.
  void BuscaDadosChamado();
  void AtualizaAguarde();
  void MudaAnalista(const std::string& chamado, const std::string& analista,
                    const std::string& nome);
  void AnalistaOnline(const std::string& chamado, const std::string& analista);
  const std::vector<std::string>& Analistas() const { return Analistas_; }
  // The ticket conversation.
  void AdicionaMensagem(const std::string& data, const std::string& idAutor, const std::string& msg,
                        const std::string& nome);
  void EnviaMensagem();
  void ChatRecebido(const std::string& linha);
  void AtualizaTempo();
  // The texts of the chat panel's labels, top to bottom.
  QStringList LinhasDoChat() const;
  bool AceitaArquivos() const { return aceitaArquivos_; }

  // Company identification and ticket opening.
  void BuscaCliente();
  void BuscaChamadosUsuario();
  void BuscaServicos(int32_t id);
  void SelecionaServico(int linha);
  void AbreChamado();
  // A click on "Serviço:" or its value: the service change window over this one.
  TfmServico* AbreAlteraServico();
  // The open ticket now belongs to servico.
  void ServicoAlterado(const TServico& servico);

  // The status bar's one panel.
  QString TextoStatus() const;
  void setTextoStatus(const QString& texto);
  // The last balloon hint shown, for observers.
  QString UltimoBalao() const { return ultimoBalao_; }
  bool TaskBarIcon() const { return TaskBarIcon_; }

  TPortalCliente& portal() { return *ambiente_.portal; }
  const TServicoSuporte& web() const { return web_; }
  TDialogos& dialogos() { return *ambiente_.dialogos; }
  TAbreLinks& links() { return *ambiente_.links; }
  TJanelasAuxiliares& auxiliares() { return *ambiente_.auxiliares; }
  const TCliente& cliente() const { return cliente_; }
  const TUsuario& usuarioPrincipal() const { return usuarioPrincipal_; }
  const TChamado& chamadoAtual() const { return chamadoAtual_; }
  const std::string& NOME_COMPUTADOR() const { return NOME_COMPUTADOR_; }
  const std::string& IP_COMPUTADOR() const { return IP_COMPUTADOR_; }
  const std::string& ID_CHAMADO_ATUAL() const { return ID_CHAMADO_ATUAL_; }
  const TAnuncio& Anuncio() const { return Anuncio_; }

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* objeto, QEvent* evento) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dropEvent(QDropEvent* e) override;

 private:
  void MontaTitulo(QWidget* titulo);
  void MontaConexao(QWidget* pagina);
  void MontaServicos(QWidget* pagina);
  void MontaChamados(QWidget* pagina);
  void MontaChamado(QWidget* pagina);
  void CarregaAnuncio();
  void FormShow();
  void MenuServidor();
  void DefineServidor(const std::string& endereco);
  bool TeclaConexao(QObject* objeto, int tecla);
  void AplicaCliente(TCliente c, bool online);
  void AplicaGatewayDoCliente();
  void ConectaSessao();
  void MostraConectados();
  void setAceitaArquivos(bool aceita);
  void MostraBoasVindas();
  // The analyst's picture, and with `confereOnline` the "ANALISTA OFFLINE" notice, in the
  // background.
  void BaixaFotoAnalista(bool confereOnline);
  // The message box's keys: Enter sends, Ctrl+V pastes the clipboard's text, at most 500
  // characters typed. True when the key was taken.
  bool TeclaMensagem(QKeyEvent* tecla, int tipo);
  void LimpaChat();
  QLabel* RotuloChat(const QString& texto, const QFont& fonte, const QColor& cor,
                     Qt::Alignment alinhamento);
  // Forgets the company on show, and with it its users, tickets and catalogue.
  void LimpaEmpresa();
  // Forgets the chosen user's tickets, catalogue and password.
  void LimpaUsuario();
  // The text a failed request shows; its technical detail goes to the log.
  QString TextoDaFalha(const EVorantelix& e);
  void BaixaFotoUsuario();
  void EntraSenha();
  void HabilitaBotoes();
  void AbrirChamadoClicado();
  // The entry of the selected service row, or null.
  const TServico* ServicoSelecionado() const;
  bool PaginaServicosVisivel() const;
  bool PaginaChamadosVisivel() const;

  TAmbiente ambiente_;
  TServicoSuporte web_;
  TArquivoIni ini_;
  TCaixaResultados fundo_{this};
  TAdmissaoAnalistas admissao_;

  // Window state.
  bool LMouseD_ = false;
  int LMouseX_ = 0, LMouseY_ = 0;
  std::string IP_COMPUTADOR_, NOME_COMPUTADOR_;
  int32_t ID_SERV_ANTERIOR_ = 0;
  bool TaskBarIcon_ = false;
  TListaChamados Chamados_;
  TListaServicos Servicos_;
  std::vector<std::string> Analistas_;
  TAnuncio Anuncio_;
  TListAnuncios Anuncios_;
  bool temAnuncio_ = false;
  TCliente cliente_;
  TUsuario usuarioPrincipal_;
  TChamado chamadoAtual_;
  std::string ID_CHAMADO_ATUAL_;
  QString ultimoBalao_;
  bool mostrado_ = false;
  bool desconectando_ = false;               // Desconecta is running
  bool ocupado_ = false;                     // a step of the connection page is running
  bool aceitaArquivos_ = false;              // files dropped on the window are sent
  bool encerrado_ = false;                   // Desconecta ended the session; no new start since
  int ReqCnt1_ = 0, ReqCnt2_ = 0;            // the lamps' outline pulse
  std::vector<std::string> visualizadores_;  // analysts viewing or controlling the desktop

  // Controls (owned by their Qt parents).
  QWidget* pTitulo_ = nullptr;
  QLabel* lTitulo_ = nullptr;
  QPushButton* btConn_ = nullptr;
  QPushButton* btMinimiza_ = nullptr;
  QPushButton* btFecha_ = nullptr;
  TLampada* sStatus1_ = nullptr;
  TLampada* sStatus2_ = nullptr;
  QStackedWidget* page_ = nullptr;
  QWidget* tsConexao_ = nullptr;
  QWidget* tsChamado_ = nullptr;
  QStatusBar* st_ = nullptr;
  QLabel* stPainel_ = nullptr;
  QPushButton* btDesconectar_ = nullptr;
  QLabel* imgAnuncio_ = nullptr;
  QLineEdit* cnpj_ = nullptr;
  QLineEdit* idcli_ = nullptr;
  QLineEdit* razao_ = nullptr;
  QLineEdit* cidade_ = nullptr;
  QLineEdit* segmento_ = nullptr;
  QComboBox* cbUsuarios_ = nullptr;
  QWidget* pSenha_ = nullptr;
  QLineEdit* eSenha_ = nullptr;
  QStackedWidget* page2_ = nullptr;
  QWidget* tsServicos_ = nullptr;
  QWidget* tsChamados_ = nullptr;
  QWidget* semPagina_ = nullptr;
  QTreeWidget* listServicos_ = nullptr;
  QPlainTextEdit* obs_ = nullptr;
  QPushButton* btConectar_ = nullptr;
  QTreeWidget* listChamados_ = nullptr;
  QPushButton* btReabrir_ = nullptr;
  QPushButton* btNovoChamado_ = nullptr;
  QLabel* lChamado_ = nullptr;
  QLabel* lServico_ = nullptr;
  QLabel* lServicoTitulo_ = nullptr;
  QLabel* Ltempo_ = nullptr;
  QLabel* lAnalista_ = nullptr;
  QLabel* imgUsuario_ = nullptr;
  QLabel* imgAnalista_ = nullptr;
  QLabel* lConectado_ = nullptr;  // who views the desktop, beside the lamps
  QLabel* lAguarde_ = nullptr;
  QLabel* lAnalistOffline_ = nullptr;
  QPlainTextEdit* edtMsg_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QWidget* conteudoChat_ = nullptr;
  QTimer* timerTempo_ = nullptr;
  int chat_iTop_ = 0;
  int scrW_ = 0;
  int32_t chat_id_user_ = -1;
  QMenu* pop_ = nullptr;
  QSystemTrayIcon* icone_ = nullptr;
};

}  // namespace vtx
