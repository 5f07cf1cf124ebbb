#pragma once
// One page's WebSocket: reads its messages for the hub and writes the stream to it
// through a bounded queue. A page that stops reading is dropped once its queue is
// full; the others never wait for it. Every end the server chooses is a close frame
// with a code and a reason (a page that takes no close frame within a few seconds
// has its socket closed). Lives on the server's network thread only.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/log_limiter.h"
#include "tools/serve/live_limits.h"
#include "tools/serve/live_loop.h"

namespace ka::serve {

class LiveHub;

class LiveClient : public std::enable_shared_from_this<LiveClient> {
 public:
  // pageSlot: this page's place among the open pages, held until it has left.
  LiveClient(boost::beast::tcp_stream&& stream, LiveHub& hub, int id, const LiveLimits& limits,
             std::shared_ptr<void> pageSlot);

  // Completes the WebSocket handshake of an upgrade request; the hub hears of the page
  // once it is open.
  void start(boost::beast::http::request<boost::beast::http::string_body> req);

  int id() const { return id_; }
  void sendText(std::shared_ptr<const std::string> text);
  // Frames before the first key frame are skipped: a decoder starts at one.
  void sendFrame(std::shared_ptr<const Bytes> frame, bool key);
  // Ends the connection (unsent messages are abandoned) with a close frame: "going
  // away" while the server stops, or a policy close naming the backlog for a page
  // that stopped reading.
  void drop();
  bool open() const { return open_; }
  // Bounds the log lines this page's messages cause, per kind: a page sending garbage
  // or a stream of stops cannot flood the log.
  ka::log::LogLimiter& log() { return log_; }

 private:
  struct Out {
    std::shared_ptr<const void> hold;
    const void* data = nullptr;
    size_t size = 0;
    bool binary = false;
  };
  void enqueue(Out o);
  void doRead();
  void doWrite();
  void closeWith(boost::beast::websocket::close_code code, std::string reason);
  void closeSocket();
  // The page is gone: its place is free and the hub is told, once.
  void finish();

  boost::beast::websocket::stream<boost::beast::tcp_stream> ws_;
  LiveHub& hub_;
  const int id_;
  const LiveLimits limits_;
  boost::beast::flat_buffer in_;
  // A ring of queued messages: frames and texts, each bounded.
  std::vector<Out> ring_;
  size_t head_ = 0, count_ = 0, frames_ = 0, texts_ = 0;
  bool writing_ = false;
  bool open_ = false;
  bool waitKey_ = true;
  bool slow_ = false;      // dropped for not reading
  bool finished_ = false;
  std::shared_ptr<void> pageSlot_;
  std::optional<boost::asio::steady_timer> closeTimer_;
  ka::log::LogLimiter log_;
};

}  // namespace ka::serve
