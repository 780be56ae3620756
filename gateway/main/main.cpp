// vorantelix-gateway: the server side of the remote-call protocol.
#include <pthread.h>
#include <signal.h>

#include <filesystem>
#include <iostream>
#include <thread>

#include "gateway/admin_cli.h"
#include "gateway/analyst_accounts.h"
#include "gateway/audit.h"
#include "gateway/functions.h"
#include "gateway/options.h"
#include "gateway/random_source.h"
#include "gateway/relay.h"
#include "gateway/relay_functions.h"
#include "gateway/request_core.h"
#include "gateway/server.h"
#include "gateway/session.h"
#include "gateway/stream_log.h"
#include "gateway/user_store.h"

namespace {

using namespace vtx::gateway;

int Serve(const GatewayOptions& o) {
  // Signals are taken by sigwait; block them before any thread starts.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const LogSink log = StreamLog(std::cerr);
  std::string db = o.db.empty() ? DefaultDatabasePath() : o.db;
  std::unique_ptr<UserStore> store;
  try {
    if (o.db.empty()) std::filesystem::create_directories(std::filesystem::path(db).parent_path());
    store = std::make_unique<UserStore>(db, log, 64u << 20, o.paramQuota);
  } catch (const std::exception& e) {
    if (!o.db.empty()) throw;  // a database asked for must open
    log(LogLine("warn", "db-unavailable").add("db", db).add("error", e.what()).text());
    db = ":memory:";
    store = std::make_unique<UserStore>(db, log, 64u << 20, o.paramQuota);
  }
  AnalystAccounts analysts(db);
  AuditTrail audit(db, log);
  AuditRecorder recorder(audit);
  SessionStore sessions(o.sessionTimeout, o.maxSessions, {}, o.maxSessionsPerPeer);
  Relay relay(o.relay, log);
  relay.onEvent([&recorder](const RelayEvent& e) { recorder(e); });
  // An ended login takes its protocol sessions with it: their next call finds no session and
  // the client's automatic re-login learns that the login ended.
  relay.onEnded([&sessions](const std::string& id) { sessions.dropLogin(id); });
  FunctionRegistry functions;
  if (o.echo) AddEchoFunction(functions);
  AddRelayFunctions(functions, relay, *store, o.accounts,
                    o.trustSharedPassword ? nullptr : &analysts, log);
  RandomSource random;
  RequestCore core(o.core, functions, sessions, random, log);
  GatewayServer server(o.server, core, sessions, log);
  server.every(std::chrono::milliseconds(100), [&relay] { relay.tick(); });
  // Accounts disabled or removed by the operator (another process) end their sessions.
  std::int64_t accountsVersion = analysts.version();
  server.every(std::chrono::milliseconds(500), [&, log] {
    try {
      const std::int64_t now = analysts.version();
      if (now == accountsVersion) return;
      accountsVersion = now;
      EndWithdrawnAnalysts(relay, analysts);
    } catch (const std::exception& e) {
      log(LogLine("error", "accounts-check-failed").add("error", e.what()).text());
    }
  });
  server.listen();
  log(LogLine("info", "listening")
          .add("address", o.server.address)
          .add("port", static_cast<std::int64_t>(server.port()))
          .add("path", o.core.path)
          .add("encryption", static_cast<std::int64_t>(core.config().encryptionKey))
          .add("force", o.core.forceEncryption ? "yes" : "no")
          .add("db", db)
          .add("tls", o.server.tlsCert.empty() ? "no" : "yes")
          .add("roles", o.trustSharedPassword ? "off" : "on")
          .text());
  std::cout << "vorantelix-gateway: ready " << o.server.address << ":" << server.port()
            << std::endl;

  std::thread waiter([&] {
    int signal = 0;
    while (sigwait(&signals, &signal) == 0 && signal == SIGHUP) {
      try {
        server.reloadTls();
        if (!o.server.tlsCert.empty()) log(LogLine("info", "tls-reloaded").text());
      } catch (const std::exception& e) {
        log(LogLine("error", "tls-reload-failed").add("error", e.what()).text());
      }
    }
    log(LogLine("info", "stopping").add("signal", static_cast<std::int64_t>(signal)).text());
    relay.shutdown();  // held Gets answer, so their connections can end
    server.stop();
  });
  server.run();
  waiter.join();
  log(LogLine("info", "stopped").text());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const GatewayOptions o = ParseGatewayOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (o.help) {
      std::cout << kGatewayUsage;
      return 0;
    }
    if (o.admin.kind != AdminCommand::Kind::None)
      return RunAdminCommand(o.admin, o.db.empty() ? DefaultDatabasePath() : o.db, std::cin,
                             std::cout, std::cerr);
    return Serve(o);
  } catch (const std::exception& e) {
    std::cerr << "vorantelix-gateway: " << e.what() << "\n";
    return 1;
  }
}
