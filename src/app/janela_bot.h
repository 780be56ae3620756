// TfmVorantelixBot: the self-service window. A numbered menu of help items from the support web
// service, navigated by item number, "0" (main menu), "9" (previous menu) or a keyword.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "app/dialogos.h"
#include "app/links.h"
#include "app/tarefa_fundo.h"
#include "app/web/classes.h"
#include "app/web/servico_suporte.h"

class QLabel;
class QLineEdit;
class QScrollArea;
class QTimer;

namespace vtx {

// The styles of a drawn line.
enum TEstiloLinha : unsigned { EstiloNenhum = 0, EstiloNegrito = 1, EstiloItalico = 2 };

class TfmVorantelixBot : public QWidget {
 public:
  TfmVorantelixBot(TServicoSuporte web, TCliente cliente, TUsuario usuario, TDialogos& dialogos,
                   TAbreLinks& links);
  ~TfmVorantelixBot() override;

  // Asks the web service for an item, a level or a keyword; the answer is drawn when it arrives
  // and input is refused until then.
  void Consulta(const std::string& id, const std::string& nivel);
  // Enter in the edit.
  void Enter();

  bool processandoConsulta() const { return processandoConsulta_; }
  const std::string& NIVEL_ANTERIOR() const { return NIVEL_ANTERIOR_; }
  const TListaBots& bots() const { return bots_; }
  int scrWidth() const { return scrWidth_; }

 protected:
  bool eventFilter(QObject* objeto, QEvent* evento) override;

 private:
  void BoasVindas();
  void Desenha(const TListaBots& resposta);
  QLabel* AdicionaLinha(const QString& texto, const std::string& link, const QColor& cor,
                        int tamanho, int esquerda, unsigned estilo, int32_t tipo, int32_t altura);
  // A centred paragraph at msg_iTop; returns its height.
  int Paragrafo(const QString& texto, int pontos, const QColor& cor, int esquerda, int largura,
                int altura);
  void CresceConteudo();
  void Carregando(bool sim);
  void Termina();

  TServicoSuporte web_;
  TCliente cliente_;
  TUsuario usuario_;
  TDialogos& dialogos_;
  TAbreLinks& links_;

  int scrWidth_ = 0;
  int widthMaior_ = 0;
  int heightMaior_ = 0;
  int msg_iTop_ = 0;
  std::string NIVEL_MENU_;
  std::string NIVEL_ANTERIOR_;
  bool processandoConsulta_ = false;
  TListaBots bots_;

  QWidget* painel_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QWidget* conteudo_ = nullptr;
  QLabel* imgpdf_ = nullptr;
  QLabel* imgvideo_ = nullptr;
  QLabel* imglink_ = nullptr;
  QLineEdit* bot_ = nullptr;
  QLabel* loading_ = nullptr;
  QTimer* animacao_ = nullptr;
  int quadro_ = 0;

  // Last: destroyed first, so that no answer reaches the window while it is being taken down.
  TCaixaResultados fundo_{this};
};

}  // namespace vtx
