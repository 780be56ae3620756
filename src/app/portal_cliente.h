// What the main window needs of the portal client: the login name, the gateway address and
// port, and the active switch. The real client plugs in behind this interface.
#pragma once

#include <string>
#include <vector>

namespace vtx {

class TPortalCliente {
 public:
  virtual ~TPortalCliente() = default;
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
