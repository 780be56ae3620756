// What the window tests share: the offscreen application, dialogs recorded instead of shown,
// and a fixture with one real vorantelix-supportd per suite and a fresh folder per test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QString>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/dialogos.h"
#include "suporte_processo.h"

// Readable failures for texts.
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}

namespace vtx::teste {

// The one application of the test program, made by whichever test needs it first and kept to
// the end of the process (destroying it among the exit handlers would outlive Qt's globals).
inline QApplication& App() {
  static int argc = 1;
  static char nome[] = "vtx_app_program_tests";
  static char* argv[] = {nome, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication* app = QCoreApplication::instance()
                                 ? static_cast<QApplication*>(QCoreApplication::instance())
                                 : new QApplication(argc, argv);
  return *app;
}

// Records each message ("title: text" with `comTitulo`, else the text) and each error
// ("erro: text"); PedeTexto answers `resposta`; each question is recorded ("pergunta: title:
// text") and answered `sim`.
struct DialogosGravados : TDialogos {
  DialogosGravados(std::vector<QString>* r, bool comTitulo,
                   std::optional<QString> resposta = std::nullopt)
      : registro(r), titulo(comTitulo), texto(std::move(resposta)) {}
  void Informa(QWidget*, const QString& t, const QString& msg) override {
    registro->push_back(titulo ? t + ": " + msg : msg);
  }
  void Erro(QWidget*, const QString& msg) override { registro->push_back("erro: " + msg); }
  std::optional<QString> PedeTexto(QWidget*, const QString&, const QString&) override {
    return texto;
  }
  bool Pergunta(QWidget*, const QString& t, const QString& p) override {
    registro->push_back("pergunta: " + t + ": " + p);
    return sim;
  }
  std::vector<QString>* registro;
  bool titulo;
  std::optional<QString> texto;
  bool sim = true;
};

// One real stand-in for the suite; CriaPasta makes the test's own empty folder.
class JanelaTeste : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    App();
    suporte_ = std::make_unique<SuporteProcesso>(std::vector<std::string>{});
  }
  static void TearDownTestSuite() { suporte_.reset(); }

  void CriaPasta(const std::string& prefixo) {
    pasta_ = std::filesystem::temp_directory_path() /
             (prefixo + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(pasta_);
    std::filesystem::create_directories(pasta_);
    config_ = suporte_->Config();
  }

  static inline std::unique_ptr<SuporteProcesso> suporte_;
  std::filesystem::path pasta_;
  TConfiguracao config_;
};

}  // namespace vtx::teste
