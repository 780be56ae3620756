// The program's portal client: the HTTP portal client and its modules (file transfer, chat,
// custom command, desktop host and viewer, the chat and file adapters) with the settings the
// program runs them with, behind the window's narrow interface.
#pragma once

#include <memory>
#include <string>

#include "app/portal_cliente.h"
#include "app/web/config.h"
#include "desktop/host/desktop_control.h"
#include "desktop/host/desktop_host.h"
#include "filetransfer/file_transfer.h"
#include "filetransfer/file_transfer_ui.h"
#include "portal/custom_command.h"
#include "portal/http_portal_client.h"
#include "portal/portal_chat.h"
#include "portal/portal_chat_ui.h"

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
  void setEventos(TEventosSessao eventos) override;
  void Disconnect() override { cliente_->Disconnect(); }
  void Reativa() override;
  std::string LastMouseUser() const override { return desktopHost_->LastMouseUser(); }
  void EnviaArquivo(const std::string& user, const std::string& caminho) override;
  bool EnviaChat(const std::string& linha) override;
  bool ChatAberto() const override;
  void setPastaEntrada(const std::filesystem::path& pasta) override;

  TRtcHttpPortalClient& PClient() { return *cliente_; }
  // The desktop host attached to the client (settings on the gateway; the window wires its
  // viewer events and the file transfer module).
  TRtcPDesktopHost& PDesktopHost() { return *desktopHost_; }
  TRtcPFileTransfer& PFileTrans() { return *arquivos_; }
  TRtcPChat& PChat() { return *chat_; }
  TRtcPCustomCommand& comando() { return *comando_; }

 private:
  std::unique_ptr<TRtcHttpPortalClient> cliente_;
  std::unique_ptr<DesktopPlatform> desktop_;
  std::unique_ptr<DesktopSessionHelpers> sessao_;
  std::unique_ptr<TRtcPDesktopHost> desktopHost_;
  std::unique_ptr<TRtcPFileTransfer> arquivos_;
  std::unique_ptr<TRtcPChat> chat_;
  std::unique_ptr<TRtcPCustomCommand> comando_;
  std::unique_ptr<TRtcPChatUI> uiChat_;
  std::unique_ptr<TRtcPFileTransferUI> uiArquivos_;
  std::unique_ptr<TRtcPDesktopControl> desktopControl_;  // attached, with no handlers
  std::filesystem::path pastaEntrada_;
  TEventosSessao eventos_;
};

}  // namespace vtx
