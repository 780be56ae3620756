#include "app/janelas_auxiliares.h"

#include "app/janela_avaliacao.h"

namespace vtx {

TJanelasVorantelix::~TJanelasVorantelix() = default;

void TJanelasVorantelix::AbreBot(QWidget* pai) {
  auto* janela = dynamic_cast<TfmVorantelix*>(pai);
  if (janela == nullptr) return;
  bot_.reset();
  bot_ = std::make_unique<TfmVorantelixBot>(janela->web(), janela->cliente(),
                                            janela->usuarioPrincipal(), janela->dialogos(),
                                            janela->links());
  bot_->show();
}

bool TJanelasVorantelix::BotAberto() const {
  return bot_ && bot_->isVisible();
}

void TJanelasVorantelix::FechaBot() {
  if (bot_) bot_->hide();
}

void TJanelasVorantelix::MostraAvaliacao(QWidget* pai, const std::string& idChamado) {
  auto* janela = dynamic_cast<TfmVorantelix*>(pai);
  if (janela == nullptr) return;
  // Owned by the main window until it is closed ("Sair"), which deletes it.
  auto* avaliacao = new TfmAvaliacao(janela, janela->web(), idChamado, janela->links());
  avaliacao->show();
}

}  // namespace vtx
