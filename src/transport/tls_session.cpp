#include "transport/tls_session.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "transport/socket_stream.h"

namespace vtx {

namespace {
bool isIpAddress(const std::string& s) {
  unsigned char buf[16];
  return inet_pton(AF_INET, s.c_str(), buf) == 1 || inet_pton(AF_INET6, s.c_str(), buf) == 1;
}

std::string lastError(const char* fallback) {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return fallback;
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}
}  // namespace

std::unique_ptr<TlsSession> TlsSession::Create(int fd, const TRtcSocketOptions& options,
                                               const std::string& serverName, std::string& error) {
  std::unique_ptr<TlsSession> s(new TlsSession);
  ERR_clear_error();
  s->ctx_ = SSL_CTX_new(TLS_client_method());
  if (!s->ctx_) return error = lastError("Cannot create the TLS context."), nullptr;
  SSL_CTX_set_min_proto_version(s->ctx_, TLS1_2_VERSION);
  // A peer that just closes ends the stream like a close notification.
  SSL_CTX_set_options(s->ctx_, SSL_OP_IGNORE_UNEXPECTED_EOF);
  s->verify_ = options.VerifyPeer;
  if (s->verify_) {
    if (!options.CAFile.empty()) {
      if (SSL_CTX_load_verify_locations(s->ctx_, options.CAFile.c_str(), nullptr) != 1) {
        error = "TLS: cannot load the CA file '" + options.CAFile + "'.";
        ERR_clear_error();
        return nullptr;
      }
    } else {
      SSL_CTX_set_default_verify_paths(s->ctx_);
    }
    SSL_CTX_set_verify(s->ctx_, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(s->ctx_, SSL_VERIFY_NONE, nullptr);
  }
  s->ssl_ = SSL_new(s->ctx_);
  if (!s->ssl_ || SSL_set_fd(s->ssl_, fd) != 1)
    return error = lastError("Cannot create the TLS session."), nullptr;
  SSL_set_mode(s->ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (!serverName.empty()) {
    bool ip = isIpAddress(serverName);
    if (!ip) SSL_set_tlsext_host_name(s->ssl_, serverName.c_str());
    if (s->verify_) {
      int ok = ip ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s->ssl_), serverName.c_str())
                  : SSL_set1_host(s->ssl_, serverName.c_str());
      if (ok != 1) return error = "TLS: invalid server name '" + serverName + "'.", nullptr;
    }
  }
  return s;
}

TlsSession::~TlsSession() {
  if (ssl_) SSL_free(ssl_);
  if (ctx_) SSL_CTX_free(ctx_);
}

IoStatus TlsSession::status(int ret, const char* what, std::string& error) {
  int code = SSL_get_error(ssl_, ret);
  switch (code) {
    case SSL_ERROR_WANT_READ:
      return IoStatus::WantRead;
    case SSL_ERROR_WANT_WRITE:
      return IoStatus::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
      ERR_clear_error();
      return IoStatus::Closed;
    case SSL_ERROR_SYSCALL:
      if (ERR_peek_error() == 0) {
        ERR_clear_error();
        if (errno == 0 || ret == 0) return IoStatus::Closed;  // end of stream
        error = SocketErrorText(errno);
        return IoStatus::Failed;
      }
      [[fallthrough]];
    default:
      error = std::string(what) + ": " + lastError("unknown error");
      return IoStatus::Failed;
  }
}

IoStatus TlsSession::Handshake(std::string& error) {
  ERR_clear_error();
  errno = 0;
  int ret = SSL_connect(ssl_);
  if (ret == 1) return IoStatus::Ok;
  IoStatus st = status(ret, "TLS handshake failed", error);
  if (st == IoStatus::Failed && verify_) {
    long v = SSL_get_verify_result(ssl_);
    if (v != X509_V_OK)
      error =
          std::string("TLS certificate verification failed: ") + X509_verify_cert_error_string(v);
  }
  if (st == IoStatus::Closed) {
    st = IoStatus::Failed;
    error = "TLS handshake failed: connection closed by the server";
  }
  return st;
}

IoStatus TlsSession::Read(char* buf, size_t len, size_t& got, std::string& error) {
  ERR_clear_error();
  errno = 0;
  got = 0;
  int ret = SSL_read_ex(ssl_, buf, len, &got) == 1 ? 1 : 0;
  if (ret == 1) return IoStatus::Ok;
  got = 0;
  return status(ret, "TLS read failed", error);
}

IoStatus TlsSession::Write(const char* data, size_t len, size_t& sent, std::string& error) {
  ERR_clear_error();
  errno = 0;
  sent = 0;
  if (SSL_write_ex(ssl_, data, len, &sent) == 1) return IoStatus::Ok;
  sent = 0;
  IoStatus st = status(0, "TLS write failed", error);
  if (st == IoStatus::Closed) {
    st = IoStatus::Failed;
    error = SocketErrorText(EPIPE);
  }
  return st;
}

void TlsSession::Shutdown() {
  if (ssl_ && SSL_is_init_finished(ssl_)) {
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
  }
}

}  // namespace vtx
