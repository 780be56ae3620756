// A scripted transport: each Connect takes the next scripted outcome and reports it at once,
// through the connection's job queue when it is multi-threaded.
#pragma once

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <string>
#include <utility>

#include "transport/rtc_connection.h"
#include "util/exceptions.h"

namespace vtx::testing {

class FakeTransport final : public TRtcConnectionProvider {
 public:
  enum class Outcome { Connect, Fail, Error };
  struct Script {
    std::deque<Outcome> outcomes;
    std::string errorText = "Connection refused";
    int connects = 0, disconnects = 0;
    int depth = 0, maxDepth = 0;      // nesting of Connect calls
    std::function<void()> onConnect;  // runs inside Connect before the outcome is reported
    std::string written;
    bool closeLater = false;  // Disconnect leaves the connection closing until a later job
  };

  FakeTransport(TRtcConnection& conn, TRtcConnectionSink& sink, Script& script)
      : conn_(conn), sink_(sink), script_(script) {}

  void SetAddr(const std::string& a, const std::string& p) override { addr_ = a, port_ = p; }
  void SetMultiThreaded(bool multi) override { multi_ = multi; }
  void Connect() override {
    ++script_.connects;
    struct Depth {
      Script& s;
      explicit Depth(Script& sc) : s(sc) { s.maxDepth = std::max(s.maxDepth, ++s.depth); }
      ~Depth() { --s.depth; }
    } depth{script_};
    if (script_.onConnect) std::exchange(script_.onConnect, nullptr)();
    Outcome o = script_.outcomes.empty() ? Outcome::Connect : script_.outcomes.front();
    if (!script_.outcomes.empty()) script_.outcomes.pop_front();
    deliver([this, o] {
      if (o == Outcome::Connect) {
        state_ = TRtcConnectionState::conActive;
        if (sink_.TriggerConnecting()) return sink_.TriggerConnect();
        state_ = TRtcConnectionState::conInactive;
        return sink_.TriggerReadyToRelease();
      }
      state_ = TRtcConnectionState::conInactive;
      if (o == Outcome::Fail) {
        sink_.TriggerConnectFail();
      } else {
        try {
          sink_.TriggerConnectError(ERtcConnection(script_.errorText));
        } catch (...) {
          sink_.TriggerReadyToRelease();
          throw;
        }
      }
      sink_.TriggerReadyToRelease();
    });
  }
  void Disconnect() override {
    ++script_.disconnects;
    if (script_.closeLater && state_ == TRtcConnectionState::conActive) {
      state_ = TRtcConnectionState::conClosing;
      conn_.PostJob([this] { closeNow(); });
      return;
    }
    deliver([this] { closeNow(); });
  }
  // The peer closes the connection.
  void Drop() {
    deliver([this] { closeNow(); });
  }
  void Receive(uint32_t n) {
    deliver([this, n] {
      sink_.TriggerDataIn(n);
      sink_.TriggerDataReceived();
    });
  }
  void Write(const std::string& bytes) override { script_.written += bytes; }
  std::string Read() override { return {}; }
  TRtcConnectionState State() const override { return state_; }
  std::string PeerAddr() const override { return addr_; }
  std::string PeerPort() const override { return port_; }
  std::string LocalAddr() const override { return "127.0.0.1"; }
  std::string LocalPort() const override { return "50000"; }

 private:
  void closeNow() {
    if (state_ != TRtcConnectionState::conActive && state_ != TRtcConnectionState::conClosing)
      return;
    state_ = TRtcConnectionState::conInactive;
    sink_.TriggerConnectionLost();
    sink_.TriggerReadyToRelease();
  }
  void deliver(std::function<void()> f) {
    if (multi_ && !conn_.inThread())
      conn_.PostJob(std::move(f));
    else
      f();
  }

  TRtcConnection& conn_;
  TRtcConnectionSink& sink_;
  Script& script_;
  std::string addr_, port_;
  bool multi_ = false;
  // Read by Disconnect and Connect on any thread.
  std::atomic<TRtcConnectionState> state_{TRtcConnectionState::conInactive};
};

// A client whose transport is the scripted fake.
class FakeClient : public TRtcClient {
 public:
  explicit FakeClient(FakeTransport::Script& script) {
    setProviderFactory([this, &script](TRtcConnection& c) {
      return std::make_unique<FakeTransport>(c, Sink(), script);
    });
  }
  // The most-derived class stops the queue first, so a running event never meets a
  // half-destroyed object.
  ~FakeClient() override { stopQueue(); }
  FakeTransport* Fake() const { return static_cast<FakeTransport*>(Provider()); }
};

}  // namespace vtx::testing
