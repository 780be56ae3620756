// A scripted byte transport for the HTTP client: connects at once (or fails when told to),
// records every byte written, confirms writes at once, and lets the test feed response bytes
// in pieces of any size or close the connection like a server would.
#pragma once

#include <deque>
#include <string>

#include "transport/rtc_http_client.h"

namespace vtx::testing {

class FakeHttpTransport final : public TRtcConnectionProvider {
 public:
  struct Script {
    std::deque<bool> connectOk;  // outcomes of the next connects (default: success)
    std::string written;         // everything written on every connection
    int connects = 0, disconnects = 0;
    std::string peer = "10.0.0.1";
    // Like a socket that reports later: "sent" waits for Sent(), a close asked for by the
    // client waits for Drop().
    bool holdSent = false, holdClose = false;
  };

  FakeHttpTransport(TRtcConnectionSink& sink, Script& script) : sink_(sink), script_(script) {}

  void SetAddr(const std::string&, const std::string&) override {}
  void SetMultiThreaded(bool) override {}
  void Connect() override {
    ++script_.connects;
    bool ok = script_.connectOk.empty() || script_.connectOk.front();
    if (!script_.connectOk.empty()) script_.connectOk.pop_front();
    if (!ok) {
      sink_.TriggerConnectFail();
      sink_.TriggerReadyToRelease();
      return;
    }
    state_ = TRtcConnectionState::conActive;
    peer_ = script_.peer;
    if (!sink_.TriggerConnecting()) {
      state_ = TRtcConnectionState::conInactive;
      sink_.TriggerReadyToRelease();
      return;
    }
    sink_.TriggerConnect();
  }
  void Disconnect() override {
    ++script_.disconnects;
    if (!script_.holdClose) Drop();
  }
  void Write(const std::string& bytes) override {
    if (state_ != TRtcConnectionState::conActive) return;
    script_.written += bytes;
    sink_.TriggerDataOut(static_cast<uint32_t>(bytes.size()));
    if (!script_.holdSent) sink_.TriggerDataSent();
  }
  // Reports held writes as sent.
  void Sent() {
    if (state_ == TRtcConnectionState::conActive) sink_.TriggerDataSent();
  }
  std::string Read() override {
    std::string out;
    out.swap(in_);
    return out;
  }
  // Bytes from the server.
  void Feed(const std::string& bytes) {
    if (state_ != TRtcConnectionState::conActive) return;
    in_ += bytes;
    sink_.TriggerDataIn(static_cast<uint32_t>(bytes.size()));
    sink_.TriggerDataReceived();
  }
  // The server closes the connection.
  void Drop() {
    if (state_ != TRtcConnectionState::conActive) return;
    state_ = TRtcConnectionState::conInactive;
    sink_.TriggerConnectionLost();
    sink_.TriggerReadyToRelease();
  }
  TRtcConnectionState State() const override { return state_; }
  std::string PeerAddr() const override { return peer_; }
  std::string PeerPort() const override { return "80"; }
  std::string LocalAddr() const override { return "127.0.0.1"; }
  std::string LocalPort() const override { return "50000"; }

 private:
  TRtcConnectionSink& sink_;
  Script& script_;
  std::string in_, peer_;
  TRtcConnectionState state_ = TRtcConnectionState::conInactive;
};

// An HTTP client whose transport is the scripted fake.
class FakeHttpClient : public TRtcHttpClient {
 public:
  explicit FakeHttpClient(FakeHttpTransport::Script& script) {
    setProviderFactory([this, &script](TRtcConnection&) {
      return std::make_unique<FakeHttpTransport>(Sink(), script);
    });
  }
  // The most-derived class stops the queue first, so a running event never meets a
  // half-destroyed object.
  ~FakeHttpClient() override { stopJobs(); }
  FakeHttpTransport* Fake() const { return static_cast<FakeHttpTransport*>(Provider()); }
};

}  // namespace vtx::testing
