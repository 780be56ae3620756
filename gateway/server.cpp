#include "gateway/server.h"

#include <utility>  // before Asio, whose headers use std::exchange

#include <sys/resource.h>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>

#include <algorithm>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "gateway/http_target.h"

namespace vtx::gateway {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
namespace ssl = net::ssl;

namespace {

const char* refusalText(int status) {
  switch (status) {
    case 400:
      return "Bad request.";
    case 413:
      return "Request too large.";
    default:
      return "Request header too large.";
  }
}

// The read buffer holds a request's header and, of a chunked body, each chunk line and the
// trailer: bounding it by the header limit bounds them all. Beast throws on a field of 64 KiB or
// more, so the bound stays below that.
std::size_t readBufferLimit(std::size_t maxHeader) {
  return std::clamp<std::size_t>(maxHeader, 1024, 60000);
}

// Connections beyond the limit are refused at once with this answer.
constexpr std::string_view kBusyAnswer =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 21\r\n"
    "Connection: close\r\n\r\nToo many connections.";

// The most connections the descriptor limit leaves room for, keeping some for the log, the
// database and refusals.
std::size_t descriptorRoom() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return static_cast<std::size_t>(-1);
  return limit.rlim_cur > 96 ? static_cast<std::size_t>(limit.rlim_cur) - 64 : 32;
}

}  // namespace

// What the server holds of a connection: a way to end it.
class Link {
 public:
  virtual ~Link() = default;
  virtual void close() = 0;
};

// A TLS context for the certificate chain and key files; throws std::runtime_error naming the
// file that cannot be used.
std::shared_ptr<ssl::context> LoadTls(const std::string& cert, const std::string& key) {
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                       ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                       ssl::context::single_dh_use);
  beast::error_code ec;
  context->use_certificate_chain_file(cert, ec);
  if (ec) throw std::runtime_error("cannot use TLS certificate " + cert + ": " + ec.message());
  context->use_private_key_file(key, ssl::context::pem, ec);
  if (ec) throw std::runtime_error("cannot use TLS key " + key + ": " + ec.message());
  return context;
}

class GatewayServer::Impl {
 public:
  Impl(ServerConfig c, RequestCore& r, SessionStore& s, LogSink l)
      : config(std::move(c)), core(r), sessions(s), log(std::move(l)) {}
  ~Impl() {
    finished_ = true;
    ioc.stop();
  }

  void listen();
  void run();
  void serve();
  void stop(std::chrono::milliseconds grace);
  void note(const LogLine& line) {
    if (log) log(line.text());
  }
  void enroll(Link* c, std::weak_ptr<Link> w, const std::string& peer);
  void every(std::chrono::milliseconds period, std::function<void()> job);
  void leave(Link* c);
  void reloadTls();
  std::shared_ptr<ssl::context> tls() {
    std::lock_guard<std::mutex> hold(tlsLock_);
    return tls_;
  }

  ServerConfig config;
  RequestCore& core;
  SessionStore& sessions;
  LogSink log;

 private:
  void accept();
  void acceptLater(beast::error_code ec);
  void refuseBusy(tcp::socket socket);
  // Whether a connection from `peer` may be opened now.
  bool admits(const std::string& peer);
  struct Enrolled {
    std::weak_ptr<Link> link;
    std::string peer;
  };
  void sweepLater();
  struct Periodic {
    std::chrono::milliseconds period;
    std::function<void()> job;
    std::unique_ptr<net::steady_timer> timer;
  };
  void runLater(Periodic& p);

  std::mutex connectionsLock_;
  std::unordered_map<Link*, Enrolled> connections_;
  std::unordered_map<std::string, std::size_t> perPeer_;  // open connections by address
  std::mutex tlsLock_;
  std::shared_ptr<ssl::context> tls_;  // none: plain HTTP
  std::atomic<bool> stopping_{false};
  std::atomic<bool> finished_{false};

 public:
  net::io_context ioc;

 private:
  net::strand<net::io_context::executor_type> strand_{ioc.get_executor()};
  tcp::acceptor acceptor_{strand_};
  net::steady_timer sweep_{strand_};
  net::steady_timer deadline_{strand_};
  net::steady_timer acceptPause_{strand_};
  std::chrono::milliseconds acceptBackoff_{0};  // grows while accepting fails
  std::uint64_t acceptFailures_ = 0;            // since the last accepted connection
  std::size_t connectionLimit_ = 0;
  std::size_t reserve_ = 0;         // of connectionLimit_, for addresses with none open
  std::uint64_t busyRefusals_ = 0;  // reported once a second
  std::vector<std::unique_ptr<Periodic>> periodic_;  // after ioc: its timers go first
  unsigned short port_ = 0;

  friend class GatewayServer;
};

// One client connection: read a request, answer it, read the next. Runs on its own strand.
// With TLS the handshake comes first, bounded by the idle time.
template <class Stream>
class Connection : public Link, public std::enable_shared_from_this<Connection<Stream>> {
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;
  using std::enable_shared_from_this<Connection<Stream>>::shared_from_this;

 public:
  template <class... Tls>
  Connection(tcp::socket socket, GatewayServer::Impl& owner, Tls&... tls)
      : stream_(std::move(socket), tls...),
        owner_(owner),
        buffer_(readBufferLimit(owner.config.maxHeader)) {
    beast::error_code ec;
    const auto remote = socket_().remote_endpoint(ec);
    if (!ec) peer_ = remote.address().to_string();
  }
  ~Connection() override { owner_.leave(this); }

  void start() {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
      if constexpr (kTls) {
        beast::get_lowest_layer(self->stream_).expires_after(self->owner_.config.requestTimeout);
        self->stream_.async_handshake(ssl::stream_base::server, [self](beast::error_code ec) {
          if (ec) return self->shutdown();
          self->read();
        });
      } else {
        self->read();
      }
    });
  }
  // Ends the connection once its current exchange is over (at once when it waits for a request).
  void close() override {
    net::post(stream_.get_executor(), [self = shared_from_this()] {
      self->stopping_ = true;
      if (self->reading_) self->shutdown();
    });
  }

 private:
  void read() {
    if (stopping_) return shutdown();
    parser_.emplace();
    parser_->body_limit(owner_.config.maxBody);
    parser_->header_limit(static_cast<std::uint32_t>(owner_.config.maxHeader));
    // Until a first request has come whole, a connection only holds a slot: it gets a short time.
    beast::get_lowest_layer(stream_).expires_after(served_ ? owner_.config.idleConnection
                                                           : owner_.config.requestTimeout);
    reading_ = true;
    http::async_read_header(stream_, buffer_, *parser_,
                            beast::bind_front_handler(&Connection::onHeader, shared_from_this()));
  }

  // Until its session has logged in, a request may bring only a small body.
  void onHeader(beast::error_code ec, std::size_t n) {
    if (ec) return onRead(ec, n);
    const auto& header = parser_->get();
    const auto view = [](beast::string_view v) { return std::string_view(v.data(), v.size()); };
    const RequestTarget target = SplitTarget(view(header.target()));
    std::string id = QueryValue(target.query, "ID").value_or(std::string());
    if (id.empty())
      id = CookieValue(view(header[http::field::cookie]), "ID").value_or(std::string());
    std::size_t limit = owner_.config.maxBody;
    if (!owner_.sessions.loggedIn(id)) limit = std::min(limit, owner_.config.maxBodyBeforeLogin);
    // The parser checks a declared length only while reading the header, against the limit
    // then in force, and the body would reserve all of it: refuse here, before any buffering.
    // Chunked bodies are checked against the limit as their bytes arrive.
    const auto declared = parser_->content_length();
    if (declared && *declared > limit) return refuse(413);
    parser_->body_limit(limit);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&Connection::onRead, shared_from_this()));
  }

  void onRead(beast::error_code ec, std::size_t) {
    reading_ = false;
    if (ec == http::error::body_limit) return refuse(413);
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) return refuse(431);
    if (ec && ec.category() == http::make_error_code(http::error::bad_target).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message)
      return refuse(400);
    if (ec) return shutdown();

    served_ = true;
    auto& message = parser_->get();
    GatewayRequest request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    request.cookie = std::string(message[http::field::cookie]);
    request.body = std::move(message.body());
    request.peer = peer_;
    const bool keepAlive = message.keep_alive();
    const unsigned version = message.version();
    // A deferred answer arrives on another thread; it comes back to this connection's strand.
    owner_.core.handle(
        request, [self = shared_from_this(), keepAlive, version](GatewayResponse answer) {
          net::dispatch(self->stream_.get_executor(),
                        [self, keepAlive, version, answer = std::move(answer)]() mutable {
                          self->results_ = std::move(answer.results);
                          self->send(answer.status, std::move(answer.body), answer.sessionId,
                                     keepAlive && !self->stopping_, version);
                        });
        });
  }

  void refuse(int status) {
    owner_.note(LogLine("warn", "request-refused")
                    .add("status", static_cast<std::int64_t>(status))
                    .add("peer", peer_));
    reading_ = false;
    refused_ = true;
    send(status, refusalText(status), {}, false, 11);
  }

  void send(int status, std::string body, const std::string& sessionId, bool keepAlive,
            unsigned version) {
    response_.emplace(static_cast<http::status>(status), version);
    if (!sessionId.empty()) response_->set(http::field::set_cookie, "ID=" + sessionId);
    response_->keep_alive(keepAlive);
    response_->body() = std::move(body);
    response_->prepare_payload();
    beast::get_lowest_layer(stream_).expires_after(owner_.config.idleConnection);
    http::async_write(stream_, *response_,
                      [self = shared_from_this(), keepAlive](beast::error_code ec, std::size_t) {
                        self->response_.reset();
                        self->results_.reset();
                        if (!ec && self->refused_) return self->drain();
                        if (ec || !keepAlive) return self->shutdown();
                        self->read();
                      });
  }

  // After a refusal the rest of the request may still be arriving: closing now would reset the
  // connection and lose the answer. Read and drop at most 1 MiB for at most 1 s first.
  void drain() {
    auto& lowest = beast::get_lowest_layer(stream_);
    beast::error_code ec;
    socket_().shutdown(tcp::socket::shutdown_send, ec);
    if (drained_ >= kDrainLimit) return lowest.close();
    if (!draining_) lowest.expires_after(std::chrono::seconds(1));  // for the whole drain
    draining_ = true;
    lowest.async_read_some(net::buffer(sink_),
                           [self = shared_from_this()](beast::error_code e, std::size_t n) {
                             self->drained_ += n;
                             if (e) return beast::get_lowest_layer(self->stream_).close();
                             self->drain();
                           });
  }

  void shutdown() {
    beast::error_code ec;
    socket_().shutdown(tcp::socket::shutdown_send, ec);
    beast::get_lowest_layer(stream_).close();
  }

  tcp::socket& socket_() { return beast::get_lowest_layer(stream_).socket(); }

  Stream stream_;
  GatewayServer::Impl& owner_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<http::response<http::string_body>> response_;
  std::shared_ptr<const void> results_;  // behind response_, let go once it is written
  std::string peer_;
  bool reading_ = false;
  bool stopping_ = false;
  bool refused_ = false;
  bool served_ = false;  // a request has come whole
  bool draining_ = false;
  static constexpr std::size_t kDrainLimit = 1u << 20;
  std::size_t drained_ = 0;
  char sink_[4096];
};

void GatewayServer::Impl::listen() {
  reloadTls();
  beast::error_code ec;
  const auto address = net::ip::make_address(config.address, ec);
  if (ec) throw std::runtime_error("invalid listen address " + config.address);
  const tcp::endpoint endpoint(address, config.port);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec)
    throw std::runtime_error("cannot listen on " + config.address + ":" +
                             std::to_string(config.port) + ": " + ec.message());
  port_ = acceptor_.local_endpoint().port();
  connectionLimit_ = std::min(config.maxConnections, descriptorRoom());
  reserve_ = std::min(config.reserveConnections, connectionLimit_ / 8);
  net::post(strand_, [this] {
    accept();
    sweepLater();
    for (auto& p : periodic_) runLater(*p);
  });
}

void GatewayServer::Impl::every(std::chrono::milliseconds period, std::function<void()> job) {
  periodic_.push_back(std::make_unique<Periodic>(
      Periodic{period, std::move(job), std::make_unique<net::steady_timer>(strand_)}));
}

void GatewayServer::Impl::runLater(Periodic& p) {
  p.timer->expires_after(p.period);
  p.timer->async_wait([this, &p](beast::error_code ec) {
    if (ec || stopping_) return;
    p.job();
    runLater(p);
  });
}

void GatewayServer::Impl::accept() {
  acceptor_.async_accept(net::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
    if (stopping_) return;
    if (ec) return acceptLater(ec);
    if (acceptFailures_ > 0) {
      note(LogLine("info", "accept-recovered").add("failures", std::int64_t(acceptFailures_)));
      acceptFailures_ = 0;
      acceptBackoff_ = std::chrono::milliseconds(0);
    }
    beast::error_code endpointError;
    const auto remote = socket.remote_endpoint(endpointError);
    const std::string peer = endpointError ? std::string() : remote.address().to_string();
    if (!admits(peer)) {
      refuseBusy(std::move(socket));
    } else {
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      if (auto context = tls()) {
        using Tls = Connection<beast::ssl_stream<beast::tcp_stream>>;
        auto connection = std::make_shared<Tls>(std::move(socket), *this, *context);
        enroll(connection.get(), connection, peer);
        connection->start();
      } else {
        auto connection = std::make_shared<Connection<beast::tcp_stream>>(std::move(socket), *this);
        enroll(connection.get(), connection, peer);
        connection->start();
      }
    }
    accept();
  });
}

// Accepting fails mostly for want of descriptors: waiting, longer each time, lets connections
// end instead of spinning. One line for the first failure, one when accepting works again.
void GatewayServer::Impl::acceptLater(beast::error_code ec) {
  if (acceptFailures_++ == 0) note(LogLine("warn", "accept-failed").add("error", ec.message()));
  acceptBackoff_ = std::min<std::chrono::milliseconds>(
      std::max<std::chrono::milliseconds>(acceptBackoff_ * 2, std::chrono::milliseconds(10)),
      std::chrono::milliseconds(1000));
  acceptPause_.expires_after(acceptBackoff_);
  acceptPause_.async_wait([this](beast::error_code e) {
    if (!e && !stopping_) accept();
  });
}

// The answer fits any socket's send buffer: written without waiting, then the socket closes.
// Nothing here waits.
void GatewayServer::Impl::refuseBusy(tcp::socket socket) {
  ++busyRefusals_;
  beast::error_code ec;
  socket.non_blocking(true, ec);
  if (!ec) socket.write_some(net::buffer(kBusyAnswer.data(), kBusyAnswer.size()), ec);
  socket.shutdown(tcp::socket::shutdown_send, ec);
  // Unread request bytes would turn the close into a reset that loses the answer.
  char sink[4096];
  for (int i = 0; i < 16 && !ec; ++i) socket.read_some(net::buffer(sink), ec);
  socket.close(ec);
}

void GatewayServer::Impl::sweepLater() {
  sweep_.expires_after(std::chrono::seconds(1));
  sweep_.async_wait([this](beast::error_code ec) {
    if (ec || stopping_) return;
    for (const auto& id : sessions.expire())
      note(LogLine("info", "session-expired").add("session", id));
    if (busyRefusals_ > 0) {
      note(LogLine("warn", "connections-refused").add("count", std::int64_t(busyRefusals_)));
      busyRefusals_ = 0;
    }
    sweepLater();
  });
}

bool GatewayServer::Impl::admits(const std::string& peer) {
  std::lock_guard<std::mutex> hold(connectionsLock_);
  const std::size_t open = connections_.size();
  if (open >= connectionLimit_) return false;
  const auto mine = perPeer_.find(peer);
  if (mine == perPeer_.end()) return true;  // a newcomer may use the reserve
  return mine->second < config.maxConnectionsPerPeer && open < connectionLimit_ - reserve_;
}

void GatewayServer::Impl::enroll(Link* c, std::weak_ptr<Link> w, const std::string& peer) {
  std::lock_guard<std::mutex> hold(connectionsLock_);
  connections_.emplace(c, Enrolled{std::move(w), peer});
  ++perPeer_[peer];
}

void GatewayServer::Impl::reloadTls() {
  if (config.tlsCert.empty()) return;
  auto fresh = LoadTls(config.tlsCert, config.tlsKey);
  std::lock_guard<std::mutex> hold(tlsLock_);
  tls_ = std::move(fresh);
}

void GatewayServer::Impl::leave(Link* c) {
  bool last = false;
  {
    std::lock_guard<std::mutex> hold(connectionsLock_);
    if (auto it = connections_.find(c); it != connections_.end()) {
      if (auto p = perPeer_.find(it->second.peer); p != perPeer_.end() && --p->second == 0)
        perPeer_.erase(p);
      connections_.erase(it);
    }
    last = connections_.empty();
  }
  if (last && stopping_ && !finished_) net::post(strand_, [this] { deadline_.cancel(); });
}

void GatewayServer::Impl::run() {
  const int extra = config.threads > 1 ? config.threads - 1 : 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < extra; ++i) threads.emplace_back([this] { serve(); });
  serve();
  for (auto& t : threads) t.join();
}

// No exception leaves an io thread: the handler that threw is dropped (its connection with it)
// and the thread goes on serving.
void GatewayServer::Impl::serve() {
  for (;;) {
    try {
      ioc.run();
      return;
    } catch (const std::exception& e) {
      note(LogLine("error", "handler-failed").add("error", e.what()));
    } catch (...) {
      note(LogLine("error", "handler-failed").add("error", "unknown exception"));
    }
  }
}

void GatewayServer::Impl::stop(std::chrono::milliseconds grace) {
  net::post(strand_, [this, grace] {
    if (stopping_.exchange(true)) return;
    if (busyRefusals_ > 0)
      note(LogLine("warn", "connections-refused").add("count", std::int64_t(busyRefusals_)));
    beast::error_code ec;
    acceptor_.close(ec);
    sweep_.cancel();
    acceptPause_.cancel();
    for (auto& p : periodic_) p->timer->cancel();
    std::vector<std::shared_ptr<Link>> open;
    {
      std::lock_guard<std::mutex> hold(connectionsLock_);
      for (auto& [raw, enrolled] : connections_)
        if (auto c = enrolled.link.lock()) open.push_back(std::move(c));
    }
    for (auto& c : open) c->close();
    open.clear();
    bool empty = false;
    {
      std::lock_guard<std::mutex> hold(connectionsLock_);
      empty = connections_.empty();
    }
    if (empty) return;
    deadline_.expires_after(grace);
    deadline_.async_wait([this](beast::error_code e) {
      if (!e) ioc.stop();
    });
  });
}

GatewayServer::GatewayServer(ServerConfig config, RequestCore& core, SessionStore& sessions,
                             LogSink log)
    : impl_(std::make_unique<Impl>(std::move(config), core, sessions, std::move(log))) {}

GatewayServer::~GatewayServer() = default;

void GatewayServer::every(std::chrono::milliseconds period, std::function<void()> job) {
  impl_->every(period, std::move(job));
}

void GatewayServer::listen() {
  impl_->listen();
}
void GatewayServer::reloadTls() {
  impl_->reloadTls();
}
unsigned short GatewayServer::port() const {
  return impl_->port_;
}
void GatewayServer::run() {
  impl_->run();
}
void GatewayServer::stop(std::chrono::milliseconds grace) {
  impl_->stop(grace);
}

}  // namespace vtx::gateway
