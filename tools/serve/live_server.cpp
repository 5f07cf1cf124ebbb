#include "tools/serve/live_server.h"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <filesystem>
#include <stdexcept>

#include "base/log.h"
#include "tools/serve/live_client.h"
#include "tools/serve/page_files.h"

namespace ka::serve {
namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {
constexpr size_t kMaxPageFile = 16u << 20;
constexpr auto kHttpTimeout = std::chrono::seconds(30);

// The Host a page on this machine may use: a loopback name, with any port.
bool loopbackHost(std::string_view host) {
  std::string_view name = host;
  if (!name.empty() && name.front() == '[') {
    const size_t close = name.find(']');
    if (close == std::string_view::npos) return false;
    name = name.substr(0, close + 1);
  } else if (const size_t colon = name.rfind(':'); colon != std::string_view::npos) {
    name = name.substr(0, colon);
  }
  return name == "127.0.0.1" || name == "localhost" || name == "[::1]";
}

// One HTTP connection: static files and /metrics, or the upgrade to the live
// WebSocket, after which the connection belongs to a LiveClient.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket&& socket, LiveHub& hub, ka_utt* session, const ServeOptions& options,
              const std::string& pageDir, bool loopback)
      : stream_(std::move(socket)),
        hub_(hub),
        session_(session),
        options_(options),
        pageDir_(pageDir),
        loopback_(loopback) {}

  void start() { read(); }

 private:
  void read() {
    parser_.emplace();
    parser_->header_limit(8 * 1024);
    parser_->body_limit(8 * 1024);
    stream_.expires_after(kHttpTimeout);
    http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->close(ec);
      self->handle(self->parser_->release());
    });
  }

  void close(beast::error_code ec) {
    if (ec && ec != http::error::end_of_stream && ec != net::error::operation_aborted && ec != beast::error::timeout)
      KA_LOG_DEBUG("[serve] HTTP connection: %s", ec.message().c_str());
    // Only our side is shut: the page reads the answer to its end, and the socket
    // closes when the last handler lets go of this session.
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  }

  template <class Body>
  void send(http::response<Body>&& res) {
    auto sp = std::make_shared<http::response<Body>>(std::move(res));
    sp->set(http::field::server, "ka serve");
    sp->set(http::field::cache_control, "no-store");
    sp->set("X-Content-Type-Options", "nosniff");
    sp->prepare_payload();
    http::async_write(stream_, *sp, [self = shared_from_this(), sp](beast::error_code ec, size_t) {
      if (ec || !sp->keep_alive()) return self->close(ec);
      self->read();
    });
  }

  void plain(const http::request<http::string_body>& req, http::status status, const std::string& text) {
    http::response<http::string_body> res{status, req.version()};
    res.set(http::field::content_type, "text/plain; charset=utf-8");
    res.keep_alive(req.keep_alive());
    res.body() = text + "\n";
    send(std::move(res));
  }

  void handle(http::request<http::string_body> req) {
    const std::string target(req.target());
    const std::string host(req[http::field::host]);
    if (loopback_ && !loopbackHost(host)) {
      hub_.metrics().refuse("origin");
      if (auto line = hub_.log().admit("host"))
        KA_LOG_WARN("[serve] refused %.200s: Host \"%.80s\" is not this machine's%s", target.c_str(), host.c_str(),
                    line.note());
      return plain(req, http::status::forbidden, "forbidden: this server answers to loopback names only");
    }
    if (websocket::is_upgrade(req)) {
      const std::string origin(req[http::field::origin]);
      if (req.target() != "/live") {
        hub_.metrics().refuse("not_found");
        return plain(req, http::status::not_found, "not found");
      }
      if (host.empty() || origin != "http://" + host) {
        hub_.metrics().refuse("origin");
        if (auto line = hub_.log().admit("origin"))
          KA_LOG_WARN("[serve] refused a WebSocket from origin \"%.80s\" (the page's own is \"http://%.80s\")%s",
                      origin.c_str(), host.c_str(), line.note());
        return plain(req, http::status::forbidden, "forbidden: the WebSocket must come from this server's own page");
      }
      if (static_cast<size_t>(hub_.metrics().clients.load()) >= options_.limits.pages) {
        hub_.metrics().refuse("too_many_pages");
        if (auto line = hub_.log().admit("pages"))
          KA_LOG_WARN("[serve] refused a page: %zu are open already%s", options_.limits.pages, line.note());
        return plain(req, http::status::service_unavailable, "too many pages are open; close one and reload");
      }
      auto client = std::make_shared<LiveClient>(std::move(stream_), hub_, hub_.newClientId(), options_.limits);
      client->start(std::move(req));
      return;
    }
    if (req.method() != http::verb::get && req.method() != http::verb::head)
      return plain(req, http::status::method_not_allowed, "method not allowed");
    if (target == "/metrics") {
      http::response<http::string_body> res{http::status::ok, req.version()};
      res.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
      res.keep_alive(req.keep_alive());
      res.body() = renderMetrics(hub_.metrics(), session_);
      return send(std::move(res));
    }
    const auto file = resolvePageFile(pageDir_, target);
    std::optional<std::string> body;
    if (file) body = readPageFile(file->path, kMaxPageFile);
    if (!body) {
      hub_.metrics().refuse("not_found");
      if (auto line = hub_.log().admit("not_found")) KA_LOG_INFO("[serve] not found: %.200s%s", target.c_str(), line.note());
      return plain(req, http::status::not_found, "not found");
    }
    http::response<http::string_body> res{http::status::ok, req.version()};
    res.set(http::field::content_type, file->contentType);
    res.keep_alive(req.keep_alive());
    if (req.method() == http::verb::head) {
      res.content_length(body->size());
      auto sp = std::make_shared<http::response<http::string_body>>(std::move(res));
      http::async_write(stream_, *sp, [self = shared_from_this(), sp](beast::error_code ec, size_t) {
        if (ec || !sp->keep_alive()) return self->close(ec);
        self->read();
      });
      return;
    }
    res.body() = std::move(*body);
    send(std::move(res));
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  LiveHub& hub_;
  ka_utt* session_;
  const ServeOptions& options_;
  const std::string& pageDir_;
  const bool loopback_;
};

std::string canonicalDir(const std::string& dir) {
  std::error_code ec;
  const auto p = std::filesystem::canonical(dir, ec);
  if (ec || !std::filesystem::is_directory(p))
    throw std::runtime_error("serve: the page folder " + dir + " does not exist");
  return p.string();
}

size_t pendingSamples(const LiveLimits& l) { return static_cast<size_t>(l.pendingAudioS * kRate); }
}  // namespace

LiveServer::LiveServer(ka_utt* session, int width, int height, ServeOptions options)
    : session_(session),
      options_(std::move(options)),
      pageDir_(canonicalDir(options_.pageDir)),
      hub_(io_, metrics_, options_.limits),
      loop_(session, width, height, hub_, metrics_, pendingSamples(options_.limits)),
      synth_(hub_),
      acceptor_(io_) {
  hub_.attach(loop_, synth_);
  beast::error_code ec;
  const auto address = net::ip::make_address(options_.host, ec);
  if (ec) throw std::runtime_error("serve: '" + options_.host + "' is not an IP address");
  loopback_ = address.is_loopback();
  const tcp::endpoint ep(address, options_.port);
  acceptor_.open(ep.protocol(), ec);
  if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(ep, ec);
  if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec)
    throw std::runtime_error("serve: cannot listen on " + options_.host + ":" + std::to_string(options_.port) + ": " +
                             ec.message());
  port_ = acceptor_.local_endpoint().port();
}

LiveServer::~LiveServer() { stop(); }

void LiveServer::start() {
  if (started_) return;
  started_ = true;
  accept();
  loop_.start();
  thread_ = std::thread([this] { io_.run(); });
}

void LiveServer::accept() {
  acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec) {
      if (ec == net::error::operation_aborted) return;
      KA_LOG_WARN("[serve] accept: %s", ec.message().c_str());
    } else {
      beast::error_code ignored;
      // A small send buffer: a page that stops reading shows in its queue within
      // seconds rather than after megabytes.
      socket.set_option(net::socket_base::send_buffer_size(128 * 1024), ignored);
      socket.set_option(tcp::no_delay(true), ignored);
      std::make_shared<HttpSession>(std::move(socket), hub_, session_, options_, pageDir_, loopback_)->start();
    }
    accept();
  });
}

void LiveServer::stop() {
  if (!started_) return;
  started_ = false;
  hub_.shutdown();
  loop_.stop();
  net::post(io_, [this] {
    beast::error_code ec;
    acceptor_.close(ec);
    hub_.closeAll();
    io_.stop();
  });
  thread_.join();
}

}  // namespace ka::serve
