#include "gateway/request_core.h"

#include <exception>
#include <optional>
#include <vector>

#include "gateway/control_key.h"
#include "gateway/http_target.h"

namespace vtx::gateway {

namespace {

// Bounds the objects one request may make the gateway hold at once.
constexpr std::size_t kMaxCallsPerRequest = 100000;

const char* statusText(int status) {
  switch (status) {
    case 400:
      return "Bad request.";
    case 404:
      return "Not found.";
    case 405:
      return "Method not allowed.";
    case 409:
      return "Wrong control key.";
    case 410:
      return "Session expired.";
    case 412:
      return "Encryption required.";
    case 417:
      return "Wrong key.";
    case 503:
      return "Too many sessions.";
    default:
      return "Server error.";
  }
}

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// A handshake body: key half, CR, control key.
struct Handshake {
  std::string half, key;
  int counter = 0;
};
std::optional<Handshake> splitHandshake(std::string_view body) {
  const auto tail = SplitControlKey(body);
  if (!tail || tail->separator != '\r' || tail->payload.empty()) return std::nullopt;
  const auto counter = ControlKeyCounter(tail->key);
  if (!counter) return std::nullopt;
  return Handshake{std::string(tail->payload), std::string(tail->key), *counter};
}

void writeResult(std::string& out, const TRtcValueObject& result) {
  const std::size_t mark = out.size();
  try {
    result.to_Code(out);
  } catch (const std::exception& e) {
    out.resize(mark);
    TRtcExceptionValue(Widen(e.what())).to_Code(out);
  }
}

}  // namespace

struct RequestCore::Parsed {
  std::string action;  // upper-cased query "ACTION"
  std::string id;      // query "ID", else cookie "ID"
};

RequestCore::RequestCore(CoreConfig config, const FunctionRegistry& functions,
                         SessionStore& sessions, RandomSource& random, LogSink log)
    : config_(std::move(config)),
      functions_(functions),
      sessions_(sessions),
      random_(random),
      log_(std::move(log)) {
  if (config_.forceEncryption && config_.encryptionKey == 0) config_.encryptionKey = 16;
}

GatewayResponse RequestCore::handle(const GatewayRequest& request) {
  try {
    if (!SameAscii(request.method, "POST")) return refuse(405, "not a POST", {});
    const RequestTarget target = SplitTarget(request.target);
    if (!SameAscii(target.path, config_.path)) return refuse(404, "unknown path", {});
    Parsed p;
    p.action = upper(QueryValue(target.query, "ACTION").value_or(std::string()));
    if (auto id = QueryValue(target.query, "ID"))
      p.id = std::move(*id);
    else
      p.id = CookieValue(request.cookie, "ID").value_or(std::string());
    if (p.action == "HELLO") return hello(p, request);
    if (p.action == "START") return start(p, request);
    return call(p, request);
  } catch (const std::exception& e) {
    if (log_) log_(LogLine("error", "request-failed").add("error", e.what()).text());
    return {500, statusText(500), {}};
  }
}

std::shared_ptr<Session> RequestCore::openSession(const std::string& peer) {
  std::shared_ptr<Session> session;
  for (int attempt = 0; attempt < 3 && !session; ++attempt)
    session = sessions_.create(random_.sessionId(), peer);
  if (session && log_)
    log_(LogLine("info", "session-open").add("session", session->id()).add("peer", peer).text());
  return session;
}

GatewayResponse RequestCore::hello(const Parsed& p, const GatewayRequest& request) {
  std::shared_ptr<Session> session;
  if (!p.id.empty()) {
    session = sessions_.find(p.id);
    if (!session) return refuse(410, "hello for unknown session", p.id);
  }
  std::optional<Handshake> hs;
  if (config_.encryptionKey > 0) {
    std::string body = request.body;
    if (!config_.secureKey.empty()) {
      TRtcCrypt secure;
      secure.setKey(config_.secureKey);
      secure.DeCrypt(body);
    }
    hs = splitHandshake(body);
    if (!hs) return refuse(417, "hello with wrong secure key", p.id);
  }
  if (!session) session = openSession(request.peer);
  if (!session) return refuse(503, "session limit reached", {});

  std::lock_guard<std::mutex> hold(session->lock());
  if (!hs) {  // this gateway does not encrypt: an empty reply says so
    session->crypt().reset();
    return {200, {}, session->id()};
  }
  auto state = std::make_unique<ServerCrypt>();
  state->clientHello = std::move(hs->half);
  state->serverHello = random_.bytes(config_.encryptionKey);
  state->expectedCounter = NextControlCounter(hs->counter);
  TRtcCrypt write;
  write.setKey(state->clientHello);
  std::string reply = state->serverHello + hs->key;
  write.Crypt(reply);
  session->crypt() = std::move(state);
  return {200, std::move(reply), session->id()};
}

GatewayResponse RequestCore::start(const Parsed& p, const GatewayRequest& request) {
  auto session = p.id.empty() ? nullptr : sessions_.find(p.id);
  if (!session) return refuse(410, "start for unknown session", p.id);
  std::lock_guard<std::mutex> hold(session->lock());
  auto& state = session->crypt();
  if (!state || state->stage != ServerCrypt::Stage::Hello)
    return refuse(409, "start without hello", p.id);
  std::string body = request.body;
  TRtcCrypt read;
  read.setKey(state->serverHello);
  read.DeCrypt(body);
  auto hs = splitHandshake(body);
  if (!hs) {
    state.reset();
    return refuse(417, "start with wrong key", p.id);
  }
  state->clientKey = std::move(hs->half);
  state->serverKey = random_.bytes(config_.encryptionKey);
  state->restart();
  state->expectedCounter = NextControlCounter(hs->counter);
  state->stage = ServerCrypt::Stage::Ready;
  std::string reply = state->serverKey + hs->key;
  state->write.Crypt(reply);
  if (log_) log_(LogLine("info", "encrypted").add("session", session->id()).text());
  return {200, std::move(reply), {}};
}

GatewayResponse RequestCore::call(const Parsed& p, const GatewayRequest& request) {
  const bool reset = p.action == "RESET";
  std::shared_ptr<Session> session;
  bool created = false;
  if (SameAscii(p.id, "NEW")) {
    if (config_.forceEncryption) return refuse(412, "new session without encryption", {});
    session = openSession(request.peer);
    if (!session) return refuse(503, "session limit reached", {});
    created = true;
  } else if (!p.id.empty()) {
    session = sessions_.find(p.id);
    if (!session) return refuse(410, "call for unknown session", p.id);
  } else if (config_.forceEncryption) {
    return refuse(412, "call without session", {});
  }

  std::unique_lock<std::mutex> hold;
  if (session) hold = std::unique_lock<std::mutex>(session->lock());
  ServerCrypt* state = session ? session->crypt().get() : nullptr;
  if (!state) {
    if (config_.forceEncryption) return refuse(412, "call without encryption", p.id);
    if (reset) return refuse(409, "reset without cipher", p.id);
    std::string_view body = request.body;
    const bool compressed = !body.empty() && body.back() == '\0';
    if (compressed) body.remove_suffix(1);
    GatewayResponse r = runCalls(body, session.get(), nullptr, {}, compressed, request.peer);
    if (created) r.sessionId = session->id();
    return r;
  }
  if (state->stage != ServerCrypt::Stage::Ready) return refuse(409, "handshake incomplete", p.id);
  if (reset) {
    state->restart();
    state->expectedCounter = 1;
  }
  std::string body = request.body;
  state->read.DeCrypt(body);
  const auto tail = SplitControlKey(body);
  if (!tail || (tail->separator != '\r' && tail->separator != '\0'))
    return refuse(409, "no control key", p.id);
  const auto counter = ControlKeyCounter(tail->key);
  if (!counter) return refuse(409, "malformed control key", p.id);
  if (*counter != state->expectedCounter) return refuse(409, "control key out of sequence", p.id);
  state->expectedCounter = NextControlCounter(*counter);
  return runCalls(tail->payload, session.get(), state, tail->key, tail->separator == '\0',
                  request.peer);
}

GatewayResponse RequestCore::runCalls(std::string_view payload, Session* session,
                                      ServerCrypt* state, std::string_view controlKey,
                                      bool compressed, const std::string& peer) {
  const std::string id = session ? session->id() : std::string();
  std::string inflated;
  if (compressed) {
    auto text = Inflate(payload, config_.maxBody);
    if (!text) return refuse(400, "damaged compressed body", id);
    inflated = std::move(*text);
    payload = inflated;
  }
  // Every call is read before any runs, so a damaged body runs nothing.
  std::vector<std::unique_ptr<TRtcValue>> calls;
  try {
    std::size_t at = 0;
    while (at < payload.size()) {
      if (calls.size() == kMaxCallsPerRequest) return refuse(400, "too many calls", id);
      calls.push_back(TRtcValue::FromCode(payload, at));
    }
  } catch (const std::exception& e) {
    if (log_)
      log_(LogLine("warn", "unreadable-calls").add("session", id).add("error", e.what()).text());
    return refuse(400, "unreadable calls", id);
  }

  TRtcInfo scratch;
  CallContext context{session, session ? session->storage() : scratch, peer};
  std::string text;
  for (auto& value : calls) {
    auto* call = dynamic_cast<TRtcFunctionInfo*>(value->GetObject());
    if (!call) {
      writeResult(text, TRtcExceptionValue(u"Function call expected."));
      continue;
    }
    const auto result = functions_.execute(context, *call);
    writeResult(text, *result);
  }
  calls.clear();

  Compression level = config_.compression;
  if (compressed && level == Compression::None) level = Compression::Fast;
  std::string body = CompressBody(std::move(text), level);
  if (state) {
    body.append(controlKey);
    state->write.Crypt(body);
  }
  return {200, std::move(body), {}};
}

GatewayResponse RequestCore::refuse(int status, std::string_view why, const std::string& session) {
  if (log_) {
    LogLine line("warn", "refused");
    line.add("status", static_cast<std::int64_t>(status)).add("reason", why);
    if (!session.empty()) line.add("session", session.substr(0, 64));  // the client chose it
    log_(line.text());
  }
  return {status, statusText(status), {}};
}

}  // namespace vtx::gateway
