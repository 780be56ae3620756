#include "gateway/options.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <thread>

#include "util/paths.h"
#include "util/text.h"

namespace vtx::gateway {

const char* const kGatewayUsage =
    R"(usage: vorantelix-gateway [options]
  --listen HOST:PORT         address to listen on (default 127.0.0.1:1025; PORT 0 picks one)
  --tls-cert FILE            serve TLS with this PEM certificate chain (needs --tls-key;
                             both files are read again on SIGHUP)
  --tls-key FILE             the PEM private key of --tls-cert
  --path PATH                request path of the remote calls (default /$rdgate)
  --secure-key KEY           pre-shared key that protects the first handshake message
  --encryption N             length in bytes of the gateway's key halves (default 16;
                             0 = answer unencrypted)
  --force-encryption         refuse unencrypted calls (status 412)
  --session-timeout SECONDS  forget a session idle this long (default 600; fractions allowed)
  --max-request-size BYTES   largest request body, also after inflating (default 16777216)
  --max-request-size-before-login BYTES
                             largest request body, also after inflating, until the
                             session has logged in (default 65536)
  --max-sessions N           most open sessions (default 10000); when full, the least
                             recently used session that has not logged in makes room
  --max-sessions-per-peer N  most open sessions of one client address (default 1024)
  --max-users-per-peer N     most users logged in from one client address (default 256)
  --max-ended-ids N          ended login ids remembered, so an old copy of a replaced or
                             logged-out client gets LOGGED OUT (default 100000; the
                             oldest are forgotten first)
  --allow-host-takeover      let a login replace the live session of the same user name
                             from another address (default: refused; the same address
                             always replaces it)
  --keep-live-sessions       the default: refuse such a login
  --max-connections N        most open connections (default 4096, kept below the
                             descriptor limit); more are answered 503 at once
  --compression LEVEL        none, fast, default or max for replies of 256 bytes or more
                             (default none; a compressed request gets at least fast)
  --threads N                threads serving the connections (default: one per core)
  --db FILE                  user store (SQLite; ":memory:" keeps nothing; default
                             gateway.db under $VORANTELIX_HOME or ~/VARNELIKO_VTX5/)
  --login-password TEXT      shared login password: it makes a name a host (a copy of the
                             customer program), never an analyst; empty = not checked
  --enable-change-password   offer ChangePwd to analysts, for their own account
  --trust-shared-password    no roles: every name with the shared password may reach every
                             other and list the users online (the old, open behaviour;
                             never on a gateway others can reach)
  --login-failures N         failed logins a peer may make before each further one makes
                             it wait, 1 s doubling up to 5 min (default 5; a user name
                             gets twice as many)
  --get-hold SECONDS         longest wait of a held Get (default 25)
  --login-timeout SECONDS    a user whose connections stay silent this long is logged out
                             (default 120; a held Get counts as activity)
  --queue-limit BYTES        bytes queued for one receiver; relayed data that does not fit is
                             refused to its sender (default 8388608)
  --lag-limit SECONDS        rows to a bounded group are refused for a receiver whose backlog in
                             those groups would take longer to reach it (default 0.5; 0 = off)
  --bounded-groups LIST      comma-separated group names the lag limit applies to (default
                             desk,idesk)
  --sender-limit BYTES       bytes one sender's relayed items may hold (default 33554432)
  --relay-memory BYTES       bytes all relayed items may hold (default 268435456)
  --max-groups N             members of one user's groups, and groups one user is in
                             (default 1000)
  --param-quota BYTES        stored parameter bytes per user (default 1048576)
  --enable-echo              offer the test function Echo
  --help                     this text
Commands on the database (--db FILE), which exit instead of serving:
  --add-analyst NAME         add an analyst account; its password is one line on stdin
  --disable-analyst NAME     refuse its logins and end its live sessions
  --enable-analyst NAME      admit it again
  --remove-analyst NAME      delete the account
  --list-analysts            name, state and creation time of each account
  --audit                    print the audit trail, oldest first; narrowed by
                             --since DATE (UTC, YYYY-MM-DD[ HH:MM:SS]), --analyst NAME
                             and --host NAME
Prints "vorantelix-gateway: ready HOST:PORT" once it accepts connections; log lines go to
standard error. Stops on SIGTERM or SIGINT; SIGHUP reads the TLS files again.
)";

namespace {

unsigned long long number(const std::string& option, const std::string& text,
                          unsigned long long max) {
  std::size_t used = 0;
  unsigned long long v = 0;
  try {
    if (!text.empty() && text[0] != '-') v = std::stoull(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (text.empty() || used != text.size() || v > max)
    throw std::invalid_argument("invalid value for " + option + ": " + text);
  return v;
}

std::chrono::milliseconds seconds(const std::string& option, const std::string& v) {
  double value = -1;
  std::size_t used = 0;
  try {
    value = std::stod(v, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != v.size() || !std::isfinite(value) || value <= 0 || value > 1e7)
    throw std::invalid_argument("invalid value for " + option + ": " + v);
  const auto ms = std::chrono::milliseconds(static_cast<long long>(value * 1000));
  return ms.count() == 0 ? std::chrono::milliseconds(1) : ms;
}

Compression compressionLevel(const std::string& text) {
  if (text == "none") return Compression::None;
  if (text == "fast") return Compression::Fast;
  if (text == "default") return Compression::Default;
  if (text == "max") return Compression::Max;
  throw std::invalid_argument("invalid value for --compression: " + text);
}

}  // namespace

std::string DefaultDatabasePath() {
  return (DataRoot() / "gateway.db").string();
}

GatewayOptions ParseGatewayOptions(const std::vector<std::string>& args) {
  GatewayOptions o;
  o.relay.keepLiveSessions = true;
  using Admin = AdminCommand::Kind;
  auto command = [&o](Admin kind) {
    if (o.admin.kind != Admin::None) throw std::invalid_argument("one command at a time");
    o.admin.kind = kind;
  };
  const unsigned cores = std::thread::hardware_concurrency();
  o.server.threads = cores > 0 ? static_cast<int>(cores) : 1;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw std::invalid_argument("missing value for " + a);
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--listen") {
      const std::string& v = value();
      const auto colon = v.rfind(':');
      if (colon == std::string::npos || colon == 0)
        throw std::invalid_argument("invalid value for --listen: " + v);
      o.server.address = v.substr(0, colon);
      if (o.server.address.size() > 2 && o.server.address.front() == '[' &&
          o.server.address.back() == ']')
        o.server.address = o.server.address.substr(1, o.server.address.size() - 2);
      o.server.port = static_cast<unsigned short>(number(a, v.substr(colon + 1), 65535));
    } else if (a == "--tls-cert") {
      o.server.tlsCert = value();
    } else if (a == "--tls-key") {
      o.server.tlsKey = value();
    } else if (a == "--path") {
      o.core.path = value();
      if (o.core.path.empty() || o.core.path[0] != '/') o.core.path = "/" + o.core.path;
    } else if (a == "--secure-key") {
      o.core.secureKey = value();
    } else if (a == "--encryption") {
      o.core.encryptionKey = number(a, value(), 4096);
    } else if (a == "--force-encryption") {
      o.core.forceEncryption = true;
    } else if (a == "--session-timeout") {
      o.sessionTimeout = seconds(a, value());
    } else if (a == "--get-hold") {
      o.relay.getHold = seconds(a, value());
    } else if (a == "--login-timeout") {
      o.relay.loginTimeout = seconds(a, value());
    } else if (a == "--queue-limit") {
      o.relay.queueLimit = number(a, value(), 1ull << 40);
      if (o.relay.queueLimit == 0) throw std::invalid_argument("invalid value for " + a + ": 0");
    } else if (a == "--lag-limit") {
      const std::string v = value();
      o.relay.lagLimit = v == "0" ? std::chrono::milliseconds(0) : seconds(a, v);
    } else if (a == "--bounded-groups") {
      o.relay.boundedGroups.clear();
      const std::string v = value();
      for (std::size_t at = 0; at <= v.size();) {
        const std::size_t comma = std::min(v.find(',', at), v.size());
        if (comma > at) o.relay.boundedGroups.push_back(Utf8Decode(v.substr(at, comma - at)));
        at = comma + 1;
      }
    } else if (a == "--sender-limit") {
      o.relay.senderLimit = number(a, value(), 1ull << 40);
    } else if (a == "--relay-memory") {
      o.relay.totalLimit = number(a, value(), 1ull << 40);
    } else if (a == "--max-groups") {
      o.relay.maxGroupPairs = number(a, value(), 100000000);
    } else if (a == "--db") {
      o.db = value();
      if (o.db.empty()) throw std::invalid_argument("invalid value for --db: empty");
    } else if (a == "--login-password") {
      o.accounts.loginPassword = value();
    } else if (a == "--enable-change-password") {
      o.accounts.changePassword = true;
    } else if (a == "--login-failures") {
      o.accounts.limits.peerFailures = static_cast<int>(number(a, value(), 1000000));
      o.accounts.limits.nameFailures = 2 * o.accounts.limits.peerFailures;
    } else if (a == "--max-request-size") {
      o.core.maxBody = number(a, value(), 1ull << 32);
      if (o.core.maxBody == 0) throw std::invalid_argument("invalid value for " + a + ": 0");
      o.server.maxBody = o.core.maxBody;
    } else if (a == "--max-request-size-before-login") {
      o.core.maxBodyBeforeLogin = number(a, value(), 1ull << 32);
      if (o.core.maxBodyBeforeLogin == 0)
        throw std::invalid_argument("invalid value for " + a + ": 0");
      o.server.maxBodyBeforeLogin = o.core.maxBodyBeforeLogin;
    } else if (a == "--max-sessions-per-peer") {
      o.maxSessionsPerPeer = number(a, value(), 100000000);
      if (o.maxSessionsPerPeer == 0) throw std::invalid_argument("invalid value for " + a + ": 0");
    } else if (a == "--max-users-per-peer") {
      o.relay.usersPerPeer = number(a, value(), 100000000);
      if (o.relay.usersPerPeer == 0) throw std::invalid_argument("invalid value for " + a + ": 0");
    } else if (a == "--max-ended-ids") {
      o.relay.retiredIds = number(a, value(), 100000000);
      if (o.relay.retiredIds == 0) throw std::invalid_argument("invalid value for " + a + ": 0");
    } else if (a == "--param-quota") {
      o.paramQuota = number(a, value(), 1ull << 40);
      if (o.paramQuota == 0) throw std::invalid_argument("invalid value for " + a + ": 0");
    } else if (a == "--keep-live-sessions") {
      o.relay.keepLiveSessions = true;
    } else if (a == "--allow-host-takeover") {
      o.relay.keepLiveSessions = false;
    } else if (a == "--trust-shared-password") {
      o.trustSharedPassword = true;
    } else if (a == "--add-analyst" || a == "--disable-analyst" || a == "--enable-analyst" ||
               a == "--remove-analyst") {
      command(a == "--add-analyst"       ? Admin::AddAnalyst
              : a == "--disable-analyst" ? Admin::DisableAnalyst
              : a == "--enable-analyst"  ? Admin::EnableAnalyst
                                         : Admin::RemoveAnalyst);
      o.admin.name = value();
    } else if (a == "--list-analysts") {
      command(Admin::ListAnalysts);
    } else if (a == "--audit") {
      command(Admin::Audit);
    } else if (a == "--since") {
      o.admin.since = value();
    } else if (a == "--analyst") {
      o.admin.analyst = value();
    } else if (a == "--host") {
      o.admin.host = value();
    } else if (a == "--max-sessions") {
      o.maxSessions = number(a, value(), 100000000);
      if (o.maxSessions == 0) throw std::invalid_argument("invalid value for " + a + ": 0");
    } else if (a == "--max-connections") {
      o.server.maxConnections = number(a, value(), 1000000);
      if (o.server.maxConnections == 0)
        throw std::invalid_argument("invalid value for " + a + ": 0");
    } else if (a == "--compression") {
      o.core.compression = compressionLevel(value());
    } else if (a == "--threads") {
      o.server.threads = static_cast<int>(number(a, value(), 256));
      if (o.server.threads == 0) throw std::invalid_argument("invalid value for " + a + ": 0");
    } else if (a == "--enable-echo") {
      o.echo = true;
    } else {
      throw std::invalid_argument("unknown option " + a);
    }
  }
  if (o.admin.kind != Admin::Audit &&
      !(o.admin.since.empty() && o.admin.analyst.empty() && o.admin.host.empty()))
    throw std::invalid_argument("--since, --analyst and --host go with --audit");
  if (o.core.forceEncryption && o.core.encryptionKey == 0) o.core.encryptionKey = 16;
  if (o.server.tlsCert.empty() != o.server.tlsKey.empty())
    throw std::invalid_argument("--tls-cert and --tls-key go together");
  return o;
}

}  // namespace vtx::gateway
