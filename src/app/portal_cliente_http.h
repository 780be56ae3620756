// The program's portal client: the HTTP portal client with the settings the program runs it
// with, behind the window's narrow interface.
#pragma once

#include <memory>
#include <string>

#include "app/portal_cliente.h"
#include "app/web/config.h"
#include "desktop/host/desktop_host.h"
#include "portal/http_portal_client.h"

namespace vtx {

class DesktopPlatform;
class DesktopSessionHelpers;
class SystemInfo;

class TPortalClienteHttp final : public TPortalCliente {
 public:
  // `sistema` (observed) answers the login's user, computer and address; the platform's when
  // null. Events are synchronised to the main loop, so one must be installed before Active.
  explicit TPortalClienteHttp(const TConfiguracao& config, const SystemInfo* sistema = nullptr);
  ~TPortalClienteHttp() override;

  std::string LoginUserName() const override { return cliente_->LoginUserName(); }
  void setLoginUserName(const std::string& nome) override { cliente_->setLoginUserName(nome); }
  std::string GateAddr() const override { return cliente_->GateAddr(); }
  void setGateAddr(const std::string& endereco) override { cliente_->setGateAddr(endereco); }
  std::string GatePort() const override { return cliente_->GatePort(); }
  void setGatePort(const std::string& porta) override { cliente_->setGatePort(porta); }
  bool Active() const override { return cliente_->Active(); }
  void setActive(bool ativo) override { cliente_->setActive(ativo); }
  void Stop() override { cliente_->Stop(); }

  TRtcHttpPortalClient& PClient() { return *cliente_; }
  // The desktop host attached to the client (settings on the gateway; the window wires its
  // viewer events and the file transfer module).
  TRtcPDesktopHost& PDesktopHost() { return *desktopHost_; }

 private:
  std::unique_ptr<TRtcHttpPortalClient> cliente_;
  std::unique_ptr<DesktopPlatform> desktop_;
  std::unique_ptr<DesktopSessionHelpers> sessao_;
  std::unique_ptr<TRtcPDesktopHost> desktopHost_;
};

}  // namespace vtx
