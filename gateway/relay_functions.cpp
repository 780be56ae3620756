#include "gateway/relay_functions.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "gateway/login_data.h"
#include "util/exceptions.h"
#include "util/text.h"

namespace vtx::gateway {

namespace {

constexpr const char* kLoginKey = "vtx.login";     // storage field of the session's login id
constexpr const char* kStreamKey = "vtx.stream.";  // keystream of the last Get / Put
constexpr const char* kBadLogin = "Invalid user name or password.";
constexpr const char* kOtherId = "This session is logged in with another id.";
constexpr const char* kTooManyFailures = "Too many failed logins; try again later.";
constexpr const char* kDisabled = "This analyst account is disabled.";
constexpr const char* kAnalystsOnly = "Only analysts may do this.";

bool isAccessParam(const RtcWideString& name) {
  const RtcWideString upper = UpperCaseAscii(name);
  return upper == u"RESTRICTACCESS" || upper == u"ALLOWUSERS" || upper == u"SUPERUSERS";
}

std::unique_ptr<TRtcValueObject> boolean(bool v) {
  return std::make_unique<TRtcBooleanValue>(v);
}

RtcWideString trimmed(const RtcWideString& s) {
  std::size_t a = 0, b = s.size();
  while (a < b && s[a] <= u' ') ++a;
  while (b > a && s[b - 1] <= u' ') --b;
  return s.substr(a, b - a);
}

// The kind the client reads for the access parameters; other names are free.
std::optional<TRtcValueTypes> accessKind(const RtcWideString& name) {
  const RtcWideString upper = UpperCaseAscii(name);
  if (upper == u"RESTRICTACCESS") return rtc_Boolean;
  if (upper == u"ALLOWUSERS" || upper == u"SUPERUSERS") return rtc_Record;
  return std::nullopt;
}

bool fitsAccessKind(const RtcWideString& name, const TRtcValueObject* value) {
  const auto kind = accessKind(name);
  return !kind || !value || value->GetType() == rtc_Null || value->GetType() == *kind;
}

// The stored parameters without access parameters of another kind (stored before they were
// checked): a client cannot read them.
std::unique_ptr<TRtcValueObject> readableParams(std::unique_ptr<TRtcRecord> params) {
  std::vector<RtcWideString> bad;
  for (int i = 0; i < params->FieldCount(); ++i)
    if (!fitsAccessKind(params->FieldName(i), params->FieldObject(i)))
      bad.push_back(params->FieldName(i));
  for (const auto& name : bad) params->Extract(name);
  return params;
}

class RelayFunctions {
 public:
  RelayFunctions(Relay& relay, UserStore& store, AccountConfig accounts, AnalystAccounts* analysts,
                 LogSink log)
      : relay_(relay),
        store_(store),
        analysts_(analysts),
        log_(std::move(log)),
        shared_(Utf8Decode(accounts.loginPassword)),
        changePassword_(accounts.changePassword),
        guard_(accounts.limits) {}

  // The role the password gives the user; throws unless it is right. Failures make the peer
  // and the name wait.
  Role checkPassword(const std::string& peer, const RtcWideString& user,
                     const RtcWideString& password) {
    const std::string name = Utf8Encode(UpperCaseAscii(user));
    if (guard_.wait(peer, name).count() > 0) throw ERtcInfo(kTooManyFailures);
    const bool control =
        std::any_of(user.begin(), user.end(), [](char16_t ch) { return ch < u' ' || ch == 0x7f; });
    const char* refusal = user.empty() || control ? kBadLogin : nullptr;
    Role role = Role::Analyst;
    if (!refusal && analysts_) {
      switch (analysts_->check(user, password)) {
        case AnalystAccounts::Check::Match:
          // The shared password is in every copy of the program: never an analyst's.
          if (!shared_.empty() && password == shared_) refusal = kBadLogin;
          break;
        case AnalystAccounts::Check::Mismatch:
          refusal = kBadLogin;
          break;
        case AnalystAccounts::Check::Disabled:
          refusal = kDisabled;
          break;
        case AnalystAccounts::Check::NotAnalyst:
          role = Role::Host;
          if (!passwordOk(user, password)) refusal = kBadLogin;
          break;
      }
    } else if (!refusal && !passwordOk(user, password)) {
      refusal = kBadLogin;
    }
    if (refusal) {
      guard_.failed(peer, name);
      log(LogLine("warn", "login-refused")
              .add("user", name)
              .add("peer", peer)
              .add("reason", refusal == kDisabled ? "disabled" : "password"));
      throw ERtcInfo(refusal);
    }
    guard_.succeeded(peer, name);
    return role;
  }

  void log(const LogLine& line) const {
    if (log_) log_(line.text());
  }

  Role roleOf(CallContext& c) { return analysts_ ? relay_.roleOf(idOf(c)) : Role::Analyst; }

  bool passwordOk(const RtcWideString& user, const RtcWideString& password) {
    if (auto own = store_.checkPassword(user, password)) return *own;
    return shared_.empty() || password == shared_;
  }

  std::unique_ptr<TRtcValueObject> login(CallContext& c, TRtcFunctionInfo& call, bool relogin) {
    LoginRequest r;
    r.user = trimmed(call.asText("user"));
    r.id = call.asString("id");
    r.relogin = relogin;
    r.peer = c.peer;
    // One login id per protocol session (or per request without one): a session cannot be
    // used to log in many users.
    const std::string before = idOf(c);
    if (!before.empty() && before != r.id) throw ERtcInfo(kOtherId);
    CheckLoginData(call);
    r.role = checkPassword(c.peer, r.user, call.asText("pwd"));
    r.account = analysts_ && r.role == Role::Analyst;
    auto info = std::make_unique<TRtcRecord>();
    info->setAsText("login", r.user);
    info->setAsText("info_username", call.asText("UserName"));
    info->setAsText("info_computername", call.asText("ComputerName"));
    info->setAsText("info_ip", call.asText("IP"));
    info->setAsText("info_version", call.asText("ClientVersion"));
    for (int i = 0; i < call.FieldCount(); ++i) {  // extra login fields travel along
      const RtcWideString name = call.FieldName(i);
      const RtcWideString upper = UpperCaseAscii(name);
      if (upper == u"USER" || upper == u"PWD" || upper == u"ID" || upper == u"USERNAME" ||
          upper == u"COMPUTERNAME" || upper == u"IP" || upper == u"CLIENTVERSION")
        continue;
      if (const TRtcValueObject* v = call.FieldObject(i)) info->setAsObject(name, v->copyOf());
    }
    r.userinfo = std::move(info);
    const std::string id = r.id;
    relay_.login(std::move(r));
    c.storage.setAsString(kLoginKey, id);
    if (c.bindLogin) c.bindLogin(id);
    auto answer = std::make_unique<TRtcRecord>();
    answer->setAsBoolean("login", true);
    answer->setAsText("user", relay_.userOf(id));
    return answer;
  }

  static std::string idOf(CallContext& c) { return c.storage.asString(kLoginKey); }

  // The client's tick "x" of a Get or Put; none when absent or not a number.
  static std::optional<std::int64_t> tick(TRtcFunctionInfo& call) {
    if (call.isNull("x")) return std::nullopt;
    const auto kind = call.isType("x");
    if (kind != rtc_Integer && kind != rtc_LargeInt) return std::nullopt;
    return call.asLargeInt("x");
  }

  // Whether this Get or Put may be a re-post of the last one. A client re-posts a request whose
  // reply it lost on a new keystream (after a RESET or a new handshake), so an enciphered call
  // on the keystream of the session's previous Get or Put is new even when its tick came round
  // again. Unenciphered calls cannot tell.
  static bool mayRepeat(CallContext& c, const char* kind) {
    if (c.keystream == 0) return true;
    const std::string key = std::string(kStreamKey) + kind;
    const bool fresh = c.storage.asLargeInt(key) != static_cast<std::int64_t>(c.keystream);
    c.storage.setAsLargeInt(key, static_cast<std::int64_t>(c.keystream));
    return fresh;
  }

  std::unique_ptr<TRtcValueObject> serverInfo(const std::string& id) {
    auto info = std::make_unique<TRtcRecord>();
    info->setAsText("server", u"vorantelix-gateway");
    info->setAsText("user", relay_.userOf(id));
    return info;
  }

  std::unique_ptr<TRtcValueObject> put(CallContext& c, TRtcFunctionInfo& call) {
    const std::string id = idOf(c);
    TRtcDataSet none;
    TRtcDataSet* rows = nullptr;
    if (!call.isNull("p")) {
      if (call.isType("p") != rtc_DataSet) throw ERtcInfo("Put expects a data set \"p\".");
      rows = call.asDataSet("p");
    }
    // Rows that cannot be applied are logged by the relay; the answer is never an exception,
    // which would reset every module of the client. Data that found no room is named in the
    // answer, so that the sender can send a complete state to those receivers later.
    const PutOutcome outcome =
        relay_.put(id, rows ? *rows : none, tick(call), c.fingerprint, mayRepeat(c, "put"));
    if (outcome.refused.empty()) return boolean(true);
    auto answer = std::make_unique<TRtcRecord>();
    TRtcArray& refused = answer->NewArray("refused");
    for (const auto& r : outcome.refused) {
      TRtcRecord& one = refused.NewRecord(refused.Count());
      one.setAsInteger("row", r.row);
      one.setAsText("to", r.to);
      if (!r.group.empty()) one.setAsText("fn", r.group);
      one.setAsString("reason", r.reason);
    }
    if (outcome.moreRefused)
      answer->setAsLargeInt("more", static_cast<std::int64_t>(outcome.moreRefused));
    return answer;
  }

  // The one parameter of a User.* call: its name and value.
  static std::pair<RtcWideString, TRtcValueObject*> single(TRtcFunctionInfo& call) {
    for (int i = 0; i < call.FieldCount(); ++i)
      if (!call.FieldName(i).empty()) return {call.FieldName(i), call.FieldObject(i)};
    throw ERtcInfo("Parameter name expected.");
  }
  static const TRtcRecord& recordOf(TRtcValueObject* v) {
    auto* r = dynamic_cast<TRtcRecord*>(v);
    if (!r || r->GetType() != rtc_Record) throw ERtcInfo("Record parameter expected.");
    return *r;
  }

  std::unique_ptr<TRtcValueObject> changePassword(CallContext& c, TRtcFunctionInfo& call) {
    if (!changePassword_) throw ERtcInfo("Password changes are disabled on this gateway.");
    const RtcWideString me = relay_.userOf(idOf(c));
    // Only an analyst's own account: a host cannot claim a name with a password.
    if (roleOf(c) != Role::Analyst) throw ERtcInfo(kAnalystsOnly);
    const RtcWideString user = trimmed(call.asText("username"));
    if (UpperCaseAscii(user) != UpperCaseAscii(me)) throw ERtcInfo(kBadLogin);
    checkPassword(c.peer, me, call.asText("oldpassword"));
    const RtcWideString fresh = call.asText("newpassword");
    if (fresh.empty()) throw ERtcInfo("The new password may not be empty.");
    if (analysts_) {
      const std::string why = AnalystPasswordProblem(Utf8Encode(fresh));
      if (!why.empty()) throw ERtcInfo("The new " + why + ".");
      analysts_->setPassword(Utf8Encode(me), Utf8Encode(fresh));
    } else {
      store_.setPassword(me, fresh);
    }
    return std::make_unique<TRtcTextValue>(u"Password changed.");
  }

  // For a host, the access parameters say "analysts only", whatever it stored.
  std::unique_ptr<TRtcValueObject> params(CallContext& c) {
    const RtcWideString me = relay_.userOf(idOf(c));
    auto params = store_.params(me);
    if (roleOf(c) == Role::Host) {
      for (const char* name : {"RestrictAccess", "AllowUsers", "SuperUsers"}) params->Extract(name);
      params->setAsBoolean("RestrictAccess", true);
      TRtcRecord& allow = params->NewRecord("AllowUsers");
      for (const auto& analyst : analysts_->enabledNames()) allow.setAsBoolean(analyst, true);
      params->setAsRecord("SuperUsers", allow);
    }
    return readableParams(std::move(params));
  }

  // Whether a host's write of this parameter is to be ignored (logged).
  bool ignoredWrite(CallContext& c, const RtcWideString& me, const RtcWideString& name) {
    if (!isAccessParam(name) || roleOf(c) != Role::Host) return false;
    log(LogLine("warn", "access-param-ignored")
            .add("user", Utf8Encode(me))
            .add("param", Utf8Encode(name)));
    return true;
  }

  Relay& relay_;
  UserStore& store_;
  AnalystAccounts* analysts_;
  LogSink log_;
  RtcWideString shared_;
  bool changePassword_;
  LoginGuard guard_;
};

// A function of a logged-in session. When that login ended while the request ran (its
// sessions are about to be dropped), the request is answered 410 instead of with the refusal.
ServerFunction ofLogin(ServerFunction function) {
  return [function = std::move(function)](CallContext& c, TRtcFunctionInfo& call) {
    try {
      return function(c, call);
    } catch (const ERtcInfo& e) {
      const std::string_view why = e.what();
      if (c.loginEnded && !RelayFunctions::idOf(c).empty() &&
          (why == Relay::kLoggedOut || why == Relay::kReplaced))
        c.loginEnded();
      throw;
    }
  };
}

}  // namespace

void AddRelayFunctions(FunctionRegistry& registry, Relay& relay, UserStore& store,
                       AccountConfig accounts, AnalystAccounts* analysts, LogSink log) {
  auto f =
      std::make_shared<RelayFunctions>(relay, store, std::move(accounts), analysts, std::move(log));
  registry.add(u"Login",
               [f](CallContext& c, TRtcFunctionInfo& call) { return f->login(c, call, false); });
  registry.add(u"ReLogin",
               [f](CallContext& c, TRtcFunctionInfo& call) { return f->login(c, call, true); });
  registry.add(u"Host", [f](CallContext& c, TRtcFunctionInfo& call) {
    const std::string id = RelayFunctions::idOf(c);
    f->relay_.host(id, call.isNull("on") || call.asBoolean("on"));
    return f->serverInfo(id);
  });
  registry.add(u"Control", [f](CallContext& c, TRtcFunctionInfo& call) {
    const std::string id = RelayFunctions::idOf(c);
    if (f->roleOf(c) != Role::Analyst) {  // the roster is the support team's
      f->log(LogLine("warn", "control-refused")
                 .add("user", Utf8Encode(f->relay_.userOf(id)))
                 .add("peer", c.peer));
      throw ERtcInfo(kAnalystsOnly);
    }
    f->relay_.control(id, call.isNull("on") || call.asBoolean("on"));
    return f->serverInfo(id);
  });
  registry.add(u"Get", [f](CallContext& c, TRtcFunctionInfo& call) {
    const std::string id = RelayFunctions::idOf(c);
    f->relay_.userOf(id);  // refuses before deferring
    const bool repeat = RelayFunctions::mayRepeat(c, "get");
    return f->relay_.get(id, c.defer(), RelayFunctions::tick(call), repeat);
  });
  registry.add(u"Put", [f](CallContext& c, TRtcFunctionInfo& call) { return f->put(c, call); });
  registry.add(u"Logout", [f](CallContext& c, TRtcFunctionInfo& call) {
    const std::string id = RelayFunctions::idOf(c);
    const RtcWideString user = trimmed(call.asText("user"));
    const RtcWideString me = f->relay_.userOf(id);
    f->checkPassword(c.peer, me, call.asText("pwd"));
    f->relay_.logout(id, user);
    c.storage.setAsString(kLoginKey,
                          "");  // ended by its own session: later calls are not logged in
    return boolean(true);
  });
  registry.add(u"User.Get", [f](CallContext& c, TRtcFunctionInfo&) { return f->params(c); });
  registry.add(u"User.Set", [f](CallContext& c, TRtcFunctionInfo& call) {
    const RtcWideString me = f->relay_.userOf(RelayFunctions::idOf(c));
    for (int i = 0; i < call.FieldCount(); ++i)
      if (!fitsAccessKind(call.FieldName(i), call.FieldObject(i)))
        throw ERtcInfo("Parameter \"" + Utf8Encode(call.FieldName(i)) + "\" has the wrong kind.");
    for (int i = 0; i < call.FieldCount(); ++i)
      if (!call.FieldName(i).empty() && !f->ignoredWrite(c, me, call.FieldName(i)))
        f->store_.setParam(me, call.FieldName(i), call.FieldObject(i));
    return boolean(true);
  });
  registry.add(u"User.Add", [f](CallContext& c, TRtcFunctionInfo& call) {
    const RtcWideString me = f->relay_.userOf(RelayFunctions::idOf(c));
    auto [name, value] = RelayFunctions::single(call);
    if (f->ignoredWrite(c, me, name)) return boolean(true);
    f->store_.addFields(me, name, RelayFunctions::recordOf(value));
    return boolean(true);
  });
  registry.add(u"User.Del", [f](CallContext& c, TRtcFunctionInfo& call) {
    const RtcWideString me = f->relay_.userOf(RelayFunctions::idOf(c));
    auto [name, value] = RelayFunctions::single(call);
    if (f->ignoredWrite(c, me, name)) return boolean(true);
    f->store_.delFields(me, name, RelayFunctions::recordOf(value));
    return boolean(true);
  });
  registry.add(u"ChangePwd",
               [f](CallContext& c, TRtcFunctionInfo& call) { return f->changePassword(c, call); });
  for (const char16_t* name : {u"Host", u"Control", u"Get", u"Put", u"Logout", u"User.Get",
                               u"User.Set", u"User.Add", u"User.Del", u"ChangePwd"})
    registry.add(name, ofLogin(*registry.find(name)));
}

void EndWithdrawnAnalysts(Relay& relay, AnalystAccounts& analysts) {
  std::unordered_set<RtcWideString> enabled, known;
  for (const auto& a : analysts.list()) {
    const RtcWideString key = UpperCaseAscii(Utf8Decode(a.name));
    known.insert(key);
    if (a.enabled) enabled.insert(key);
  }
  for (const auto& name : relay.usersWithRole(Role::Analyst))
    if (!enabled.count(UpperCaseAscii(name))) relay.endUser(name, "account-withdrawn");
  // A host that held a name before it became an analyst's gives it up.
  for (const auto& name : relay.usersWithRole(Role::Host))
    if (known.count(UpperCaseAscii(name))) relay.endUser(name, "name-taken-by-analyst");
}

}  // namespace vtx::gateway
