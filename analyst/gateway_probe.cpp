#include "analyst/gateway_probe.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "transport/socket_stream.h"
#include "transport/tls_session.h"

namespace vtx::analyst {
namespace {

constexpr int kSeconds = 5;

// A connected blocking socket with time limits, or -1 with `error` set.
int connectTo(const std::string& addr, const std::string& port, std::string& error) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(addr.c_str(), port.c_str(), &hints, &found); rc != 0) {
    error = "cannot resolve " + addr + ": " + ::gai_strerror(rc);
    return -1;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
  int lastErrno = 0;
  for (addrinfo* a = found; a; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd < 0) continue;
    timeval tv{kSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return fd;
    lastErrno = errno;
    ::close(fd);
  }
  error =
      "nothing accepts connections at " + addr + ":" + port + " (" + std::strerror(lastErrno) + ")";
  return -1;
}

}  // namespace

std::string ProbeGateway(const std::string& addr, const std::string& port, bool tls,
                         const std::string& caFile) {
  std::string error;
  const int fd = connectTo(addr, port, error);
  if (fd < 0) return error;
  std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* p) {
    ::close(*p);
    delete p;
  });
  const std::string where = addr + ":" + port;
  if (!tls) {
    const std::string ask = "GET / HTTP/1.1\r\nHost: " + addr + "\r\nConnection: close\r\n\r\n";
    if (::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL) < 0)
      return "the gateway at " + where + " closed the connection (" + std::strerror(errno) + ")";
    char head[5] = {};
    const ssize_t got = ::recv(fd, head, sizeof head, 0);
    if (got >= 1 && (head[0] == 0x15 || head[0] == 0x16))
      return "the gateway at " + where + " speaks TLS: give --tls-ca FILE (or --tls)";
    if (got >= 5 && std::memcmp(head, "HTTP/", 5) == 0) return {};
    return "the gateway at " + where +
           " gave no HTTP answer (if it speaks TLS, give --tls-ca FILE or --tls)";
  }
  TRtcSocketOptions options;
  options.UseSSL = true;
  options.CAFile = caFile;
  std::unique_ptr<TlsSession> session = TlsSession::Create(fd, options, addr, error);
  if (!session) return "TLS: " + error;
  if (session->Handshake(error) == IoStatus::Ok) {
    session->Shutdown();
    return {};
  }
  if (error.find("wrong version number") != std::string::npos ||
      error.find("packet length too long") != std::string::npos ||
      error.find("record layer failure") != std::string::npos)
    return "the gateway at " + where + " speaks plain HTTP, not TLS (" + error + ")";
  return "TLS to " + where + " refused: " + error;
}

}  // namespace vtx::analyst
