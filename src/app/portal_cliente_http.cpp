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
  desktopHost_ = std::make_unique<TRtcPDesktopHost>(*desktop_, sessao_.get());
  desktopHost_->setGwStoreParams(true);
  desktopHost_->setClient(&c);
}

TPortalClienteHttp::~TPortalClienteHttp() {
  // The session ends with the window: log out while the connections still exist.
  if (cliente_->Active()) cliente_->setActive(false);
  cliente_->Stop();
  desktopHost_->setClient(nullptr);
}

}  // namespace vtx
