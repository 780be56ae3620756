#include "transport/reactor_socket_provider.h"

#include <sys/epoll.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/rtc_connection.h"
#include "transport/socket_delivery.h"
#include "transport/socket_link_provider.h"
#include "transport/socket_reactor.h"
#include "transport/socket_stream.h"
#include "util/exceptions.h"

namespace vtx {

namespace {

constexpr size_t kReadPiece = 65536;
constexpr size_t kReadPerEvent = 1 << 20;
// Reading pauses while this much waits unread.
constexpr size_t kMaxUnread = 16u << 20;

// One connect attempt and the connection it makes. Reactor-thread state is marked; the rest is
// guarded by `lock_` or atomic. Deliveries run in the connection's context through the gate.
class ReactorLink final : public SocketReactor::Handler,
                          public std::enable_shared_from_this<ReactorLink> {
 public:
  ReactorLink(std::shared_ptr<SocketReactor> reactor, std::shared_ptr<SinkGate> gate,
              TRtcSocketOptions options, std::string addr, std::string port)
      : reactor_(std::move(reactor)),
        gate_(std::move(gate)),
        options_(std::move(options)),
        addr_(std::move(addr)),
        port_(std::move(port)) {}

  std::atomic<TRtcConnectionState> state{TRtcConnectionState::conActivating};

  // Connection context.
  void Start() {
    auto self = shared_from_this();
    if (!reactor_->Post([self] { self->begin(); })) failConnect("Closing application.");
  }
  void Disconnect() {
    auto s = state.load();
    if (s == TRtcConnectionState::conInactive || s == TRtcConnectionState::conClosing) return;
    state = TRtcConnectionState::conClosing;
    auto self = shared_from_this();
    if (!reactor_->Post([self] { self->closeNow(); })) closeNow();
  }
  // The provider is gone: close without telling anyone.
  void Abandon() {
    auto self = shared_from_this();
    if (!reactor_->Post([self] { self->closeNow(true); })) {
      std::lock_guard g(lock_);
      direct_ = false;
      stream_.Close();
    }
  }
  void Write(const std::string& bytes) {
    auto s = state.load();
    if (bytes.empty() || s == TRtcConnectionState::conInactive ||
        s == TRtcConnectionState::conClosing)
      return;
    bool post = false;
    Sent sent;
    {
      std::lock_guard g(lock_);
      size_t off = 0;
      // Nothing waiting and no flush running: the bytes go out from here, which spares the
      // reactor a wake-up and the connection a delivery round.
      if (direct_ && out_.empty() && !flushQueued_ && !flushing_)
        off = sendLocked(bytes.data(), bytes.size(), sent);
      if (off < bytes.size()) {
        out_.append(bytes, off);
        post = !flushQueued_;
        flushQueued_ = true;
        sent.all = false;
      }
    }
    auto self = shared_from_this();
    if (!sent.pieces.empty()) deliverSent(std::move(sent));
    if (post) reactor_->Post([self] { self->flush(); });
  }
  std::string Read() {
    std::string data;
    bool resume;
    {
      std::lock_guard g(lock_);
      data.swap(in_);
      resume = readPaused_;
    }
    auto self = shared_from_this();
    if (resume) reactor_->Post([self] { self->resumeRead(); });
    return data;
  }
  void Addresses(std::string& pa, std::string& pp, std::string& la, std::string& lp) const {
    std::lock_guard g(lock_);
    pa = peerAddr_, pp = peerPort_, la = localAddr_, lp = localPort_;
  }

  void OnEvents(uint32_t events) override {
    switch (phase_) {
      case Phase::Connecting:
        return connectDone();
      case Phase::Handshaking:
        return handshake();
      case Phase::Open:
        if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) readSome();
        if (phase_ == Phase::Open && (events & EPOLLOUT)) flush();
        return;
      default:
        return;
    }
  }

 private:
  enum class Phase { Idle, Resolving, Connecting, Accepting, Handshaking, Open, Closed };

  // What one send pass handed to the network.
  struct Sent {
    std::vector<uint32_t> pieces;
    bool all = false;  // nothing is left to send
    std::string error;
  };

  // Sends until done or the socket is full; returns the bytes sent. Under `lock_`.
  size_t sendLocked(const char* data, size_t size, Sent& sent) {
    size_t off = 0;
    while (off < size) {
      size_t n = 0;
      IoStatus st = stream_.Send(data + off, size - off, n, sent.error);
      if (st == IoStatus::Ok && n > 0) {
        off += n;
        sent.pieces.push_back(static_cast<uint32_t>(n));
        continue;
      }
      if (st != IoStatus::WantWrite && st != IoStatus::WantRead && sent.error.empty())
        sent.error = SocketErrorText(EPIPE);
      break;
    }
    sent.all = off == size;
    return off;
  }

  // Reports sent bytes in the connection's context.
  void deliverSent(Sent sent) {
    auto self = shared_from_this();
    gate_->Post([self, pieces = std::move(sent.pieces), all = sent.all](TRtcConnectionSink& sink) {
      for (uint32_t n : pieces) {
        if (!self->gate_->Open()) return;
        sink.TriggerDataOut(n);
      }
      if (all && self->gate_->Open()) sink.TriggerDataSent();
    });
  }

  // ---- reactor thread ----
  void begin() {
    if (phase_ != Phase::Idle) return;
    if (state == TRtcConnectionState::conClosing) return closeNow();
    if (options_.ConnectTimeout > 0) {
      std::weak_ptr<ReactorLink> weak = shared_from_this();
      connectTimer_ = reactor_->RunAfter(options_.ConnectTimeout, [weak] {
        if (auto self = weak.lock()) self->connectTimedOut();
      });
    }
    std::vector<SocketAddress> addrs;
    if (ResolveNumeric(addr_, port_, addrs)) return resolved(std::move(addrs), "");
    // A name lookup may take long: it runs on a thread of its own.
    phase_ = Phase::Resolving;
    auto self = shared_from_this();
    std::thread([self] {
      std::vector<SocketAddress> found;
      std::string error;
      ResolveHost(self->addr_, self->port_, found, error);
      auto reactor = self->reactor_;
      reactor->Post([self, found = std::move(found), error]() mutable {
        if (self->phase_ == Phase::Resolving) self->resolved(std::move(found), error);
      });
    }).detach();
  }

  void resolved(std::vector<SocketAddress> addrs, const std::string& error) {
    if (addrs.empty()) return failConnect(error.empty() ? "Host not found" : error);
    addrs_ = std::move(addrs);
    next_ = 0;
    tryNext(0);
  }

  void tryNext(int lastErr) {
    if (fdRegistered_) {
      reactor_->Remove(stream_.Fd());
      fdRegistered_ = false;
    }
    while (next_ < addrs_.size()) {
      int rc;
      {
        std::lock_guard g(lock_);
        rc = stream_.StartConnect(addrs_[next_++], options_);
      }
      if (rc == 0 || rc == EINPROGRESS) {
        phase_ = Phase::Connecting;
        reactor_->Add(stream_.Fd(), EPOLLOUT, shared_from_this());
        fdRegistered_ = true;
        if (rc == 0) connectDone();
        return;
      }
      lastErr = rc;
    }
    failConnect(SocketErrorText(lastErr ? lastErr : ECONNREFUSED));
  }

  void connectDone() {
    int err = stream_.ConnectResult();
    if (err != 0) return tryNext(err);
    {
      std::lock_guard g(lock_);
      stream_.Addresses(peerAddr_, peerPort_, localAddr_, localPort_);
    }
    phase_ = Phase::Accepting;
    watch(0);
    auto self = shared_from_this();
    gate_->Post([self](TRtcConnectionSink& sink) { self->deliverOpened(sink); });
  }

  void startTls() {
    if (phase_ != Phase::Accepting) return;
    std::string error;
    bool ok;
    {
      std::lock_guard g(lock_);
      std::string name = options_.ServerName.empty() ? addr_ : options_.ServerName;
      ok = stream_.StartTls(options_, name, error);
    }
    if (!ok) return failConnect(error);
    phase_ = Phase::Handshaking;
    handshake();
  }

  void handshake() {
    std::string error;
    IoStatus st;
    {
      std::lock_guard g(lock_);
      st = stream_.Handshake(error);
    }
    if (st == IoStatus::WantRead) return watch(EPOLLIN);
    if (st == IoStatus::WantWrite) return watch(EPOLLOUT);
    if (st != IoStatus::Ok) return failConnect(error);
    auto self = shared_from_this();
    gate_->Post([self](TRtcConnectionSink& sink) { self->deliverConnect(sink); });
    open();
  }

  void open() {
    if (phase_ != Phase::Accepting && phase_ != Phase::Handshaking) return;
    reactor_->Cancel(connectTimer_);
    connectTimer_ = 0;
    phase_ = Phase::Open;
    {
      // The reactor arms the send and receive time-outs, so with them every write goes through
      // it; an inline gate would nest deliveries in the writer's call.
      std::lock_guard g(lock_);
      direct_ = options_.SendTimeout == 0 && options_.ReceiveTimeout == 0 && !gate_->Inline();
    }
    updateInterest();
    flush();
  }

  // Readiness wanted for the fd; none at all takes it out of epoll, so a hang-up is not
  // reported again and again while nobody can act on it.
  void watch(uint32_t events) {
    if (events == 0) {
      if (fdRegistered_) reactor_->Remove(stream_.Fd());
      fdRegistered_ = false;
    } else if (fdRegistered_) {
      if (events != watched_) reactor_->Modify(stream_.Fd(), events);
    } else {
      reactor_->Add(stream_.Fd(), events, shared_from_this());
      fdRegistered_ = true;
    }
    watched_ = events;
  }

  void updateInterest() {
    if (phase_ != Phase::Open) return;
    bool pending, paused;
    {
      std::lock_guard g(lock_);
      pending = outOff_ < out_.size();
      paused = readPaused_;
    }
    watch((paused ? 0u : uint32_t{EPOLLIN}) | (pending ? uint32_t{EPOLLOUT} : 0u));
  }

  void flush() {
    {
      std::lock_guard g(lock_);
      flushQueued_ = false;
      flushing_ = true;
    }
    if (phase_ != Phase::Open) {
      std::lock_guard g(lock_);
      flushing_ = false;
      return;
    }
    Sent sent;
    {
      std::lock_guard g(lock_);
      outOff_ += sendLocked(out_.data() + outOff_, out_.size() - outOff_, sent);
      if (sent.all) {
        out_.clear();
        outOff_ = 0;
      }
    }
    const bool empty = sent.all;
    const bool error = !sent.error.empty();
    if (!sent.pieces.empty()) {
      armReceiveWait(empty);
      armSendWait(!empty);
      deliverSent(std::move(sent));
    } else if (!empty && sendTimer_ == 0) {
      armSendWait(true);
    }
    {
      // Cleared after the delivery is queued, so that a direct write cannot report its bytes
      // before these.
      std::lock_guard g(lock_);
      flushing_ = false;
    }
    if (error) return closeNow();
    updateInterest();
  }

  void readSome() {
    size_t total = 0;
    std::string error;
    IoStatus st = IoStatus::Ok;
    {
      std::lock_guard g(lock_);
      while (total < kReadPerEvent) {
        size_t before = in_.size();
        st = stream_.Recv(in_, kReadPiece, error);
        total += in_.size() - before;
        if (st != IoStatus::Ok) break;
        if (in_.size() >= kMaxUnread) {
          readPaused_ = true;
          break;
        }
      }
    }
    if (total > 0) {
      armReceiveWait(false);
      // Arrivals before the connection has taken the last ones join its pending delivery.
      bool post;
      {
        std::lock_guard g(lock_);
        unreported_ += total;
        post = !inQueued_;
        inQueued_ = true;
      }
      auto self = shared_from_this();
      if (post) gate_->Post([self](TRtcConnectionSink& sink) { self->deliverReceived(sink); });
    }
    if (st == IoStatus::Closed) return closeNow();
    if (st == IoStatus::Failed) return closeNow();
    updateInterest();
  }

  void resumeRead() {
    {
      std::lock_guard g(lock_);
      if (!readPaused_ || in_.size() >= kMaxUnread) return;
      readPaused_ = false;
    }
    updateInterest();
  }

  // The receive time-out runs from the moment everything was sent until data arrives; the
  // send time-out while bytes wait to go out without progress.
  void armReceiveWait(bool on) {
    reactor_->Cancel(recvTimer_);
    recvTimer_ = 0;
    if (on && options_.ReceiveTimeout > 0) recvTimer_ = armTimeout(options_.ReceiveTimeout);
  }
  void armSendWait(bool on) {
    reactor_->Cancel(sendTimer_);
    sendTimer_ = 0;
    if (on && options_.SendTimeout > 0) sendTimer_ = armTimeout(options_.SendTimeout);
  }
  uint64_t armTimeout(uint32_t ms) {
    std::weak_ptr<ReactorLink> weak = shared_from_this();
    return reactor_->RunAfter(ms, [weak] {
      if (auto self = weak.lock(); self && self->phase_ == Phase::Open) self->closeNow();
    });
  }

  void connectTimedOut() {
    connectTimer_ = 0;
    if (phase_ == Phase::Open || phase_ == Phase::Closed) return;
    failConnect(SocketErrorText(ETIMEDOUT));
  }

  void release() {
    phase_ = Phase::Closed;
    {
      std::lock_guard g(lock_);
      direct_ = false;
    }
    for (uint64_t* t : {&connectTimer_, &recvTimer_, &sendTimer_}) {
      reactor_->Cancel(*t);
      *t = 0;
    }
    if (fdRegistered_) reactor_->Remove(stream_.Fd());
    fdRegistered_ = false;
    std::lock_guard g(lock_);
    stream_.Close();
  }

  // A connect that did not succeed: the connect error, then ready to release.
  void failConnect(const std::string& error) {
    if (phase_ == Phase::Closed) return;
    release();
    auto self = shared_from_this();
    gate_->Post([self, error](TRtcConnectionSink& sink) { self->deliverError(sink, error); });
  }

  // Any other close: lost (or failed, before the connect was reported), then ready to release.
  void closeNow(bool silent = false) {
    if (phase_ == Phase::Closed) return;
    release();
    if (silent) return;
    auto self = shared_from_this();
    gate_->Post([self](TRtcConnectionSink& sink) { self->deliverClosed(sink); });
  }

  // ---- connection context ----
  void deliverReceived(TRtcConnectionSink& sink) {
    size_t n;
    {
      std::lock_guard g(lock_);
      n = unreported_;
      unreported_ = 0;
      inQueued_ = false;
    }
    while (n > 0 && gate_->Open()) {
      uint32_t piece = static_cast<uint32_t>(std::min<size_t>(n, UINT32_MAX));
      sink.TriggerDataIn(piece);
      n -= piece;
    }
    if (gate_->Open()) sink.TriggerDataReceived();
  }

  void deliverOpened(TRtcConnectionSink& sink) {
    if (state == TRtcConnectionState::conClosing) return;  // the close delivery follows
    bool ok = false;
    std::string raised;
    try {
      ok = sink.TriggerConnecting();
    } catch (const std::exception& e) {
      raised = e.what();
    }
    if (!gate_->Open()) return;
    if (!ok) {
      Abandon();
      state = TRtcConnectionState::conInactive;
      sink.TriggerReadyToRelease();
      if (!raised.empty() && gate_->Open()) sink.TriggerException(ERtcConnection(raised));
      return;
    }
    auto self = shared_from_this();
    if (options_.UseSSL) {
      reactor_->Post([self] { self->startTls(); });
      return;
    }
    deliverConnect(sink);
    reactor_->Post([self] { self->open(); });
  }

  void deliverConnect(TRtcConnectionSink& sink) {
    if (state != TRtcConnectionState::conActivating) return;
    state = TRtcConnectionState::conActive;
    connected_ = true;
    sink.TriggerConnect();
  }

  void deliverError(TRtcConnectionSink& sink, const std::string& error) {
    state = TRtcConnectionState::conInactive;
    std::string raised;
    try {
      sink.TriggerConnectError(ERtcConnection(error));
    } catch (const std::exception& e) {
      raised = e.what();
    }
    if (!gate_->Open()) return;
    sink.TriggerReadyToRelease();
    if (!raised.empty() && gate_->Open()) sink.TriggerException(ERtcConnection(raised));
  }

  void deliverClosed(TRtcConnectionSink& sink) {
    state = TRtcConnectionState::conInactive;
    if (connected_)
      sink.TriggerConnectionLost();
    else
      sink.TriggerConnectFail();
    if (gate_->Open()) sink.TriggerReadyToRelease();
  }

  std::shared_ptr<SocketReactor> reactor_;
  std::shared_ptr<SinkGate> gate_;
  const TRtcSocketOptions options_;
  const std::string addr_, port_;

  mutable std::mutex lock_;
  SocketStream stream_;  // used on the reactor thread; closed under the lock
  std::string out_, in_;
  size_t outOff_ = 0;
  bool flushQueued_ = false, readPaused_ = false;
  // direct_: writes may send at once (open, no time-outs); flushing_: the reactor is sending.
  bool direct_ = false, flushing_ = false;
  // Received bytes not yet reported; inQueued_: their delivery is queued.
  size_t unreported_ = 0;
  bool inQueued_ = false;
  std::string peerAddr_, peerPort_, localAddr_, localPort_;

  // Reactor thread.
  Phase phase_ = Phase::Idle;
  std::vector<SocketAddress> addrs_;
  size_t next_ = 0;
  bool fdRegistered_ = false;
  uint32_t watched_ = 0;
  uint64_t connectTimer_ = 0, recvTimer_ = 0, sendTimer_ = 0;

  // Connection context.
  bool connected_ = false;
};

}  // namespace

std::unique_ptr<TRtcConnectionProvider> NewReactorSocketProvider(TRtcConnection& conn,
                                                                 TRtcConnectionSink& sink,
                                                                 const TRtcSocketOptions& options) {
  return std::make_unique<SocketLinkProvider<ReactorLink>>(
      conn, sink, options,
      [](const std::shared_ptr<SinkGate>& gate, const TRtcSocketOptions& o, const std::string& addr,
         const std::string& port) {
        return std::make_shared<ReactorLink>(SocketReactor::Get(), gate, o, addr, port);
      });
}

}  // namespace vtx
