#include "app/portal_cliente.h"

namespace vtx {

void TPortalClienteRegistro::setLoginUserName(const std::string& nome) {
  loginUserName_ = nome;
  chamadas_.push_back("LoginUserName=" + nome);
}

void TPortalClienteRegistro::setGateAddr(const std::string& endereco) {
  gateAddr_ = endereco;
  chamadas_.push_back("GateAddr=" + endereco);
}

void TPortalClienteRegistro::setGatePort(const std::string& porta) {
  gatePort_ = porta;
  chamadas_.push_back("GatePort=" + porta);
}

void TPortalClienteRegistro::setActive(bool ativo) {
  active_ = ativo;
  chamadas_.push_back(ativo ? "Active=1" : "Active=0");
}

}  // namespace vtx
