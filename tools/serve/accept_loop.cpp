#include "tools/serve/accept_loop.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <atomic>
#include <chrono>

#include "base/log.h"

namespace ka::serve {
namespace net = boost::asio;
using tcp = net::ip::tcp;
using std::chrono::milliseconds;

namespace {
constexpr milliseconds kFirstBackoff{100};
constexpr milliseconds kMaxBackoff{1000};
}  // namespace

struct AcceptLoop::State : std::enable_shared_from_this<State> {
  State(tcp::acceptor& a, size_t max, Handler h)
      : acceptor(a), timer(a.get_executor()), maxSessions(max), handler(std::move(h)) {}

  void accept() {
    if (stopped.load()) return;
    if (sessions.load() >= maxSessions) {
      waitingForSlot = true;
      if (!capLogged) {
        capLogged = true;
        KA_LOG_WARN("[serve] %zu HTTP connections open, the most taken at once: new ones wait until one closes",
                    maxSessions);
      }
      return;
    }
    acceptor.async_accept([self = shared_from_this()](boost::system::error_code ec, tcp::socket socket) {
      if (ec == net::error::operation_aborted || self->stopped.load()) return;
      if (ec && ec != net::error::connection_aborted) return self->backOff(ec);
      if (self->backoff.count()) {
        KA_LOG_INFO("[serve] accepting connections again (%llu accepts failed meanwhile)",
                    static_cast<unsigned long long>(self->failures.load() - self->failuresAtEpisode));
        self->backoff = milliseconds(0);
      }
      if (!ec) self->take(std::move(socket));
      self->accept();
    });
  }

  // Anything but a connection that went away before it was taken: typically no
  // descriptor to spare, which only a closing connection cures, so trying again at once
  // would only spin.
  void backOff(boost::system::error_code ec) {
    failures.fetch_add(1);
    if (!backoff.count()) {
      backoff = kFirstBackoff;
      failuresAtEpisode = failures.load() - 1;
      KA_LOG_WARN("[serve] accept: %s: new connections wait, tried again every %lld ms up to every %lld ms",
                  ec.message().c_str(), static_cast<long long>(kFirstBackoff.count()),
                  static_cast<long long>(kMaxBackoff.count()));
    } else {
      backoff = std::min(backoff * 2, kMaxBackoff);
    }
    timer.expires_after(backoff);
    timer.async_wait([self = shared_from_this()](boost::system::error_code e) {
      if (!e) self->accept();
    });
  }

  void take(tcp::socket socket) {
    sessions.fetch_add(1);
    std::weak_ptr<State> weak = weak_from_this();
    Slot slot(nullptr, [weak](void*) {
      const auto self = weak.lock();
      if (!self) return;
      const size_t left = self->sessions.fetch_sub(1) - 1;
      if (left <= self->maxSessions * 3 / 4) self->capLogged = false;
      if (self->waitingForSlot && !self->stopped.load()) {
        self->waitingForSlot = false;
        net::post(self->acceptor.get_executor(), [self] { self->accept(); });
      }
    });
    handler(std::move(socket), std::move(slot));
  }

  tcp::acceptor& acceptor;
  net::steady_timer timer;
  const size_t maxSessions;
  Handler handler;
  std::atomic<size_t> sessions{0};
  std::atomic<uint64_t> failures{0};
  std::atomic<bool> stopped{false};
  uint64_t failuresAtEpisode = 0;
  milliseconds backoff{0};  // 0: accepting normally
  bool waitingForSlot = false;
  bool capLogged = false;
};

AcceptLoop::AcceptLoop(tcp::acceptor& acceptor, size_t maxSessions, Handler handler)
    : state_(std::make_shared<State>(acceptor, maxSessions < 1 ? 1 : maxSessions, std::move(handler))) {}

AcceptLoop::~AcceptLoop() { state_->stopped.store(true); }

void AcceptLoop::start() { state_->accept(); }

void AcceptLoop::stop() {
  state_->stopped.store(true);
  state_->timer.cancel();
}

size_t AcceptLoop::sessions() const { return state_->sessions.load(); }
uint64_t AcceptLoop::failures() const { return state_->failures.load(); }

}  // namespace ka::serve
