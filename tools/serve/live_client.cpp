#include "tools/serve/live_client.h"

#include <chrono>

#include "base/log.h"
#include "tools/serve/live_hub.h"

namespace ka::serve {
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace http = beast::http;

namespace {
// How long a page has to take its close frame before its socket is closed.
constexpr auto kCloseWait = std::chrono::seconds(5);
}  // namespace

LiveClient::LiveClient(beast::tcp_stream&& stream, LiveHub& hub, int id, const LiveLimits& limits,
                       std::shared_ptr<void> pageSlot)
    : ws_(std::move(stream)), hub_(hub), id_(id), limits_(limits), pageSlot_(std::move(pageSlot)) {
  ring_.resize(limits_.queueFrames + limits_.queueTexts + 1);
}

void LiveClient::start(http::request<http::string_body> req) {
  beast::get_lowest_layer(ws_).expires_never();
  ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
  // The message bound is kept here rather than by the stream, which would close with
  // the right code but no reason.
  ws_.read_message_max(0);
  ws_.auto_fragment(false);
  ws_.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
    if (ec) {
      if (auto line = self->hub_.log().admit("handshake"))
        KA_LOG_INFO("[serve] client %d: WebSocket handshake failed: %s%s", self->id_, ec.message().c_str(), line.note());
      self->pageSlot_.reset();
      return;
    }
    self->open_ = true;
    self->hub_.join(self);
    self->doRead();
  });
}

void LiveClient::doRead() {
  // One byte past the bound is enough to know a message is too big.
  const size_t room = limits_.messageMax + 1 - in_.size();
  ws_.async_read_some(in_, room, [self = shared_from_this()](beast::error_code ec, size_t) {
    if (ec) {
      if (ec != websocket::error::closed && ec != boost::asio::error::operation_aborted &&
          ec != boost::asio::error::eof) {
        if (auto line = self->hub_.log().admit("read_error"))
          KA_LOG_INFO("[serve] client %d: %s%s", self->id_, ec.message().c_str(), line.note());
      }
      return self->finish();
    }
    if (!self->open_) return;  // closing: the close itself reads what is left
    if (self->in_.size() > self->limits_.messageMax) {
      KA_LOG_WARN("[serve] client %d closed: a message over %zu bytes", self->id_, self->limits_.messageMax);
      self->hub_.metrics().refuse("too_large");
      self->in_.consume(self->in_.size());
      return self->closeWith(websocket::close_code::too_big,
                             "a message over " + std::to_string(self->limits_.messageMax) + " bytes");
    }
    if (!self->ws_.is_message_done()) return self->doRead();
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
    slow_ = true;
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
    slow_ = true;
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
  if (slow_)
    closeWith(websocket::close_code::policy_error,
              "this page stopped reading: " + std::to_string(frames_) + " frames unsent");
  else
    closeWith(websocket::close_code::going_away, "the server is stopping");
}

void LiveClient::closeWith(websocket::close_code code, std::string reason) {
  if (!open_) return;
  open_ = false;
  closeTimer_.emplace(ws_.get_executor());
  closeTimer_->expires_after(kCloseWait);
  closeTimer_->async_wait([self = shared_from_this()](beast::error_code ec) {
    if (!ec) self->closeSocket();
  });
  ws_.async_close(websocket::close_reason(code, reason), [self = shared_from_this()](beast::error_code) {
    if (self->closeTimer_) self->closeTimer_->cancel();
    self->closeSocket();
    self->finish();
  });
}

void LiveClient::closeSocket() {
  beast::error_code ec;
  beast::get_lowest_layer(ws_).socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
  beast::get_lowest_layer(ws_).socket().close(ec);
}

void LiveClient::finish() {
  if (finished_) return;
  finished_ = true;
  open_ = false;
  if (closeTimer_) closeTimer_->cancel();
  pageSlot_.reset();
  hub_.leave(*this);
}

}  // namespace ka::serve
