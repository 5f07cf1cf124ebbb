#pragma once
// The server's listening socket, bound before anything slow happens: a port in use or a
// host that is not an address is known at once, not after the session has loaded.
#include <boost/asio/ip/address.hpp>
#include <cstdint>
#include <string>

namespace ka::serve {

class ListenSocket {
 public:
  // Binds and listens on host:port (port 0: any free one). Throws std::runtime_error
  // naming the address when host is not an IP address or the address cannot be bound.
  ListenSocket(const std::string& host, uint16_t port);
  ~ListenSocket();
  ListenSocket(ListenSocket&& o) noexcept;
  ListenSocket& operator=(ListenSocket&&) = delete;
  ListenSocket(const ListenSocket&) = delete;

  const boost::asio::ip::address& address() const { return address_; }
  uint16_t port() const { return port_; }
  // The descriptor, whose ownership passes to the caller; -1 once released.
  int release();

 private:
  boost::asio::ip::address address_;
  uint16_t port_ = 0;
  int fd_ = -1;
};

}  // namespace ka::serve
