#include "app/portal_cliente_http.h"

#include "app/avisos_remotos.h"
#include "platform/x11/x11_desktop.h"
#include "platform/x11/x11_session_helpers.h"

namespace vtx {

TPortalClienteHttp::TPortalClienteHttp(const TConfiguracao& config, const SystemInfo* sistema)
    : cliente_(std::make_unique<TRtcHttpPortalClient>(sistema)) {
  TRtcHttpPortalClient& c = *cliente_;
  c.setUserVisible(true);
  c.setGwStoreParams(true);
  c.setAutoSyncEvents(true);
  c.setDataCompress(TrtcpCompressLevel::rtcpCompMax);
  c.setDataEncrypt(16);
  c.setDataForceEncrypt(true);
  c.setRetryOtherCalls(10);
  c.setMultiThreaded(true);
  c.setGatePort(config.portaGateway);
  c.setGateAddr(config.gatewayPadrao);
  c.setDataSecureKey(config.chaveDados);
  c.setLoginPassword(config.senhaLogin);
  if (config.gatewayTls == "1") {  // the certificate is checked against this CA or the system's
    c.setGate_SSL(true);
    const std::string& ca =
        config.arquivoCAGateway.empty() ? config.arquivoCA : config.arquivoCAGateway;
    if (!ca.empty()) c.setGate_SSLCAFile(ca);
  }
  desktop_ = OpenX11Desktop();
  sessao_ = OpenX11SessionHelpers({}, std::make_unique<TAvisosRemotosQt>());
  arquivos_ = std::make_unique<TRtcPFileTransfer>();
  arquivos_->setBeTheHost(true);
  arquivos_->setGwStoreParams(true);
  for (int k = 0; k < TRtcPFileTransfer::capCount; ++k) {
    arquivos_->setGAllow(static_cast<TRtcPFileTransfer::Capability>(k), true);
    arquivos_->setGAllow_Super(static_cast<TRtcPFileTransfer::Capability>(k), true);
  }
  chat_ = std::make_unique<TRtcPChat>();
  chat_->setBeTheHost(true);
  chat_->setGwStoreParams(true);
  comando_ = std::make_unique<TRtcPCustomCommand>();
  uiChat_ = std::make_unique<TRtcPChatUI>();
  uiArquivos_ = std::make_unique<TRtcPFileTransferUI>();
  desktopHost_ = std::make_unique<TRtcPDesktopHost>(*desktop_, sessao_.get());
  desktopHost_->setGwStoreParams(true);
  desktopHost_->setFileTransfer(arquivos_.get());
  desktopControl_ = std::make_unique<TRtcPDesktopControl>();

  // Every handler reads eventos_ when it runs, so setEventos may come later.
  c.OnLogIn = [this](TAbsPortalClient&) {
    if (eventos_.OnLogIn) eventos_.OnLogIn();
  };
  c.OnLogOut = [this](TAbsPortalClient&) {
    if (eventos_.OnLogOut) eventos_.OnLogOut();
  };
  c.OnStart = [this](TAbsPortalClient&, TRtcValue&) {
    if (eventos_.OnStart) eventos_.OnStart();
  };
  c.OnError = [this](TAbsPortalClient&, const std::string& msg) {
    if (eventos_.OnError) eventos_.OnError(msg);
  };
  c.OnFatalError = [this](TAbsPortalClient&, const std::string& msg) {
    if (eventos_.OnFatalError) eventos_.OnFatalError(msg);
  };
  c.OnInformationMessage = [this](TAbsPortalClient&, const std::string& msg) {
    if (eventos_.OnInformationMessage) eventos_.OnInformationMessage(msg);
  };
  c.OnStatusGet = [this](TAbsPortalClient&, TRtcPHttpConnStatus s) {
    if (eventos_.OnStatusGet) eventos_.OnStatusGet(static_cast<int>(s));
  };
  c.OnStatusPut = [this](TAbsPortalClient&, TRtcPHttpConnStatus s) {
    if (eventos_.OnStatusPut) eventos_.OnStatusPut(static_cast<int>(s));
  };
  c.OnCustomLoginData = [this](TRtcConnection&, TRtcValue& dados) {
    if (eventos_.OnCustomLoginData && dados.isType() == rtc_Function)
      eventos_.OnCustomLoginData(*dados.asFunction());
  };
  const auto entrou = [this](TRtcPModule&, const std::string& user) {
    if (eventos_.UsuarioEntrou) eventos_.UsuarioEntrou(user);
  };
  chat_->OnNewUI = [this](TRtcPChat& m, const std::string& user) {
    uiChat_->setUserName(user);
    uiChat_->setModule(&m);
  };
  chat_->setOnUserJoined(entrou);
  chat_->setOnUserLeft([this](TRtcPModule&, const std::string& user) {
    if (eventos_.UsuarioChatSaiu) eventos_.UsuarioChatSaiu(user);
  });
  uiChat_->OnMessage = [this](TRtcPChatUI& ui) {
    if (eventos_.MensagemChat) eventos_.MensagemChat(ui.Recv_User(), ui.Recv_Message());
  };
  arquivos_->OnNewUI = [this](TRtcPFileTransfer& m, const std::string& user) {
    std::error_code ec;
    if (!pastaEntrada_.empty()) std::filesystem::create_directories(pastaEntrada_, ec);
    uiArquivos_->setUserName(user);
    uiArquivos_->setModule(&m);
    if (!pastaEntrada_.empty()) m.setFileInboxPath(pastaEntrada_.string());
  };
  arquivos_->setOnUserJoined(entrou);
  arquivos_->setOnUserLeft([this](TRtcPModule&, const std::string& user) {
    if (eventos_.UsuarioArquivosSaiu) eventos_.UsuarioArquivosSaiu(user);
  });
  // The desktop host's leave counts as a join as well; the viewers are told apart for the
  // names shown beside the lamps.
  desktopHost_->setOnUserJoined([this](TRtcPModule&, const std::string& user) {
    if (eventos_.UsuarioEntrou) eventos_.UsuarioEntrou(user);
    if (eventos_.VisualizadorDesktop) eventos_.VisualizadorDesktop(user, true);
  });
  desktopHost_->setOnUserLeft([this](TRtcPModule&, const std::string& user) {
    if (eventos_.UsuarioEntrou) eventos_.UsuarioEntrou(user);
    if (eventos_.VisualizadorDesktop) eventos_.VisualizadorDesktop(user, false);
  });
  // The customer's consent, asked by the window, for each module an analyst enters.
  const auto admite = [this](TRtcPModule&, const std::string& user, bool& permite) {
    if (permite && eventos_.AdmiteAnalista) permite = eventos_.AdmiteAnalista(user);
  };
  desktopHost_->setOnQueryAccess(admite);
  arquivos_->setOnQueryAccess(admite);
  chat_->setOnQueryAccess(admite);
  comando_->OnMessageReceived = [this](TRtcPCustomCommand&, const std::string& user,
                                       const std::string& msg) {
    if (eventos_.Comando) eventos_.Comando(user, msg);
  };

  arquivos_->setClient(&c);
  chat_->setClient(&c);
  desktopHost_->setClient(&c);
  comando_->setClient(&c);
  desktopControl_->setClient(&c);
}

TPortalClienteHttp::~TPortalClienteHttp() {
  // The session ends with the window: log out while the connections still exist.
  if (cliente_->Active()) cliente_->setActive(false);
  cliente_->Stop();
  eventos_ = {};
  desktopControl_->setClient(nullptr);
  comando_->setClient(nullptr);
  desktopHost_->setClient(nullptr);
  chat_->setClient(nullptr);
  arquivos_->setClient(nullptr);
}

void TPortalClienteHttp::setEventos(TEventosSessao eventos) {
  eventos_ = std::move(eventos);
}

void TPortalClienteHttp::Reativa() {
  // Disconnect's work on the connections may still be queued; opening them again goes after it
  // in the same queues, so the new login is not dropped with the old session's requests.
  cliente_->setConnected(true);
  cliente_->setActive(true);
}

void TPortalClienteHttp::EnviaArquivo(const std::string& user, const std::string& caminho) {
  arquivos_->Send(user, caminho);
}

bool TPortalClienteHttp::EnviaChat(const std::string& linha) {
  if (!uiChat_->Module()) return false;
  uiChat_->Send(linha + "\r");  // the carriage return completes the line at the other end
  return true;
}

bool TPortalClienteHttp::ChatAberto() const {
  return uiChat_->Module() != nullptr;
}

void TPortalClienteHttp::setPastaEntrada(const std::filesystem::path& pasta) {
  std::string p = pasta.string();
  while (p.size() > 1 && p.back() == '/') p.pop_back();  // without a trailing separator
  pastaEntrada_ = p;
}

}  // namespace vtx
