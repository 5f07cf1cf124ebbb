#include "tools/serve/listen_socket.h"

#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <stdexcept>

namespace ka::serve {
namespace net = boost::asio;
using tcp = net::ip::tcp;

ListenSocket::ListenSocket(const std::string& host, uint16_t port) {
  boost::system::error_code ec;
  address_ = net::ip::make_address(host, ec);
  if (ec) throw std::runtime_error("serve: '" + host + "' is not an IP address (--host takes one, e.g. 127.0.0.1)");
  // The acceptor only binds; the descriptor moves to the server's own io_context later.
  net::io_context io;
  tcp::acceptor acceptor(io);
  const tcp::endpoint ep(address_, port);
  acceptor.open(ep.protocol(), ec);
  if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(ep, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) throw std::runtime_error("serve: cannot listen on " + host + ":" + std::to_string(port) + ": " + ec.message());
  port_ = acceptor.local_endpoint().port();
  fd_ = acceptor.release(ec);
  if (ec) throw std::runtime_error("serve: cannot listen on " + host + ":" + std::to_string(port) + ": " + ec.message());
}

ListenSocket::~ListenSocket() {
  if (fd_ >= 0) ::close(fd_);
}

ListenSocket::ListenSocket(ListenSocket&& o) noexcept : address_(o.address_), port_(o.port_), fd_(o.fd_) {
  o.fd_ = -1;
}

int ListenSocket::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

}  // namespace ka::serve
