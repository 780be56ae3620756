#include "transport/blocking_socket_provider.h"

#include <poll.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>

#include "transport/rtc_connection.h"
#include "transport/socket_delivery.h"
#include "transport/socket_link_provider.h"
#include "transport/socket_stream.h"
#include "util/exceptions.h"

namespace vtx {

namespace {

constexpr int kReadSliceMs = 20;
constexpr size_t kReadPiece = 65536;
constexpr size_t kReadPerTurn = 1 << 20;

int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Keeps a write to a closed peer from raising SIGPIPE on this thread. Only TLS needs it: plain
// sends pass MSG_NOSIGNAL.
class SigPipeBlock {
 public:
  explicit SigPipeBlock(bool on = true) : on_(on) {
    if (!on_) return;
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigPipeBlock() {
    if (!on_) return;
    timespec zero{0, 0};
    while (sigtimedwait(&pipe_, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }

 private:
  bool on_;
  sigset_t pipe_, old_;
};

// Waits for `events` on `fd`; false on time-out (`ms` < 0 waits without limit).
bool waitFd(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    int r = poll(&p, 1, ms);
    if (r >= 0) return r > 0;
    if (errno != EINTR) return true;  // let the next call report the error
  }
}

int remaining(int64_t deadline) {
  if (deadline < 0) return -1;
  int64_t d = deadline - nowMs();
  return d <= 0 ? 0 : static_cast<int>(d);
}

// State of one connection; touched only in the connection's context.
class BlockingLink final : public std::enable_shared_from_this<BlockingLink> {
 public:
  BlockingLink(std::shared_ptr<SinkGate> gate, TRtcSocketOptions options, std::string addr,
               std::string port)
      : gate_(std::move(gate)),
        options_(std::move(options)),
        addr_(std::move(addr)),
        port_(std::move(port)) {}

  std::atomic<TRtcConnectionState> state{TRtcConnectionState::conActivating};
  std::string peerAddr, peerPort, localAddr, localPort;
  void Addresses(std::string& pa, std::string& pp, std::string& la, std::string& lp) const {
    pa = peerAddr, pp = peerPort, la = localAddr, lp = localPort;
  }

  void Start() {
    auto self = shared_from_this();
    gate_->Post([self](TRtcConnectionSink& sink) { self->connect(sink); });
  }
  void Write(const std::string& bytes) {
    if (bytes.empty() || state != TRtcConnectionState::conActive) return;
    out_ += bytes;
    schedulePump();
  }
  std::string Read() {
    std::string data;
    data.swap(in_);
    return data;
  }
  void Disconnect() {
    auto s = state.load();
    if (s == TRtcConnectionState::conInactive || s == TRtcConnectionState::conClosing) return;
    state = TRtcConnectionState::conClosing;
    stream_.Close();
    auto self = shared_from_this();
    gate_->Post([self](TRtcConnectionSink& sink) { self->deliverClosed(sink); });
  }
  void Abandon() { stream_.Close(); }

 private:
  void connect(TRtcConnectionSink& sink) {
    if (state != TRtcConnectionState::conActivating) return;
    int64_t deadline = options_.ConnectTimeout ? nowMs() + options_.ConnectTimeout : -1;
    std::vector<SocketAddress> addrs;
    std::string error;
    if (!ResolveNumeric(addr_, port_, addrs) && !ResolveHost(addr_, port_, addrs, error))
      return deliverError(sink, error);
    int err = ECONNREFUSED;
    bool open = false;
    for (const auto& a : addrs) {
      err = stream_.StartConnect(a, options_);
      if (err == EINPROGRESS) {
        if (!waitFd(stream_.Fd(), POLLOUT, remaining(deadline))) {
          err = ETIMEDOUT;
          break;
        }
        err = stream_.ConnectResult();
      }
      if (err == 0) {
        open = true;
        break;
      }
    }
    if (!open) {
      stream_.Close();
      return deliverError(sink, SocketErrorText(err));
    }
    stream_.Addresses(peerAddr, peerPort, localAddr, localPort);
    bool ok = false;
    std::string raised;
    try {
      ok = sink.TriggerConnecting();
    } catch (const std::exception& e) {
      raised = e.what();
    }
    if (!gate_->Open()) return;
    if (!ok) {
      stream_.Close();
      state = TRtcConnectionState::conInactive;
      sink.TriggerReadyToRelease();
      if (!raised.empty() && gate_->Open()) sink.TriggerException(ERtcConnection(raised));
      return;
    }
    if (options_.UseSSL && !handshake(deadline, error)) {
      stream_.Close();
      return deliverError(sink, error);
    }
    if (state != TRtcConnectionState::conActivating) return;  // closed meanwhile
    state = TRtcConnectionState::conActive;
    connected_ = true;
    sink.TriggerConnect();
    if (gate_->Open()) schedulePump();
  }

  bool handshake(int64_t deadline, std::string& error) {
    std::string name = options_.ServerName.empty() ? addr_ : options_.ServerName;
    if (!stream_.StartTls(options_, name, error)) return false;
    for (;;) {
      IoStatus st;
      {
        SigPipeBlock guard(stream_.Secure());
        st = stream_.Handshake(error);
      }
      if (st == IoStatus::Ok) return true;
      if (st != IoStatus::WantRead && st != IoStatus::WantWrite) return false;
      if (!waitFd(stream_.Fd(), st == IoStatus::WantRead ? POLLIN : POLLOUT, remaining(deadline))) {
        error = SocketErrorText(ETIMEDOUT);
        return false;
      }
    }
  }

  void schedulePump() {
    if (pumpQueued_) return;
    pumpQueued_ = true;
    auto self = shared_from_this();
    if (!gate_->Post([self](TRtcConnectionSink& sink) { self->pump(sink); })) pumpQueued_ = false;
  }

  // One turn: send what waits, then read what arrives within a short slice.
  void pump(TRtcConnectionSink& sink) {
    pumpQueued_ = false;
    bool inlineMode = gate_->Inline();
    do {
      if (state != TRtcConnectionState::conActive) return;
      if (!flush(sink) || !gate_->Open() || state != TRtcConnectionState::conActive) return;
      if (!readTurn(sink) || !gate_->Open()) return;
    } while (inlineMode && awaitingReply_);
    if (!inlineMode && state == TRtcConnectionState::conActive) schedulePump();
  }

  bool flush(TRtcConnectionSink& sink) {
    bool wrote = false;
    while (outOff_ < out_.size()) {
      size_t sent = 0;
      std::string error;
      IoStatus st;
      {
        SigPipeBlock guard(stream_.Secure());
        st = stream_.Send(out_.data() + outOff_, out_.size() - outOff_, sent, error);
      }
      if (st == IoStatus::Ok && sent > 0) {
        outOff_ += sent;
        wrote = true;
        sink.TriggerDataOut(static_cast<uint32_t>(sent));
        if (!gate_->Open() || state != TRtcConnectionState::conActive) return false;
        continue;
      }
      if (st == IoStatus::WantWrite || st == IoStatus::WantRead) {
        int ms = options_.SendTimeout ? static_cast<int>(options_.SendTimeout) : -1;
        if (waitFd(stream_.Fd(), st == IoStatus::WantRead ? POLLIN : POLLOUT, ms)) continue;
        error = SocketErrorText(ETIMEDOUT);
      }
      lost(sink);
      return false;
    }
    out_.clear();
    outOff_ = 0;
    if (wrote) {
      awaitingReply_ = true;
      replyDeadline_ = options_.ReceiveTimeout ? nowMs() + options_.ReceiveTimeout : -1;
      sink.TriggerDataSent();
    }
    return true;
  }

  bool readTurn(TRtcConnectionSink& sink) {
    int slice = kReadSliceMs;
    if (awaitingReply_ && replyDeadline_ >= 0) slice = std::min(slice, remaining(replyDeadline_));
    if (!stream_.Secure() || !waitFd(stream_.Fd(), POLLIN, 0)) {
      if (!waitFd(stream_.Fd(), POLLIN, slice)) {
        if (awaitingReply_ && replyDeadline_ >= 0 && nowMs() >= replyDeadline_) {
          lost(sink);
          return false;
        }
        return true;
      }
    }
    size_t total = 0;
    IoStatus st = IoStatus::Ok;
    std::string error;
    while (total < kReadPerTurn) {
      size_t before = in_.size();
      {
        SigPipeBlock guard(stream_.Secure());
        st = stream_.Recv(in_, kReadPiece, error);
      }
      total += in_.size() - before;
      if (st != IoStatus::Ok) break;
    }
    if (total > 0) {
      awaitingReply_ = false;
      sink.TriggerDataIn(static_cast<uint32_t>(total));
      if (!gate_->Open()) return false;
      sink.TriggerDataReceived();
      if (!gate_->Open()) return false;
    }
    if (st == IoStatus::Closed || st == IoStatus::Failed) {
      lost(sink);
      return false;
    }
    return true;
  }

  void lost(TRtcConnectionSink& sink) {
    if (state == TRtcConnectionState::conInactive) return;
    stream_.Close();
    state = TRtcConnectionState::conClosing;
    deliverClosed(sink);
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
    if (state == TRtcConnectionState::conInactive) return;
    state = TRtcConnectionState::conInactive;
    if (connected_)
      sink.TriggerConnectionLost();
    else
      sink.TriggerConnectFail();
    connected_ = false;
    if (gate_->Open()) sink.TriggerReadyToRelease();
  }

  std::shared_ptr<SinkGate> gate_;
  const TRtcSocketOptions options_;
  const std::string addr_, port_;
  SocketStream stream_;
  std::string out_, in_;
  size_t outOff_ = 0;
  bool connected_ = false, pumpQueued_ = false, awaitingReply_ = false;
  int64_t replyDeadline_ = -1;
};

}  // namespace

std::unique_ptr<TRtcConnectionProvider> NewBlockingSocketProvider(
    TRtcConnection& conn, TRtcConnectionSink& sink, const TRtcSocketOptions& options) {
  return std::make_unique<SocketLinkProvider<BlockingLink>>(
      conn, sink, options,
      [](const std::shared_ptr<SinkGate>& gate, const TRtcSocketOptions& o, const std::string& addr,
         const std::string& port) { return std::make_shared<BlockingLink>(gate, o, addr, port); });
}

}  // namespace vtx
