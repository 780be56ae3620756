// One keep-alive HTTP/1.1 connection to a gateway on 127.0.0.1, every operation bounded by a
// time-out, as a Transport for the protocol client.
#pragma once

#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <string>

#include "protocol_client.h"

namespace vtx::gateway::testing {

class HttpConnection {
 public:
  // `from`: a loopback address to connect from (e.g. 127.0.0.2); empty = any.
  explicit HttpConnection(unsigned short port,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10),
                          const std::string& from = {})
      : stream_(ioc_), timeout_(timeout) {
    namespace net = boost::asio;
    stream_.expires_after(timeout_);
    boost::beast::error_code ec;
    if (!from.empty()) {
      stream_.socket().open(net::ip::tcp::v4());
      stream_.socket().bind(net::ip::tcp::endpoint(net::ip::make_address(from), 0));
    }
    stream_.async_connect(net::ip::tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
                          [&](boost::beast::error_code e) { ec = e; });
    runOnce();
    if (ec) throw std::runtime_error("connect: " + ec.message());
    stream_.socket().set_option(net::ip::tcp::no_delay(true));
  }

  Reply post(const std::string& target, const std::string& body) {
    namespace http = boost::beast::http;
    http::request<http::string_body> req(http::verb::post, target, 11);
    req.set("HOST", "127.0.0.1");
    req.body() = body;
    req.prepare_payload();
    return exchange(req);
  }

  template <class Request>
  Reply exchange(Request& req) {
    namespace http = boost::beast::http;
    boost::beast::error_code ec;
    stream_.expires_after(timeout_);
    http::async_write(stream_, req, [&](boost::beast::error_code e, std::size_t) { ec = e; });
    runOnce();
    if (ec) return Reply{0, ec.message(), {}};
    return receive();
  }

  // Sends raw bytes and, when `answer`, reads one response.
  Reply raw(const std::string& bytes, bool answer = true) {
    boost::beast::error_code ec;
    stream_.expires_after(timeout_);
    boost::asio::async_write(stream_, boost::asio::buffer(bytes),
                             [&](boost::beast::error_code e, std::size_t) { ec = e; });
    runOnce();
    if (ec || !answer) return Reply{0, ec.message(), {}};
    return receive();
  }

  // True when the gateway closed the connection (nothing more to read).
  bool closedByPeer() {
    boost::beast::error_code ec;
    char byte;
    stream_.expires_after(timeout_);
    stream_.async_read_some(boost::asio::buffer(&byte, 1),
                            [&](boost::beast::error_code e, std::size_t) { ec = e; });
    runOnce();
    return ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset;
  }

  Transport transport() {
    return
        [this](const std::string& target, const std::string& body) { return post(target, body); };
  }

 private:
  Reply receive() {
    namespace http = boost::beast::http;
    boost::beast::error_code ec;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64u << 20);
    stream_.expires_after(timeout_);
    http::async_read(stream_, buffer_, parser,
                     [&](boost::beast::error_code e, std::size_t) { ec = e; });
    runOnce();
    if (ec) return Reply{0, ec.message(), {}};
    auto& res = parser.get();
    Reply r{static_cast<int>(res.result_int()), std::move(res.body()), {}};
    const std::string cookie(res[http::field::set_cookie]);
    if (cookie.rfind("ID=", 0) == 0) r.cookieId = cookie.substr(3, cookie.find(';') - 3);
    return r;
  }
  void runOnce() {
    ioc_.restart();
    ioc_.run();
  }

  boost::asio::io_context ioc_;
  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::chrono::milliseconds timeout_;
};

}  // namespace vtx::gateway::testing
