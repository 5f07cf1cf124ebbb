#include "tools/serve/live_server.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
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

// What every HTTP session reads: the server's, living as long as it.
struct HttpShared {
  LiveHub& hub;
  ka_utt* session;
  const ServeOptions& options;
  const std::string& pageDir;
  const AccessGate& gate;
  const HostAllowList& hosts;
  SlotPool& pageSlots;
};

namespace {
constexpr size_t kMaxPageFile = 16u << 20;
constexpr auto kHttpTimeout = std::chrono::seconds(30);
constexpr auto kStopWait = std::chrono::seconds(1);

// One HTTP connection: static files and /metrics, or the upgrade to the live
// WebSocket, after which the connection belongs to a LiveClient.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket&& socket, const HttpShared& shared, AcceptLoop::Slot slot)
      : stream_(std::move(socket)), s_(shared), slot_(std::move(slot)) {}

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

  // Every answer carries the same headers; to HEAD, those of the GET without its body.
  template <class Body>
  void send(http::response<Body>&& res) {
    auto sp = std::make_shared<http::response<Body>>(std::move(res));
    sp->set(http::field::server, "ka serve");
    sp->set(http::field::cache_control, "no-store");
    sp->set("X-Content-Type-Options", "nosniff");
    // The page drives a microphone and the avatar: no other site may frame it.
    sp->set("Content-Security-Policy", "frame-ancestors 'none'");
    sp->set("X-Frame-Options", "DENY");
    sp->prepare_payload();
    auto done = [self = shared_from_this(), sp](beast::error_code ec, size_t) {
      if (ec || !sp->keep_alive()) return self->close(ec);
      self->read();
    };
    if (head_) {
      auto sr = std::make_shared<http::response_serializer<Body>>(*sp);
      http::async_write_header(stream_, *sr, [sr, done = std::move(done)](beast::error_code ec, size_t n) {
        done(ec, n);
      });
      return;
    }
    http::async_write(stream_, *sp, std::move(done));
  }

  void plain(const http::request<http::string_body>& req, http::status status, const std::string& text) {
    http::response<http::string_body> res{status, req.version()};
    res.set(http::field::content_type, "text/plain; charset=utf-8");
    if (status == http::status::unauthorized) res.set(http::field::www_authenticate, "Bearer realm=\"ka serve\"");
    res.keep_alive(req.keep_alive());
    res.body() = text + "\n";
    send(std::move(res));
  }

  // The stream and the counters are for holders of the token only.
  bool admitted(const http::request<http::string_body>& req, std::string_view path) {
    switch (s_.gate.check(req.target(), req[http::field::authorization])) {
      case AccessGate::Verdict::Admitted:
        return true;
      case AccessGate::Verdict::Missing:
        s_.hub.metrics().refuse("token");
        plain(req, http::status::unauthorized,
              "unauthorized: open the address ka serve printed, with its ?token=");
        return false;
      case AccessGate::Verdict::Wrong:
        s_.hub.metrics().refuse("token");
        if (auto line = s_.hub.log().admit("token"))
          KA_LOG_WARN("[serve] refused %.*s: a wrong token%s", static_cast<int>(std::min<size_t>(path.size(), 200)),
                      path.data(), line.note());
        plain(req, http::status::forbidden, "forbidden: that is not this server's token");
        return false;
    }
    return false;
  }

  void handle(http::request<http::string_body> req) {
    const std::string target(req.target());
    const std::string_view path = targetPath(target);
    const std::string host(req[http::field::host]);
    head_ = req.method() == http::verb::head;
    if (!s_.hosts.allows(host)) {
      s_.hub.metrics().refuse("origin");
      if (auto line = s_.hub.log().admit("host"))
        KA_LOG_WARN("[serve] refused %.200s: Host \"%.80s\" is not one of this server's names (--allowed-host)%s",
                    std::string(path).c_str(), host.c_str(), line.note());
      return plain(req, http::status::forbidden,
                   "forbidden: this server answers to its own names only (see ka serve --allowed-host)");
    }
    if (websocket::is_upgrade(req)) {
      const std::string origin(req[http::field::origin]);
      if (path != "/live") {
        s_.hub.metrics().refuse("not_found");
        return plain(req, http::status::not_found, "not found");
      }
      if (host.empty() || origin != "http://" + host) {
        s_.hub.metrics().refuse("origin");
        if (auto line = s_.hub.log().admit("origin"))
          KA_LOG_WARN("[serve] refused a WebSocket from origin \"%.80s\" (the page's own is \"http://%.80s\")%s",
                      origin.c_str(), host.c_str(), line.note());
        return plain(req, http::status::forbidden, "forbidden: the WebSocket must come from this server's own page");
      }
      if (!admitted(req, path)) return;
      // The place is taken before the handshake: upgrades arriving together cannot all
      // pass a count that rises only once each is open.
      AcceptLoop::Slot page = s_.pageSlots.take();
      if (!page) {
        s_.hub.metrics().refuse("too_many_pages");
        if (auto line = s_.hub.log().admit("pages"))
          KA_LOG_WARN("[serve] refused a page: %zu are open already%s", s_.options.limits.pages, line.note());
        return plain(req, http::status::service_unavailable, "too many pages are open; close one and reload");
      }
      auto client = std::make_shared<LiveClient>(std::move(stream_), s_.hub, s_.hub.newClientId(),
                                                 s_.options.limits, std::move(page));
      client->start(std::move(req));
      return;
    }
    if (req.method() != http::verb::get && req.method() != http::verb::head)
      return plain(req, http::status::method_not_allowed, "method not allowed");
    if (path == "/metrics") {
      if (!admitted(req, path)) return;
      http::response<http::string_body> res{http::status::ok, req.version()};
      res.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
      res.keep_alive(req.keep_alive());
      res.body() = renderMetrics(s_.hub.metrics(), s_.session);
      return send(std::move(res));
    }
    const auto file = resolvePageFile(s_.pageDir, target);
    std::optional<std::string> body;
    if (file) body = readPageFile(file->path, kMaxPageFile);
    if (!body) {
      s_.hub.metrics().refuse("not_found");
      if (auto line = s_.hub.log().admit("not_found"))
        KA_LOG_INFO("[serve] not found: %.200s%s", std::string(path).c_str(), line.note());
      return plain(req, http::status::not_found, "not found");
    }
    http::response<http::string_body> res{http::status::ok, req.version()};
    res.set(http::field::content_type, file->contentType);
    res.keep_alive(req.keep_alive());
    res.body() = std::move(*body);
    send(std::move(res));
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  const HttpShared& s_;
  AcceptLoop::Slot slot_;
  bool head_ = false;
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
    : LiveServer(session, width, height, options, ListenSocket(options.host, options.port)) {}

LiveServer::LiveServer(ka_utt* session, int width, int height, ServeOptions options, ListenSocket listener)
    : session_(session),
      options_(std::move(options)),
      pageDir_(canonicalDir(options_.pageDir)),
      gate_(options_.token),
      hosts_(listener.address(), options_.allowedHosts),
      hub_(io_, metrics_, options_.limits),
      loop_(session, width, height, hub_, metrics_, pendingSamples(options_.limits)),
      synth_(hub_),
      pageSlots_(options_.limits.pages),
      acceptor_(io_),
      stopTimer_(io_),
      accepts_(acceptor_, options_.limits.httpSessions,
               [this](tcp::socket socket, AcceptLoop::Slot slot) {
                 beast::error_code ignored;
                 // A small send buffer: a page that stops reading shows in its queue
                 // within seconds rather than after megabytes.
                 socket.set_option(net::socket_base::send_buffer_size(128 * 1024), ignored);
                 socket.set_option(tcp::no_delay(true), ignored);
                 std::make_shared<HttpSession>(std::move(socket), *shared_, std::move(slot))->start();
               }) {
  hub_.attach(loop_, synth_);
  shared_ = std::make_unique<HttpShared>(
      HttpShared{hub_, session_, options_, pageDir_, gate_, hosts_, pageSlots_});
  const auto address = listener.address();
  port_ = listener.port();
  beast::error_code ec;
  acceptor_.assign(address.is_v6() ? tcp::v6() : tcp::v4(), listener.release(), ec);
  if (ec) throw std::runtime_error("serve: cannot listen on " + address.to_string() + ": " + ec.message());
}

LiveServer::~LiveServer() { stop(); }

void LiveServer::start() {
  if (started_) return;
  started_ = true;
  accepts_.start();
  loop_.start();
  thread_ = std::thread([this] { io_.run(); });
}

void LiveServer::stop() {
  if (!started_) return;
  started_ = false;
  hub_.shutdown();
  loop_.stop();
  net::post(io_, [this] {
    accepts_.stop();
    beast::error_code ec;
    acceptor_.close(ec);
    hub_.closeAll();
    // Pages get their close frame (and its reason) before the network thread ends,
    // for as long as kStopWait at most.
    awaitPagesClosed(std::chrono::steady_clock::now() + kStopWait);
  });
  thread_.join();
}

void LiveServer::awaitPagesClosed(std::chrono::steady_clock::time_point until) {
  if (pageSlots_.taken() == 0 || std::chrono::steady_clock::now() >= until) return io_.stop();
  stopTimer_.expires_after(std::chrono::milliseconds(10));
  stopTimer_.async_wait([this, until](beast::error_code) { awaitPagesClosed(until); });
}

}  // namespace ka::serve
