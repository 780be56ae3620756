// A connected TCP socket, optionally wrapped in TLS: name resolution, socket set-up, and
// non-blocking send, receive and handshake steps shared by the reactor and blocking transports.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/socket_provider.h"

namespace vtx {

class TlsSession;

// Largest piece handed to the socket at once.
constexpr size_t kSocketBufferSize = 64240;

struct SocketAddress {
  sockaddr_storage addr{};
  socklen_t len = 0;
};

// Resolves a numeric address only (never blocks); false when `host` is a name.
bool ResolveNumeric(const std::string& host, const std::string& port,
                    std::vector<SocketAddress>& out);
// Full lookup (may block); on failure `error` holds the text for the connect error.
bool ResolveHost(const std::string& host, const std::string& port, std::vector<SocketAddress>& out,
                 std::string& error);
// Text of a socket error number ("Connection refused", "Connection timed out", ...).
std::string SocketErrorText(int err);

enum class IoStatus { Ok, WantRead, WantWrite, Closed, Failed };

class SocketStream {
 public:
  SocketStream();
  ~SocketStream();
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;

  // A non-blocking socket with the transport's options, connecting to `to`. Returns 0 when
  // connected at once, EINPROGRESS while under way, else the error number.
  int StartConnect(const SocketAddress& to, const TRtcSocketOptions& options);
  // The result of a connect under way (0 = connected).
  int ConnectResult() const;
  // Puts TLS on the connected socket; false with `error` set when it cannot.
  bool StartTls(const TRtcSocketOptions& options, const std::string& serverName,
                std::string& error);
  bool Secure() const { return tls_ != nullptr; }
  // Ok once the TLS handshake is done (always Ok without TLS).
  IoStatus Handshake(std::string& error);
  // Sends from `data`; `sent` gets the bytes taken.
  IoStatus Send(const char* data, size_t len, size_t& sent, std::string& error);
  // Appends up to `max` received bytes to `out`; Ok when some arrived.
  IoStatus Recv(std::string& out, size_t max, std::string& error);
  void Close();

  int Fd() const { return fd_; }
  // The largest piece to send at once: the smaller of the send buffer and 64240 bytes.
  size_t ChunkSize() const { return chunk_; }
  void Addresses(std::string& peerAddr, std::string& peerPort, std::string& localAddr,
                 std::string& localPort) const;

 private:
  int fd_ = -1;
  size_t chunk_ = kSocketBufferSize;
  std::unique_ptr<TlsSession> tls_;
};

}  // namespace vtx
