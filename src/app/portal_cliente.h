// What the main window needs of the portal client: the login name, the gateway address and
// port, and the active switch. The real client plugs in behind this interface.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vtx {

class TRtcFunctionInfo;

// What the session reports to the window, each on the main thread. Status values are those of
// TRtcPHttpConnStatus.
struct TEventosSessao {
  std::function<void()> OnLogIn, OnLogOut, OnStart;
  std::function<void(const std::string&msg)> OnError, OnFatalError, OnInformationMessage;
  std::function<void(int status)> OnStatusGet, OnStatusPut;
  std::function<void(TRtcFunctionInfo& login)> OnCustomLoginData;
  // The chat, file transfer and desktop host modules' joins, and the desktop host's leaves.
  std::function<void(const std::string& user)> UsuarioEntrou;
  std::function<void(const std::string&user)> UsuarioChatSaiu, UsuarioArquivosSaiu;
  // A viewer entered or left the desktop.
  std::function<void(const std::string& user, bool entrou)> VisualizadorDesktop;
  std::function<void(const std::string& user, const std::string& msg)> Comando;
  std::function<void(const std::string& user, const std::string& msg)> MensagemChat;
  // Whether the analyst may enter the desktop, the files or the chat (unset: yes).
  std::function<bool(const std::string& user)> AdmiteAnalista;
};

class TPortalCliente {
 public:
  virtual ~TPortalCliente() = default;
  // The session's modules and events; a client without modules ignores them.
  virtual void setEventos(TEventosSessao /*eventos*/) {}
  virtual void Disconnect() {}
  // Active again after Disconnect: the connections are opened again first.
  virtual void Reativa() { setActive(true); }
  // The viewer who last pressed or released a mouse button, or empty.
  virtual std::string LastMouseUser() const { return {}; }
  // Sends a file to `user`; throws on failure.
  virtual void EnviaArquivo(const std::string& /*user*/, const std::string& /*caminho*/) {}
  // Sends a live chat line; false when no analyst has opened the chat.
  virtual bool EnviaChat(const std::string& /*linha*/) { return false; }
  virtual bool ChatAberto() const { return false; }
  // The folder received files land in.
  virtual void setPastaEntrada(const std::filesystem::path& /*pasta*/) {}
  virtual std::string LoginUserName() const = 0;
  virtual void setLoginUserName(const std::string& nome) = 0;
  virtual std::string GateAddr() const = 0;
  virtual void setGateAddr(const std::string& endereco) = 0;
  virtual std::string GatePort() const = 0;
  virtual void setGatePort(const std::string& porta) = 0;
  virtual bool Active() const = 0;
  // true: log in and start the session; false: log out.
  virtual void setActive(bool ativo) = 0;
  virtual void Stop() = 0;
};

// Stores the settings and records each call ("Active=1", "Stop", ...); connects to nothing.
class TPortalClienteRegistro : public TPortalCliente {
 public:
  TPortalClienteRegistro(std::string endereco, std::string porta)
      : gateAddr_(std::move(endereco)), gatePort_(std::move(porta)) {}
  std::string LoginUserName() const override { return loginUserName_; }
  void setLoginUserName(const std::string& nome) override;
  std::string GateAddr() const override { return gateAddr_; }
  void setGateAddr(const std::string& endereco) override;
  std::string GatePort() const override { return gatePort_; }
  void setGatePort(const std::string& porta) override;
  bool Active() const override { return active_; }
  void setActive(bool ativo) override;
  void Stop() override { chamadas_.push_back("Stop"); }

  const std::vector<std::string>& chamadas() const { return chamadas_; }

 private:
  std::string loginUserName_, gateAddr_, gatePort_;
  bool active_ = false;
  std::vector<std::string> chamadas_;
};

}  // namespace vtx
