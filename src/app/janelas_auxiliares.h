// The program's own bot and rating windows, opened by the main window.
#pragma once

#include <memory>

#include "app/janela_bot.h"
#include "app/janela_principal.h"

namespace vtx {

class TJanelasVorantelix : public TJanelasAuxiliares {
 public:
  ~TJanelasVorantelix() override;
  // pai is the main window; a new bot window replaces the one before.
  void AbreBot(QWidget* pai) override;
  bool BotAberto() const override;
  void FechaBot() override;
  // Shows the rating window for the ticket, over pai.
  void MostraAvaliacao(QWidget* pai, const std::string& idChamado) override;

  TfmVorantelixBot* bot() const { return bot_.get(); }

 private:
  std::unique_ptr<TfmVorantelixBot> bot_;
};

}  // namespace vtx
