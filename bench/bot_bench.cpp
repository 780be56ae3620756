// Opening the self-service bot window until its first answer is drawn, under Qt's offscreen
// platform, with the answer served from loopback: a 200-item answer (of which the window shows
// the first eight) against the baseline of a one-item answer, measured in the same run.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <QApplication>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "app/janela_bot.h"
#include "app/web/config.h"

namespace {

struct SemCaixas : vtx::TDialogos {
  void Informa(QWidget*, const QString&, const QString&) override {}
  void Erro(QWidget*, const QString&) override {}
  std::optional<QString> PedeTexto(QWidget*, const QString&, const QString&) override {
    return std::nullopt;
  }
  bool Pergunta(QWidget*, const QString&, const QString&) override { return false; }
};

struct SemLinks : vtx::TAbreLinks {
  void Abre(const QString&) override {}
};

std::string Resposta(int itens) {
  std::string r = R"({"master": "0", "descricao": "Menu principal", "mais": 1, "bots": [)";
  for (int i = 1; i <= itens; ++i) {
    if (i > 1) r += ",";
    const std::string n = std::to_string(i);
    r +=
        R"({"ID": )" + n + R"(, "ID_MASTER": 0, "DESCRICAO": "Item )" + n +
        R"(", "ID_DET": 0, "LINK": )" +
        (i % 2 ? R"("https://docs.example/[CHAVE_EMPRESA]/)" + n + "\"" : std::string("null")) +
        R"(, "CONTEUDO": "Conteúdo do item )" + n +
        R"( com um texto longo o bastante para quebrar em mais de uma linha na janela", "TIPO": )" +
        std::to_string(i % 4 + 1) + R"(, "ALTURA": 0})";
  }
  return r + "]}";
}

class Servidor {
 public:
  Servidor() {
    s_.Post("/vorantelix/bot", [this](const httplib::Request& q, httplib::Response& r) {
      r.set_content(q.body.find("usuario=1&") != std::string::npos ? um_ : duzentos_, "text/plain");
    });
    porta_ = s_.bind_to_any_port("127.0.0.1");
    t_ = std::thread([this] { s_.listen_after_bind(); });
    while (!s_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~Servidor() {
    s_.stop();
    t_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(porta_); }

 private:
  const std::string um_ = Resposta(1), duzentos_ = Resposta(200);
  httplib::Server s_;
  int porta_ = 0;
  std::thread t_;
};

QApplication& App() {
  static int argc = 1;
  static char nome[] = "bench_bot";
  static char* argv[] = {nome, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// usuario selects the answer: id_user 1 gets one item, any other 200.
void AbreBot(benchmark::State& estado, int32_t usuario) {
  App();
  Servidor servidor;
  vtx::TConfiguracao c = vtx::ConfiguracaoPadrao();
  c.urlBot = servidor.Url();
  SemCaixas caixas;
  SemLinks links;
  vtx::TCliente cliente;
  cliente.id = 101;
  cliente.chave = "EST-7781";
  for (auto _ : estado) {
    (void)_;
    vtx::TUsuario u;
    u.id_user = usuario;
    auto bot =
        std::make_unique<vtx::TfmVorantelixBot>(vtx::TServicoSuporte(c), cliente, u, caixas, links);
    bot->show();
    while (bot->processandoConsulta()) QApplication::processEvents(QEventLoop::AllEvents, 5);
    QApplication::processEvents();  // the drawing's pending layout and paint
    if (bot->bots().bots.empty()) estado.SkipWithError("sem resposta");
  }
}

void BM_BotUmItem(benchmark::State& estado) {
  AbreBot(estado, 1);
}
void BM_BotDuzentosItens(benchmark::State& estado) {
  AbreBot(estado, 2);
}
BENCHMARK(BM_BotUmItem)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_BotDuzentosItens)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
