#include "analyst/analyst_session.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "util/text.h"

namespace vtx::analyst {
namespace {

using namespace std::chrono_literals;

std::string field(TRtcRecord& rec, const char* name) {
  try {
    return Utf8EncodeStandard(rec.asText(name));
  } catch (const std::exception&) {
    return {};
  }
}

bool isLoginError(const std::string& text) {
  return text.find("Invalid user name or password") != std::string::npos;
}

}  // namespace

AnalystSession::AnalystSession(SessionOptions options)
    : options_(std::move(options)), system_("ANALYST", options_.user, "127.0.0.1") {
  if (!options_.timeline.empty())
    timeline_ = std::make_unique<TnxPortalJsonLog>(options_.timeline, &system_);
  client_.setSystemInfo(&system_);
  client_.setGateAddr(options_.addr);
  client_.setGatePort(options_.port);
  if (options_.tls || !options_.tlsCa.empty()) {
    client_.setGate_SSL(true);
    if (!options_.tlsCa.empty()) client_.setGate_SSLCAFile(options_.tlsCa);
  }
  client_.setMultiThreaded(true);
  client_.setDataEncrypt(16);
  client_.setDataForceEncrypt(true);
  client_.setDataSecureKey(options_.key);
  client_.setDataCompress(TrtcpCompressLevel::rtcpCompMax);
  client_.setRetryOtherCalls(2);
  client_.setLoginPassword(options_.password);
  client_.setLoginUserName(options_.user);
  client_.setUserVisible(false);
  client_.setUserNotify(true);
  if (timeline_) {
    // Everything but the polling is worth a line in the timeline.
    timeline_->setFilter({"Put", "Get"});
    client_.setPortalLog(timeline_.get());
  }

  client_.OnStart = [this](TAbsPortalClient&, TRtcValue&) {
    std::lock_guard g(lock_);
    started_ = true;
    cv_.notify_all();
  };
  auto failed = [this](TAbsPortalClient&, const std::string& msg) {
    std::lock_guard g(lock_);
    if (!lost_) {
      lost_ = true;
      error_ = msg;
    }
    events_.push_back({"error", "", "", msg});
    cv_.notify_all();
  };
  client_.OnError = failed;
  client_.OnFatalError = failed;
  client_.OnUserLoggedIn = [this](TAbsPortalClient&, const std::string&) {
    std::lock_guard g(lock_);
    cv_.notify_all();
  };

  chat_.On_ChatOpen = [this](TRtcPChat&, const std::string& room) {
    {
      std::lock_guard g(lock_);
      if (std::find(rooms_.begin(), rooms_.end(), room) == rooms_.end()) rooms_.push_back(room);
    }
    push({"joined", room, "", ""});
  };
  chat_.On_ChatClose = [this](TRtcPChat&, const std::string& room) {
    {
      std::lock_guard g(lock_);
      rooms_.erase(std::remove(rooms_.begin(), rooms_.end(), room), rooms_.end());
    }
    push({"left", room, "", ""});
  };
  chat_.On_ChatUserJoined = [this](TRtcPChat&, const std::string& room, const std::string& user) {
    push({"user_joined", room, user, ""});
  };
  chat_.On_ChatUserLeft = [this](TRtcPChat&, const std::string& room, const std::string& user) {
    push({"user_left", room, user, ""});
  };
  chat_.On_ChatMessageLine = [this](TRtcPChat&, const std::string& room, const std::string& user,
                                    const std::string& line) {
    // Lines travel one UTF-16 unit at a time; people and JSON get standard UTF-8.
    const std::u16string units = Utf8Decode(line);
    std::string text = units.empty() ? line : Utf8EncodeStandard(units);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    push({"line", room, user, text});
  };
  chat_.setClient(&client_);
  cmd_.setClient(&client_);
}

AnalystSession::~AnalystSession() {
  Stop();
  chat_.setClient(nullptr);
  cmd_.setClient(nullptr);
  client_.setPortalLog(nullptr);
}

void AnalystSession::push(Event e) {
  std::lock_guard g(lock_);
  events_.push_back(std::move(e));
  cv_.notify_all();
}

int AnalystSession::Start(std::chrono::milliseconds limit, std::string& error) {
  client_.setActive(true);
  std::unique_lock g(lock_);
  if (!cv_.wait_for(g, limit, [&] { return started_ || lost_; })) {
    error = "no answer from the gateway at " + options_.addr + ":" + options_.port;
    return kUnreachable;
  }
  if (started_ && !lost_) return kOk;
  error = error_;
  return isLoginError(error_) ? kBadLogin : kUnreachable;
}

void AnalystSession::Stop() {
  if (client_.LoggedIn()) client_.setActive(false);
  client_.Stop();
}

std::vector<HostInfo> AnalystSession::Hosts() const {
  std::vector<HostInfo> out;
  auto infos = client_.UserInfos();
  for (int i = 0; i < infos->FieldCount(); ++i) {
    HostInfo h;
    h.user = Utf8Encode(infos->FieldName(i));
    if (TRtcValueObject* o = infos->FieldObject(i); o && o->GetType() == rtc_Record) {
      auto& rec = static_cast<TRtcRecord&>(*o);
      h.company = field(rec, "EMPRESA");
      h.name = field(rec, "NOME");
      h.machine = field(rec, "MAQUINA");
      h.ticket = field(rec, "CHAMADO");
      h.service = field(rec, "SERVICO");
    }
    out.push_back(std::move(h));
  }
  return out;
}

bool AnalystSession::HostLoggedIn(const std::string& host) const {
  auto infos = client_.UserInfos();
  return infos->GetObject(host) != nullptr;
}

bool AnalystSession::WaitForHost(const std::string& host, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  std::unique_lock g(lock_);
  while (!HostLoggedIn(host)) {
    if (lost_ || cv_.wait_until(g, end) == std::cv_status::timeout) return HostLoggedIn(host);
  }
  return true;
}

bool AnalystSession::InRoom(const std::string& host) const {
  std::lock_guard g(lock_);
  return std::find(rooms_.begin(), rooms_.end(), host) != rooms_.end();
}

int AnalystSession::JoinRoom(const std::string& host, std::chrono::milliseconds limit) {
  if (InRoom(host)) return kOk;
  chat_.Open(host);
  std::unique_lock g(lock_);
  cv_.wait_for(g, limit, [&] {
    return lost_ || std::find(rooms_.begin(), rooms_.end(), host) != rooms_.end();
  });
  if (lost_) return kConnectionLost;
  return std::find(rooms_.begin(), rooms_.end(), host) != rooms_.end() ? kOk : kAccessRefused;
}

void AnalystSession::SendChat(const std::string& host, const std::string& piece) {
  // Text that is not UTF-8 would arrive empty.
  if (!piece.empty() && Utf8Decode(piece).empty())
    throw std::runtime_error("the text is not UTF-8");
  chat_.Send(host, piece);
}

void AnalystSession::SendCommand(const std::string& host, const std::string& text) {
  cmd_.SendCustomMessage(host, text);
}

void AnalystSession::Flush(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  // The queue empties in Put calls that follow one another: idle twice in a row is done.
  int idle = 0;
  while (idle < 2 && std::chrono::steady_clock::now() < end) {
    idle = client_.PutConnection().WaitForCompletion(false, 1) ? idle + 1 : 0;
    std::this_thread::sleep_for(100ms);
  }
}

bool AnalystSession::NextEvent(Event& e, std::chrono::milliseconds limit) {
  std::unique_lock g(lock_);
  if (!cv_.wait_for(g, limit, [&] { return !events_.empty(); })) return false;
  e = std::move(events_.front());
  events_.pop_front();
  return true;
}

bool AnalystSession::Lost(std::string& why) const {
  std::lock_guard g(lock_);
  why = error_;
  return lost_;
}

}  // namespace vtx::analyst
