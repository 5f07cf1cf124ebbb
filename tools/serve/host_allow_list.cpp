#include "tools/serve/host_allow_list.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace ka::serve {
namespace ip = boost::asio::ip;
namespace {
std::string spelled(const ip::address& a) { return a.is_v6() ? "[" + a.to_string() + "]" : a.to_string(); }

// The name part of a Host value, lower case, without port or trailing dot; empty when
// it is malformed.
std::string nameOf(std::string_view host) {
  std::string_view name = host;
  if (!name.empty() && name.front() == '[') {
    const size_t close = name.find(']');
    if (close == std::string_view::npos) return {};
    const std::string_view rest = name.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return {};
    name = name.substr(0, close + 1);
  } else if (const size_t colon = name.find(':'); colon != std::string_view::npos) {
    if (name.find(':', colon + 1) != std::string_view::npos) {
      // A bare IPv6 address, as --allowed-host may be given one.
      boost::system::error_code ec;
      const auto a = ip::make_address(std::string(name), ec);
      return ec ? std::string() : spelled(a);
    }
    name = name.substr(0, colon);
  }
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  std::string out(name);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}
}  // namespace

HostAllowList::HostAllowList(const ip::address& bound, const std::vector<std::string>& extra) {
  if (!bound.is_unspecified()) add(spelled(bound));
  char hostname[256] = "";
  if (gethostname(hostname, sizeof hostname - 1) == 0 && hostname[0]) add(hostname);
  if (bound.is_loopback() || bound.is_unspecified()) {
    add("localhost");
    add("127.0.0.1");
    add("[::1]");
  }
  if (bound.is_unspecified()) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
      for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr) continue;
        if (i->ifa_addr->sa_family == AF_INET) {
          ip::address_v4::bytes_type b;
          std::memcpy(b.data(), &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, 4);
          add(spelled(ip::address_v4(b)));
        } else if (i->ifa_addr->sa_family == AF_INET6 && bound.is_v6()) {
          const auto* s6 = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
          ip::address_v6::bytes_type b;
          std::memcpy(b.data(), &s6->sin6_addr, 16);
          const ip::address_v6 a(b);
          if (!a.is_link_local()) add(spelled(a));  // those would need a zone in the URL
        }
      }
      freeifaddrs(list);
    }
  }
  for (const std::string& e : extra) add(e);
}

void HostAllowList::add(std::string_view name) {
  std::string n = nameOf(name);
  if (!n.empty() && std::find(names_.begin(), names_.end(), n) == names_.end()) names_.push_back(std::move(n));
}

bool HostAllowList::allows(std::string_view host) const {
  const std::string n = nameOf(host);
  return !n.empty() && std::find(names_.begin(), names_.end(), n) != names_.end();
}

}  // namespace ka::serve
