// TLS over a connected non-blocking socket: verification against the system store or a CA
// file, SNI and host-name check, and the read, write and handshake steps.
#pragma once

#include <memory>
#include <string>

#include "transport/socket_provider.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace vtx {

enum class IoStatus;

class TlsSession {
 public:
  // A client session on `fd`; null with `error` set when the context cannot be made.
  static std::unique_ptr<TlsSession> Create(int fd, const TRtcSocketOptions& options,
                                            const std::string& serverName, std::string& error);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  IoStatus Handshake(std::string& error);
  IoStatus Read(char* buf, size_t len, size_t& got, std::string& error);
  IoStatus Write(const char* data, size_t len, size_t& sent, std::string& error);
  // Sends the close notification, without waiting for the peer's.
  void Shutdown();

 private:
  TlsSession() = default;
  IoStatus status(int ret, const char* what, std::string& error);

  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool verify_ = true;
};

}  // namespace vtx
