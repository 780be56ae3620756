// A light portal peer for tests and benchmarks: one user with a Get channel and a Put channel,
// each a TRtcClientModule on its own multi-threaded TRtcHttpClient, both logging in
// automatically with the same login id. Results are handed to callbacks in call order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "transport/rtc_client_module.h"
#include "transport/rtc_http_client.h"

namespace vtx::gateway::testing {

struct PeerSettings {
  std::string port;
  std::string secureKey;  // with encryption when not empty
  RtcWideString user, password;
  std::string id;
  std::string caFile;  // TLS, checking the gateway's certificate against this file, when set
};

class PortalChannel {
 public:
  using Fill = std::function<void(TRtcFunctionInfo&)>;
  using Done = std::function<void(TRtcValue& result)>;  // a null result: aborted

  explicit PortalChannel(const PeerSettings& s) : settings_(s) {
    client_.ServerAddr = "127.0.0.1";
    client_.ServerPort = s.port;
    client_.setMultiThreaded(true);
    client_.setAutoConnect(true);
    if (!s.caFile.empty()) {
      client_.setUseSSL(true);
      client_.setSSLCAFile(s.caFile);
    }
    module_.setClient(&client_);
    module_.setModuleFileName("$rdgate");
    if (!s.secureKey.empty()) {
      module_.setEncryptionKey(16);
      module_.SecureKey = s.secureKey;
      module_.setForceEncryption(true);
    }
    module_.setAutoSessions(true);
    module_.setAutoLogin(true);
    module_.OnLogin = [this](TRtcConnection&, TRtcValue& data) {
      auto f = std::make_unique<TRtcFunctionInfo>(u"Login");
      f->setAsText("user", settings_.user);
      f->setAsText("pwd", settings_.password);
      f->setAsString("id", settings_.id);
      f->setAsString("UserName", "tester");
      f->setAsString("IP", "127.0.0.1,");
      f->setAsString("ComputerName", "TESTPC");
      f->setAsString("ClientVersion", "3.68");
      data.SetObject(std::move(f));
    };
    module_.OnLoginResult = [this](TRtcConnection&, TRtcValue&, TRtcValue& result) {
      std::lock_guard<std::mutex> hold(lock_);
      loginResult_ = result.toCode();
    };
    handler_.OnReturn = [this](TRtcConnection*, TRtcValue&, TRtcValue& result) { deliver(result); };
    handler_.RequestAborted = [this](TRtcConnection*, TRtcValue&, TRtcValue&) {
      TRtcValue none;
      deliver(none);
    };
  }
  ~PortalChannel() {
    client_.WaitForCompletion(false, 10, false);
    client_.setAutoConnect(false);
    client_.Disconnect();
  }

  // Queues the call; `done` runs on the connection's thread with its result. From inside a
  // result of this channel, pass `fromInside`.
  void call(const char* name, const Fill& fill, Done done, bool fromInside = false) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      waiting_.push_back(std::move(done));
    }
    TRtcFunctionInfo& f = module_.Prepare(name);
    if (fill) fill(f);
    if (fromInside)
      module_.Call(&handler_, true, &client_);
    else
      module_.Call(&handler_);
  }
  // The same, waiting (at most `limit`) for the result; none when aborted or too late.
  std::unique_ptr<TRtcValue> callAndWait(const char* name, const Fill& fill = {},
                                         std::chrono::seconds limit = std::chrono::seconds(10)) {
    struct Wait {
      std::mutex m;
      std::condition_variable cv;
      bool done = false;
      std::unique_ptr<TRtcValue> value;
    };
    auto w = std::make_shared<Wait>();
    call(name, fill, [w](TRtcValue& result) {
      std::lock_guard<std::mutex> hold(w->m);
      if (!result.isNull()) w->value = TRtcValue::FromCode(result.toCode());
      w->done = true;
      w->cv.notify_all();
    });
    std::unique_lock<std::mutex> hold(w->m);
    if (!w->cv.wait_for(hold, limit, [&] { return w->done; })) return nullptr;
    return std::move(w->value);
  }
  std::string loginResult() {
    std::lock_guard<std::mutex> hold(lock_);
    return loginResult_;
  }

 private:
  void deliver(TRtcValue& result) {
    Done done;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (waiting_.empty()) return;
      done = std::move(waiting_.front());
      waiting_.pop_front();
    }
    if (done) done(result);
  }

  PeerSettings settings_;
  TRtcHttpClient client_;
  TRtcClientModule module_;
  TRtcResult handler_;
  std::mutex lock_;
  std::deque<Done> waiting_;
  std::string loginResult_;
};

// One user: the Get channel polls, the Put channel carries rows and parameter calls.
struct PortalPeer {
  explicit PortalPeer(const PeerSettings& s) : get(s), put(s) {}
  PortalChannel get, put;
};

// A Put whose p holds the given rows, each filled by a function.
inline PortalChannel::Fill PutRows(int x, std::vector<std::function<void(TRtcDataSet&)>> rows) {
  return [x, rows = std::move(rows)](TRtcFunctionInfo& f) {
    f.setAsInteger("x", x);
    TRtcDataSet& p = f.NewDataSet("p");
    for (const auto& row : rows) {
      p.Append();
      row(p);
    }
  };
}

}  // namespace vtx::gateway::testing
