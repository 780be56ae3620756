// The gateway serving TLS: a checking client gets through, plain HTTP does not, and SIGHUP
// brings a renewed certificate into use without a restart.
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "gateway_process.h"
#include "http_transport.h"
#include "portal_peer.h"

namespace vtx::gateway {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = net::ssl;
using testing::GatewayProcess;

// A self-signed certificate for 127.0.0.1 made by the openssl tool.
void MakeCertificate(const std::string& cert, const std::string& key, const std::string& name) {
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -keyout "
      "'" +
      key + "' -out '" + cert + "' -subj '/CN=" + name +
      "' -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
}

// One HELLO over TLS, trusting only `ca`; the status, or -1 when the handshake fails.
int HelloOverTls(unsigned short port, const std::string& ca) {
  net::io_context ioc;
  ssl::context context(ssl::context::tls_client);
  context.load_verify_file(ca);
  context.set_verify_mode(ssl::verify_peer);
  beast::ssl_stream<beast::tcp_stream> stream(ioc, context);
  stream.set_verify_callback(ssl::host_name_verification("127.0.0.1"));
  beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(10));
  beast::error_code ec;
  beast::get_lowest_layer(stream).connect(
      net::ip::tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
  if (ec) return -2;
  stream.handshake(ssl::stream_base::client, ec);
  if (ec) return -1;
  http::request<http::string_body> req(http::verb::post, "/$rdgate?ACTION=HELLO", 11);
  req.set(http::field::host, "127.0.0.1");
  req.prepare_payload();
  http::write(stream, req, ec);
  if (ec) return -3;
  beast::flat_buffer buffer;
  http::response<http::string_body> res;
  http::read(stream, buffer, res, ec);
  return ec ? -4 : static_cast<int>(res.result_int());
}

class TlsFiles {
 public:
  TlsFiles()
      : dir_(testing::fs::temp_directory_path() / ("vtx-tls-" + std::to_string(::getpid()))) {
    testing::fs::create_directories(dir_);
  }
  ~TlsFiles() {
    std::error_code ec;
    testing::fs::remove_all(dir_, ec);
  }
  std::string operator()(const std::string& name) const { return (dir_ / name).string(); }

 private:
  testing::fs::path dir_;
};

TEST(GatewayTls, CheckedClientsGetThroughPlainOnesDoNotAndSighupRenews) {
  TlsFiles files;
  MakeCertificate(files("cert.pem"), files("key.pem"), "first");
  GatewayProcess g(
      {"--encryption", "0", "--tls-cert", files("cert.pem"), "--tls-key", files("key.pem")});
  EXPECT_EQ(HelloOverTls(g.port(), files("cert.pem")), 200);
  {
    testing::HttpConnection plain(g.port(), std::chrono::seconds(3));
    EXPECT_NE(plain.post("/$rdgate?ACTION=HELLO", "").status, 200);
  }
  testing::fs::copy_file(files("cert.pem"), files("old.pem"));
  MakeCertificate(files("cert.pem"), files("key.pem"), "second");
  EXPECT_EQ(HelloOverTls(g.port(), files("cert.pem")), -1);  // still the first one
  ::kill(g.pid(), SIGHUP);
  for (int i = 0; i < 200 && g.log().find("event=tls-reloaded") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(HelloOverTls(g.port(), files("cert.pem")), 200);
  EXPECT_EQ(HelloOverTls(g.port(), files("old.pem")), -1);

  // Unusable files at a reload keep the certificate in use.
  testing::fs::resize_file(files("key.pem"), 10);
  ::kill(g.pid(), SIGHUP);
  for (int i = 0; i < 200 && g.log().find("event=tls-reload-failed") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(HelloOverTls(g.port(), files("cert.pem")), 200);
  EXPECT_EQ(g.stop(), 0);
}

// The project's own portal client logs in over TLS and is refused by a gateway whose
// certificate its CA file does not vouch for.
TEST(GatewayTls, PortalClientsCheckTheGatewayCertificate) {
  TlsFiles files;
  MakeCertificate(files("cert.pem"), files("key.pem"), "gateway");
  MakeCertificate(files("other.pem"), files("other-key.pem"), "other");
  GatewayProcess g({"--secure-key", "K3y!", "--force-encryption", "--login-password", "pw",
                    "--tls-cert", files("cert.pem"), "--tls-key", files("key.pem")});
  const auto peer = [&](const std::string& ca, const char* id) {
    return testing::PeerSettings{std::to_string(g.port()), "K3y!", u"ann", u"pw", id, ca};
  };
  {
    testing::PortalPeer ann(peer(files("cert.pem"), "ann-1"));
    auto params = ann.put.callAndWait("User.Get");
    ASSERT_NE(params, nullptr);
    EXPECT_EQ(params->isType(), rtc_Record);
  }
  {
    testing::PortalChannel wrong(peer(files("other.pem"), "ann-2"));
    auto answer = wrong.callAndWait("User.Get", {}, std::chrono::seconds(3));
    EXPECT_TRUE(answer == nullptr || answer->isType() == rtc_Exception);
  }
  EXPECT_EQ(g.stop(), 0);
}

TEST(GatewayTls, UnusableFilesStopTheStart) {
  TlsFiles files;
  EXPECT_THROW(GatewayProcess({"--tls-cert", files("none.pem"), "--tls-key", files("none.key")}),
               std::runtime_error);
}

}  // namespace
}  // namespace vtx::gateway
