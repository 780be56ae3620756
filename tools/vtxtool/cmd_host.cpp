// vtxtool host: the customer's side of a session without the window. Logs in as a visible host
// with the program's portal settings and modules, shows chat lines and commands through its
// adapters, sends lines typed on standard input to its chat room ("/close" closes the room)
// and prints every event as one JSON line on standard output. Ends at the end of standard input
// (unless --until-signal), on SIGINT or SIGTERM, or on an error of the session, and says which.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/web/config.h"
#include "commands.h"
#include "desktop/host/desktop_host.h"
#include "desktop/local_prompts.h"
#include "filetransfer/file_transfer.h"
#include "filetransfer/file_transfer_ui.h"
#include "platform/system_info.h"
#include "platform/x11/x11_desktop.h"
#include "platform/x11/x11_session_helpers.h"
#include "portal/custom_command.h"
#include "portal/http_portal_client.h"
#include "portal/portal_chat.h"
#include "portal/portal_chat_ui.h"
#include "portal/portal_json_log.h"
#include "util/datetime.h"
#include "util/text.h"

namespace vtx::tool {
namespace {

using json = nlohmann::ordered_json;

struct HostOptions {
  std::string addr, port, user, password, key, inbox, loginData;
  bool tls = false;
  std::string tlsCa;
  // --confirm yes|no: every viewer must be confirmed, with this answer.
  bool confirm = false, confirmAnswer = true;
  // --until-signal: the end of standard input does not end the session.
  bool untilSignal = false;
};

HostOptions parseHost(const Args& args) {
  const TConfiguracao config = ConfiguracaoPadrao();
  HostOptions o{"", config.portaGateway, "", config.senhaLogin, config.chaveDados, "", ""};
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw std::runtime_error(a + " needs a value");
      return args[++i];
    };
    if (a == "--gateway") {
      const std::string g = value();
      const auto colon = g.rfind(':');
      o.addr = g.substr(0, colon);
      if (colon != std::string::npos) o.port = g.substr(colon + 1);
    } else if (a == "--user") {
      o.user = value();
    } else if (a == "--password") {
      o.password = value();
    } else if (a == "--key") {
      o.key = value();
    } else if (a == "--tls") {
      o.tls = true;
    } else if (a == "--tls-ca") {
      o.tlsCa = value();
    } else if (a == "--inbox") {
      o.inbox = value();
    } else if (a == "--login-data") {
      o.loginData = value();
    } else if (a == "--until-signal") {
      o.untilSignal = true;
    } else if (a == "--confirm") {
      const std::string v = value();
      if (v != "yes" && v != "no") throw std::runtime_error("--confirm takes yes or no");
      o.confirm = true;
      o.confirmAnswer = v == "yes";
    } else {
      throw std::runtime_error("unknown option " + a);
    }
  }
  if (o.addr.empty() || o.user.empty())
    throw std::runtime_error("--gateway HOST:PORT and --user NAME are required");
  return o;
}

// One JSON line at a time on standard output.
class Printer {
 public:
  void print(const json& j) {
    const std::string line = j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    std::lock_guard g(lock_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }

 private:
  std::mutex lock_;
};

// The windows shown to the local user, as lines; questions get the answer of --confirm.
class PrintedPrompts final : public LocalPrompts {
 public:
  PrintedPrompts(Printer& out, bool allow) : out_(out), allow_(allow) {}
  void ShowNotification(const std::string& title, const std::string& text) override {
    out_.print({{"show", "notification"}, {"title", title}, {"msg", text}});
  }
  bool Confirm(const std::string& title, const std::string& text, int) override {
    out_.print({{"show", "confirm"}, {"title", title}, {"msg", text}, {"allowed", allow_}});
    return allow_;
  }

 private:
  Printer& out_;
  bool allow_;
};

// The login data record the program sends, filled from a JSON object of name -> text or
// number when one is given.
void addLoginData(TRtcValue& Data, const json& extra, const std::string& user,
                  const std::string& machine) {
  if (Data.isType() != rtc_Function) return;
  TRtcFunctionInfo& f = *Data.asFunction();
  const auto text = [&](const char* k, const std::string& fallback) {
    f.setAsText(k,
                Utf8Decode(extra.contains(k) && extra[k].is_string() ? extra[k].get<std::string>()
                                                                     : fallback));
  };
  text("IsHost", "true");
  text("EMPRESA", "");
  text("NOME", user);
  text("MAQUINA", machine);
  text("VERSAO", "5068");
  text("SERVICO", "(desconhecido)");
  for (const char* k : {"FONE1", "FONE2", "FONE3", "FONE4", "VTXSTORE", "CHAMADOS"}) text(k, "");
  f.setAsDateTime("DATA", NowLocal());
  for (const char* k : {"CHAMADO", "ID_ANALISTA"}) {
    if (extra.contains(k) && extra[k].is_number_integer())
      f.setAsInteger(k, extra[k].get<int>());
    else
      text(k, "0");
  }
  text("ANALISTA", "(desconhecido)");
  text("CURVA", "***");
}

}  // namespace

int cmdHost(const Args& args) {
  const HostOptions o = parseHost(args);
  // SIGINT and SIGTERM end the session in order: blocked in every thread, taken by one.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  json extra = json::object();
  if (!o.loginData.empty()) {
    extra = json::parse(readFile(o.loginData), nullptr, false);
    if (!extra.is_object()) throw std::runtime_error("login data must be one JSON object");
  }
  if (!o.inbox.empty()) std::filesystem::create_directories(o.inbox);

  Printer out;
  const SystemInfo& system = PlatformSystemInfo();
  TRtcHttpPortalClient client(&system);
  client.setGateAddr(o.addr);
  client.setGatePort(o.port);
  if (o.tls ||
      !o.tlsCa.empty()) {  // HTTPS, the certificate checked against this CA or the system's
    client.setGate_SSL(true);
    if (!o.tlsCa.empty()) client.setGate_SSLCAFile(o.tlsCa);
  }
  client.setMultiThreaded(true);
  client.setDataEncrypt(16);
  client.setDataForceEncrypt(true);
  client.setDataSecureKey(o.key);
  client.setDataCompress(TrtcpCompressLevel::rtcpCompMax);
  client.setRetryOtherCalls(10);
  client.setLoginPassword(o.password);
  client.setLoginUserName(o.user);
  client.setUserVisible(true);
  client.setGwStoreParams(true);
  client.OnCustomLoginData = [&](TRtcConnection&, TRtcValue& Data) {
    addLoginData(Data, extra, o.user, system.ComputerName());
  };

  std::mutex endLock;
  std::condition_variable endCv;
  int exitCode = -1;
  std::string why;
  auto finish = [&](int code, const std::string& reason) {
    std::lock_guard g(endLock);
    if (exitCode < 0) {
      exitCode = code;
      why = reason;
    }
    endCv.notify_all();
  };
  client.OnFatalError = [&](TAbsPortalClient&, const std::string& msg) { finish(3, msg); };
  client.OnError = [&](TAbsPortalClient&, const std::string& msg) { finish(3, msg); };
  // Every event, as it is dispatched.
  client.AddNotificationHandler([&](TRtcConnection*, bool before, const std::string& ev,
                                    const std::string&, TRtcPortalComponent*, TRtcValue* d, bool&) {
    if (before || ev == "Put" || ev == "Get") return;
    json j;
    j["event"] = ev;
    if (d) j["data"] = json::parse(PortalValueJson(d->GetObject()), nullptr, false);
    out.print(j);
  });

  TRtcPChat chat;
  chat.setBeTheHost(true);
  chat.setGwStoreParams(true);
  TRtcPChatUI chatUI;
  chat.OnNewUI = [&](TRtcPChat& m, const std::string& user) {
    chatUI.setUserName(user);
    chatUI.setModule(&m);
  };
  chatUI.OnMessage = [&](TRtcPChatUI& ui) {
    out.print({{"show", "chat"}, {"user", ui.Recv_User()}, {"msg", ui.Recv_Message()}});
  };
  TRtcPCustomCommand comando;
  comando.OnMessageReceived = [&](TRtcPCustomCommand&, const std::string& user,
                                  const std::string& msg) {
    out.print({{"show", "command"}, {"user", user}, {"msg", msg}});
  };
  // File transfer as the program has it: host mode, permissions on the gateway, every
  // permission that is off by default switched on, received files in the inbox folder.
  TRtcPFileTransfer files;
  files.setBeTheHost(true);
  files.setGwStoreParams(true);
  for (int c = 0; c < TRtcPFileTransfer::capCount; ++c) {
    files.setGAllow(static_cast<TRtcPFileTransfer::Capability>(c), true);
    files.setGAllow_Super(static_cast<TRtcPFileTransfer::Capability>(c), true);
  }
  files.setFileInboxPath(o.inbox.empty() ? std::filesystem::current_path().string() : o.inbox);
  TRtcPFileTransferUI filesUI;
  files.OnNewUI = [&](TRtcPFileTransfer& m, const std::string& user) {
    filesUI.setUserName(user);
    filesUI.setModule(&m);
  };
  // The desktop host as the program has it: settings on the gateway, copied files through the
  // file transfer module, viewers reported as they come and go; the X server of $DISPLAY, its
  // clipboard, wallpaper and input locks, and the local windows as JSON lines.
  std::unique_ptr<DesktopPlatform> screen = OpenX11Desktop();
  std::unique_ptr<DesktopSessionHelpers> session =
      OpenX11SessionHelpers({}, std::make_unique<PrintedPrompts>(out, o.confirmAnswer));
  TRtcPDesktopHost desktop(*screen, session.get());
  desktop.setGwStoreParams(true);
  desktop.setFileTransfer(&files);
  desktop.setGConfirmAllLogins(o.confirm);
  const auto viewer = [&](bool joined) {
    return [&out, joined](TRtcPModule&, const std::string& user) {
      out.print({{"show", "desktop"}, {"user", user}, {"joined", joined}});
    };
  };
  desktop.setOnUserJoined(viewer(true));
  desktop.setOnUserLeft(viewer(false));

  chat.setClient(&client);
  comando.setClient(&client);
  files.setClient(&client);
  desktop.setClient(&client);

  client.OnStart = [&](TAbsPortalClient&, TRtcValue&) {
    out.print({{"show", "ready"}, {"user", client.LoginUserName()}});
  };
  client.setActive(true);

  // Standard input, a line at a time: "/close", "/cancel-send USER PATH", "/cancel-fetch USER
  // NAME", or a line for the room. Its end ends the session.
  std::thread reader([&] {
    for (std::string line; std::getline(std::cin, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      try {
        if (line == "/close") {  // closes the room for everybody in it
          chat.Close(client.LoginUserName());
        } else if (line.rfind("/cancel-send ", 0) == 0 || line.rfind("/cancel-fetch ", 0) == 0) {
          const bool send = line[8] == 's';
          const std::string rest = line.substr(send ? 13 : 14);
          const std::size_t space = rest.find(' ');
          if (space == std::string::npos)
            throw std::runtime_error(line.substr(0, send ? 12 : 13) + " USER PATH");
          if (send)
            files.Cancel_Send(rest.substr(0, space), rest.substr(space + 1));
          else
            files.Cancel_Fetch(rest.substr(0, space), rest.substr(space + 1));
        } else {
          chat.Send(client.LoginUserName(), line + "\r");
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "vtxtool host: %s\n", e.what());
      }
    }
    if (!o.untilSignal) finish(0, "end of standard input (--until-signal keeps the session)");
  });
  std::thread signals([&] {
    int sig = 0;
    if (::sigwait(&stopSignals, &sig) == 0)
      finish(0, sig == SIGINT ? "interrupted (SIGINT)" : "asked to stop (SIGTERM)");
  });
  signals.detach();  // it may wait for a signal until the process ends
  int code;
  {
    std::unique_lock g(endLock);
    endCv.wait(g, [&] { return exitCode >= 0; });
    code = exitCode;
  }
  std::fprintf(stderr, "vtxtool host: stopping: %s\n", why.c_str());
  out.print({{"show", "stopped"}, {"why", why}});
  client.setActive(false);
  client.Stop();
  chat.setClient(nullptr);
  comando.setClient(nullptr);
  files.setClient(nullptr);
  desktop.setClient(nullptr);
  // The reader may still wait for input: the process ends without it.
  reader.detach();
  std::fflush(stdout);
  std::_Exit(code);
}

}  // namespace vtx::tool
