#include "app/ferramentas.h"

#include <unistd.h>

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <system_error>

namespace vtx {

namespace {

using Lista = std::vector<std::vector<std::string>>;

// The desktops' settings panels, GNOME first, then KDE Plasma and XFCE.
Lista Painel(const char* gnome, const char* kde, std::vector<std::string> outros = {}) {
  Lista l;
  if (gnome) l.push_back({"gnome-control-center", gnome});
  if (kde) l.push_back({"systemsettings", kde});
  for (std::string& o : outros) l.push_back({std::move(o)});
  return l;
}

std::string Minusculo(std::string_view s) {
  std::string r(s);
  std::transform(r.begin(), r.end(), r.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return r;
}

std::string Une(const std::vector<std::string>& argumentos) {
  std::string r;
  for (const std::string& a : argumentos) r += (r.empty() ? "" : " ") + a;
  return r;
}

// The first line of a small file, or empty.
std::string PrimeiraLinha(const std::filesystem::path& arquivo) {
  std::ifstream in(arquivo, std::ios::binary);
  std::string l;
  std::getline(in, l, '\n');
  return l;
}

std::string NomeDoArquivo(std::string_view caminho) {
  const std::size_t barra = caminho.rfind('/');
  return std::string(barra == std::string_view::npos ? caminho : caminho.substr(barra + 1));
}

}  // namespace

const std::vector<TFerramentaLinux>& TabelaFerramentas() {
  using F = TFerramenta;
  static const std::vector<TFerramentaLinux> tabela = {
      {F::OpcoesInternet, "control.exe inetcpl.cpl",
       Painel("network", "kcm_proxy", {"proxy-settings"})},
      {F::OpcoesPastas,
       "control.exe folders",
       {{"nautilus", "--new-window"}, {"dolphin"}, {"thunar"}, {"pcmanfm"}, {"caja"}, {"nemo"}}},
      {F::PainelControle, "control.exe",
       Painel(nullptr, nullptr,
              {"gnome-control-center", "systemsettings", "xfce4-settings-manager", "lxqt-config",
               "mate-control-center", "cinnamon-settings"})},
      {F::Som, "control.exe MMSys.cpl",
       Painel("sound", "kcm_pulseaudio", {"pavucontrol", "pavucontrol-qt"})},
      {F::Sistema, "control.exe sysdm.cpl",
       Painel("info-overview", "kcm_about-distro", {"xfce4-about", "hardinfo"})},
      {F::Video, "control.exe desk.cpl",
       Painel("display", "kcm_kscreen", {"xfce4-display-settings", "arandr", "lxrandr"})},
      {F::Mouse, "control.exe main.cpl",
       Painel("mouse", "kcm_mouse", {"xfce4-mouse-settings", "lxinput"})},
      {F::Programas,
       "control.exe appwiz.cpl",
       {{"gnome-software"}, {"plasma-discover"}, {"synaptic-pkexec"}}},
      {F::Prompt,
       "cmd",
       {{"x-terminal-emulator"},
        {"gnome-terminal"},
        {"konsole"},
        {"xfce4-terminal"},
        {"lxterminal"},
        {"xterm"}}},
      {F::GerenciadorDispositivos,
       "control.exe hdwwiz.cpl",
       {{"hardinfo"}, {"lshw-gtk"}, {"gnome-control-center", "info-overview"}}},
      {F::Firebird, "control.exe firebird2Control.cpl", {{"flamerobin"}}},
      {F::Firewall, "control.exe firewall.cpl", {{"gufw"}, {"firewall-config"}}},
      {F::ConexoesRede,
       "control.exe ncpa.cpl",
       {{"nm-connection-editor"},
        {"gnome-control-center", "network"},
        {"systemsettings", "kcm_networkmanagement"}}},
      {F::DataHora, "control.exe timedate.cpl", Painel("datetime", "kcm_clock", {"time-admin"})},
      {F::Impressoras,
       "control.exe printers",
       {{"system-config-printer"},
        {"gnome-control-center", "printers"},
        {"systemsettings", "kcm_printer_manager"}}},
      {F::Teclado, "control.exe keyboard",
       Painel("keyboard", "kcm_keyboard", {"xfce4-keyboard-settings"})},
  };
  return tabela;
}

const TFerramentaLinux& Ferramenta(TFerramenta f) {
  return TabelaFerramentas().at(static_cast<std::size_t>(f));
}

bool TExecutorSistema::Instalado(const std::string& programa) const {
  if (programa.empty()) return false;
  if (programa.find('/') != std::string::npos) return ::access(programa.c_str(), X_OK) == 0;
  return !QStandardPaths::findExecutable(QString::fromStdString(programa)).isEmpty();
}

bool TExecutorSistema::Inicia(const std::vector<std::string>& argumentos) {
  if (argumentos.empty()) return false;
  QStringList resto;
  for (auto it = std::next(argumentos.begin()); it != argumentos.end(); ++it)
    resto << QString::fromStdString(*it);
  return QProcess::startDetached(QString::fromStdString(argumentos.front()), resto);
}

std::optional<std::vector<std::string>> EscolheFerramenta(const TExecutor& executor,
                                                          TFerramenta f) {
  for (const auto& c : Ferramenta(f).candidatos)
    if (!c.empty() && executor.Instalado(c.front())) return c;
  return std::nullopt;
}

bool ExecutaFerramenta(TExecutor& executor, TFerramenta f,
                       const std::function<void(const std::string&)>& log) {
  const TFerramentaLinux& linha = Ferramenta(f);
  const auto escolhida = EscolheFerramenta(executor, f);
  if (!escolhida) {
    std::string nomes;
    for (const auto& c : linha.candidatos) nomes += (nomes.empty() ? "" : ", ") + c.front();
    if (log) log(std::string("Ferramenta não instalada para \"") + linha.windows + "\": " + nomes);
    return false;
  }
  if (executor.Inicia(*escolhida)) return true;
  if (log) log("Falha ao iniciar \"" + Une(*escolhida) + "\" para \"" + linha.windows + "\"");
  return false;
}

bool AbreNoDesktop(TExecutor& executor, const std::string& caminho,
                   const std::function<void(const std::string&)>& log) {
  if (!executor.Instalado("xdg-open")) {
    if (log) log("Ferramenta não instalada para abrir \"" + caminho + "\": xdg-open");
    return false;
  }
  if (executor.Inicia({"xdg-open", caminho})) return true;
  if (log) log("Falha ao abrir \"" + caminho + "\"");
  return false;
}

bool ProcessoAtivo(std::string_view nome, const std::filesystem::path& proc) {
  const std::string procurado = Minusculo(nome);
  if (procurado.empty()) return false;
  std::error_code ec;
  std::filesystem::directory_iterator it(proc, ec), fim;
  for (; !ec && it != fim; it.increment(ec)) {
    const std::string pid = it->path().filename().string();
    if (pid.empty() ||
        !std::all_of(pid.begin(), pid.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
      continue;
    // The executable's file name: from the link when it can be read (only our own processes
    // without privileges), else from the first argument, else the kernel's short name (cut at
    // 15 characters).
    std::error_code ec2;
    const auto exe = std::filesystem::read_symlink(it->path() / "exe", ec2);
    if (!ec2 && !exe.empty()) {
      if (Minusculo(NomeDoArquivo(exe.string())) == procurado) return true;
      continue;
    }
    const std::string argv0 = PrimeiraLinha(it->path() / "cmdline");
    const std::string primeiro = argv0.substr(0, argv0.find('\0'));
    if (!primeiro.empty()) {
      if (Minusculo(NomeDoArquivo(primeiro)) == procurado) return true;
      continue;
    }
    const std::string comm = Minusculo(PrimeiraLinha(it->path() / "comm"));
    if (!comm.empty() &&
        (comm == procurado || (comm.size() == 15 && procurado.rfind(comm, 0) == 0)))
      return true;
  }
  return false;
}

}  // namespace vtx
