#include "gateway/request_core.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "gateway/control_key.h"
#include "gateway/http_target.h"
#include "gateway/value_count.h"

namespace vtx::gateway {

namespace {

// Bounds the objects one request may make the gateway hold at once.
constexpr std::size_t kMaxCallsPerRequest = 100000;
// A value takes far more memory than its few bytes of code text: a request may hold one value
// per this many bytes of its size limit (at least kMinValueBudget), counted before building.
constexpr std::size_t kBytesPerValue = 128;
constexpr std::size_t kMinValueBudget = 4096;

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
    case 413:
      return "Request too large.";
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

// The results of one request, filled in call order or later by deferred functions.
class RequestCore::PendingReply : public ReplyAssembly,
                                  public std::enable_shared_from_this<PendingReply> {
 public:
  PendingReply(RequestCore& core, std::shared_ptr<Session> session, std::size_t calls)
      : core_(core), session_(std::move(session)), results_(calls), waiting_(calls, 0) {}

  bool fill(std::size_t index, std::unique_ptr<TRtcValueObject> value) override {
    bool ready = false;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (index >= waiting_.size() || !waiting_[index]) return false;
      waiting_[index] = 0;
      results_[index] = std::move(value);
      --missing_;
      ready = armed_ && missing_ == 0;
    }
    if (ready) core_.finish(*this);
    return true;
  }
  DeferredResult defer(std::size_t index) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!waiting_[index] && !results_[index]) {  // a second defer() of one call shares the slot
      waiting_[index] = 1;
      ++missing_;
    }
    return DeferredResult(shared_from_this(), index);
  }
  // A result given at once (a function that deferred and then returned a value drops its
  // deferred slot).
  void set(std::size_t index, std::unique_ptr<TRtcValueObject> value) {
    std::lock_guard<std::mutex> hold(lock_);
    if (waiting_[index]) {
      waiting_[index] = 0;
      --missing_;
    }
    results_[index] = std::move(value);
  }
  // Every call has run: the reply goes out now or with the last deferred result.
  void arm() {
    bool ready = false;
    {
      std::lock_guard<std::mutex> hold(lock_);
      armed_ = true;
      ready = missing_ == 0;
    }
    if (ready) core_.finish(*this);
  }
  // Only after the last result is in (no other thread touches the results then).
  std::string text() const {
    std::string out;
    for (const auto& r : results_) {
      if (r)
        writeResult(out, *r);
      else
        writeResult(out, TRtcExceptionValue(u"No result."));
    }
    return out;
  }

  Session* session() const { return session_.get(); }
  ServerCrypt* state = nullptr;  // the cipher the request came with; none when plain
  std::uint64_t ticket = 0, keystream = 0;
  std::string controlKey, cookie, peer;
  bool compressed = false;
  std::atomic<bool> loginEnded{false};  // answered 410: the session's login ended meanwhile
  Done done;

 private:
  RequestCore& core_;
  std::shared_ptr<Session> session_;
  std::mutex lock_;
  std::vector<std::unique_ptr<TRtcValueObject>> results_;
  std::vector<char> waiting_;
  std::size_t missing_ = 0;
  bool armed_ = false;
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
  std::mutex m;
  std::condition_variable ready;
  std::optional<GatewayResponse> answer;
  handle(request, [&](GatewayResponse r) {
    std::lock_guard<std::mutex> hold(m);
    answer = std::move(r);
    ready.notify_all();
  });
  std::unique_lock<std::mutex> hold(m);
  ready.wait(hold, [&] { return answer.has_value(); });
  return std::move(*answer);
}

void RequestCore::handle(const GatewayRequest& request, Done done) {
  std::optional<GatewayResponse> answer;
  try {
    if (!SameAscii(request.method, "POST")) return done(refuse(405, "not a POST", {}));
    const RequestTarget target = SplitTarget(request.target);
    if (!SameAscii(target.path, config_.path)) return done(refuse(404, "unknown path", {}));
    Parsed p;
    p.action = upper(QueryValue(target.query, "ACTION").value_or(std::string()));
    if (auto id = QueryValue(target.query, "ID"))
      p.id = std::move(*id);
    else
      p.id = CookieValue(request.cookie, "ID").value_or(std::string());
    if (p.action == "HELLO")
      answer = hello(p, request);
    else if (p.action == "START")
      answer = start(p, request);
    else
      answer = call(p, request, done);  // none: `done` went with the calls
  } catch (const std::exception& e) {
    if (log_) log_(LogLine("error", "request-failed").add("error", e.what()).text());
    if (done) answer = GatewayResponse{500, statusText(500), {}};
  }
  if (answer && done) done(std::move(*answer));
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
  if (request.body.size() > config_.maxBodyBeforeLogin) return refuse(413, "body too large", {});
  std::shared_ptr<Session> session;
  if (!p.id.empty()) {
    session = sessions_.find(p.id);
    if (!session) return refuse(410, "hello for unknown session", p.id);
    // Whoever knows a logged-in session's id could otherwise re-key it and act as its user:
    // the HELLO starts a session of its own instead.
    if (session->loggedIn()) {
      if (log_)
        log_(LogLine("warn", "hello-on-logged-in-session")
                 .add("session", session->id())
                 .add("peer", request.peer)
                 .text());
      session = nullptr;
    }
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
  if (request.body.size() > config_.maxBodyBeforeLogin) return refuse(413, "body too large", {});
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
  ++session->keystreams;
  state->expectedCounter = NextControlCounter(hs->counter);
  state->stage = ServerCrypt::Stage::Ready;
  std::string reply = state->serverKey + hs->key;
  state->write.Crypt(reply);
  if (log_) log_(LogLine("info", "encrypted").add("session", session->id()).text());
  return {200, std::move(reply), {}};
}

std::optional<GatewayResponse> RequestCore::call(const Parsed& p, const GatewayRequest& request,
                                                 Done& done) {
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
  const std::string id = session ? session->id() : std::string();
  const std::size_t limit =
      session && session->loggedIn() ? config_.maxBody : config_.maxBodyBeforeLogin;
  if (request.body.size() > limit) return refuse(413, "body too large", id);

  // Replies given up by a RESET go back refused (to connections the client left), after the
  // session's lock is released.
  std::map<std::uint64_t, ServerCrypt::Parked> abandoned;
  struct Refuse {
    std::map<std::uint64_t, ServerCrypt::Parked>& parked;
    ~Refuse() {
      for (auto& entry : parked)
        if (entry.second.send) entry.second.send(nullptr);
    }
  } refuseAbandoned{abandoned};
  std::unique_lock<std::mutex> hold;
  if (session) hold = std::unique_lock<std::mutex>(session->lock());
  ServerCrypt* state = session ? session->crypt().get() : nullptr;
  GatewayResponse refusal;
  std::optional<std::vector<std::unique_ptr<TRtcValue>>> calls;
  std::string controlKey;
  std::uint64_t ticket = 0;
  bool compressed = false;
  std::vector<std::uint64_t> prints;
  std::uint64_t keystream = 0;
  if (!state) {
    if (config_.forceEncryption) return refuse(412, "call without encryption", p.id);
    if (reset) return refuse(409, "reset without cipher", p.id);
    std::string_view body = request.body;
    compressed = !body.empty() && body.back() == '\0';
    if (compressed) body.remove_suffix(1);
    calls = readCalls(body, compressed, id, limit, refusal, prints);
    if (!calls) return refusal;
  } else {
    if (state->stage != ServerCrypt::Stage::Ready) return refuse(409, "handshake incomplete", p.id);
    if (reset) {
      // The cipher restarts from the same keys, so a captured reset would read again.
      if (!state->firstReset(std::hash<std::string_view>{}(request.body)))
        return refuse(409, "reset replayed", p.id);
      state->restart();
      ++session->keystreams;
      state->expectedCounter = 1;
      abandoned = state->abandonOwedReplies();
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
    compressed = tail->separator == '\0';
    calls = readCalls(tail->payload, compressed, id, limit, refusal, prints);
    if (!calls) return refusal;
    controlKey = std::string(tail->key);
    ticket = state->ticketsIssued++;
    keystream = session->keystreams;
  }
  hold = {};

  auto reply = std::make_shared<PendingReply>(*this, session, calls->size());
  reply->state = state;
  reply->ticket = ticket;
  reply->keystream = keystream;
  reply->controlKey = std::move(controlKey);
  reply->compressed = compressed;
  reply->cookie = created ? id : std::string();
  reply->peer = request.peer;
  reply->done = std::move(done);
  runCalls(std::move(*calls), std::move(prints), std::move(reply));
  return std::nullopt;
}

std::optional<std::vector<std::unique_ptr<TRtcValue>>> RequestCore::readCalls(
    std::string_view payload, bool compressed, const std::string& id, std::size_t limit,
    GatewayResponse& refusal, std::vector<std::uint64_t>& prints) {
  std::string inflated;
  if (compressed) {
    bool tooLarge = false;
    auto text = Inflate(payload, limit, tooLarge);
    if (!text) {
      refusal = tooLarge ? refuse(413, "inflated body too large", id)
                         : refuse(400, "damaged compressed body", id);
      return std::nullopt;
    }
    inflated = std::move(*text);
    payload = inflated;
  }
  const std::size_t valueBudget = std::max(kMinValueBudget, limit / kBytesPerValue);
  if (CountValues(payload, valueBudget) > valueBudget) {
    refusal = refuse(413, "too many values", id);
    return std::nullopt;
  }
  std::vector<std::unique_ptr<TRtcValue>> calls;
  try {
    std::size_t at = 0;
    while (at < payload.size()) {
      if (calls.size() == kMaxCallsPerRequest) {
        refusal = refuse(400, "too many calls", id);
        return std::nullopt;
      }
      const std::size_t from = at;
      calls.push_back(TRtcValue::FromCode(payload, at));
      prints.push_back(std::hash<std::string_view>{}(payload.substr(from, at - from)));
    }
  } catch (const std::exception& e) {
    if (log_)
      log_(LogLine("warn", "unreadable-calls").add("session", id).add("error", e.what()).text());
    refusal = refuse(400, "unreadable calls", id);
    return std::nullopt;
  }
  return calls;
}

void RequestCore::runCalls(std::vector<std::unique_ptr<TRtcValue>> calls,
                           std::vector<std::uint64_t> prints, std::shared_ptr<PendingReply> reply) {
  Session* session = reply->session();
  {
    std::unique_lock<std::mutex> serial;
    if (session) serial = std::unique_lock<std::mutex>(session->callLock());
    TRtcInfo scratch;
    PendingReply* r = reply.get();
    std::size_t index = 0;
    CallContext context{session, session ? session->storage() : scratch, reply->peer};
    context.keystream = reply->keystream;
    if (session)
      context.bindLogin = [this, id = session->id()](const std::string& login) {
        sessions_.bind(id, login);
      };
    if (session) context.loginEnded = [r] { r->loginEnded = true; };
    context.deferrer = [r, &index] { return r->defer(index); };
    for (; index < calls.size(); ++index) {
      context.fingerprint = index < prints.size() ? prints[index] : 0;
      auto* call = dynamic_cast<TRtcFunctionInfo*>(calls[index]->GetObject());
      if (!call) {
        r->set(index, std::make_unique<TRtcExceptionValue>(u"Function call expected."));
        continue;
      }
      auto result = functions_.execute(context, *call);
      if (result) r->set(index, std::move(result));
    }
  }
  calls.clear();
  reply->arm();
}

void RequestCore::finish(PendingReply& reply) {
  if (reply.loginEnded) {
    // The results would tell a call "LOGGED OUT", which a client takes as recoverable; without
    // its session it logs in again and gets that answer as its login's.
    const std::string sid = reply.session()->id();
    sessions_.remove(sid);
    if (Done done = std::move(reply.done)) done(refuse(410, "login ended", sid));
    return;
  }
  Compression level = config_.compression;
  if (reply.compressed && level == Compression::None) level = Compression::Fast;
  std::string body = CompressBody(reply.text(), level);
  Done done = std::move(reply.done);
  const std::string cookie = reply.cookie;
  std::shared_ptr<const void> results = reply.shared_from_this();
  if (!reply.state) {
    if (done) done(GatewayResponse{200, std::move(body), cookie, std::move(results)});
    return;
  }
  body.append(reply.controlKey);
  std::vector<std::pair<std::string, std::function<void(std::string*)>>> out;
  Session& session = *reply.session();
  {
    std::lock_guard<std::mutex> hold(session.lock());
    ServerCrypt* state = session.crypt().get();
    if (state != reply.state || reply.ticket < state->ticketsWritten) {
      state = nullptr;  // the cipher was renewed meanwhile: this reply cannot be read any more
    } else if (reply.ticket != state->ticketsWritten) {
      const std::string sid = session.id();
      state->parked.emplace(
          reply.ticket,
          // Not holding the results: the session holds what it parks.
          ServerCrypt::Parked{std::move(body), [this, done, cookie, sid](std::string* b) {
                                if (!done) return;
                                if (b)
                                  done({200, std::move(*b), cookie});
                                else
                                  done(refuse(409, "reply abandoned by a cipher reset", sid));
                              }});
      return;
    } else {
      state->write.Crypt(body);
      ++state->ticketsWritten;
      out.emplace_back(std::move(body), [done, cookie, results](std::string* b) {
        if (done) done({200, std::move(*b), cookie, results});
      });
      for (auto it = state->parked.begin();
           it != state->parked.end() && it->first == state->ticketsWritten;
           it = state->parked.erase(it)) {
        state->write.Crypt(it->second.body);
        ++state->ticketsWritten;
        out.emplace_back(std::move(it->second.body), std::move(it->second.send));
      }
    }
    if (!state) out.clear();
  }
  if (out.empty()) {
    if (done) done(refuse(409, "cipher renewed before the reply", session.id()));
    return;
  }
  for (auto& [text, send] : out) send(&text);
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
