// The bot, service change and rating windows and the advertisement, for real under Qt's
// offscreen platform, against a real vorantelix-supportd (and small servers of the test's own for
// broken, slow or odd replies). Links are recorded, never opened.
#include <gtest/gtest.h>
#include <httplib.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMovie>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "app/janela_avaliacao.h"
#include "app/janela_bot.h"
#include "app/janela_principal.h"
#include "app/janela_servico.h"
#include "app/janelas_auxiliares.h"
#include "janela_teste.h"
#include "suporte_processo.h"

namespace vtx {
namespace {

namespace fs = std::filesystem;

using Caixas = teste::DialogosGravados;

struct LinksGravados : TAbreLinks {
  std::vector<QString>* registro;
  explicit LinksGravados(std::vector<QString>* r) : registro(r) {}
  void Abre(const QString& endereco) override { registro->push_back(endereco); }
};

// Answers the API endpoints and picture paths with fixed bytes; "/lento" waits until released.
class Servidor {
 public:
  Servidor(std::map<std::string, std::string> api, std::map<std::string, std::string> arquivos) {
    s_.Post(R"(/api/sanctum/vorantelix/(\w+))",
            [api](const httplib::Request& q, httplib::Response& r) {
              auto it = api.find(q.matches[1]);
              r.set_content(it == api.end() ? "" : it->second, "text/plain");
            });
    s_.Post("/vorantelix/bot", [api, this](const httplib::Request&, httplib::Response& r) {
      Espera();
      auto it = api.find("bot");
      r.set_content(it == api.end() ? "" : it->second, "text/plain");
    });
    s_.Get(R"(/(\w+))", [arquivos, this](const httplib::Request& q, httplib::Response& r) {
      if (q.matches[1] == "lento") Espera();
      auto it = arquivos.find(q.matches[1]);
      if (it == arquivos.end()) {
        r.status = 404;
        return;
      }
      r.set_content(it->second, "application/octet-stream");
    });
    porta_ = s_.bind_to_any_port("127.0.0.1");
    t_ = std::thread([this] { s_.listen_after_bind(); });
    while (!s_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~Servidor() {
    Libera();
    s_.stop();
    t_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(porta_); }
  // From now on the bot and "/lento" hold their replies until Libera.
  void Segura() {
    std::lock_guard g(trava_);
    segura_ = true;
  }
  void Libera() {
    std::lock_guard g(trava_);
    segura_ = false;
    sinal_.notify_all();
  }
  int esperando() {
    std::lock_guard g(trava_);
    return esperando_;
  }

 private:
  void Espera() {
    std::unique_lock g(trava_);
    ++esperando_;
    sinal_.wait_for(g, std::chrono::seconds(10), [this] { return !segura_; });
    --esperando_;
  }
  httplib::Server s_;
  std::mutex trava_;
  std::condition_variable sinal_;
  bool segura_ = false;
  int esperando_ = 0;
  int porta_ = 0;
  std::thread t_;
};

class Janelas : public teste::JanelaTeste {
 protected:
  void SetUp() override {
    CriaPasta("vtx-janelas-");
    cliente_ = *TServicoSuporte(config_).BuscaCliente("11222333000181");
    usuario_ = cliente_.usuarios.lista.at(0);
  }
  void TearDown() override {
    bot_.reset();
    janela_.reset();
    fs::remove_all(pasta_);
  }

  // The bot window, with its first answer drawn.
  TfmVorantelixBot& Bot() {
    bot_ = std::make_unique<TfmVorantelixBot>(TServicoSuporte(config_), cliente_, usuario_,
                                              dialogos_, links_);
    bot_->show();
    Espera();
    return *bot_;
  }
  void Espera() {
    EXPECT_TRUE(QTest::qWaitFor([&] { return !bot_->processandoConsulta(); }, 5000));
  }
  QLineEdit* Edit() { return bot_->findChild<QLineEdit*>(QStringLiteral("bot")); }
  // Types t and Enter, and waits for the answer.
  void Digita(const QString& t) {
    QTest::keyClicks(Edit(), t);
    QTest::keyClick(Edit(), Qt::Key_Return);
    Espera();
  }
  // The lines drawn so far, in order.
  std::vector<QLabel*> Linhas() {
    auto todas = bot_->findChildren<QLabel*>(QStringLiteral("linha"));
    std::vector<QLabel*> r(todas.begin(), todas.end());
    std::stable_sort(r.begin(), r.end(), [](QLabel* a, QLabel* b) { return a->y() < b->y(); });
    return r;
  }
  QLabel* Linha(const QString& texto) {
    for (QLabel* l : Linhas())
      if (l->text() == texto) return l;
    return nullptr;
  }

  TfmVorantelix& Principal(std::unique_ptr<TJanelasAuxiliares> aux = nullptr,
                           std::optional<uint32_t> semente = std::nullopt) {
    janela_.reset();
    TAmbiente a;
    a.config = config_;
    a.pastas = TPastas{pasta_ / "dados", pasta_ / "prog"};
    a.portal = std::make_unique<TPortalClienteRegistro>("portal.padrao", "1025");
    a.dialogos = std::make_unique<Caixas>(&caixas_, false);
    a.links = std::make_unique<LinksGravados>(&abertos_);
    a.sementeAnuncio = semente;
    a.auxiliares = std::move(aux);
    janela_ = std::make_unique<TfmVorantelix>(std::move(a));
    janela_->show();
    QApplication::processEvents();
    return *janela_;
  }

  TCliente cliente_;
  TUsuario usuario_;
  std::vector<QString> caixas_;
  Caixas dialogos_{&caixas_, false};
  std::vector<QString> abertos_;
  LinksGravados links_{&abertos_};
  std::unique_ptr<TfmVorantelixBot> bot_;
  std::unique_ptr<TfmVorantelix> janela_;
};

// ---- Bot ----

TEST_F(Janelas, BotLayoutMenuPrincipalECadaTipoDeItem) {
  auto& b = Bot();
  EXPECT_EQ(b.size(), QSize(457, 570));
  EXPECT_TRUE(b.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(b.parentWidget(), nullptr);  // its own taskbar button, not owned by the main window
  EXPECT_EQ(b.scrWidth(), 457 - 65);
  EXPECT_EQ(Edit()->maxLength(), 20);
  EXPECT_FALSE(b.findChild<QLabel*>(QStringLiteral("loading"))->isVisible());
  EXPECT_EQ(b.NIVEL_ANTERIOR(), "0");
  ASSERT_EQ(b.bots().bots.size(), 8u);  // ten in the answer

  // Heading, a menu entry, a document, a video, a web link and text blocks.
  auto linhas = Linhas();
  ASSERT_EQ(linhas.size(), 9u);
  EXPECT_EQ(linhas[0]->text(), "Menu principal");
  EXPECT_TRUE(linhas[0]->font().italic());
  EXPECT_EQ(linhas[1]->text(), "1 | Vendas e PDV");
  EXPECT_EQ(linhas[1]->x(), 20);
  EXPECT_EQ(linhas[1]->palette().color(QPalette::WindowText), QColor(Qt::white));
  QLabel* manual = linhas[2];
  EXPECT_EQ(manual->text(), "Manual do sistema (PDF)");
  EXPECT_EQ(manual->x(), 50);
  EXPECT_TRUE(manual->font().underline());
  EXPECT_EQ(manual->palette().color(QPalette::WindowText), QColor(206, 255, 206));
  EXPECT_EQ(manual->toolTip(), "https://docs.vorantelix.example/manual?k=EST-7781");
  // The marker in lower case is replaced too.
  EXPECT_EQ(linhas[4]->toolTip(), "https://portal.vorantelix.example/EST-7781");
  for (const char* icone : {"imgpdf_item", "imgvideo_item", "imglink_item"})
    EXPECT_EQ(b.findChildren<QLabel*>(QString::fromLatin1(icone)).size(), 1) << icone;
  EXPECT_FALSE(b.findChild<QLabel*>(QStringLiteral("imgpdf"))->isVisible());
  // A text block with its own height, in the small font; the others as tall as their text.
  EXPECT_EQ(linhas[5]->text(), "Segunda a sexta, das 8h às 18h.");
  EXPECT_EQ(linhas[5]->height(), 40);
  EXPECT_EQ(linhas[5]->font().pointSize(), 8);
  EXPECT_EQ(linhas[6]->height(), QFontMetrics(linhas[6]->font()).height());
  // Lines follow each other without overlap, on one bubble that holds them all.
  for (std::size_t i = 1; i < linhas.size(); ++i)
    EXPECT_GE(linhas[i]->y(), linhas[i - 1]->y() + linhas[i - 1]->height()) << i;
  auto* balao = b.findChild<QLabel*>(QStringLiteral("balao"));
  ASSERT_NE(balao, nullptr);
  EXPECT_EQ(balao->x(), 15);
  EXPECT_GE(balao->y() + balao->height(), linhas.back()->y() + linhas.back()->height());
  EXPECT_EQ(balao->pixmap().toImage().pixelColor(balao->width() / 2, balao->height() / 2),
            QColor(0, 128, 128));

  // A click on a link opens its address (with the company's key) with the desktop's handler.
  QTest::mouseClick(manual, Qt::LeftButton);
  EXPECT_EQ(abertos_, std::vector<QString>{manual->toolTip()});
}

TEST_F(Janelas, BotNavegaDoisNiveisEVoltaCom9E0) {
  auto& b = Bot();
  Digita("1");
  EXPECT_EQ(b.bots().descricao, "Vendas e PDV");
  EXPECT_EQ(b.NIVEL_ANTERIOR(), "0");
  ASSERT_EQ(b.bots().bots.size(), 3u);
  EXPECT_NE(Linha("3 | Devoluções"), nullptr);
  Digita("3");
  EXPECT_EQ(b.bots().descricao, "Devoluções");
  EXPECT_EQ(b.NIVEL_ANTERIOR(), "1");
  EXPECT_NE(Linha("Menu Vendas > Devolução: informe o cupom da venda."), nullptr);
  // 3 matches no item of this two-item answer, and is too short for a keyword.
  Digita("3");
  EXPECT_EQ(Linhas().back()->text(), "Opção inválida");
  EXPECT_EQ(Linhas().back()->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(b.bots().descricao, "Devoluções");  // the answer stays
  Digita("9");
  EXPECT_EQ(b.bots().descricao, "Vendas e PDV");
  Digita("9");
  EXPECT_EQ(b.bots().descricao, "Menu principal");
  Digita("1");
  Digita(" 0 ");
  EXPECT_EQ(b.bots().descricao, "Menu principal");
  EXPECT_TRUE(Edit()->text().isEmpty());
  EXPECT_TRUE(caixas_.empty());
}

TEST_F(Janelas, BotPalavraChaveECurtaDemais) {
  auto& b = Bot();
  Digita("xml");
  EXPECT_EQ(b.bots().descricao, "Resultados para: xml");
  EXPECT_NE(Linha("Menu Fiscal > Exportar XML do período."), nullptr);
  const auto antes = Linhas().size();
  Digita("xm");
  EXPECT_EQ(Linhas().size(), antes + 1);
  EXPECT_EQ(Linhas().back()->text(), "Opção inválida");
  // A keyword that finds nothing: the empty answer draws nothing and keeps the menu.
  Digita("zzzz");
  EXPECT_EQ(Linhas().size(), antes + 1);
  EXPECT_EQ(b.bots().descricao, "Resultados para: xml");
  EXPECT_TRUE(caixas_.empty());
}

TEST_F(Janelas, BotRecusaEntradaEnquantoConsultaEMostraOCarregamento) {
  Servidor lento({{"bot", R"({"master": "0", "descricao": "Lento", "mais": 0, "bots": []})"}}, {});
  config_.urlBot = lento.Url();
  lento.Segura();
  bot_ = std::make_unique<TfmVorantelixBot>(TServicoSuporte(config_), cliente_, usuario_, dialogos_,
                                            links_);
  bot_->show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return lento.esperando() == 1; }, 5000));
  auto* carregando = bot_->findChild<QLabel*>(QStringLiteral("loading"));
  EXPECT_TRUE(carregando->isVisible());
  EXPECT_TRUE(bot_->processandoConsulta());
  // Keys and Enter while the query runs are refused: no text, no second query.
  QTest::keyClicks(Edit(), QStringLiteral("12"));
  QTest::keyClick(Edit(), Qt::Key_Return);
  EXPECT_TRUE(Edit()->text().isEmpty());
  QTest::qWait(50);
  EXPECT_EQ(lento.esperando(), 1);
  lento.Libera();
  Espera();
  EXPECT_FALSE(carregando->isVisible());
  EXPECT_EQ(bot_->bots().descricao, "Lento");
  QTest::keyClicks(Edit(), QStringLiteral("ab"));
  EXPECT_EQ(Edit()->text(), "ab");
}

TEST_F(Janelas, BotComServicoParadoOuRespostaQuebrada) {
  {
    Servidor ruim({{"bot", "{isto não é json"}}, {});
    config_.urlBot = ruim.Url();
    Bot();
    ASSERT_EQ(caixas_.size(), 1u);
    EXPECT_TRUE(caixas_[0].startsWith("erro: ")) << caixas_[0].toStdString();
    EXPECT_TRUE(Linhas().empty());
    EXPECT_EQ(bot_->NIVEL_ANTERIOR(), "-1");
  }
  // The service gone: an error box, and input is taken again.
  caixas_.clear();
  Digita("9");
  EXPECT_EQ(caixas_.size(), 1u);
  EXPECT_TRUE(Linhas().empty());
  QTest::keyClicks(Edit(), QStringLiteral("x"));
  EXPECT_EQ(Edit()->text(), "x");
}

TEST_F(Janelas, BotFechadoDuranteAConsultaNaoRecebeAResposta) {
  Servidor lento({{"bot", R"({"master": "0", "descricao": "Tarde", "mais": 0, "bots": []})"}}, {});
  config_.urlBot = lento.Url();
  lento.Segura();
  bot_ = std::make_unique<TfmVorantelixBot>(TServicoSuporte(config_), cliente_, usuario_, dialogos_,
                                            links_);
  bot_->show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return lento.esperando() == 1; }, 5000));
  std::thread libera([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    lento.Libera();
  });
  bot_.reset();  // waits for the query's thread; its answer is dropped
  libera.join();
  QTest::qWait(50);
  EXPECT_TRUE(caixas_.empty());
}

TEST_F(Janelas, BotAbertoPelaJanelaPrincipalEFechadoAoAbrirChamado) {
  auto aux = std::make_unique<TJanelasVorantelix>();
  auto* janelas = aux.get();
  auto& j = Principal(std::move(aux));
  janelas->AbreBot(&j);
  ASSERT_NE(janelas->bot(), nullptr);
  EXPECT_TRUE(janelas->BotAberto());
  janelas->FechaBot();
  EXPECT_FALSE(janelas->BotAberto());
  // Closing the main window takes the bot and the rating window with it (the program would
  // otherwise keep running with no main window).
  janelas->AbreBot(&j);
  janelas->MostraAvaliacao(&j, "4201");
  auto* avaliacao = j.findChild<TfmAvaliacao*>(QStringLiteral("fmAvaliacao"));
  ASSERT_NE(avaliacao, nullptr);
  EXPECT_TRUE(avaliacao->isVisible());
  j.close();
  EXPECT_FALSE(janelas->BotAberto());
  EXPECT_FALSE(avaliacao->isVisible());
  EXPECT_FALSE(j.isVisible());
}

// ---- Service change ----

TEST_F(Janelas, ServicoNavegaUmNivelEVoltaEscapeFecha) {
  TChamado ch;
  ch.id = 4201;
  ch.iduser = 1004;
  std::vector<TServico> alterados;
  QPointer<TfmServico> s = new TfmServico(nullptr, TServicoSuporte(config_), ch, dialogos_,
                                          [&](const TServico& n) { alterados.push_back(n); });
  s->show();
  auto* lista = s->findChild<QTreeWidget*>(QStringLiteral("listServicos"));
  auto* alterar = s->findChild<QPushButton*>(QStringLiteral("btAlterar"));
  auto linhas = [&] {
    QStringList r;
    for (int i = 0; i < lista->topLevelItemCount(); ++i) r << lista->topLevelItem(i)->text(1);
    return r;
  };
  EXPECT_EQ(s->size(), QSize(457, 377));
  EXPECT_EQ(linhas(), QStringList({"Vendas e PDV", "Fiscal", "Dúvidas gerais"}));
  EXPECT_EQ(lista->currentItem(), lista->topLevelItem(0));
  EXPECT_FALSE(alterar->isEnabled());
  QTest::keyClick(lista, Qt::Key_Return);  // into the group
  EXPECT_EQ(linhas(), QStringList({"Impressoras", "Frente de caixa travando", "", "<  <  Voltar"}));
  QTest::keyClick(lista, Qt::Key_Escape);  // up one level
  EXPECT_EQ(linhas().size(), 3);
  ASSERT_FALSE(s.isNull());
  QTest::keyClick(lista, Qt::Key_Return);
  lista->setCurrentItem(lista->topLevelItem(3));
  QTest::keyClick(lista, Qt::Key_Return);  // the back row
  EXPECT_EQ(linhas().size(), 3);
  // A service: its remarks, and the button.
  lista->setCurrentItem(lista->topLevelItem(2));
  QTest::keyClick(lista, Qt::Key_Return);
  EXPECT_EQ(s->findChild<QPlainTextEdit*>(QStringLiteral("obs"))->toPlainText(),
            "Qualquer outro assunto");
  EXPECT_TRUE(alterar->isEnabled());
  EXPECT_EQ(s->focusWidget(), alterar);
  // Escape at the top level closes (and destroys) the window; nothing was changed.
  QTest::keyClick(lista, Qt::Key_Escape);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(s.isNull());
  EXPECT_TRUE(alterados.empty());
  EXPECT_TRUE(caixas_.empty());
}

TEST_F(Janelas, ServicoAlteradoAceitoERecusado) {
  for (const int32_t usuario : {1005, 1004}) {  // 1005 is not the ticket's user: refused
    TChamado ch;
    ch.id = 4201;
    ch.iduser = usuario;
    std::vector<TServico> alterados;
    QPointer<TfmServico> s = new TfmServico(nullptr, TServicoSuporte(config_), ch, dialogos_,
                                            [&](const TServico& n) { alterados.push_back(n); });
    s->show();
    auto* lista = s->findChild<QTreeWidget*>(QStringLiteral("listServicos"));
    s->Escolhe(2);
    QTest::mouseClick(s->findChild<QPushButton*>(QStringLiteral("btAlterar")), Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (usuario == 1005) {
      EXPECT_EQ(caixas_, std::vector<QString>{"Erro atualizando Serviço do Chamado!"});
      EXPECT_TRUE(alterados.empty());
      ASSERT_FALSE(s.isNull());
      EXPECT_EQ(lista->topLevelItemCount(), 3);
      delete s.data();
    } else {
      ASSERT_EQ(alterados.size(), 1u);
      EXPECT_EQ(alterados[0].id, 3);
      EXPECT_TRUE(s.isNull());
    }
  }
}

TEST_F(Janelas, ServicoPelaJanelaPrincipalSemChamadoEComServicoParado) {
  auto& j = Principal(std::make_unique<TJanelasAuxiliares>());
  // A click on the ticket page's service value opens the window over the main window.
  auto* valor = j.findChild<QLabel*>(QStringLiteral("lServico"));
  QTest::mouseClick(valor, Qt::LeftButton);
  auto* s = j.findChild<TfmServico*>(QStringLiteral("fmServico"));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->pos(), j.pos());
  EXPECT_TRUE(s->isModal());
  // No ticket (an offline session): the update is refused without a request.
  s->Escolhe(2);
  s->Alterar();
  EXPECT_EQ(caixas_, std::vector<QString>{"Erro atualizando Serviço do Chamado!"});
  // The main window's ticket takes a changed service.
  TServico novo;
  novo.id = 11;
  novo.descricao = "Frente de caixa travando";
  j.ServicoAlterado(novo);
  EXPECT_EQ(valor->text(), "Frente de caixa travando");
  EXPECT_EQ(j.chamadoAtual().id_serv, 11);

  // The catalogue's failures in boxes, the list left empty.
  caixas_.clear();
  Servidor vazio({}, {});
  TChamado ch;
  ch.id = 1;
  auto* s2 = new TfmServico(nullptr, TServicoSuporte([&] {
                              TConfiguracao c = config_;
                              c.urlSuporte = vazio.Url();
                              return c;
                            }()),
                            ch, dialogos_, {});
  s2->show();
  EXPECT_EQ(caixas_, std::vector<QString>{"Falha na obtenção da lista de serviços!"});
  EXPECT_EQ(s2->template findChild<QTreeWidget*>()->topLevelItemCount(), 0);
  delete s2;
}

// ---- Rating ----

TEST_F(Janelas, AvaliacaoComEnderecoEImagemAnimada) {
  auto aux = std::make_unique<TJanelasVorantelix>();
  auto* janelas = aux.get();
  auto& j = Principal(std::move(aux));
  janelas->MostraAvaliacao(&j, "4201");
  QPointer<TfmAvaliacao> a = j.findChild<TfmAvaliacao*>(QStringLiteral("fmAvaliacao"));
  ASSERT_FALSE(a.isNull());
  EXPECT_EQ(a->size(), QSize(507, 301));
  EXPECT_EQ(a->windowTitle(), "VARNELIKO Vorantelix");
  EXPECT_TRUE(a->isModal());
  EXPECT_EQ(a->link(),
            QString::fromStdString(config_.urlSuporteSegura + "/avaliarchamado/" +
                                   config_.chaveAvaliacao + "4201" + config_.chaveAvaliacaoFinal));
  ASSERT_TRUE(QTest::qWaitFor([&] { return a->filme() != nullptr; }, 5000));
  QMovie* filme = a->filme();
  EXPECT_EQ(filme->state(), QMovie::Running);
  EXPECT_EQ(filme->frameCount(), 3);
  const int primeiro = filme->currentFrameNumber();
  EXPECT_TRUE(QTest::qWaitFor([&] { return filme->currentFrameNumber() != primeiro; }, 5000));
  auto* gif = a->findChild<QLabel*>(QStringLiteral("imgGif"));
  EXPECT_TRUE(gif->isVisible());
  EXPECT_EQ(gif->movie(), filme);
  QTest::mouseClick(gif, Qt::LeftButton);
  EXPECT_EQ(abertos_, std::vector<QString>{a->link()});
  // Only "Sair" closes it.
  a->close();
  EXPECT_TRUE(a->isVisible());
  QTest::mouseClick(a->findChild<QPushButton*>(QStringLiteral("btSair")), Qt::LeftButton);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(a.isNull());
}

TEST_F(Janelas, AvaliacaoComFalhasSilenciosasEFechadaDuranteODownload) {
  Servidor servidor({{"avalie", ""}}, {{"naogif", "<html>isto não é um GIF</html>"}});
  auto url = servidor.Url();
  for (const std::string& resposta : {std::string(), url + "/naogif", url + "/inexistente"}) {
    Servidor s({{"avalie", resposta}}, {});
    config_.urlSuporteSegura = s.Url();
    auto* a = new TfmAvaliacao(nullptr, TServicoSuporte(config_), "77", links_);
    a->show();
    QTest::qWait(300);
    EXPECT_EQ(a->filme(), nullptr) << resposta;
    EXPECT_FALSE(a->findChild<QLabel*>(QStringLiteral("imgGif"))->pixmap().isNull());
    delete a;
  }
  // Closed while the picture is still on its way: the late picture reaches nothing.
  Servidor s({{"avalie", url + "/lento"}}, {});
  servidor.Segura();
  config_.urlSuporteSegura = s.Url();
  auto* a = new TfmAvaliacao(nullptr, TServicoSuporte(config_), "77", links_);
  a->show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return servidor.esperando() == 1; }, 5000));
  std::thread libera([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    servidor.Libera();
  });
  delete a;
  libera.join();
  QTest::qWait(50);
  EXPECT_TRUE(abertos_.empty());
}

// ---- Advertisement ----

TEST_F(Janelas, AnuncioSorteadoComImagemEDica) {
  std::set<std::string> vistos;
  for (uint32_t semente : {1u, 2u, 3u, 4u, 5u, 6u}) {
    auto& j = Principal(std::make_unique<TJanelasAuxiliares>(), semente);
    const std::string link = j.Anuncio().link;
    vistos.insert(link);
    // The same seed picks the same advertisement.
    EXPECT_EQ(Principal(std::make_unique<TJanelasAuxiliares>(), semente).Anuncio().link, link);
    auto* img = janela_->findChild<QLabel*>(QStringLiteral("imgAnuncio"));
    EXPECT_EQ(img->toolTip(), QString::fromStdString(janela_->Anuncio().mensagem));
    // The picture of that advertisement: its own colour inside a white frame.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return img->pixmap().toImage().pixelColor(0, 0) == QColor(Qt::white); }, 5000));
    const QColor meio = img->pixmap().toImage().pixelColor(200, 20);
    EXPECT_NE(meio, QColor(Qt::white));
    EXPECT_NE(meio, QColor(0, 96, 96));
    QTest::mouseClick(img, Qt::LeftButton);
    ASSERT_FALSE(abertos_.empty());
    EXPECT_EQ(abertos_.back(), QString::fromStdString(link));
  }
  EXPECT_GE(vistos.size(), 2u);  // several are picked
}

TEST_F(Janelas, AnuncioQuebradoDeixaOPlaceholderEOCliqueNaoFazNada) {
  Servidor s({}, {{"naopng", "GIF89a isto não é PNG"}});
  for (const std::string& resposta :
       {std::string(R"({"lista": [{"link": "", "imagem": ")") + s.Url() +
            R"(/naopng", "mensagem": "dica"}]})",
        std::string(R"({"lista": []})"), std::string("lixo{"), std::string()}) {
    Servidor anuncios({{"anuncios", resposta}}, {{"naopng", "GIF89a isto não é PNG"}});
    config_.urlSuporte = anuncios.Url();
    auto& j = Principal(std::make_unique<TJanelasAuxiliares>(), 1);
    auto* img = j.findChild<QLabel*>(QStringLiteral("imgAnuncio"));
    QTest::qWait(200);
    EXPECT_EQ(img->pixmap().toImage().pixelColor(0, 0), QColor(0, 96, 96)) << resposta;
    QTest::mouseClick(img, Qt::LeftButton);
    EXPECT_TRUE(abertos_.empty()) << resposta;
    janela_.reset();
  }
}

}  // namespace
}  // namespace vtx
