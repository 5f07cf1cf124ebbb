#pragma once
// The names a request's Host may carry. A page served under any other name is one a
// browser was led to by a name that resolves here but is not ours (DNS rebinding), so
// such requests are refused whatever address the server listens on.
#include <boost/asio/ip/address.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace ka::serve {

class HostAllowList {
 public:
  // The bound address; the machine's host name; on a loopback address the loopback
  // names; on an unspecified address (0.0.0.0, ::) the loopback names and the addresses
  // of the machine's interfaces; and every name in extra (--allowed-host).
  HostAllowList(const boost::asio::ip::address& bound, const std::vector<std::string>& extra);

  // A Host header value ("name", "name:port", "[v6]:port"): true when its name is
  // listed. Names compare without case and without a trailing dot; the port is not
  // looked at.
  bool allows(std::string_view host) const;

  const std::vector<std::string>& names() const { return names_; }

 private:
  void add(std::string_view name);
  std::vector<std::string> names_;  // normalised: lower case, IPv6 in brackets
};

}  // namespace ka::serve
