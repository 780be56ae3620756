// An in-process gateway on 127.0.0.1 with scripted portal functions: it records every call,
// answers "Get" with what the test queued for the caller (waiting briefly when nothing is
// queued) and keeps the rows of every "Put". Stops on destruction.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/functions.h"
#include "gateway/random_source.h"
#include "gateway/request_core.h"
#include "gateway/server.h"
#include "gateway/session.h"
#include "util/text.h"

namespace vtx::testing {

struct GatewayCall {
  std::string name;
  std::unique_ptr<TRtcFunctionInfo> call;
};

class ScriptedGateway {
 public:
  explicit ScriptedGateway(gateway::CoreConfig core = {}) : sessions_(std::chrono::hours(1), 100) {
    for (const char* name : {"Login", "ReLogin", "Host", "Control", "Get", "Put", "Logout",
                             "User.Get", "User.Set", "User.Add", "User.Del", "ChangePwd"}) {
      const std::string fn = name;
      functions_.add(Widen(fn), [this, fn](gateway::CallContext&, TRtcFunctionInfo& call) {
        return answer(fn, call);
      });
    }
    core_ = std::make_unique<gateway::RequestCore>(core, functions_, sessions_, random_);
    gateway::ServerConfig config;
    config.port = 0;
    config.threads = 4;
    server_ = std::make_unique<gateway::GatewayServer>(config, *core_, sessions_);
    server_->listen();
    thread_ = std::thread([this] { server_->run(); });
  }
  ~ScriptedGateway() { stop(); }

  void stop() {
    {
      std::lock_guard g(lock_);
      stopped_ = true;
      cv_.notify_all();
    }
    if (server_) server_->stop(std::chrono::milliseconds(500));
    if (thread_.joinable()) thread_.join();
  }

  std::string port() const { return std::to_string(server_->port()); }

  // Scripting (before or during the session).
  void refuseLogin(const std::string& text) {
    std::lock_guard g(lock_);
    loginRefusal_ = text;
  }
  // Every "Put" is answered with an exception of this text.
  void failPut(const std::string& text) {
    std::lock_guard g(lock_);
    putFailure_ = text;
  }
  // Every "Put" is answered with this value (a {refused: [...]} record, say).
  void answerPut(std::unique_ptr<TRtcValueObject> answer) {
    std::lock_guard g(lock_);
    putAnswer_ = std::move(answer);
  }
  // The answer to "User.Get" (any value; a record normally).
  void setParams(std::unique_ptr<TRtcValueObject> params) {
    std::lock_guard g(lock_);
    params_ = std::move(params);
  }
  // The next "Get" answers with this record.
  void queueForGet(std::unique_ptr<TRtcRecord> batch) {
    std::lock_guard g(lock_);
    gets_.push_back(std::move(batch));
    cv_.notify_all();
  }

  // Observation.
  std::vector<std::string> names() {
    std::lock_guard g(lock_);
    std::vector<std::string> out;
    for (const auto& c : calls_) out.push_back(c.name);
    return out;
  }
  int count(const std::string& name) {
    std::lock_guard g(lock_);
    int n = 0;
    for (const auto& c : calls_) n += c.name == name;
    return n;
  }
  // A copy of the i-th call of that name (null when there is none).
  std::unique_ptr<TRtcFunctionInfo> callOf(const std::string& name, int i = 0) {
    std::lock_guard g(lock_);
    for (const auto& c : calls_)
      if (c.name == name && i-- == 0) return copyOf(*c.call);
    return nullptr;
  }
  // Waits until `done` holds (at most 10 s); true when it did.
  bool waitUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

 private:
  std::unique_ptr<TRtcValueObject> answer(const std::string& fn, TRtcFunctionInfo& call) {
    std::unique_lock l(lock_);
    calls_.push_back({fn, copyOf(call)});
    if ((fn == "Login" || fn == "ReLogin") && !loginRefusal_.empty()) {
      return std::make_unique<TRtcExceptionValue>(Widen(loginRefusal_));
    }
    if (fn == "Put" && !putFailure_.empty())
      return std::make_unique<TRtcExceptionValue>(Widen(putFailure_));
    if (fn == "Put" && putAnswer_) return putAnswer_->copyOf();
    if (fn == "User.Get") {
      if (params_) return params_->copyOf();
      return std::make_unique<TRtcRecord>();
    }
    if (fn == "Get") {
      cv_.wait_for(l, std::chrono::milliseconds(200), [&] { return stopped_ || !gets_.empty(); });
      if (gets_.empty()) return std::make_unique<TRtcRecord>();
      auto batch = std::move(gets_.front());
      gets_.pop_front();
      return batch;
    }
    if (fn == "ChangePwd") {
      return std::make_unique<TRtcTextValue>(u"Password changed.");
    }
    return std::make_unique<TRtcBooleanValue>(true);
  }

  gateway::FunctionRegistry functions_;
  gateway::SessionStore sessions_;
  gateway::RandomSource random_;
  std::unique_ptr<gateway::RequestCore> core_;
  std::unique_ptr<gateway::GatewayServer> server_;
  std::thread thread_;

  std::mutex lock_;
  std::condition_variable cv_;
  bool stopped_ = false;
  std::vector<GatewayCall> calls_;
  std::string loginRefusal_, putFailure_;
  std::unique_ptr<TRtcValueObject> putAnswer_;
  std::unique_ptr<TRtcValueObject> params_;
  std::deque<std::unique_ptr<TRtcRecord>> gets_;
};

}  // namespace vtx::testing
