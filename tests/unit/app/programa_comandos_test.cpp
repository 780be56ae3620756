// The analyst's command table, the Linux tool table behind it and the process lookup.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/comandos_analista.h"
#include "app/ferramentas.h"

namespace vtx {
namespace {

namespace fs = std::filesystem;

class ExecutorGravado : public TExecutor {
 public:
  std::set<std::string> instalados;
  std::vector<std::string> iniciados;
  bool Instalado(const std::string& p) const override { return instalados.count(p) != 0; }
  bool Inicia(const std::vector<std::string>& a) override {
    std::string l;
    for (const auto& s : a) l += (l.empty() ? "" : " ") + s;
    iniciados.push_back(l);
    return true;
  }
};

class AcoesGravadas : public TAcoesComando {
 public:
  std::vector<std::string> feitos, log;
  std::string nome = "PC-TESTE";
  std::set<std::string> processos;
  ExecutorGravado executor;
  void MudaAnalista(const std::string& c, const std::string& a, const std::string& n) override {
    feitos.push_back("muda " + c + "," + a + "," + n);
  }
  void AnalistaOnline(const std::string& c, const std::string& a) override {
    feitos.push_back("online " + c + "," + a);
  }
  void PedeEncerramento() override { feitos.push_back("encerra"); }
  std::string NomeComputador() const override { return nome; }
  std::string PastaDados() const override { return "/dados/"; }
  std::string PastaEntrada() const override { return "/dados/INBOX/"; }
  void Log(const std::string& l) override { log.push_back(l); }
  TExecutor& Executor() override { return executor; }
  bool ProcessoAtivo(std::string_view n) const override {
    return processos.count(std::string(n)) != 0;
  }
};

// Every command word with what it does when its tools are installed; lower-case variants and
// unknown words do nothing at all.
TEST(Comandos, CadaPalavraDaTabela) {
  struct Caso {
    std::string texto;
    std::vector<std::string> feitos, iniciados;
  };
  const std::string muitos = [] {
    std::string s;
    for (int i = 0; i < 100000; ++i) s += "|x";
    return s;
  }();
  const std::vector<Caso> casos = {
      {"changeanalista|2|4201|57|Maria", {"muda 4201,57,Maria"}, {}},
      {"changeanalista|2|4201", {"muda 4201,,"}, {}},
      {"changeanalista", {"muda ,,"}, {}},
      {"changeanalista" + muitos, {"muda x,x,x"}, {}},
      {"analistaonline|x|4201|57|extra", {"online 4201,57"}, {}},
      {"<WIN_CTRL_ALT_DEL>", {}, {}},
      {"<WIN_ALT_TAB>", {}, {}},
      {"<TSINBOX>", {}, {"xdg-open /dados/INBOX/"}},
      {"<TSFOLDER>", {}, {"xdg-open smb://SERVIDOR/VARNELIKO_VTX5/"}},
      {"<CP_OPC_INTERNET>", {}, {"gnome-control-center network"}},
      {"<CP_OPC_PASTAS>", {}, {"nautilus --new-window"}},
      {"<CP_PAINEL_CONTROLE>", {}, {"gnome-control-center"}},
      {"<CP_SOM>", {}, {"gnome-control-center sound"}},
      {"<CP_SOM>" + muitos, {}, {"gnome-control-center sound"}},
      {"<CP_SISTEMA>", {}, {"gnome-control-center info-overview"}},
      {"<CP_VIDEO>", {}, {"gnome-control-center display"}},
      {"<CP_MOUSE>", {}, {"gnome-control-center mouse"}},
      {"<CP_PROGRAMAS>", {}, {"gnome-software"}},
      {"<CP_PROMPT>", {}, {"x-terminal-emulator"}},
      {"<CP_GERENC_DISPOS>", {}, {"hardinfo"}},
      {"<CP_FIREBIRD>", {}, {}},  // no server running
      {"<CP_FIREWALL>", {}, {"gufw"}},
      {"<CP_CON_REDE>", {}, {"nm-connection-editor"}},
      {"<CP_DATAHORA>", {}, {"gnome-control-center datetime"}},
      {"<CP_DISPOS_IMPRES>", {}, {"system-config-printer"}},
      {"<CP_TECLADO>", {}, {"gnome-control-center keyboard"}},
      {"<CLOSE_HOST>", {"encerra"}, {}},
      {"<CLOSE_HOST>|a|b", {"encerra"}, {}},
      {"<CLOSE_HOST>" + muitos, {"encerra"}, {}},
      {"<cp_som>", {}, {}},
      {"<Cp_Som>", {}, {}},
      {"<close_host>", {}, {}},
      {"CHANGEANALISTA|2|4201|57|Maria", {}, {}},
      {" <CP_SOM>", {}, {}},
      {"<CP_SOM >", {}, {}},
      {"", {}, {}},
      {"|", {}, {}},
      {"|<CP_SOM>", {}, {}},
      {std::string("<CP_SOM>\0", 9), {}, {}},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.texto.substr(0, 40));
    AcoesGravadas acoes;
    for (const auto& linha : TabelaFerramentas())
      for (const auto& candidato : linha.candidatos) acoes.executor.instalados.insert(candidato[0]);
    acoes.executor.instalados.insert("xdg-open");
    ExecutaComando(InterpretaComando(c.texto), acoes);
    EXPECT_EQ(acoes.feitos, c.feitos);
    EXPECT_EQ(acoes.executor.iniciados, c.iniciados);
    EXPECT_TRUE(acoes.log.empty()) << acoes.log.front();
  }
}

// A tool with no stand-in installed starts nothing and logs one line naming what was missing;
// the first installed candidate is the one started.
TEST(Comandos, FerramentaAusenteOuAlternativa) {
  struct Caso {
    const char* texto;
    std::set<std::string> instalados;
    std::vector<std::string> iniciados;
    const char* log;  // part of the one log line, or null for none
  };
  const std::vector<Caso> casos = {
      {"<CP_SOM>", {}, {}, "\"control.exe MMSys.cpl\": gnome-control-center, systemsettings"},
      {"<CP_SOM>", {"pavucontrol"}, {"pavucontrol"}, nullptr},
      {"<CP_SOM>", {"systemsettings", "pavucontrol"}, {"systemsettings kcm_pulseaudio"}, nullptr},
      {"<CP_PROMPT>", {"xterm", "konsole"}, {"konsole"}, nullptr},
      {"<CP_PROMPT>", {}, {}, "\"cmd\": x-terminal-emulator"},
      {"<TSINBOX>", {}, {}, "xdg-open"},
      {"<CP_FIREWALL>", {"gnome-control-center"}, {}, "\"control.exe firewall.cpl\": gufw"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.texto);
    AcoesGravadas acoes;
    acoes.executor.instalados = c.instalados;
    ExecutaComando(InterpretaComando(c.texto), acoes);
    EXPECT_EQ(acoes.executor.iniciados, c.iniciados);
    if (c.log) {
      ASSERT_EQ(acoes.log.size(), 1u);
      EXPECT_NE(acoes.log[0].find(c.log), std::string::npos) << acoes.log[0];
    } else {
      EXPECT_TRUE(acoes.log.empty());
    }
    EXPECT_TRUE(acoes.feitos.empty());
  }
}

// "<TSFOLDER>" opens the local data folder only on the computer named exactly "SERVIDOR";
// "<CP_FIREBIRD>" only while a database server process runs.
TEST(Comandos, PastaDoServidorEFirebird) {
  struct Caso {
    const char* texto;
    const char* nome;
    std::set<std::string> processos;
    std::vector<std::string> iniciados;
  };
  const std::vector<Caso> casos = {
      {"<TSFOLDER>", "SERVIDOR", {}, {"xdg-open /dados/"}},
      {"<TSFOLDER>", "servidor", {}, {"xdg-open smb://SERVIDOR/VARNELIKO_VTX5/"}},
      {"<TSFOLDER>", "SERVIDOR2", {}, {"xdg-open smb://SERVIDOR/VARNELIKO_VTX5/"}},
      {"<CP_FIREBIRD>", "PC", {"fbserver.exe"}, {"flamerobin"}},
      {"<CP_FIREBIRD>", "PC", {"firebird"}, {"flamerobin"}},
      {"<CP_FIREBIRD>", "PC", {"fbguard"}, {}},
      {"<CP_FIREBIRD>", "PC", {}, {}},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(std::string(c.texto) + " " + c.nome);
    AcoesGravadas acoes;
    acoes.nome = c.nome;
    acoes.processos = c.processos;
    acoes.executor.instalados = {"xdg-open", "flamerobin"};
    ExecutaComando(InterpretaComando(c.texto), acoes);
    EXPECT_EQ(acoes.executor.iniciados, c.iniciados);
  }
}

TEST(Comandos, CampoContaDeUm) {
  const std::pair<std::pair<const char*, std::size_t>, const char*> casos[] = {
      {{"a|b|c", 1}, "a"}, {{"a|b|c", 3}, "c"}, {{"a|b|c", 4}, ""}, {{"a||c", 2}, ""},
      {{"", 1}, ""},       {{"a|b", 0}, ""},    {{"|", 2}, ""},     {{"a|", 2}, ""},
  };
  for (const auto& [entrada, esperado] : casos)
    EXPECT_EQ(Campo(entrada.first, entrada.second), esperado)
        << entrada.first << " #" << entrada.second;
}

// Every tool has its own row, in the enum's order, with at least one candidate.
TEST(Ferramentas, UmaLinhaPorFerramenta) {
  const auto& tabela = TabelaFerramentas();
  ASSERT_EQ(tabela.size(), static_cast<std::size_t>(TFerramenta::Teclado) + 1);
  std::set<std::string> windows;
  for (std::size_t i = 0; i < tabela.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(tabela[i].ferramenta), i);
    EXPECT_TRUE(windows.insert(tabela[i].windows).second) << tabela[i].windows;
    ASSERT_FALSE(tabela[i].candidatos.empty()) << tabela[i].windows;
    for (const auto& c : tabela[i].candidatos) EXPECT_FALSE(c.empty() || c[0].empty());
  }
}

// Processes found by executable name, without regard to case, through a process table laid
// out as /proc is; the real table finds this test program.
TEST(Ferramentas, ProcessoAtivoPeloNomeDoExecutavel) {
  const fs::path proc = fs::temp_directory_path() / ("vtx-proc-" + std::to_string(::getpid()));
  fs::remove_all(proc);
  auto processo = [&](const char* pid, const std::string& comm, const std::string& cmdline) {
    fs::create_directories(proc / pid);
    std::ofstream(proc / pid / "comm") << comm << "\n";
    std::ofstream(proc / pid / "cmdline", std::ios::binary) << cmdline;
  };
  processo("1", "systemd", std::string("/sbin/init\0splash\0", 18));
  processo("42", "fbserver", std::string("/opt/firebird/bin/FBServer\0-a\0", 30));
  processo("43", "averylongprogra", std::string("", 0));  // comm cut at 15
  processo("self", "impostor", "impostor");               // not a process folder
  fs::create_directories(proc / "sys");
  struct Caso {
    const char* nome;
    bool ativo;
  };
  for (const Caso& c :
       {Caso{"fbserver", true}, Caso{"FBSERVER", true}, Caso{"init", true},
        Caso{"systemd", false},  // the first argument names it Caso{"averylongprogramname", true},
        Caso{"averylongprogra", true}, Caso{"fbserver.exe", false}, Caso{"impostor", false},
        Caso{"", false}, Caso{"bin", false}, Caso{"/opt/firebird/bin/FBServer", false}})
    EXPECT_EQ(ProcessoAtivo(c.nome, proc), c.ativo) << c.nome;
  EXPECT_FALSE(ProcessoAtivo("fbserver", proc / "nada"));
  fs::remove_all(proc);

  const std::string eu = fs::read_symlink("/proc/self/exe").filename().string();
  EXPECT_TRUE(ProcessoAtivo(eu));
  EXPECT_FALSE(ProcessoAtivo("nenhum-" + eu));
}

// Programs are looked up on PATH and must be executable.
TEST(Ferramentas, InstaladoProcuraNoPath) {
  const fs::path pasta = fs::temp_directory_path() / ("vtx-path-" + std::to_string(::getpid()));
  fs::create_directories(pasta);
  std::ofstream(pasta / "vtx-ferramenta") << "#!/bin/sh\n";
  fs::permissions(pasta / "vtx-ferramenta", fs::perms::owner_all);
  std::ofstream(pasta / "vtx-texto") << "x\n";
  const char* antes = std::getenv("PATH");
  const std::string velho = antes ? antes : "";
  ::setenv("PATH", pasta.c_str(), 1);
  TExecutorSistema sistema;
  EXPECT_TRUE(sistema.Instalado("vtx-ferramenta"));
  EXPECT_TRUE(sistema.Instalado((pasta / "vtx-ferramenta").string()));
  EXPECT_FALSE(sistema.Instalado("vtx-texto"));
  EXPECT_FALSE(sistema.Instalado("vtx-nenhuma"));
  EXPECT_FALSE(sistema.Instalado(""));
  EXPECT_FALSE(EscolheFerramenta(sistema, TFerramenta::Som).has_value());
  ::setenv("PATH", velho.c_str(), 1);
  fs::remove_all(pasta);
}

}  // namespace
}  // namespace vtx
