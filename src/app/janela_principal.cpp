// The main window's layout and lifecycle: creation, showing, closing, title bar, notification
// area icon, server menu, log and status text.
#include "app/janela_principal.h"

#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTimer>
#include <QToolTip>
#include <QTreeWidget>
#include <random>
#include <system_error>

#include "app/arquivos.h"
#include "app/atualizacao.h"
#include "app/janela_servico.h"
#include "app/janelas_auxiliares.h"
#include "app/lampada.h"
#include "app/mensagens_locais.h"
#include "app/sistema.h"

namespace vtx {

namespace {

const QColor kTeal(0, 128, 128);

QFont Fonte(const char* familia, int pontos, bool negrito = false) {
  QFont f(QString::fromLatin1(familia), pontos);
  f.setBold(negrito);
  return f;
}

QLabel* Rotulo(QWidget* pai, const QString& texto, int x, int y, int w = 300, int h = 15) {
  auto* l = new QLabel(texto, pai);
  l->setGeometry(x, y, w, h);
  return l;
}

QLineEdit* Edit(QWidget* pai, const char* nome, int x, int y, int w, bool somenteLeitura) {
  auto* e = new QLineEdit(pai);
  e->setObjectName(QString::fromLatin1(nome));
  e->setGeometry(x, y, w, 21);
  e->setReadOnly(somenteLeitura);
  return e;
}

QPushButton* Botao(QWidget* pai, const QString& texto, const char* nome) {
  auto* b = new QPushButton(texto, pai);
  b->setObjectName(QString::fromLatin1(nome));
  b->setAutoDefault(false);
  return b;
}

void Fundo(QWidget* w, const QColor& cor) {
  w->setAutoFillBackground(true);
  QPalette p = w->palette();
  p.setColor(QPalette::Window, cor);
  w->setPalette(p);
}

QPixmap Placeholder(int w, int h, const QColor& cor, const QString& texto) {
  QPixmap px(w, h);
  px.fill(cor);
  QPainter p(&px);
  p.setPen(Qt::white);
  p.drawText(px.rect(), Qt::AlignCenter, texto);
  return px;
}

}  // namespace

TfmVorantelix::TfmVorantelix(TAmbiente ambiente)
    : ambiente_(std::move(ambiente)),
      web_(ambiente_.config),
      ini_(ambiente_.pastas.ArquivoIni()),
      admissao_(ambiente_.config.perguntaAcesso == "1", [this](const std::string& analista) {
        return ambiente_.dialogos->Pergunta(
            this, QStringLiteral("Acesso do analista"),
            QStringLiteral("O analista %1 pede acesso a este computador (área de trabalho, "
                           "arquivos e conversa). Permitir?")
                .arg(QString::fromStdString(analista)));
      }) {
  if (!ambiente_.portal)
    ambiente_.portal = std::make_unique<TPortalClienteRegistro>(ambiente_.config.gatewayPadrao,
                                                                ambiente_.config.portaGateway);
  if (!ambiente_.dialogos) ambiente_.dialogos = std::make_unique<TDialogosQt>();
  if (!ambiente_.links) ambiente_.links = std::make_unique<TAbreLinksQt>();
  if (!ambiente_.auxiliares) ambiente_.auxiliares = std::make_unique<TJanelasVorantelix>();
  if (!ambiente_.executor) ambiente_.executor = std::make_unique<TExecutorSistema>();

  setWindowTitle(QStringLiteral("Vorantelix VARNELIKO®"));
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  setFixedSize(457, 720);
  setFont(Fonte("Tahoma", 8));
  Fundo(this, kTeal);

  auto* central = new QWidget(this);
  setCentralWidget(central);
  pTitulo_ = new QWidget(central);
  pTitulo_->setObjectName(QStringLiteral("pTitulo"));
  pTitulo_->setGeometry(0, 0, 457, 22);
  Fundo(pTitulo_, kTeal);
  MontaTitulo(pTitulo_);

  page_ = new QStackedWidget(central);
  page_->setObjectName(QStringLiteral("page"));
  page_->setGeometry(0, 22, 457, 720 - 22 - 22);
  tsConexao_ = new QWidget;
  tsConexao_->setObjectName(QStringLiteral("tsConexao"));
  tsChamado_ = new QWidget;
  tsChamado_->setObjectName(QStringLiteral("tsChamado"));
  page_->addWidget(tsConexao_);
  page_->addWidget(tsChamado_);
  MontaConexao(tsConexao_);
  MontaChamado(tsChamado_);

  st_ = new QStatusBar(central);
  st_->setObjectName(QStringLiteral("st"));
  st_->setGeometry(0, 720 - 22, 457, 22);
  st_->setSizeGripEnabled(false);
  Fundo(st_, QColor(240, 240, 240));
  stPainel_ = new QLabel(st_);
  stPainel_->setMinimumWidth(500);
  st_->addWidget(stPainel_);
  btDesconectar_ = Botao(central, QStringLiteral("Desconectar"), "btDesconectar");
  btDesconectar_->setGeometry(457 - 97, 720 - 21, 95, 20);
  btDesconectar_->hide();
  connect(btDesconectar_, &QPushButton::clicked, this, [this] { Desconecta(); });

  pop_ = new QMenu(this);
  pop_->setObjectName(QStringLiteral("pop"));
  pop_->addAction(QStringLiteral("Servidor Primário"), this,
                  [this] { DefineServidor(ambiente_.config.gatewayPrimario); });
  pop_->addAction(QStringLiteral("Servidor Secundario"), this,
                  [this] { DefineServidor(ambiente_.config.gatewaySecundario); });
  pop_->addAction(QStringLiteral("Especificar"), this, [this] {
    auto texto =
        ambiente_.dialogos->PedeTexto(this, QStringLiteral("Endereço do Servidor"),
                                      QStringLiteral("Informe o endereço IP do Servidor:"));
    if (texto) DefineServidor(texto->toStdString());
  });

  // Window creation, in order.
  if (!ambiente_.argumentos.empty() && !ambiente_.argumentos.front().empty())
    portal().setGateAddr(
        QString::fromStdString(ambiente_.argumentos.front()).toLower().toStdString());
  CarregaAnuncio();
  Analistas_.clear();
  std::error_code ec;
  std::filesystem::create_directories(ambiente_.pastas.DirTEMP(), ec);
  NOME_COMPUTADOR_ = NomeComputador();
  IP_COMPUTADOR_ = PrimeiroIPv4();
  lChamado_->clear();
  Ltempo_->clear();
  lAnalista_->clear();
  lServico_->clear();
  usuarioPrincipal_ = TUsuario{};
  TaskBarIcon_ = false;
  page_->setCurrentWidget(tsConexao_);
  page2_->setCurrentWidget(tsServicos_);
  ConectaSessao();
}

TfmVorantelix::~TfmVorantelix() {
  // The session may still end after this (the client logs out as it goes): its events find no
  // window.
  if (ambiente_.portal) ambiente_.portal->setEventos({});
}

void TfmVorantelix::MontaTitulo(QWidget* titulo) {
  lTitulo_ = new QLabel(titulo);
  lTitulo_->setObjectName(QStringLiteral("lTitulo"));
  lTitulo_->setGeometry(6, 2, 300, 18);
  lTitulo_->setFont(Fonte("Tahoma", 10, true));
  QPalette p = lTitulo_->palette();
  p.setColor(QPalette::WindowText, Qt::white);
  lTitulo_->setPalette(p);
  titulo->installEventFilter(this);
  lTitulo_->installEventFilter(this);

  sStatus1_ = new TLampada(titulo);
  sStatus1_->setObjectName(QStringLiteral("sStatus1"));
  sStatus1_->move(318, 4);
  sStatus2_ = new TLampada(titulo);
  sStatus2_->setObjectName(QStringLiteral("sStatus2"));
  sStatus2_->move(336, 4);
  // Who views or controls the desktop, left of the lamps.
  lConectado_ = new QLabel(titulo);
  lConectado_->setObjectName(QStringLiteral("lConectado"));
  lConectado_->setGeometry(150, 3, 164, 16);
  lConectado_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  {
    QPalette pc = lConectado_->palette();
    pc.setColor(QPalette::WindowText, Qt::yellow);
    lConectado_->setPalette(pc);
  }
  lConectado_->hide();

  btConn_ = Botao(titulo, QStringLiteral("@"), "btConn");
  btConn_->setFont(Fonte("Webdings", 10));
  btConn_->setGeometry(360, 1, 30, 20);
  connect(btConn_, &QPushButton::clicked, this, [this] { MenuServidor(); });
  btMinimiza_ = Botao(titulo, QStringLiteral("_"), "btMinimiza");
  btMinimiza_->setGeometry(394, 1, 28, 20);
  connect(btMinimiza_, &QPushButton::clicked, this, [this] { MinimizaParaBandeja(); });
  btFecha_ = Botao(titulo, QStringLiteral("X"), "btFecha");
  btFecha_->setGeometry(425, 1, 28, 20);
  connect(btFecha_, &QPushButton::clicked, this, [this] {
    if (btDesconectar_->isVisible()) Desconecta();
    close();
  });
}

void TfmVorantelix::MontaConexao(QWidget* pg) {
  Fundo(pg, kTeal);
  imgAnuncio_ = new QLabel(pg);
  imgAnuncio_->setObjectName(QStringLiteral("imgAnuncio"));
  imgAnuncio_->setGeometry(8, 4, 441, 161);
  imgAnuncio_->setCursor(Qt::PointingHandCursor);
  imgAnuncio_->setPixmap(Placeholder(441, 161, QColor(0, 96, 96), QStringLiteral("VARNELIKO")));
  imgAnuncio_->installEventFilter(this);

  auto* lCnpj = Rotulo(pg, QStringLiteral("Informe o CNPJ da Empresa:"), 8, 170);
  cnpj_ = Edit(pg, "cnpj", 8, 186, 130, false);
  idcli_ = Edit(pg, "idcli", 142, 186, 52, true);
  razao_ = Edit(pg, "razao", 198, 186, 251, true);
  cidade_ = Edit(pg, "cidade", 8, 211, 200, true);
  segmento_ = Edit(pg, "segmento", 212, 211, 237, true);
  auto* lUsuario = Rotulo(pg, QStringLiteral("Selecione o Usuário e tecle ENTER:"), 8, 238);
  QPalette pb = lUsuario->palette();
  pb.setColor(QPalette::WindowText, Qt::white);
  lUsuario->setPalette(pb);
  lCnpj->setPalette(pb);
  cbUsuarios_ = new QComboBox(pg);
  cbUsuarios_->setObjectName(QStringLiteral("cbUsuarios"));
  cbUsuarios_->setGeometry(8, 256, 300, 22);

  pSenha_ = new QWidget(pg);
  pSenha_->setObjectName(QStringLiteral("pSenha"));
  pSenha_->setGeometry(314, 234, 135, 52);
  // Each caption as wide as its text in the font at hand, the small one after the other.
  auto* lSenha = Rotulo(pSenha_, QStringLiteral("Senha:"), 2, 2);
  lSenha->setPalette(pb);
  lSenha->resize(lSenha->sizeHint());
  auto* portalVarneliko = Rotulo(pSenha_, QStringLiteral("(Portal VARNELIKO)"), 0, 4);
  portalVarneliko->setFont(Fonte("Tahoma", 6));
  portalVarneliko->setPalette(pb);
  portalVarneliko->resize(portalVarneliko->sizeHint());
  portalVarneliko->move(lSenha->geometry().right() + 5,
                        lSenha->geometry().bottom() - portalVarneliko->height() + 1);
  eSenha_ = Edit(pSenha_, "eSenha", 2, 22, 130, false);
  eSenha_->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));  // "*"
  eSenha_->setEchoMode(QLineEdit::Password);
  pSenha_->hide();

  page2_ = new QStackedWidget(pg);
  page2_->setObjectName(QStringLiteral("page2"));
  page2_->setGeometry(0, 289, 457, page_->height() - 289);
  tsServicos_ = new QWidget;
  tsServicos_->setObjectName(QStringLiteral("tsServicos"));
  tsChamados_ = new QWidget;
  tsChamados_->setObjectName(QStringLiteral("tsChamados"));
  semPagina_ = new QWidget;
  page2_->addWidget(tsServicos_);
  page2_->addWidget(tsChamados_);
  page2_->addWidget(semPagina_);
  MontaServicos(tsServicos_);
  MontaChamados(tsChamados_);

  connect(cnpj_, &QLineEdit::textChanged, this, [this] {
    razao_->clear();
    LimpaEmpresa();
    BuscaCliente();
  });
  // Another user shown in the list is not the chosen one: the chosen one's lists go.
  connect(cbUsuarios_, &QComboBox::currentIndexChanged, this, [this](int i) {
    if (usuarioPrincipal_.id_user == 0 && usuarioPrincipal_.email.empty()) return;
    const int indice = i >= 0 ? cbUsuarios_->itemData(i).toInt() : -1;
    const auto& lista = cliente_.usuarios.lista;
    const bool mesmo =
        indice >= 0 && static_cast<std::size_t>(indice) < lista.size() &&
        lista[static_cast<std::size_t>(indice)].id_user == usuarioPrincipal_.id_user &&
        lista[static_cast<std::size_t>(indice)].email == usuarioPrincipal_.email;
    if (!mesmo) LimpaUsuario();
  });
  for (QWidget* w : {static_cast<QWidget*>(cnpj_), static_cast<QWidget*>(cbUsuarios_),
                     static_cast<QWidget*>(eSenha_)})
    w->installEventFilter(this);
}

void TfmVorantelix::MontaServicos(QWidget* pg) {
  Fundo(pg, kTeal);
  auto* l =
      Rotulo(pg, QStringLiteral("Selecione o Item para qual deseja solicitar suporte:"), 8, 4, 440);
  QPalette pb = l->palette();
  pb.setColor(QPalette::WindowText, Qt::white);
  l->setPalette(pb);
  listServicos_ = new QTreeWidget(pg);
  listServicos_->setObjectName(QStringLiteral("listServicos"));
  listServicos_->setGeometry(8, 22, 441, 250);
  listServicos_->setColumnCount(2);
  listServicos_->setHeaderLabels({QString(), QStringLiteral("Serviço")});
  listServicos_->setHeaderHidden(true);
  listServicos_->setRootIsDecorated(false);
  listServicos_->setSelectionBehavior(QAbstractItemView::SelectRows);
  listServicos_->setColumnWidth(0, 15);
  listServicos_->setColumnWidth(1, 400);
  listServicos_->setCursor(Qt::PointingHandCursor);
  listServicos_->setFont(Fonte("Arial", 12, true));
  obs_ = new QPlainTextEdit(pg);
  obs_->setObjectName(QStringLiteral("obs"));
  obs_->setReadOnly(true);
  obs_->setGeometry(8, 276, 441, 43);
  btConectar_ = Botao(pg, QStringLiteral("Abrir Chamado"), "btConectar");
  btConectar_->setGeometry(329, 324, 120, 28);
  // Clicks that arrive while a step runs its pending events wait for the next click.
  connect(btConectar_, &QPushButton::clicked, this, [this] {
    if (!ocupado_) AbrirChamadoClicado();
  });
  connect(listServicos_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
    if (item && !ocupado_) SelecionaServico(listServicos_->indexOfTopLevelItem(item));
  });
  listServicos_->installEventFilter(this);
  btConectar_->installEventFilter(this);
}

void TfmVorantelix::MontaChamados(QWidget* pg) {
  Fundo(pg, Qt::yellow);
  auto* l = Rotulo(pg,
                   QStringLiteral("Esses são seus Chamados em Aberto, se desejar selecione o "
                                  "chamado e clique em Continuar, caso contrario clique em novo "
                                  "chamado."),
                   8, 4, 441, 32);
  l->setWordWrap(true);
  listChamados_ = new QTreeWidget(pg);
  listChamados_->setObjectName(QStringLiteral("listChamados"));
  listChamados_->setGeometry(8, 40, 441, 270);
  listChamados_->setColumnCount(4);
  listChamados_->setHeaderLabels({QStringLiteral("Chamado"), QStringLiteral("Serviço"),
                                  QStringLiteral("Analista"), QStringLiteral("Reab")});
  listChamados_->setRootIsDecorated(false);
  listChamados_->setSelectionBehavior(QAbstractItemView::SelectRows);
  const int larguras[] = {55, 220, 80, 40};
  for (int c = 0; c < 4; ++c) listChamados_->setColumnWidth(c, larguras[c]);
  listChamados_->setFont(Fonte("Arial", 7, true));
  btReabrir_ = Botao(pg, QStringLiteral("Continuar"), "btReabrir");
  btReabrir_->setGeometry(209, 318, 110, 28);
  btNovoChamado_ = Botao(pg, QStringLiteral("Novo Chamado"), "btNovoChamado");
  btNovoChamado_->setGeometry(329, 318, 120, 28);
  connect(btReabrir_, &QPushButton::clicked, this, [this] {
    if (!ocupado_) AbreChamado();
  });
  connect(btNovoChamado_, &QPushButton::clicked, this, [this] {
    if (ocupado_) return;
    page2_->setCurrentWidget(tsServicos_);
    BuscaServicos(0);
  });
  for (QWidget* w : {static_cast<QWidget*>(listChamados_), static_cast<QWidget*>(btReabrir_),
                     static_cast<QWidget*>(btNovoChamado_)})
    w->installEventFilter(this);
}

void TfmVorantelix::MontaChamado(QWidget* pg) {
  Fundo(pg, kTeal);
  auto* cabecalho = new QWidget(pg);
  cabecalho->setGeometry(0, 0, 457, 57);
  Fundo(cabecalho, Qt::gray);
  Rotulo(cabecalho, QStringLiteral("Chamado:"), 4, 4, 60);
  lServicoTitulo_ = Rotulo(cabecalho, QStringLiteral("Serviço:"), 4, 20, 60);
  lServicoTitulo_->setCursor(Qt::PointingHandCursor);
  lServicoTitulo_->installEventFilter(this);
  Rotulo(cabecalho, QStringLiteral("Tempo:"), 230, 4, 50);
  Rotulo(cabecalho, QStringLiteral("Analista:"), 4, 36, 60);
  lChamado_ = Rotulo(cabecalho, {}, 66, 4, 160);
  lChamado_->setObjectName(QStringLiteral("lChamado"));
  lServico_ = Rotulo(cabecalho, {}, 66, 20, 320);
  lServico_->setObjectName(QStringLiteral("lServico"));
  lServico_->setCursor(Qt::PointingHandCursor);
  lServico_->installEventFilter(this);
  Ltempo_ = Rotulo(cabecalho, {}, 282, 4, 100);
  Ltempo_->setObjectName(QStringLiteral("Ltempo"));
  lAnalista_ = Rotulo(cabecalho, {}, 66, 36, 320);
  lAnalista_->setObjectName(QStringLiteral("lAnalista"));
  imgAnalista_ = new QLabel(cabecalho);
  imgAnalista_->setObjectName(QStringLiteral("imgAnalista"));
  imgAnalista_->setGeometry(400, 0, 57, 57);
  auto* offline = Rotulo(cabecalho, QStringLiteral("ANALISTA OFFLINE"), 300, 40, 100);
  lAnalistOffline_ = offline;
  offline->setObjectName(QStringLiteral("lAnalistOffline"));
  QPalette py = offline->palette();
  py.setColor(QPalette::WindowText, Qt::yellow);
  offline->setPalette(py);
  offline->hide();

  auto* scroll = new QScrollArea(pg);
  scroll->setObjectName(QStringLiteral("scroll"));
  scroll->setGeometry(0, 57, 457, 556);
  scroll_ = scroll;
  conteudoChat_ = new QWidget;
  conteudoChat_->setObjectName(QStringLiteral("conteudoChat"));
  conteudoChat_->resize(scroll->viewport()->width(), 0);
  scroll->setWidget(conteudoChat_);
  scroll->setWidgetResizable(false);
  auto* barra = new QWidget(pg);
  barra->setGeometry(0, 613, 457, 63);
  Fundo(barra, Qt::gray);
  imgUsuario_ = new QLabel(barra);
  imgUsuario_->setObjectName(QStringLiteral("imgUsuario"));
  imgUsuario_->setGeometry(0, 0, 61, 63);
  Rotulo(barra, QStringLiteral("Digite a mensagem desejada:"), 66, 2, 200);
  auto* aguarde = Rotulo(barra, QStringLiteral("Aguarde um momento por favor."), 66, 20, 330, 20);
  aguarde->setObjectName(QStringLiteral("lAguarde"));
  lAguarde_ = aguarde;
  aguarde->setFont(Fonte("Tahoma", 12, true));
  aguarde->setAlignment(Qt::AlignCenter);
  aguarde->setPalette(py);
  aguarde->hide();
  auto* edtMsg = new QPlainTextEdit(barra);
  edtMsg->setObjectName(QStringLiteral("edtMsg"));
  edtMsg_ = edtMsg;
  edtMsg->installEventFilter(this);
  edtMsg->setGeometry(66, 18, 340, 43);
  edtMsg->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* btEnviar = Botao(barra, QStringLiteral("➤"), "btEnviar");
  btEnviar->setGeometry(410, 18, 43, 43);
  connect(btEnviar, &QPushButton::clicked, this, [this] { EnviaMensagem(); });
  timerTempo_ = new QTimer(this);
  timerTempo_->setInterval(30000);
  connect(timerTempo_, &QTimer::timeout, this, [this] {
    timerTempo_->stop();
    AtualizaTempo();
    timerTempo_->start();
  });
}

void TfmVorantelix::CarregaAnuncio() {
  try {
    auto lista = web_.BuscaAnuncios();
    if (!lista) return;
    Anuncios_ = std::move(*lista);
    if (Anuncios_.list.empty()) return;
    static std::mt19937 geradorDoPrograma{std::random_device{}()};
    std::mt19937 geradorSemeado(ambiente_.sementeAnuncio.value_or(0));
    std::mt19937& gerador = ambiente_.sementeAnuncio ? geradorSemeado : geradorDoPrograma;
    std::uniform_int_distribution<std::size_t> d(0, Anuncios_.list.size() - 1);
    Anuncio_ = Anuncios_.list[d(gerador)];
    temAnuncio_ = true;
    if (!Anuncio_.imagem.empty()) {
      const std::string url = Anuncio_.imagem;
      const TServicoSuporte web = web_;
      fundo_.Executa([web, url] { return web.BaixaImagem(url); },
                     [this](const std::string& bytes, bool falhou) {
                       QPixmap px;
                       if (!falhou && px.loadFromData(reinterpret_cast<const uchar*>(bytes.data()),
                                                      static_cast<uint>(bytes.size()), "PNG"))
                         imgAnuncio_->setPixmap(px.scaled(441, 161));
                     });
    }
    if (!Anuncio_.mensagem.empty())
      imgAnuncio_->setToolTip(QString::fromStdString(Anuncio_.mensagem));
  } catch (...) {
  }
}

void TfmVorantelix::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  if (!mostrado_) {
    mostrado_ = true;
    FormShow();
  }
}

void TfmVorantelix::FormShow() {
  lTitulo_->setText(QStringLiteral("Vorantelix VARNELIKO® | v%1").arg(NumeroBuild));
  move(ini_.LeInteiro("Vorantelix", "Left", 50), ini_.LeInteiro("Vorantelix", "Top", 100));
  cnpj_->setText(QString::fromStdString(ini_.LeTexto("CONFIG", "CNPJ")));
  cnpj_->setFocus();
}

void TfmVorantelix::closeEvent(QCloseEvent* e) {
  portal().Stop();
  if (portal().Active()) portal().setActive(false);
  ini_.GravaInteiro("Vorantelix", "Left", x());
  ini_.GravaInteiro("Vorantelix", "top", y());
  Analistas_.clear();
  if (icone_) icone_->hide();
  // The program ends with this window: the bot and the windows over this one go with it, or
  // they would keep the program running.
  ambiente_.auxiliares->FechaBot();
  for (QWidget* w : findChildren<QWidget*>())
    if (w->isWindow() && w->isVisible()) w->hide();
  QMainWindow::closeEvent(e);
}

bool TfmVorantelix::eventFilter(QObject* objeto, QEvent* evento) {
  if (evento->type() == QEvent::MouseButtonRelease && objeto->property("vtxLink").isValid()) {
    ambiente_.links->Abre(objeto->property("vtxLink").toString());
    return true;
  }
  const bool tecla = evento->type() == QEvent::KeyPress || evento->type() == QEvent::KeyRelease;
  if (objeto == edtMsg_ && tecla && TeclaMensagem(static_cast<QKeyEvent*>(evento), evento->type()))
    return true;
  const bool titulo = objeto == pTitulo_ || objeto == lTitulo_;
  switch (evento->type()) {
    case QEvent::MouseButtonPress:
      if (titulo) {
        const auto* m = static_cast<QMouseEvent*>(evento);
        LMouseD_ = true;
        LMouseX_ = m->position().toPoint().x();
        LMouseY_ = m->position().toPoint().y();
        return true;
      }
      if (objeto == imgAnuncio_ && temAnuncio_ && !Anuncio_.link.empty()) {
        links().Abre(QString::fromStdString(Anuncio_.link));
        return true;
      }
      if (objeto == lServico_ || objeto == lServicoTitulo_) {
        AbreAlteraServico();
        return true;
      }
      break;
    case QEvent::MouseMove:
      if (titulo && LMouseD_) {
        const QPoint p = static_cast<QMouseEvent*>(evento)->position().toPoint();
        move(x() + p.x() - LMouseX_, y() + p.y() - LMouseY_);
        return true;
      }
      break;
    case QEvent::MouseButtonRelease:
      if (titulo) {
        LMouseD_ = false;
        return true;
      }
      break;
    case QEvent::MouseButtonDblClick:
      if (objeto == lTitulo_) {
        setTextoStatus(QString::fromStdString(portal().GateAddr()));
        return true;
      }
      break;
    case QEvent::KeyPress:
      return TeclaConexao(objeto, static_cast<QKeyEvent*>(evento)->key());
    default:
      break;
  }
  return QMainWindow::eventFilter(objeto, evento);
}

QString TfmVorantelix::TextoStatus() const {
  return stPainel_->text();
}

void TfmVorantelix::setTextoStatus(const QString& texto) {
  stPainel_->setText(texto);
  stPainel_->setToolTip(texto);  // the whole text, where the bar cuts it off
}

void TfmVorantelix::xLog(const std::string& texto) {
  SalvaTexto(ambiente_.pastas.ArquivoLogDeHoje(), texto, true);
}

void TfmVorantelix::ONHintBalloon(QWidget* sender, const QString& sHint, const QString& sTitle) {
  if (sHint.isEmpty() || sender == nullptr) return;
  ultimoBalao_ = sHint;
  const QPoint onde = QCursor::pos();
  const QString texto =
      QStringLiteral("<b>%1</b><br>%2").arg(sTitle.toHtmlEscaped(), sHint.toHtmlEscaped());
  QTimer::singleShot(250, sender,
                     [onde, texto, sender] { QToolTip::showText(onde, texto, sender, {}, 2250); });
}

void TfmVorantelix::TaskBarAddIcon() {
  if (TaskBarIcon_) return;
  icone_ = new QSystemTrayIcon(this);
  icone_->setObjectName(QStringLiteral("TaskBarIcon"));
  icone_->setIcon(QIcon(Placeholder(32, 32, kTeal, QStringLiteral("V"))));
  icone_->setToolTip(QStringLiteral("Vorantelix"));
  // Queued: removing the icon deletes the platform's icon, which is still in its own event
  // handler when it signals the click.
  connect(
      icone_, &QSystemTrayIcon::activated, this,
      [this](QSystemTrayIcon::ActivationReason r) { IconeAtivado(r); }, Qt::QueuedConnection);
  icone_->show();
  TaskBarIcon_ = true;
}

void TfmVorantelix::TaskBarRemoveIcon() {
  if (!TaskBarIcon_) return;
  icone_->hide();
  icone_->deleteLater();
  icone_ = nullptr;
  TaskBarIcon_ = false;
}

void TfmVorantelix::MinimizaParaBandeja() {
  TaskBarAddIcon();
  // Without a notification area there would be no way back: minimise normally then.
  if (QSystemTrayIcon::isSystemTrayAvailable())
    hide();
  else
    showMinimized();
}

void TfmVorantelix::IconeAtivado(QSystemTrayIcon::ActivationReason motivo) {
  if (motivo != QSystemTrayIcon::Trigger && motivo != QSystemTrayIcon::Context) return;
  showNormal();
  raise();
  activateWindow();
  TaskBarRemoveIcon();
}

void TfmVorantelix::MensagemDaJanela(int mensagem) {
  if (mensagem == MensagemMinimiza)
    MinimizaParaBandeja();
  else if (mensagem == MensagemDesconecta)
    Desconecta();
}

void TfmVorantelix::MenuServidor() {
  pop_->popup(btConn_->mapToGlobal(QPoint(0, 0)));
}

void TfmVorantelix::DefineServidor(const std::string& endereco) {
  portal().setGateAddr(endereco);
  setTextoStatus(QString::fromStdString(endereco + ":" + portal().GatePort()));
}

TfmServico* TfmVorantelix::AbreAlteraServico() {
  auto* janela = new TfmServico(this, web_, chamadoAtual_, *ambiente_.dialogos,
                                [this](const TServico& s) { ServicoAlterado(s); });
  janela->show();
  return janela;
}

void TfmVorantelix::ServicoAlterado(const TServico& servico) {
  chamadoAtual_.id_serv = servico.id;
  chamadoAtual_.servico = servico.descricao;
  lServico_->setText(QString::fromStdString(servico.descricao));
}

void TfmVorantelix::Desconecta() {
  // Stopping the client processes events, in which another request to end it, or a key or
  // click of the connection page, may arrive: those wait until the session has ended.
  if (desconectando_) return;
  struct Fim {
    bool& desconectando;
    bool& ocupado;
    bool ocupadoAntes;
    ~Fim() {
      desconectando = false;
      ocupado = ocupadoAntes;
    }
  } fim{desconectando_, ocupado_, ocupado_};
  desconectando_ = ocupado_ = encerrado_ = true;
  portal().Stop();
  portal().setActive(false);
  sStatus2_->setPreenchimento(QColor(128, 128, 128));
  visualizadores_.clear();
  MostraConectados();
  btDesconectar_->hide();
  page_->setCurrentWidget(tsConexao_);
  cbUsuarios_->setFocus();
  btConn_->show();
  setTextoStatus(QStringLiteral("Desconectado"));
  if (!ID_CHAMADO_ATUAL_.empty()) ambiente_.auxiliares->MostraAvaliacao(this, ID_CHAMADO_ATUAL_);
}

}  // namespace vtx
