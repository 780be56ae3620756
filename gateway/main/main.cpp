// vorantelix-gateway: the server side of the remote-call protocol.
#include <pthread.h>
#include <signal.h>

#include <iostream>
#include <thread>

#include "gateway/functions.h"
#include "gateway/options.h"
#include "gateway/random_source.h"
#include "gateway/request_core.h"
#include "gateway/server.h"
#include "gateway/session.h"
#include "gateway/stream_log.h"

namespace {

using namespace vtx::gateway;

int Serve(const GatewayOptions& o) {
  // Signals are taken by sigwait; block them before any thread starts.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const LogSink log = StreamLog(std::cerr);
  FunctionRegistry functions;
  if (o.echo) AddEchoFunction(functions);
  SessionStore sessions(o.sessionTimeout, o.maxSessions);
  RandomSource random;
  RequestCore core(o.core, functions, sessions, random, log);
  GatewayServer server(o.server, core, sessions, log);
  server.listen();
  log(LogLine("info", "listening")
          .add("address", o.server.address)
          .add("port", static_cast<std::int64_t>(server.port()))
          .add("path", o.core.path)
          .add("encryption", static_cast<std::int64_t>(core.config().encryptionKey))
          .add("force", o.core.forceEncryption ? "yes" : "no")
          .text());
  std::cout << "vorantelix-gateway: ready " << o.server.address << ":" << server.port()
            << std::endl;

  std::thread waiter([&] {
    int signal = 0;
    sigwait(&signals, &signal);
    log(LogLine("info", "stopping").add("signal", static_cast<std::int64_t>(signal)).text());
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
    return Serve(o);
  } catch (const std::exception& e) {
    std::cerr << "vorantelix-gateway: " << e.what() << "\n";
    return 1;
  }
}
