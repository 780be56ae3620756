#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "fakes/socket_test_client.h"
#include "fakes/socket_test_server.h"

namespace vtx {
namespace {
using testing::SocketClient;
using namespace std::chrono_literals;
using testing::TestServer;
namespace fs = std::filesystem;

// A self-signed certificate for "localhost" and 127.0.0.1, made with the openssl command.
class TlsFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);  // the test server writes with plain SSL_write
    dir = new fs::path(fs::temp_directory_path() / ("vtx-tls-" + std::to_string(getpid())));
    fs::create_directories(*dir);
    std::string cmd =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
        "-days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1"
        " -keyout '" +
        (*dir / "key.pem").string() + "' -out '" + (*dir / "cert.pem").string() +
        "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  static void TearDownTestSuite() {
    fs::remove_all(*dir);
    delete dir;
  }
  static std::string cert() { return (*dir / "cert.pem").string(); }

  // Serves TLS echo on accepted connections.
  static void tlsEcho(int fd, const std::atomic<bool>& stop) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(ctx, cert().c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, (*dir / "key.pem").c_str(), SSL_FILETYPE_PEM);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    timeval tv{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (SSL_accept(ssl) == 1) {
      char buf[16384];
      while (!stop) {
        int n = SSL_read(ssl, buf, sizeof buf);
        if (n > 0) {
          if (SSL_write(ssl, buf, n) <= 0) break;
        } else if (SSL_get_error(ssl, n) != SSL_ERROR_WANT_READ &&
                   !(SSL_get_error(ssl, n) == SSL_ERROR_SYSCALL && errno == EAGAIN)) {
          break;
        }
        ERR_clear_error();
      }
    }
    ERR_clear_error();
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  }

  static inline fs::path* dir = nullptr;
};

TEST_F(TlsFixture, VerifiedAgainstTheCAFileItEchoesLargeData) {
  TestServer server(tlsEcho);
  TRtcSocketOptions o;
  o.UseSSL = true;
  o.CAFile = cert();
  SocketClient client(o);
  client.ServerAddr = "localhost";  // name checked against the certificate
  client.ServerPort = server.Port();
  client.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return !client.lastEvent().empty(); }));
  ASSERT_EQ(client.lastEvent(), "connect");
  std::string data(3u << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 11));
  client.inContext([&] { client.Provider()->Write(data); });
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.receivedSize() >= data.size(); }, 60s));
  EXPECT_TRUE(client.received == data);
  client.inContext([&] { client.Disconnect(); });
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.has("lost"); }));
}

TEST_F(TlsFixture, VerificationFailuresAreConnectErrorsNamingTheReason) {
  TestServer server(tlsEcho);
  {
    TRtcSocketOptions o;  // the system store does not know the certificate
    o.UseSSL = true;
    SocketClient client(o);
    client.ServerPort = server.Port();
    client.Connect();
    ASSERT_TRUE(SocketClient::waitFor([&] { return !client.lastEvent().empty(); }));
    EXPECT_EQ(client.lastEvent(),
              "error: TLS certificate verification failed: self-signed certificate");
  }
  {
    TRtcSocketOptions o;
    o.UseSSL = true;
    o.CAFile = cert();
    o.ServerName = "wrong.example";
    SocketClient client(o);
    client.ServerPort = server.Port();
    client.Connect();
    ASSERT_TRUE(SocketClient::waitFor([&] { return !client.lastEvent().empty(); }));
    EXPECT_EQ(client.lastEvent(), "error: TLS certificate verification failed: hostname mismatch");
  }
  {
    TRtcSocketOptions o;  // verification off on request
    o.UseSSL = true;
    o.VerifyPeer = false;
    o.ServerName = "wrong.example";
    SocketClient client(o);
    client.ServerPort = server.Port();
    client.Connect();
    ASSERT_TRUE(SocketClient::waitFor([&] { return !client.lastEvent().empty(); }));
    EXPECT_EQ(client.lastEvent(), "connect");
  }
}

TEST_F(TlsFixture, APlainServerFailsTheHandshake) {
  TestServer server([](int fd, const std::atomic<bool>&) {
    TestServer::ReadSome(fd, 2000);
    TestServer::WriteAll(fd, "HTTP/1.1 400 Bad Request\r\n\r\n");
  });
  TRtcSocketOptions o;
  o.UseSSL = true;
  o.CAFile = cert();
  SocketClient client(o);
  client.ServerPort = server.Port();
  client.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return !client.lastEvent().empty(); }));
  EXPECT_EQ(client.lastEvent().rfind("error: TLS handshake failed", 0), 0u) << client.lastEvent();
  EXPECT_EQ(ConnectionLimits::Clients(), 0);
}

}  // namespace
}  // namespace vtx
