// The provider side shared by the socket transports: a TRtcConnectionProvider that hands each
// connect to a fresh link (the socket's state and I/O) and forwards to it. A link is shared with
// the thread that serves it, so a destroyed provider only abandons it.
//
// Link needs: Start(), Disconnect(), Write(bytes), Read(), an atomic `state`, Abandon() and
// Addresses(peerAddr, peerPort, localAddr, localPort).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "transport/rtc_connection.h"
#include "transport/socket_delivery.h"
#include "transport/socket_provider.h"

namespace vtx {

template <class Link>
class SocketLinkProvider final : public TRtcConnectionProvider {
 public:
  using LinkFactory = std::function<std::shared_ptr<Link>(
      const std::shared_ptr<SinkGate>&, const TRtcSocketOptions&, const std::string& addr,
      const std::string& port)>;

  SocketLinkProvider(TRtcConnection& conn, TRtcConnectionSink& sink, TRtcSocketOptions options,
                     LinkFactory factory)
      : conn_(conn),
        gate_(std::make_shared<SinkGate>(sink)),
        options_(std::move(options)),
        factory_(std::move(factory)) {}
  ~SocketLinkProvider() override {
    gate_->Close();
    if (link_) link_->Abandon();
  }

  void SetAddr(const std::string& addr, const std::string& port) override {
    addr_ = addr, port_ = port;
  }
  void SetMultiThreaded(bool multi) override { multi_ = multi; }
  void Connect() override {
    if (link_ && link_->state != TRtcConnectionState::conInactive) return;
    gate_->SetTarget(multi_ ? conn_.Thread() : nullptr);
    link_ = factory_(gate_, options_, addr_, port_);
    auto link = link_;  // Start may report a close that replaces link_
    link->Start();
  }
  void Disconnect() override {
    if (link_) link_->Disconnect();
  }
  void Write(const std::string& bytes) override {
    if (link_) link_->Write(bytes);
  }
  std::string Read() override { return link_ ? link_->Read() : std::string(); }
  TRtcConnectionState State() const override {
    return link_ ? link_->state.load() : TRtcConnectionState::conInactive;
  }
  std::string PeerAddr() const override { return address(0); }
  std::string PeerPort() const override { return address(1); }
  std::string LocalAddr() const override { return address(2); }
  std::string LocalPort() const override { return address(3); }

 private:
  std::string address(int which) const {
    std::string a[4];
    if (link_) link_->Addresses(a[0], a[1], a[2], a[3]);
    return a[which];
  }

  TRtcConnection& conn_;
  std::shared_ptr<SinkGate> gate_;
  const TRtcSocketOptions options_;
  const LinkFactory factory_;
  std::string addr_, port_;
  bool multi_ = false;
  std::shared_ptr<Link> link_;
};

}  // namespace vtx
