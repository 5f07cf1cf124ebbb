#include "tools/serve/live_client.h"

#include "base/log.h"
#include "tools/serve/live_hub.h"

namespace ka::serve {
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace http = beast::http;

LiveClient::LiveClient(beast::tcp_stream&& stream, LiveHub& hub, int id, const LiveLimits& limits)
    : ws_(std::move(stream)), hub_(hub), id_(id), limits_(limits) {
  ring_.resize(limits_.queueFrames + limits_.queueTexts + 1);
}

void LiveClient::start(http::request<http::string_body> req) {
  beast::get_lowest_layer(ws_).expires_never();
  ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
  ws_.read_message_max(limits_.messageMax);
  ws_.auto_fragment(false);
  ws_.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
    if (ec) {
      if (auto line = self->hub_.log().admit("handshake"))
        KA_LOG_INFO("[serve] client %d: WebSocket handshake failed: %s%s", self->id_, ec.message().c_str(), line.note());
      return;
    }
    self->open_ = true;
    self->hub_.join(self);
    self->doRead();
  });
}

void LiveClient::doRead() {
  ws_.async_read(in_, [self = shared_from_this()](beast::error_code ec, size_t) {
    if (ec) {
      if (ec == websocket::error::message_too_big) {
        KA_LOG_WARN("[serve] client %d closed: a message over %zu bytes", self->id_, self->limits_.messageMax);
        self->hub_.metrics().refuse("too_large");
      } else if (ec != websocket::error::closed && ec != boost::asio::error::operation_aborted &&
                 ec != boost::asio::error::eof) {
        if (auto line = self->hub_.log().admit("read_error"))
          KA_LOG_INFO("[serve] client %d: %s%s", self->id_, ec.message().c_str(), line.note());
      }
      self->open_ = false;
      self->hub_.leave(*self);
      return;
    }
    const auto data = self->in_.cdata();
    if (self->ws_.got_text())
      self->hub_.text(*self, std::string_view(static_cast<const char*>(data.data()), data.size()));
    else
      self->hub_.pcm(*self, static_cast<const uint8_t*>(data.data()), data.size());
    self->in_.consume(self->in_.size());
    if (self->open_) self->doRead();
  });
}

void LiveClient::sendText(std::shared_ptr<const std::string> text) {
  if (!open_) return;
  if (texts_ >= limits_.queueTexts) {
    KA_LOG_WARN("[serve] client %d dropped: %zu messages unsent (it stopped reading)", id_, texts_);
    hub_.dropped(*this);
    return;
  }
  const void* d = text->data();
  const size_t n = text->size();
  ++texts_;
  enqueue(Out{std::move(text), d, n, false});
}

void LiveClient::sendFrame(std::shared_ptr<const Bytes> frame, bool key) {
  if (!open_) return;
  if (waitKey_ && !key) return;
  waitKey_ = false;
  if (frames_ >= limits_.queueFrames) {
    KA_LOG_WARN("[serve] client %d dropped: %zu frames unsent (it stopped reading)", id_, frames_);
    hub_.dropped(*this);
    return;
  }
  const void* d = frame->data();
  const size_t n = frame->size();
  ++frames_;
  enqueue(Out{std::move(frame), d, n, true});
}

void LiveClient::enqueue(Out o) {
  ring_[(head_ + count_) % ring_.size()] = std::move(o);
  ++count_;
  if (!writing_) doWrite();
}

void LiveClient::doWrite() {
  if (count_ == 0 || !open_) return;
  writing_ = true;
  const Out& o = ring_[head_];
  ws_.binary(o.binary);
  ws_.async_write(boost::asio::const_buffer(o.data, o.size), [self = shared_from_this()](beast::error_code ec, size_t) {
    self->writing_ = false;
    Out& done = self->ring_[self->head_];
    (done.binary ? self->frames_ : self->texts_) -= 1;
    if (done.binary && !ec) self->hub_.metrics().framesDelivered.fetch_add(1, std::memory_order_relaxed);
    done.hold.reset();
    self->head_ = (self->head_ + 1) % self->ring_.size();
    --self->count_;
    if (ec) {
      self->open_ = false;
      return;  // the read side sees the failure too and tells the hub
    }
    self->doWrite();
  });
}

void LiveClient::drop() {
  if (!open_) return;
  open_ = false;
  beast::error_code ec;
  beast::get_lowest_layer(ws_).socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
  beast::get_lowest_layer(ws_).socket().close(ec);
}

}  // namespace ka::serve
