#include "transport/socket_stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "transport/tls_session.h"

namespace vtx {

namespace {
bool lookup(const std::string& host, const std::string& port, int flags,
            std::vector<SocketAddress>& out, int& code) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags | AI_ADDRCONFIG;
  addrinfo* res = nullptr;
  code = getaddrinfo(host.empty() ? "localhost" : host.c_str(), port.empty() ? "0" : port.c_str(),
                     &hints, &res);
  if (code == EAI_ADDRFAMILY || code == EAI_NONAME || code == EAI_FAIL || code == EAI_AGAIN) {
    // AI_ADDRCONFIG hides loopback-only set-ups; try again without it.
    if (res) freeaddrinfo(res);
    res = nullptr;
    hints.ai_flags = flags;
    code = getaddrinfo(host.empty() ? "localhost" : host.c_str(), port.empty() ? "0" : port.c_str(),
                       &hints, &res);
  }
  if (code != 0) return false;
  out.clear();
  for (addrinfo* a = res; a; a = a->ai_next) {
    SocketAddress s;
    std::memcpy(&s.addr, a->ai_addr, a->ai_addrlen);
    s.len = a->ai_addrlen;
    out.push_back(s);
  }
  freeaddrinfo(res);
  return !out.empty();
}

void describe(const sockaddr_storage& a, std::string& addr, std::string& port) {
  char host[INET6_ADDRSTRLEN] = "";
  uint16_t p = 0;
  if (a.ss_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(&a);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    p = ntohs(in->sin_port);
  } else if (a.ss_family == AF_INET6) {
    auto* in = reinterpret_cast<const sockaddr_in6*>(&a);
    inet_ntop(AF_INET6, &in->sin6_addr, host, sizeof host);
    p = ntohs(in->sin6_port);
  }
  addr = host;
  port = std::to_string(p);
}

void setInt(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof value);
}

void setTimeout(int fd, int name, uint32_t ms) {
  if (ms == 0) return;
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, name, &tv, sizeof tv);
}
}  // namespace

bool ResolveNumeric(const std::string& host, const std::string& port,
                    std::vector<SocketAddress>& out) {
  int code = 0;
  return lookup(host, port, AI_NUMERICHOST | AI_NUMERICSERV, out, code);
}

bool ResolveHost(const std::string& host, const std::string& port, std::vector<SocketAddress>& out,
                 std::string& error) {
  int code = 0;
  if (lookup(host, port, 0, out, code)) return true;
  error = "WSocketResolveHost: Cannot convert host address '" + host + "', Error #" +
          std::to_string(code);
  return false;
}

std::string SocketErrorText(int err) {
  return std::strerror(err);
}

SocketStream::SocketStream() = default;

SocketStream::~SocketStream() {
  Close();
}

int SocketStream::StartConnect(const SocketAddress& to, const TRtcSocketOptions& options) {
  Close();
  fd_ = socket(to.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return errno;
  setInt(fd_, SOL_SOCKET, SO_REUSEADDR, 1);
  setInt(fd_, IPPROTO_TCP, TCP_NODELAY, 1);
  setInt(fd_, SOL_SOCKET, SO_KEEPALIVE, 1);
  setInt(fd_, SOL_SOCKET, SO_SNDBUF, static_cast<int>(kSocketBufferSize));
  setInt(fd_, SOL_SOCKET, SO_RCVBUF, static_cast<int>(kSocketBufferSize));
  setTimeout(fd_, SO_SNDTIMEO, options.SendTimeout);
  setTimeout(fd_, SO_RCVTIMEO, options.ReceiveTimeout);
  int actual = 0;
  socklen_t len = sizeof actual;
  if (getsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &actual, &len) == 0 && actual > 0)
    chunk_ = std::min(kSocketBufferSize, static_cast<size_t>(actual));
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&to.addr), to.len) == 0) return 0;
  return errno == EINPROGRESS ? EINPROGRESS : errno;
}

int SocketStream::ConnectResult() const {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

bool SocketStream::StartTls(const TRtcSocketOptions& options, const std::string& serverName,
                            std::string& error) {
  tls_ = TlsSession::Create(fd_, options, serverName, error);
  return tls_ != nullptr;
}

IoStatus SocketStream::Handshake(std::string& error) {
  return tls_ ? tls_->Handshake(error) : IoStatus::Ok;
}

IoStatus SocketStream::Send(const char* data, size_t len, size_t& sent, std::string& error) {
  sent = 0;
  len = std::min(len, chunk_);
  if (tls_) return tls_->Write(data, len, sent, error);
  ssize_t n = send(fd_, data, len, MSG_NOSIGNAL);
  if (n >= 0) {
    sent = static_cast<size_t>(n);
    return IoStatus::Ok;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return IoStatus::WantWrite;
  error = SocketErrorText(errno);
  return IoStatus::Failed;
}

IoStatus SocketStream::Recv(std::string& out, size_t max, std::string& error) {
  // Received into a stack buffer: growing `out` by `max` first would clear all of it each call.
  char buf[65536];
  max = std::min(max, sizeof buf);
  size_t got = 0;
  IoStatus st;
  if (tls_) {
    st = tls_->Read(buf, max, got, error);
  } else {
    ssize_t n = recv(fd_, buf, max, 0);
    if (n > 0) {
      got = static_cast<size_t>(n);
      st = IoStatus::Ok;
    } else if (n == 0) {
      st = IoStatus::Closed;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      st = IoStatus::WantRead;
    } else {
      error = SocketErrorText(errno);
      st = IoStatus::Failed;
    }
  }
  out.append(buf, got);
  return st;
}

void SocketStream::Close() {
  if (tls_) tls_->Shutdown();
  tls_.reset();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void SocketStream::Addresses(std::string& peerAddr, std::string& peerPort, std::string& localAddr,
                             std::string& localPort) const {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (getpeername(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) describe(a, peerAddr, peerPort);
  len = sizeof a;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    describe(a, localAddr, localPort);
}

}  // namespace vtx
