// The real main window under Qt's offscreen platform, driven with QTest against a real
// vorantelix-supportd (and, for broken replies, a small HTTP server of the test's own).
#include <gtest/gtest.h>
#include <httplib.h>

#include <QApplication>
#include <QBuffer>
#include <QComboBox>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTreeWidget>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "app/arquivos.h"
#include "app/janela_principal.h"
#include "app/laco_qt.h"
#include "app/mensagens_locais.h"
#include "app/portal_cliente_http.h"
#include "app/sistema.h"
#include "app/traducao_qt.h"
#include "e2e/gateway_child.h"
#include "janela_teste.h"
#include "platform/system_info.h"
#include "suporte_processo.h"

// Leaks inside system libraries that the program does not own (read by LeakSanitizer).
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\nleak:libdbus-1\n";
}

namespace vtx {
namespace {

namespace fs = std::filesystem;

struct AuxiliaresGravados : TJanelasAuxiliares {
  int* bots;
  explicit AuxiliaresGravados(int* b) : bots(b) {}
  void AbreBot(QWidget*) override { ++*bots; }
};

class Janela : public teste::JanelaTeste {
 protected:
  void SetUp() override { CriaPasta("vtx-janela-"); }
  void TearDown() override {
    janela_.reset();
    fs::remove_all(pasta_);
  }

  // With `real` the window gets the program's own portal client instead of the recording one.
  TfmVorantelix& Abre(std::vector<std::string> args = {},
                      std::unique_ptr<TPortalCliente> real = nullptr) {
    janela_.reset();
    TAmbiente a;
    a.config = config_;
    a.pastas = TPastas{pasta_ / "dados", pasta_ / "prog"};
    a.argumentos = std::move(args);
    if (real) {
      portal_ = nullptr;
      a.portal = std::move(real);
    } else {
      auto portal = std::make_unique<TPortalClienteRegistro>("portal.padrao", "1025");
      portal_ = portal.get();
      a.portal = std::move(portal);
    }
    a.dialogos =
        std::make_unique<teste::DialogosGravados>(&caixas_, true, QStringLiteral("10.1.2.3"));
    a.auxiliares = std::make_unique<AuxiliaresGravados>(&bots_);
    janela_ = std::make_unique<TfmVorantelix>(std::move(a));
    janela_->show();
    QApplication::processEvents();
    return *janela_;
  }

  template <class T>
  T* W(const char* nome) {
    T* w = janela_->findChild<T*>(QString::fromLatin1(nome));
    EXPECT_NE(w, nullptr) << nome;
    return w;
  }
  QLineEdit* E(const char* nome) { return W<QLineEdit>(nome); }
  QTreeWidget* L(const char* nome) { return W<QTreeWidget>(nome); }
  QString Pagina2() { return W<QStackedWidget>("page2")->currentWidget()->objectName(); }
  void Tecla(const char* nome, Qt::Key k) { QTest::keyClick(W<QWidget>(nome), k); }
  void Digita(const QString& cnpj) { QTest::keyClicks(E("cnpj"), cnpj); }
  QStringList Linhas(const char* lista, int coluna) {
    QStringList r;
    for (int i = 0; i < L(lista)->topLevelItemCount(); ++i)
      r << L(lista)->topLevelItem(i)->text(coluna);
    return r;
  }

  std::unique_ptr<TfmVorantelix> janela_;
  TPortalClienteRegistro* portal_ = nullptr;
  std::vector<QString> caixas_;
  int bots_ = 0;
};

TEST_F(Janela, LayoutInicial) {
  auto& j = Abre();
  EXPECT_EQ(j.size(), QSize(457, 720));
  EXPECT_TRUE(j.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(j.windowTitle(), QStringLiteral("Vorantelix VARNELIKO®"));
  EXPECT_EQ(W<QLabel>("lTitulo")->text(), QStringLiteral("Vorantelix VARNELIKO® | v5068"));
  EXPECT_EQ(j.pos(), QPoint(50, 100));
  EXPECT_TRUE(E("cnpj")->text().isEmpty());
  EXPECT_TRUE(E("cnpj")->hasFocus());
  EXPECT_FALSE(W<QWidget>("pSenha")->isVisible());
  EXPECT_FALSE(W<QWidget>("btDesconectar")->isVisible());
  EXPECT_EQ(W<QStackedWidget>("page")->currentWidget()->objectName(), "tsConexao");
  EXPECT_EQ(Pagina2(), "tsServicos");
  EXPECT_EQ(portal_->GateAddr(), "portal.padrao");
  EXPECT_TRUE(fs::is_directory(pasta_ / "dados" / "CfgAdicionais"));
  EXPECT_EQ(j.NOME_COMPUTADOR(), NomeComputador());
  // One of the two advertisements, its message as the picture's hint, its picture downloaded.
  EXPECT_TRUE(j.Anuncio().link.rfind("https://loja.vorantelix.example/", 0) == 0);
  auto* anuncio = W<QLabel>("imgAnuncio");
  EXPECT_EQ(anuncio->toolTip(), QString::fromStdString(j.Anuncio().mensagem));
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return anuncio->pixmap().toImage().pixelColor(0, 0) != QColor(0, 96, 96); }, 5000));
}

TEST_F(Janela, ArrastoPelaBarraDeTituloEMenuDoServidor) {
  auto& j = Abre();
  auto* titulo = W<QWidget>("pTitulo");
  QTest::mousePress(titulo, Qt::LeftButton, {}, QPoint(200, 10));
  QMouseEvent move(QEvent::MouseMove, QPointF(220, 25), QPointF(220, 25), Qt::NoButton,
                   Qt::LeftButton, {});
  QApplication::sendEvent(titulo, &move);
  QTest::mouseRelease(titulo, Qt::LeftButton, {}, QPoint(220, 25));
  EXPECT_EQ(j.pos(), QPoint(70, 115));

  auto acoes = W<QMenu>("pop")->actions();
  ASSERT_EQ(acoes.size(), 3);
  EXPECT_EQ(acoes[0]->text(), QStringLiteral("Servidor Primário"));
  acoes[0]->trigger();
  EXPECT_EQ(portal_->GateAddr(), config_.gatewayPrimario);
  EXPECT_EQ(j.TextoStatus(), QString::fromStdString(config_.gatewayPrimario + ":1025"));
  acoes[2]->trigger();  // "Especificar": the dialog answers 10.1.2.3
  EXPECT_EQ(portal_->GateAddr(), "10.1.2.3");
  EXPECT_EQ(j.TextoStatus(), "10.1.2.3:1025");
  j.setTextoStatus({});
  QTest::mouseDClick(W<QWidget>("lTitulo"), Qt::LeftButton);
  EXPECT_EQ(j.TextoStatus(), "10.1.2.3");
}

TEST_F(Janela, BuscaNoDecimoQuartoCaractereEGuardaOCnpjEAPosicao) {
  auto& j = Abre({"PORTAL.Exemplo.COM"});
  EXPECT_EQ(portal_->GateAddr(), "portal.exemplo.com");
  Digita("3344455500010");
  EXPECT_TRUE(E("razao")->text().isEmpty());
  Digita("3");
  EXPECT_EQ(E("razao")->text(), QStringLiteral("Auto Peças Veloz Eireli"));
  EXPECT_EQ(E("idcli")->text(), "103");
  EXPECT_EQ(E("cidade")->text(), QStringLiteral("Ribeirão Preto"));
  EXPECT_EQ(E("segmento")->text(), QStringLiteral("Autopeças"));
  EXPECT_TRUE(j.cliente().online);
  EXPECT_EQ(portal_->GateAddr(), "127.0.0.1");
  EXPECT_EQ(j.TextoStatus(), "127.0.0.1:1025");
  auto* usuarios = W<QComboBox>("cbUsuarios");
  ASSERT_EQ(usuarios->count(), 2);
  EXPECT_EQ(usuarios->itemText(0), "Diego Martins | diego@veloz.example");
  EXPECT_EQ(usuarios->currentIndex(), 0);
  // A 15th character clears the name and sends nothing; back to 14 looks it up again.
  Digita("9");
  EXPECT_TRUE(E("razao")->text().isEmpty());
  Tecla("cnpj", Qt::Key_Backspace);
  EXPECT_EQ(E("razao")->text(), QStringLiteral("Auto Peças Veloz Eireli"));
  EXPECT_TRUE(fs::exists(pasta_ / "prog" / "portal.retorno"));

  j.move(210, 160);
  j.close();
  auto& j2 = Abre();
  EXPECT_EQ(j2.pos(), QPoint(210, 160));
  EXPECT_EQ(E("cnpj")->text(), "33444555000103");
  EXPECT_EQ(E("razao")->text(), QStringLiteral("Auto Peças Veloz Eireli"));
}

TEST_F(Janela, CnpjComPontuacaoESemUsuarios) {
  Abre();
  Digita("33.444.555/0001-03");
  EXPECT_TRUE(E("razao")->text().isEmpty());
  E("cnpj")->clear();
  Digita("44555666000114");
  EXPECT_EQ(E("razao")->text(), QStringLiteral("Farmácia Nova Era Ltda"));
  Tecla("cnpj", Qt::Key_Return);
  ASSERT_EQ(caixas_.size(), 1u);
  EXPECT_TRUE(caixas_[0].contains("Nenhum usuário Cadastrado"));
  EXPECT_TRUE(E("cnpj")->hasFocus());
  // An unknown company gets an empty reply.
  E("cnpj")->clear();
  Digita("99999999999999");
  EXPECT_EQ(janela_->TextoStatus(), "Erro buscando empresa!");
}

TEST_F(Janela, ChamadosAbertosCatalogoVoltarEReabertura) {
  auto& j = Abre();
  Digita("33444555000103");
  Tecla("cnpj", Qt::Key_Return);
  EXPECT_TRUE(W<QComboBox>("cbUsuarios")->hasFocus());
  Tecla("cbUsuarios", Qt::Key_Return);
  EXPECT_EQ(j.usuarioPrincipal().id_user, 1004);
  ASSERT_EQ(Pagina2(), "tsChamados");
  EXPECT_EQ(Linhas("listChamados", 0), (QStringList{"004201", "004202"}));
  EXPECT_EQ(Linhas("listChamados", 3), (QStringList{"0", "1"}));
  EXPECT_EQ(L("listChamados")->currentItem(), L("listChamados")->topLevelItem(0));

  // Novo Chamado: the catalogue's top; a group opens its level with the back row.
  W<QPushButton>("btNovoChamado")->click();
  ASSERT_EQ(Pagina2(), "tsServicos");
  EXPECT_EQ(Linhas("listServicos", 1),
            (QStringList{"Vendas e PDV", "Fiscal", QStringLiteral("Dúvidas gerais")}));
  EXPECT_EQ(j.TextoStatus(), "Selecione um item");
  Tecla("listServicos", Qt::Key_Return);
  EXPECT_EQ(Linhas("listServicos", 1),
            (QStringList{"Impressoras", "Frente de caixa travando", "", "<  <  Voltar"}));
  Tecla("listServicos", Qt::Key_Escape);  // back row shown: up one level
  EXPECT_EQ(L("listServicos")->topLevelItemCount(), 3);
  Tecla("listServicos", Qt::Key_Return);
  L("listServicos")->setCurrentItem(L("listServicos")->topLevelItem(3));
  Tecla("listServicos", Qt::Key_Return);  // the back row
  EXPECT_EQ(L("listServicos")->topLevelItemCount(), 3);
  Tecla("listServicos", Qt::Key_Escape);  // top level: focus to the users
  EXPECT_TRUE(W<QComboBox>("cbUsuarios")->hasFocus());

  // Fiscal > Emissão de NF-e: the user already has ticket 4202 for it.
  L("listServicos")->setCurrentItem(L("listServicos")->topLevelItem(1));
  Tecla("listServicos", Qt::Key_Return);
  Tecla("listServicos", Qt::Key_Return);
  EXPECT_EQ(W<QPlainTextEdit>("obs")->toPlainText(),
            QStringLiteral("Tenha o número da nota em mãos"));
  EXPECT_EQ(j.TextoStatus(), QStringLiteral("Serviço: Emissão de NF-e -> Clique em Abrir Chamado"));
  EXPECT_TRUE(W<QPushButton>("btConectar")->isEnabled());
  W<QPushButton>("btConectar")->click();
  EXPECT_EQ(Pagina2(), "tsChamados");
  EXPECT_EQ(j.UltimoBalao(), "Por favor selecione o chamado e clique em Reabrir!");
  EXPECT_FALSE(portal_->Active());

  // Continuar on the second ticket reopens it and starts the session.
  L("listChamados")->setCurrentItem(L("listChamados")->topLevelItem(1));
  Tecla("listChamados", Qt::Key_Return);
  EXPECT_TRUE(W<QPushButton>("btReabrir")->hasFocus());
  Tecla("btReabrir", Qt::Key_Return);
  EXPECT_TRUE(portal_->Active());
  EXPECT_EQ(portal_->LoginUserName(), "1004" + NomeComputador());
  EXPECT_EQ(j.chamadoAtual().id, 4202);
  EXPECT_EQ(j.chamadoAtual().reabertura, 2);
  EXPECT_EQ(j.TextoStatus(), "Conectando... ");
  EXPECT_FALSE(W<QWidget>("btConn")->isVisible());
  EXPECT_FALSE(W<QPushButton>("btReabrir")->isEnabled());

  // Pressed again while the session runs, it ends the session instead.
  j.AbreChamado();
  EXPECT_FALSE(portal_->Active());
  EXPECT_EQ(j.TextoStatus(), "Desconectado");
  EXPECT_TRUE(W<QWidget>("btConn")->isVisible());
}

TEST_F(Janela, NovoChamadoParaServicoSemChamadoAberto) {
  auto& j = Abre();
  Digita("33444555000103");
  W<QComboBox>("cbUsuarios")->setCurrentIndex(1);  // Érica: no open tickets
  Tecla("cbUsuarios", Qt::Key_Return);
  ASSERT_EQ(Pagina2(), "tsServicos");
  L("listServicos")->setCurrentItem(L("listServicos")->topLevelItem(2));
  Tecla("listServicos", Qt::Key_Return);
  Tecla("btConectar", Qt::Key_Return);
  EXPECT_TRUE(portal_->Active());
  EXPECT_GT(j.chamadoAtual().id, 4204);
  EXPECT_EQ(j.chamadoAtual().id_serv, 3);
  EXPECT_EQ(j.chamadoAtual().iduser, 1005);
  EXPECT_EQ(W<QStackedWidget>("page2")->currentIndex(), 2);  // no inner page
  // The user's picture arrives from its background download.
  EXPECT_TRUE(QTest::qWaitFor([&] { return !W<QLabel>("imgUsuario")->pixmap().isNull(); }, 5000));
}

TEST_F(Janela, SenhaRecusadaEAceitaComBot) {
  auto& j = Abre();
  Digita("11222333000181");
  EXPECT_TRUE(W<QWidget>("pSenha")->isVisible());
  W<QComboBox>("cbUsuarios")->setCurrentIndex(0);
  Tecla("cbUsuarios", Qt::Key_Return);
  EXPECT_EQ(j.usuarioPrincipal().email, "ana@estrela.example");
  EXPECT_TRUE(E("eSenha")->hasFocus());
  QTest::keyClicks(E("eSenha"), "errada");
  Tecla("eSenha", Qt::Key_Return);
  EXPECT_EQ(j.TextoStatus(), "Senha incorreta!");
  EXPECT_EQ(j.UltimoBalao(), "Senha incorreta!");
  EXPECT_EQ(bots_, 0);
  E("eSenha")->setText(QStringLiteral("pão&café 1"));
  Tecla("eSenha", Qt::Key_Return);
  EXPECT_EQ(bots_, 1);
  EXPECT_EQ(Pagina2(), "tsServicos");  // Ana has no open tickets
  Tecla("eSenha", Qt::Key_Escape);
  EXPECT_TRUE(W<QComboBox>("cbUsuarios")->hasFocus());
}

TEST_F(Janela, EmpresaEmImplantacaoAbreChamadoDoItemLocal) {
  auto& j = Abre();
  Digita("22333444000192");
  Tecla("cbUsuarios", Qt::Key_Return);
  EXPECT_EQ(Linhas("listServicos", 1), (QStringList{QStringLiteral("Implantação")}));
  Tecla("listServicos", Qt::Key_Return);
  Tecla("btConectar", Qt::Key_Return);
  EXPECT_TRUE(caixas_.empty());
  EXPECT_TRUE(portal_->Active());
  EXPECT_GT(j.chamadoAtual().id, 4204);
  EXPECT_EQ(j.chamadoAtual().id_serv, 0);
  EXPECT_EQ(j.chamadoAtual().id_cli, 102);
  EXPECT_EQ(j.chamadoAtual().servico, "Implantação");
  EXPECT_EQ(j.TextoStatus(), "Conectando... ");
}

TEST_F(Janela, ServicoForaDoArDaAEmpresaDoCacheOffline) {
  {
    teste::SuporteProcesso proprio(std::vector<std::string>{});
    config_ = proprio.Config();
    Abre();
    Digita("33444555000103");
    ASSERT_TRUE(janela_->cliente().online);
    janela_.reset();
  }
  auto& j = Abre();
  E("cnpj")->clear();
  Digita("11222333000181");  // another company: the cache holds the last reply
  EXPECT_FALSE(j.cliente().online);
  EXPECT_EQ(E("razao")->text(), QStringLiteral("Auto Peças Veloz Eireli"));
  EXPECT_FALSE(j.TextoStatus().isEmpty());
  EXPECT_NE(j.TextoStatus(), "127.0.0.1:1025");
  Tecla("cbUsuarios", Qt::Key_Return);
  EXPECT_EQ(Linhas("listServicos", 1), (QStringList{QStringLiteral("Implantação")}));
  Tecla("listServicos", Qt::Key_Return);
  W<QPushButton>("btConectar")->click();
  EXPECT_TRUE(portal_->Active());
  EXPECT_EQ(j.chamadoAtual().id, 0);
  EXPECT_TRUE(j.ID_CHAMADO_ATUAL().empty());
}

// The catalogue one user reached with the password is not there for another user.
TEST_F(Janela, OutroUsuarioNaoUsaASenhaDoAnterior) {
  auto& j = Abre();
  Digita("11222333000181");
  W<QComboBox>("cbUsuarios")->setCurrentIndex(0);
  Tecla("cbUsuarios", Qt::Key_Return);  // Ana
  E("eSenha")->setText(QStringLiteral("pão&café 1"));
  Tecla("eSenha", Qt::Key_Return);
  ASSERT_GT(L("listServicos")->topLevelItemCount(), 0);
  W<QComboBox>("cbUsuarios")->setCurrentIndex(1);
  Tecla("cbUsuarios", Qt::Key_Return);  // Bruno: asked for his password
  EXPECT_EQ(j.usuarioPrincipal().id_user, 1002);
  EXPECT_TRUE(E("eSenha")->hasFocus());
  EXPECT_TRUE(E("eSenha")->text().isEmpty());
  EXPECT_EQ(L("listServicos")->topLevelItemCount(), 0);
  W<QPushButton>("btConectar")->setEnabled(true);
  W<QPushButton>("btConectar")->click();
  EXPECT_FALSE(portal_->Active());
}

// Keys that arrive while a request's pending events run do not start the same step again inside.
TEST_F(Janela, EnterRepetidoNaoRepeteOPassoDentroDeSiMesmo) {
  // Two presses queued on the window: each goes to whatever has the focus when it is delivered.
  auto enterDuplo = [&](const char* nome) {
    W<QWidget>(nome)->setFocus();
    for (int i = 0; i < 2; ++i)
      QCoreApplication::postEvent(janela_->windowHandle(),
                                  new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier));
    QApplication::processEvents();
  };
  Abre();
  Digita("33444555000103");
  enterDuplo("cbUsuarios");
  EXPECT_EQ(Linhas("listChamados", 0), (QStringList{"004201", "004202"}));

  E("cnpj")->selectAll();
  Digita("11222333000181");
  Tecla("cbUsuarios", Qt::Key_Return);
  E("eSenha")->setText(QStringLiteral("pão&café 1"));
  enterDuplo("eSenha");
  EXPECT_EQ(bots_, 1);
}

// A mouse click on a group or the back row replaces the list under the clicked row.
TEST_F(Janela, CliquesDoMouseNoCatalogo) {
  auto& j = Abre();
  Digita("33444555000103");
  W<QComboBox>("cbUsuarios")->setCurrentIndex(1);
  Tecla("cbUsuarios", Qt::Key_Return);
  if (Pagina2() == "tsChamados") W<QPushButton>("btNovoChamado")->click();  // an earlier test's
  auto* lista = L("listServicos");
  auto clica = [&](int linha) {
    const QRect r = lista->visualItemRect(lista->topLevelItem(linha));
    QTest::mouseClick(lista->viewport(), Qt::LeftButton, {}, r.center());
    QApplication::processEvents();
  };
  clica(0);  // "Vendas e PDV"
  EXPECT_EQ(Linhas("listServicos", 1),
            (QStringList{"Impressoras", "Frente de caixa travando", "", "<  <  Voltar"}));
  clica(3);  // back
  EXPECT_EQ(lista->topLevelItemCount(), 3);
  clica(1);  // "Fiscal"
  clica(0);  // "Emissão de NF-e", a service
  EXPECT_EQ(j.TextoStatus(), QStringLiteral("Serviço: Emissão de NF-e -> Clique em Abrir Chamado"));
  EXPECT_TRUE(W<QPushButton>("btConectar")->isEnabled());
}

// Nothing of an earlier company or user stays on screen to open a ticket with.
TEST_F(Janela, OutraEmpresaNaoHerdaUsuarioNemListas) {
  auto& j = Abre();
  Digita("33444555000103");
  Tecla("cbUsuarios", Qt::Key_Return);  // Diego, with open tickets
  ASSERT_EQ(Pagina2(), "tsChamados");
  W<QPushButton>("btNovoChamado")->click();
  L("listServicos")->setCurrentItem(L("listServicos")->topLevelItem(2));
  Tecla("listServicos", Qt::Key_Return);
  ASSERT_FALSE(W<QPlainTextEdit>("obs")->toPlainText().isEmpty());

  // Another company typed over the first one.
  E("cnpj")->selectAll();
  Digita("11222333000181");
  EXPECT_EQ(E("razao")->text(), QStringLiteral("Padaria Estrela do Sul Ltda"));
  EXPECT_EQ(W<QComboBox>("cbUsuarios")->count(), 2);
  EXPECT_EQ(j.usuarioPrincipal().id_user, 0);
  EXPECT_EQ(L("listServicos")->topLevelItemCount(), 0);
  EXPECT_EQ(L("listChamados")->topLevelItemCount(), 0);
  EXPECT_TRUE(W<QPlainTextEdit>("obs")->toPlainText().isEmpty());
  W<QPushButton>("btConectar")->setEnabled(true);
  W<QPushButton>("btConectar")->click();
  j.AbreChamado();
  EXPECT_FALSE(portal_->Active());
  EXPECT_EQ(j.chamadoAtual().id, 0);
  EXPECT_TRUE(caixas_.empty());

  // Back to the first company: its ticket list, then an unknown CNPJ leaves nothing behind.
  E("cnpj")->selectAll();
  Digita("33444555000103");
  Tecla("cbUsuarios", Qt::Key_Return);
  ASSERT_EQ(Pagina2(), "tsChamados");
  E("cnpj")->selectAll();
  Digita("99999999999999");
  EXPECT_EQ(j.TextoStatus(), "Erro buscando empresa!");
  EXPECT_EQ(W<QComboBox>("cbUsuarios")->count(), 0);
  EXPECT_TRUE(E("idcli")->text().isEmpty());
  EXPECT_EQ(L("listChamados")->topLevelItemCount(), 0);
  W<QPushButton>("btReabrir")->setEnabled(true);
  W<QPushButton>("btReabrir")->click();
  EXPECT_FALSE(portal_->Active());
  EXPECT_EQ(j.chamadoAtual().id, 0);

  // A password company, then one without: the password panel and its text go.
  E("cnpj")->selectAll();
  Digita("11222333000181");
  QTest::keyClicks(E("eSenha"), "segredo");
  E("cnpj")->selectAll();
  Digita("33444555000103");
  EXPECT_FALSE(W<QWidget>("pSenha")->isVisible());
  EXPECT_TRUE(E("eSenha")->text().isEmpty());
}

TEST_F(Janela, OutroUsuarioEscolhidoNaoHerdaChamadosNemCatalogo) {
  auto& j = Abre();
  Digita("33444555000103");
  Tecla("cbUsuarios", Qt::Key_Return);  // Diego: his tickets are listed
  ASSERT_EQ(Pagina2(), "tsChamados");
  L("listChamados")->setCurrentItem(L("listChamados")->topLevelItem(1));
  W<QComboBox>("cbUsuarios")->setCurrentIndex(1);  // Érica shown, Enter not pressed
  EXPECT_EQ(L("listChamados")->topLevelItemCount(), 0);
  W<QPushButton>("btReabrir")->setEnabled(true);
  W<QPushButton>("btReabrir")->click();
  EXPECT_FALSE(portal_->Active());
  EXPECT_EQ(j.chamadoAtual().id, 0);
  Tecla("cbUsuarios", Qt::Key_Return);
  EXPECT_EQ(j.usuarioPrincipal().id_user, 1005);
  EXPECT_FALSE(Linhas("listChamados", 0).contains("004201"));  // none of Diego's
}

// A service that answers each endpoint with a fixed text (nothing for those not listed).
class ServidorRuim {
 public:
  explicit ServidorRuim(std::string cliente = R"({"id": 1, "nome": "sem o resto")",
                        std::map<std::string, std::string> outras = {}) {
    outras["cliente"] = std::move(cliente);
    s_.Post(R"(/api/sanctum/vorantelix/(\w+))",
            [outras](const httplib::Request& q, httplib::Response& r) {
              auto it = outras.find(q.matches[1]);
              r.set_content(it == outras.end() ? "" : it->second, "text/plain");
            });
    porta_ = s_.bind_to_any_port("127.0.0.1");
    t_ = std::thread([this] { s_.listen_after_bind(); });
    while (!s_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~ServidorRuim() {
    s_.stop();
    t_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(porta_); }

 private:
  httplib::Server s_;
  int porta_ = 0;
  std::thread t_;
};

// Failed requests show a short Portuguese sentence; the technical detail goes to the log.
TEST_F(Janela, FalhasDoServicoEmPortuguesComODetalheNoLog) {
  const QString semConexao = QStringLiteral("Sem comunicação com o servidor de suporte.");
  const auto log = TPastas{pasta_ / "dados", pasta_ / "prog"}.ArquivoLogDeHoje();
  auto curto = [](const QString& t) {
    return !t.contains("http") && !t.contains("127.0.0.1") && t.size() <= 60;
  };
  {
    teste::SuporteProcesso proprio(std::vector<std::string>{});
    config_ = proprio.Config();
    auto& j = Abre();
    Digita("11222333000181");
    ASSERT_TRUE(j.cliente().online);
    proprio.Para();  // the service goes away
    Tecla("cbUsuarios", Qt::Key_Return);
    QTest::keyClicks(E("eSenha"), "x");
    Tecla("eSenha", Qt::Key_Return);
    ASSERT_EQ(caixas_.size(), 1u);
    EXPECT_EQ(caixas_[0], "erro: " + semConexao);
    EXPECT_EQ(j.TextoStatus(), "Senha incorreta!");
    auto detalhe = LeArquivoTexto(log);
    ASSERT_TRUE(detalhe);
    EXPECT_NE(detalhe->find("/api/sanctum/vorantelix/adminlogin"), std::string::npos) << *detalhe;
    j.BuscaServicos(0);
    EXPECT_EQ(j.TextoStatus(), semConexao);
    E("cnpj")->selectAll();
    Digita("11222333000181");  // from the cache, offline
    EXPECT_FALSE(j.cliente().online);
    EXPECT_EQ(j.TextoStatus(), semConexao);
    EXPECT_NE(LeArquivoTexto(log)->find("/api/sanctum/vorantelix/cliente"), std::string::npos);
  }
  // A refused token: the HTTP status, in Portuguese.
  config_ = suporte_->Config();
  config_.tokenBearer = std::string(48, 'x');
  auto& j = Abre();
  E("cnpj")->clear();
  Digita("11222333000181");
  EXPECT_EQ(j.TextoStatus(), QStringLiteral("O servidor de suporte respondeu com erro 401."));
  EXPECT_TRUE(curto(j.TextoStatus()));
  EXPECT_NE(LeArquivoTexto(log)->find("401"), std::string::npos);
  // A reply that is not a company.
  ServidorRuim ruim;
  config_.urlSuporte = ruim.Url();
  auto& k = Abre();
  E("cnpj")->clear();
  Digita("11222333000181");
  EXPECT_EQ(k.TextoStatus(), QStringLiteral("Resposta inválida do servidor de suporte."));
}

// Answers the company, an empty ticket list and one service; serves each user's picture in its
// own colour, holding user 1004's back until the test lets it go.
class ServidorFotos {
 public:
  explicit ServidorFotos(std::string cliente) {
    auto png = [](QColor cor) {
      QImage img(8, 8, QImage::Format_RGB32);
      img.fill(cor);
      QByteArray bytes;
      QBuffer b(&bytes);
      b.open(QIODevice::WriteOnly);
      img.save(&b, "PNG");
      return bytes.toStdString();
    };
    const std::string vermelha = png(Qt::red), verde = png(Qt::green);
    s_.Post(R"(/api/sanctum/vorantelix/(\w+))", [cliente](const httplib::Request& q,
                                                          httplib::Response& r) {
      const std::string e = q.matches[1];
      r.set_content(e == "cliente"           ? cliente
                    : e == "chamadosusuario" ? "[]"
                    : e == "servico" ? R"({"anterior": 0, "lista": [{"id": 3, "descricao": "D",
                                      "observacao": null, "i": null}]})"
                                     : "",
                    "text/plain");
    });
    s_.Get(R"(/img/profile/(\d+)\.jpg)",
           [this, vermelha, verde](const httplib::Request& q, httplib::Response& r) {
             std::unique_lock g(trava_);
             if (q.matches[1] == "1004") {
               sinal_.wait_for(g, std::chrono::seconds(5), [this] { return liberada_; });
               r.set_content(vermelha, "image/png");
             } else {
               r.set_content(verde, "image/png");
             }
             ++servidas_;
           });
    porta_ = s_.bind_to_any_port("127.0.0.1");
    t_ = std::thread([this] { s_.listen_after_bind(); });
    while (!s_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~ServidorFotos() {
    s_.stop();
    t_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(porta_); }
  int servidas() {
    std::lock_guard g(trava_);
    return servidas_;
  }
  void Libera() {
    std::lock_guard g(trava_);
    liberada_ = true;
    sinal_.notify_all();
  }

 private:
  httplib::Server s_;
  std::mutex trava_;
  std::condition_variable sinal_;
  bool liberada_ = false;
  int servidas_ = 0;
  int porta_ = 0;
  std::thread t_;
};

TEST_F(Janela, FotoDeUmUsuarioAnteriorQueChegaTardeEDescartada) {
  Abre();
  Digita("33444555000103");
  const auto resposta = LeArquivoTexto(pasta_ / "prog" / "portal.retorno");
  ASSERT_TRUE(resposta);
  ServidorFotos fotos(*resposta);
  config_.urlSuporte = fotos.Url();
  Abre();
  E("cnpj")->clear();
  Digita("33444555000103");
  Tecla("cbUsuarios", Qt::Key_Return);  // Diego: his picture is held back
  W<QComboBox>("cbUsuarios")->setCurrentIndex(1);
  Tecla("cbUsuarios", Qt::Key_Return);  // Érica
  auto* foto = W<QLabel>("imgUsuario");
  auto cor = [&] {
    return foto->pixmap().isNull() ? QColor() : foto->pixmap().toImage().pixelColor(30, 30);
  };
  EXPECT_TRUE(QTest::qWaitFor([&] { return cor() == QColor(Qt::green); }, 5000));
  fotos.Libera();
  EXPECT_TRUE(QTest::qWaitFor([&] { return fotos.servidas() == 2; }, 5000));
  QTest::qWait(300);  // Diego's would be delivered by now
  EXPECT_EQ(cor(), QColor(Qt::green));
}

TEST_F(Janela, RespostaMalFormadaNaoApagaOCache) {
  Abre();
  Digita("33444555000103");
  const auto cache = LeArquivoTexto(pasta_ / "prog" / "portal.retorno");
  ASSERT_TRUE(cache);
  ServidorRuim ruim;
  config_.urlSuporte = ruim.Url();
  auto& j = Abre();
  E("cnpj")->clear();
  Digita("33444555000103");
  EXPECT_FALSE(j.cliente().online);
  EXPECT_EQ(E("razao")->text(), QStringLiteral("Auto Peças Veloz Eireli"));
  EXPECT_EQ(LeArquivoTexto(pasta_ / "prog" / "portal.retorno"), cache);
}

TEST_F(Janela, RespostasVaziasDeSenhaChamadosECatalogo) {
  Abre();
  Digita("11222333000181");
  const auto resposta = LeArquivoTexto(pasta_ / "prog" / "portal.retorno");
  ASSERT_TRUE(resposta);
  ServidorRuim vazio(*resposta);
  config_.urlSuporte = vazio.Url();
  auto& j = Abre();
  E("cnpj")->clear();
  Digita("11222333000181");
  ASSERT_TRUE(j.cliente().online);
  Tecla("cbUsuarios", Qt::Key_Return);
  QTest::keyClicks(E("eSenha"), "x");
  Tecla("eSenha", Qt::Key_Return);  // an empty reply is no Boolean: shown, then refused
  ASSERT_EQ(caixas_.size(), 1u);
  EXPECT_TRUE(caixas_[0].startsWith("erro: "));
  EXPECT_EQ(j.TextoStatus(), "Senha incorreta!");
  EXPECT_EQ(bots_, 0);
  // Open tickets fail, so the catalogue is asked for, and comes back empty.
  j.BuscaChamadosUsuario();
  EXPECT_EQ(Pagina2(), "tsServicos");
  EXPECT_EQ(j.TextoStatus(), QStringLiteral("Falha na obtenção da lista de serviços!"));
  EXPECT_EQ(L("listServicos")->topLevelItemCount(), 0);
  // With nothing selected "Abrir Chamado" sends nothing.
  W<QPushButton>("btConectar")->setEnabled(true);
  W<QPushButton>("btConectar")->click();
  EXPECT_FALSE(portal_->Active());
}

TEST_F(Janela, NovoChamadoSemRespostaMostraOErroENaoConecta) {
  Abre();
  Digita("33444555000103");
  const auto resposta = LeArquivoTexto(pasta_ / "prog" / "portal.retorno");
  ASSERT_TRUE(resposta);
  ServidorRuim vazio(*resposta,
                     {{"chamadosusuario", "[]"},
                      {"servico", R"({"anterior": 0, "lista": [{"id": 3, "descricao": "Dúvidas",
                                      "observacao": null, "i": null}]})"}});
  config_.urlSuporte = vazio.Url();
  auto& j = Abre();
  E("cnpj")->clear();
  Digita("33444555000103");
  Tecla("cbUsuarios", Qt::Key_Return);
  ASSERT_EQ(Linhas("listServicos", 1), (QStringList{QStringLiteral("Dúvidas")}));
  Tecla("listServicos", Qt::Key_Return);
  W<QPushButton>("btConectar")->click();
  ASSERT_EQ(caixas_.size(), 1u);
  EXPECT_TRUE(caixas_[0].startsWith("VARNELIKO Vorantelix: Erro abrindo Chamado, tente novamente"));
  EXPECT_EQ(j.TextoStatus(), "Erro abrindo chamado");
  EXPECT_FALSE(portal_->Active());
  EXPECT_FALSE(W<QPushButton>("btConectar")->isEnabled());
  EXPECT_FALSE(W<QWidget>("btConn")->isVisible());
  Tecla("listServicos", Qt::Key_Return);  // Enter on the list enables the buttons again
  EXPECT_TRUE(W<QPushButton>("btReabrir")->isEnabled());
  EXPECT_TRUE(W<QPushButton>("btConectar")->isEnabled());
}

TEST_F(Janela, BandejaServidorEMensagensLocais) {
  auto& j = Abre();
  j.MinimizaParaBandeja();
  j.MinimizaParaBandeja();
  EXPECT_TRUE(j.TaskBarIcon());
  EXPECT_EQ(j.findChildren<QSystemTrayIcon*>().size(), 1);
  j.IconeAtivado(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(j.TaskBarIcon());
  j.IconeAtivado(QSystemTrayIcon::Context);
  EXPECT_FALSE(j.TaskBarIcon());
  EXPECT_TRUE(j.isVisible());

  // 2024 and 1924 from another sender; other numbers are ignored.
  std::vector<int> recebidas;
  TMensagensLocais ponto([&](int n) { recebidas.push_back(n); });
  const QString nome = QStringLiteral("vtx-teste-%1").arg(::getpid());
  ASSERT_TRUE(ponto.Escuta(nome));
  std::thread envia([&] {
    EnviaMensagemLocal(nome, 2024);
    EnviaMensagemLocal(nome, 77);
    EnviaMensagemLocal(nome, 1924);
  });
  for (int i = 0; i < 200 && recebidas.size() < 2; ++i) QTest::qWait(10);
  envia.join();
  QTest::qWait(20);
  EXPECT_EQ(recebidas, (std::vector<int>{2024, 1924}));
  EXPECT_FALSE(EnviaMensagemLocal(nome + "-ninguem", 2024, 200));
}

// The icon's own click handling runs on after the activation signal; the icon must outlive it.
TEST_F(Janela, CliqueNoIconeNaoORemoveDentroDoProprioSinal) {
  auto& j = Abre();
  for (auto motivo : {QSystemTrayIcon::Context, QSystemTrayIcon::Trigger}) {
    j.MinimizaParaBandeja();
    QPointer<QSystemTrayIcon> icone = j.findChild<QSystemTrayIcon*>("TaskBarIcon");
    ASSERT_TRUE(icone);
    bool vivoAposOSinal = false;
    QObject::connect(icone, &QSystemTrayIcon::activated,
                     [&] { vivoAposOSinal = icone && icone->isVisible() && j.TaskBarIcon(); });
    emit icone->activated(motivo);
    EXPECT_TRUE(vivoAposOSinal);
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(j.TaskBarIcon());
    EXPECT_FALSE(icone);
    EXPECT_TRUE(j.isVisible());
  }
}

TEST_F(Janela, SenhaComAsteriscosELegendasSemSobreposicao) {
  Abre();
  Digita("11222333000181");
  auto* senha = E("eSenha");
  QTest::keyClicks(senha, "abc");
  EXPECT_EQ(senha->displayText(), "***");
  auto* painel = W<QWidget>("pSenha");
  QLabel* rotulo = nullptr;
  QLabel* portal = nullptr;
  for (QLabel* l : painel->findChildren<QLabel*>()) {
    if (l->text() == "Senha:") rotulo = l;
    if (l->text() == "(Portal VARNELIKO)") portal = l;
  }
  ASSERT_TRUE(rotulo && portal);
  for (QLabel* l : {rotulo, portal}) {
    EXPECT_GE(l->width(), l->sizeHint().width()) << l->text().toStdString();
    EXPECT_TRUE(painel->rect().contains(l->geometry())) << l->text().toStdString();
  }
  EXPECT_FALSE(rotulo->geometry().intersects(portal->geometry()));
}

TEST_F(Janela, TextosDoQtEmPortugues) {
  auto traducao = InstalaTraducaoQt();
  ASSERT_NE(traducao, nullptr);
  QInputDialog pergunta;
  pergunta.show();
  QStringList botoes;
  for (QPushButton* b : pergunta.findChildren<QPushButton*>()) botoes << b->text();
  EXPECT_TRUE(botoes.contains(QStringLiteral("Cancelar"))) << botoes.join(",").toStdString();
  EXPECT_FALSE(botoes.contains(QStringLiteral("Cancel")));
  // The edits' context menu.
  Abre();
  std::unique_ptr<QMenu> menu(E("cnpj")->createStandardContextMenu());
  QStringList itens;
  for (QAction* a : menu->actions()) itens << a->text();
  EXPECT_TRUE(itens.join(",").contains(QStringLiteral("&Desfazer")))
      << itens.join(",").toStdString();
  traducao.reset();
  EXPECT_EQ(QCoreApplication::translate("QLineEdit", "&Undo"), "&Undo");
}

TEST_F(Janela, AbrirChamadoEntraNoGatewayComOClienteDoPrograma) {
  TLacoQt laco;
  const std::string senha = "fyduzAKrpRQdnnwXjRM", chave = "kgQWdXnb5mVpW";
  testing::GatewayChild gateway(
      {"--db", ":memory:", "--login-password", senha, "--secure-key", chave, "--force-encryption"},
      testing::GatewayChild::Transport::Plain);
  // The stand-in serves every company from this gateway.
  teste::SuporteProcesso suporte({"--gateway", "127.0.0.1:" + gateway.port()});
  config_ = suporte.Config();
  config_.gatewayTls = "0";  // plain HTTP, asked for explicitly
  config_.senhaLogin = senha;
  config_.chaveDados = chave;
  FixedSystemInfo sistema{"PC-TESTE", "usuario", "127.0.0.1"};
  auto proprio = std::make_unique<TPortalClienteHttp>(config_, &sistema);
  TPortalClienteHttp& portal = *proprio;
  auto& j = Abre({}, std::move(proprio));

  Digita("33444555000103");
  Tecla("cnpj", Qt::Key_Return);
  Tecla("cbUsuarios", Qt::Key_Return);
  ASSERT_EQ(Pagina2(), "tsChamados");
  EXPECT_EQ(portal.GateAddr(), "127.0.0.1");
  EXPECT_EQ(portal.GatePort(), gateway.port());
  L("listChamados")->setCurrentItem(L("listChamados")->topLevelItem(1));
  Tecla("listChamados", Qt::Key_Return);
  Tecla("btReabrir", Qt::Key_Return);
  EXPECT_EQ(portal.LoginUserName(), "1004" + NomeComputador());
  // Logged in through both channels, the stored parameters loaded first.
  const auto fim = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!portal.Active() && std::chrono::steady_clock::now() < fim) {
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(portal.Active());
  EXPECT_TRUE(portal.PClient().GParamsLoaded());
  EXPECT_TRUE(portal.PClient().Connected());

  // Pressed again, the session ends.
  j.AbreChamado();
  EXPECT_FALSE(portal.Active());
  EXPECT_EQ(j.TextoStatus(), "Desconectado");
  janela_.reset();
}

// A session with the program's own portal client on a real gateway, the stand-in pointing at it.
class Sessao {
 public:
  Sessao()
      : gateway_({"--db", ":memory:", "--login-password", kSenha, "--secure-key", kChave,
                  "--force-encryption"},
                 testing::GatewayChild::Transport::Tls),
        suporte_({"--gateway", "127.0.0.1:" + gateway_.port()}) {}
  TConfiguracao Config() const {
    TConfiguracao c = suporte_.Config();
    c.arquivoCAGateway = gateway_.caFile();
    c.senhaLogin = kSenha;
    c.chaveDados = kChave;
    return c;
  }
  static bool Espera(const std::function<bool()>& pronto) {
    const auto fim = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!pronto() && std::chrono::steady_clock::now() < fim) {
      QApplication::processEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pronto();
  }

 private:
  static constexpr const char* kSenha = "fyduzAKrpRQdnnwXjRM";
  static constexpr const char* kChave = "kgQWdXnb5mVpW";
  testing::GatewayChild gateway_;
  teste::SuporteProcesso suporte_;
};

TEST_F(Janela, Mensagem1924DuranteASessaoEncerraSemDerrubarOPrograma) {
  TLacoQt laco;
  Sessao sessao;
  config_ = sessao.Config();
  FixedSystemInfo sistema{"PC-TESTE", "usuario", "127.0.0.1"};
  auto proprio = std::make_unique<TPortalClienteHttp>(config_, &sistema);
  TPortalClienteHttp& portal = *proprio;
  auto& j = Abre({}, std::move(proprio));
  // Wired as the program wires it.
  TMensagensLocais mensagens([&j](int n) { j.MensagemDaJanela(n); });
  const QString nome = QStringLiteral("vtx-sessao-%1").arg(::getpid());
  ASSERT_TRUE(mensagens.Escuta(nome));

  Digita("33444555000103");
  W<QComboBox>("cbUsuarios")->setCurrentIndex(1);  // Érica: no open tickets
  Tecla("cbUsuarios", Qt::Key_Return);
  L("listServicos")->setCurrentItem(L("listServicos")->topLevelItem(2));
  Tecla("listServicos", Qt::Key_Return);
  Tecla("btConectar", Qt::Key_Return);
  ASSERT_TRUE(Sessao::Espera([&] { return portal.Active() && portal.PClient().Connected(); }));

  for (int i = 0; i < 3; ++i) {
    std::thread envia([&] { EnviaMensagemLocal(nome, MensagemDesconecta); });
    EXPECT_TRUE(Sessao::Espera([&] { return j.TextoStatus() == "Desconectado"; }));
    envia.join();
    EXPECT_FALSE(portal.Active());
    j.setTextoStatus({});
  }
  QTest::qWait(50);  // the senders' sockets go away
  janela_.reset();
}

// "Continuar" pressed while the session is being ended does not open a ticket inside the end.
TEST_F(Janela, ContinuarDuranteOEncerramentoNaoAbreChamado) {
  TLacoQt laco;
  Sessao sessao;
  config_ = sessao.Config();
  FixedSystemInfo sistema{"PC-TESTE", "usuario", "127.0.0.1"};
  auto proprio = std::make_unique<TPortalClienteHttp>(config_, &sistema);
  TPortalClienteHttp& portal = *proprio;
  auto& j = Abre({}, std::move(proprio));
  Digita("33444555000103");
  Tecla("cbUsuarios", Qt::Key_Return);
  Tecla("listChamados", Qt::Key_Return);
  Tecla("btReabrir", Qt::Key_Return);  // reopens 4201
  ASSERT_TRUE(Sessao::Espera([&] { return portal.Active() && portal.PClient().Connected(); }));
  const int32_t chamado = j.chamadoAtual().id;
  auto* reabrir = W<QPushButton>("btReabrir");
  reabrir->setEnabled(true);
  reabrir->setFocus();
  for (int i = 0; i < 3; ++i)
    QCoreApplication::postEvent(reabrir,
                                new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier));
  j.Desconecta();  // stopping the client delivers the keys
  QCoreApplication::removePostedEvents(reabrir, QEvent::KeyPress);
  EXPECT_FALSE(portal.Active());
  // No ticket opened: the same one, or none once the log-out has dropped it.
  EXPECT_TRUE(j.chamadoAtual().id == chamado || j.chamadoAtual().id == 0) << j.chamadoAtual().id;
  EXPECT_EQ(j.TextoStatus(), "Desconectado");
  janela_.reset();
}

// Counts calls into the client that arrive while another one is still running.
class PortalContado : public TPortalCliente {
 public:
  explicit PortalContado(std::unique_ptr<TPortalClienteHttp> real) : real_(std::move(real)) {}
  TPortalClienteHttp& real() { return *real_; }
  int reentradas = 0;
  std::string LoginUserName() const override { return real_->LoginUserName(); }
  void setLoginUserName(const std::string& n) override { real_->setLoginUserName(n); }
  std::string GateAddr() const override { return real_->GateAddr(); }
  void setGateAddr(const std::string& e) override { real_->setGateAddr(e); }
  std::string GatePort() const override { return real_->GatePort(); }
  void setGatePort(const std::string& p) override { real_->setGatePort(p); }
  bool Active() const override { return real_->Active(); }
  void setActive(bool a) override {
    Vigia v(*this);
    real_->setActive(a);
  }
  void Stop() override {
    Vigia v(*this);
    real_->Stop();
  }

 private:
  struct Vigia {
    PortalContado& p;
    explicit Vigia(PortalContado& c) : p(c) {
      if (p.emCurso_++ > 0) ++p.reentradas;
    }
    ~Vigia() { --p.emCurso_; }
  };
  int emCurso_ = 0;
  std::unique_ptr<TPortalClienteHttp> real_;
};

TEST_F(Janela, VariasMensagensNumaLinhaEncerramUmaVez) {
  TLacoQt laco;
  Sessao sessao;
  config_ = sessao.Config();
  FixedSystemInfo sistema{"PC-TESTE", "usuario", "127.0.0.1"};
  auto contado =
      std::make_unique<PortalContado>(std::make_unique<TPortalClienteHttp>(config_, &sistema));
  PortalContado& portal = *contado;
  auto& j = Abre({}, std::move(contado));
  TMensagensLocais mensagens([&j](int n) { j.MensagemDaJanela(n); });
  const QString nome = QStringLiteral("vtx-varias-%1").arg(::getpid());
  ASSERT_TRUE(mensagens.Escuta(nome));
  Digita("22333444000192");
  Tecla("cbUsuarios", Qt::Key_Return);
  Tecla("listServicos", Qt::Key_Return);
  Tecla("btConectar", Qt::Key_Return);
  ASSERT_TRUE(
      Sessao::Espera([&] { return portal.Active() && portal.real().PClient().Connected(); }));

  std::thread envia([&] {
    QLocalSocket s;
    s.connectToServer(nome);
    if (!s.waitForConnected(3000)) return;
    s.write("1924\n1924\n1924\n2024\n");
    s.waitForBytesWritten(3000);
    s.disconnectFromServer();
  });
  EXPECT_TRUE(Sessao::Espera([&] { return j.TaskBarIcon(); }));
  envia.join();
  EXPECT_EQ(j.TextoStatus(), "Desconectado");
  EXPECT_FALSE(portal.Active());
  EXPECT_EQ(portal.reentradas, 0);
  janela_.reset();
}

}  // namespace
}  // namespace vtx
