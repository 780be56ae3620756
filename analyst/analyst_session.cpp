#include "analyst/analyst_session.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "analyst/latency_probe.h"
#include "util/datetime.h"
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

// The session's timeline, with the analyst's own actions among the portal's events.
class AnalystSession::Timeline : public TnxPortalJsonLog {
 public:
  using TnxPortalJsonLog::TnxPortalJsonLog;
  void Action(const std::string& user, const std::string& action, const std::string& host,
              std::vector<std::pair<std::string, std::string>> details) {
    TnxPortalLogEntry e;
    e.Event = "\"AnalystAction\"";
    e.LocalUserName = user;
    e.Entries.emplace_back("Action", action);
    e.Entries.emplace_back("Host", host);
    for (auto& d : details) e.Entries.push_back(std::move(d));
    WriteEvent(e);
  }
};

std::string ListingJson(TRtcDataSet& data) {
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  for (int i = 0; i < data.RowCount(); ++i) {
    data.setRow(i);
    nlohmann::ordered_json row = nlohmann::ordered_json::object();
    for (int f = 0; f < data.FieldCount(); ++f) {
      const RtcWideString name = data.FieldName(f);
      const std::string key = Utf8Encode(name);
      switch (data.isType(name)) {
        case rtc_Null:
          break;
        case rtc_Integer:
        case rtc_LargeInt:
        case rtc_Cardinal:
          row[key] = data.asLargeInt(name);
          break;
        case rtc_DateTime: {
          DateTimeParts p;
          char buf[32] = "";
          if (DecodeDateTime(data.asDateTime(name), p))
            std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day,
                          p.hour, p.minute, p.second);
          row[key] = buf;
          break;
        }
        default:
          row[key] = Utf8EncodeStandard(data.asText(name));
      }
    }
    rows.push_back(std::move(row));
  }
  return rows.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

AnalystSession::AnalystSession(SessionOptions options)
    : options_(std::move(options)),
      system_("ANALYST", options_.user, "127.0.0.1"),
      guard_(options_.fetch, options_.acceptFromHost) {
  if (!options_.timeline.empty())
    timeline_ = std::make_unique<Timeline>(options_.timeline, &system_);
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

  files_.On_FileTransOpen = [this](TRtcPFileTransfer&, const std::string& host) {
    std::lock_guard g(lock_);
    if (std::find(fileHosts_.begin(), fileHosts_.end(), host) == fileHosts_.end())
      fileHosts_.push_back(host);
    cv_.notify_all();
  };
  files_.On_FileTransClose = [this](TRtcPFileTransfer&, const std::string& host) {
    std::lock_guard g(lock_);
    fileHosts_.erase(std::remove(fileHosts_.begin(), fileHosts_.end(), host), fileHosts_.end());
  };
  files_.On_FileList = [this](TRtcPFileTransfer&, const std::string& host,
                              const std::string& folder, TRtcDataSet& data) {
    push({"listing", host, folder, ListingJson(data)});
  };
  files_.On_FileError = [this](TRtcPFileTransfer&, const std::string& host, const std::string& file,
                               const std::string& msg) {
    push({"file_error", host, file, msg});
  };
  auto fileEvent = [this](const char* kind) {
    return [this, kind](TRtcPFileTransfer&, const std::string& host, const std::string& path,
                        const std::string&, int64_t size) {
      push({kind, host, path, std::to_string(size)});
    };
  };
  files_.On_FileSend = fileEvent("sending");
  files_.On_FileRecv = fileEvent("receiving");
  files_.On_FileSendStop = fileEvent("sent");
  files_.On_FileRecvStop = fileEvent("received");
  files_.On_FileSendCancel = fileEvent("send_cancelled");
  files_.On_FileRecvCancel = fileEvent("receive_cancelled");
  // The host may browse, fetch, change or run nothing of the analyst's; it sends files only as
  // the analyst's own fetch asked, or into the push folder the analyst chose.
  for (int c = 0; c < TRtcPFileTransfer::capCount; ++c) {
    const auto cap = static_cast<TRtcPFileTransfer::Capability>(c);
    const bool on = cap == TRtcPFileTransfer::capUpload || cap == TRtcPFileTransfer::capDownload;
    files_.setGAllow(cap, on);
    files_.setGAllow_Super(cap, on);
  }
  files_.setPeerMayFetch(false);
  files_.setRequireOffer(true);
  files_.setReceiveCheck([this](const std::string& user, const std::string& path,
                                const std::string& file, const std::string& target, int64_t size) {
    return guard_.Check(user, path, file, target, size);
  });
  if (!options_.acceptFromHost.empty()) files_.setFileInboxPath(options_.acceptFromHost);
  files_.setClient(&client_);

  desktop_.setClipboard(&clipboard_);
  // Screens come only from the hosts the analyst opened.
  desktop_.setOnQueryAccess([this](TRtcPModule&, const std::string& user, bool& allow) {
    allow = View(user) != nullptr;
  });
  desktop_.On_HostParams = [this](TRtcPDesktopControl&, const std::string&) {
    std::lock_guard g(lock_);
    ++hostParams_;
    cv_.notify_all();
  };
  desktop_.On_Clipboard = [this](TRtcPDesktopControl&, const std::string&) {
    std::lock_guard g(lock_);
    ++clipboards_;
    cv_.notify_all();
  };
  desktop_.On_DesktopClose = [this](TRtcPDesktopControl&, const std::string& host) {
    push({"desktop_closed", host, "", ""});
  };
  desktop_.setClient(&client_);
}

DesktopView* AnalystSession::View(const std::string& host) {
  std::lock_guard g(lock_);
  auto it = views_.find(host);
  return it == views_.end() ? nullptr : it->second.get();
}

int AnalystSession::OpenDesktop(const std::string& host, std::chrono::milliseconds limit) {
  DesktopView* view = View(host);
  if (view && view->Open() && view->WaitForImage(std::chrono::milliseconds(0))) return kOk;
  if (!view) {
    auto made = std::make_unique<DesktopView>(options_.view);
    made->setUserName(host);
    made->setModule(&desktop_);
    if (options_.probeX >= 0 && options_.probeY >= 0) {
      auto probe = std::make_shared<LatencyProbe>(options_.probeX, options_.probeY, stderr);
      made->SetOnApplied([probe](const ScreenImage& image) {
        probe->Applied([&image](int x, int y) { return image.Pixel(x, y); }, image.Width(),
                       image.Height());
      });
    }
    std::lock_guard g(lock_);
    view = (views_[host] = std::move(made)).get();
  }
  desktop_.Open(host);
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (view->WaitForImage(std::chrono::milliseconds(100))) return kOk;
    std::lock_guard g(lock_);
    if (lost_) return kConnectionLost;
  }
  return kAccessRefused;
}

bool AnalystSession::HostParams(const std::string& host, std::chrono::milliseconds limit,
                                TRtcPDesktopControl::HostParams& out) {
  int64_t before;
  {
    std::lock_guard g(lock_);
    before = hostParams_;
  }
  desktop_.Send_GetHostParams(host);
  std::unique_lock g(lock_);
  if (!cv_.wait_for(g, limit, [&] { return lost_ || hostParams_ > before; }) || lost_) return false;
  out = desktop_.HParams();
  return true;
}

int64_t AnalystSession::ClipboardsReceived() const {
  std::lock_guard g(lock_);
  return clipboards_;
}

bool AnalystSession::WaitClipboard(int64_t after, std::chrono::milliseconds limit) {
  std::unique_lock g(lock_);
  return cv_.wait_for(g, limit, [&] { return lost_ || clipboards_ > after; }) && !lost_;
}

int AnalystSession::OpenFiles(const std::string& host, std::chrono::milliseconds limit) {
  auto open = [&] {
    return std::find(fileHosts_.begin(), fileHosts_.end(), host) != fileHosts_.end();
  };
  {
    std::lock_guard g(lock_);
    if (open()) return kOk;
  }
  if (filesUI_.UserName() != host) {
    filesUI_.setModule(nullptr);
    filesUI_.setUserName(host);
    filesUI_.setModule(&files_);
  }
  files_.Open(host);
  std::unique_lock g(lock_);
  cv_.wait_for(g, limit, [&] { return lost_ || open(); });
  if (lost_) return kConnectionLost;
  return open() ? kOk : kAccessRefused;
}

AnalystSession::~AnalystSession() {
  Stop();
  if (stopper_.joinable()) stopper_.join();
  chat_.setClient(nullptr);
  cmd_.setClient(nullptr);
  filesUI_.setModule(nullptr);
  files_.setClient(nullptr);
  for (auto& [host, view] : views_) view->setModule(nullptr);
  desktop_.setClient(nullptr);
  client_.setPortalLog(nullptr);
}

void AnalystSession::push(Event e) {
  std::lock_guard g(lock_);
  const bool wanted =
      consumeAll_ || std::find(consumed_.begin(), consumed_.end(), e.kind) != consumed_.end();
  if (e.kind != "error" && (!wanted || events_.size() >= options_.maxEvents)) {
    ++dropped_;
    return;
  }
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
  if (stopping_.exchange(true)) return;
  if (!client_.LoggedIn()) return client_.Stop();
  // The logout travels in a Put; the portal client then also waits for the Get the gateway
  // holds, which is not worth its hold time: that part ends on a thread of its own.
  stopper_ = std::thread([this] {
    client_.setActive(false);
    client_.Stop();
  });
  std::this_thread::sleep_for(50ms);
  Flush(3s);
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

void AnalystSession::Record(const std::string& action, const std::string& host,
                            std::vector<std::pair<std::string, std::string>> details) {
  if (timeline_) timeline_->Action(options_.user, action, host, std::move(details));
}

void AnalystSession::Consume(std::vector<std::string> kinds) {
  std::lock_guard g(lock_);
  consumeAll_ = false;
  consumed_ = std::move(kinds);
}

int64_t AnalystSession::Dropped() const {
  std::lock_guard g(lock_);
  return dropped_;
}

void AnalystSession::Fetch(const std::string& host, const std::string& remote,
                           const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const std::string local = std::filesystem::absolute(folder, ec).string();
  guard_.Expect(host, remote, local);
  files_.setFileInboxPath(local);
  files_.Fetch(host, remote, "");
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
