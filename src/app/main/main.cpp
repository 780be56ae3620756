// vorantelix: the customer's support program.
//   vorantelix [GATEWAY]                 the program; GATEWAY (lower-cased) is the gateway address
//   vorantelix --send 2024|1924          sends a window message to the running program
//   vorantelix --demo-script FILE --demo-out DIR [GATEWAY]   walks a scripted demonstration
//   vorantelix --report-startup          prints "janela exibida" and the resident memory once the
//                                        window is shown, then ends
#include <QApplication>
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "app/atualizacao.h"
#include "app/janela_principal.h"
#include "app/laco_qt.h"
#include "app/mensagens_locais.h"
#include "app/pastas.h"
#include "app/portal_cliente_http.h"
#include "app/roteiro_demo.h"
#include "app/traducao_qt.h"
#include "app/web/erros.h"

namespace {

long MemoriaResidenteKb() {
  std::ifstream status("/proc/self/status");
  std::string linha;
  while (std::getline(status, linha))
    if (linha.rfind("VmRSS:", 0) == 0) return std::stol(linha.substr(6));
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> argumentos(argv + 1, argv + argc);
  std::string roteiro, saidaDemo;
  bool relataInicio = false;
  for (std::size_t i = 0; i < argumentos.size();) {
    const std::string a = argumentos[i];
    const bool temValor = i + 1 < argumentos.size();
    if (a == "--send") {
      if (!temValor) return std::cerr << "vorantelix: --send 2024|1924\n", 2;
      const std::string n = argumentos[i + 1];
      if (n != "2024" && n != "1924") return std::cerr << "vorantelix: mensagem inválida\n", 2;
      QCoreApplication app(argc, argv);
      if (vtx::EnviaMensagemLocal(vtx::NomePontoLocal(), std::stoi(n))) return 0;
      std::cerr << "vorantelix: o programa não está em execução\n";
      return 1;
    } else if ((a == "--demo-script" || a == "--demo-out") && temValor) {
      (a == "--demo-script" ? roteiro : saidaDemo) = argumentos[i + 1];
      argumentos.erase(argumentos.begin() + i, argumentos.begin() + i + 2);
    } else if (a == "--report-startup") {
      relataInicio = true;
      argumentos.erase(argumentos.begin() + i);
    } else {
      ++i;
    }
  }

  vtx::TConfiguracao config;
  try {
    config = vtx::ConfiguracaoDoAmbiente();
  } catch (const vtx::EVorantelix& e) {
    std::cerr << "vorantelix: " << e.message() << "\n";
    return 2;
  }
  const vtx::TPastas pastas = vtx::PastasDoPrograma(config);
  std::error_code ec;
  std::filesystem::create_directories(pastas.Inbox(), ec);
  if (vtx::VerificaAtualizacao(vtx::TServicoSuporte(config), pastas.Instalador()) ==
      vtx::TResultadoAtualizacao::InstaladorIniciado)
    return 0;

  QApplication app(argc, argv);
  const auto traducao = vtx::InstalaTraducaoQt();
  vtx::TLacoQt laco;  // the portal client's events run on this thread
  vtx::TAmbiente ambiente;
  ambiente.config = config;
  ambiente.portal = std::make_unique<vtx::TPortalClienteHttp>(config);
  ambiente.pastas = pastas;
  ambiente.argumentos = argumentos;
  vtx::TfmVorantelix janela(std::move(ambiente));
  vtx::TMensagensLocais mensagens([&janela](int n) { janela.MensagemDaJanela(n); });
  mensagens.Escuta(vtx::NomePontoLocal());
  janela.show();

  if (relataInicio) {
    QTimer::singleShot(0, &janela, [&janela] {
      std::printf("janela exibida rss_kb=%ld\n", MemoriaResidenteKb());
      std::fflush(stdout);
      janela.close();
    });
  }
  int erroRoteiro = 0;
  if (!roteiro.empty()) {
    QTimer::singleShot(0, &janela, [&] {
      QFile f(QString::fromStdString(roteiro));
      QString erro;
      if (!f.open(QIODevice::ReadOnly))
        erro = QStringLiteral("não foi possível ler o roteiro");
      else
        erro =
            vtx::ExecutaRoteiro(&janela, QString::fromUtf8(f.readAll()).split('\n'),
                                QString::fromStdString(saidaDemo.empty() ? "demo-out" : saidaDemo));
      if (!erro.isEmpty()) {
        std::cerr << "vorantelix: " << erro.toStdString() << "\n";
        erroRoteiro = 1;
      }
      janela.close();
    });
  }
  const int rc = app.exec();
  return erroRoteiro ? erroRoteiro : rc;
}
