#include "tools/serve/access_gate.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <stdexcept>

namespace ka::serve {
namespace {
// The value of query parameter `name` in target; nothing when absent.
std::optional<std::string_view> queryValue(std::string_view target, std::string_view name) {
  const size_t q = target.find('?');
  if (q == std::string_view::npos) return std::nullopt;
  std::string_view query = target.substr(q + 1);
  query = query.substr(0, query.find('#'));
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const size_t eq = pair.find('=');
    if (pair.substr(0, eq) == name) return eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return std::nullopt;
}

// Equal in time that depends on the lengths only, not on where the texts differ.
bool sameSecret(std::string_view given, std::string_view secret) {
  unsigned diff = given.size() != secret.size();
  for (size_t i = 0; i < secret.size(); ++i)
    diff |= static_cast<unsigned char>(secret[i]) ^ static_cast<unsigned char>(i < given.size() ? given[i] : 0);
  return diff == 0;
}
}  // namespace

std::string_view targetPath(std::string_view target) { return target.substr(0, target.find_first_of("?#")); }

AccessGate::AccessGate(std::string token) : token_(token.empty() ? newToken() : std::move(token)) {}

AccessGate::Verdict AccessGate::check(std::string_view target, std::string_view authorization) const {
  std::optional<std::string_view> given = queryValue(target, "token");
  constexpr std::string_view kBearer = "Bearer ";
  if (!given && authorization.substr(0, kBearer.size()) == kBearer) given = authorization.substr(kBearer.size());
  if (!given || given->empty()) return Verdict::Missing;
  return sameSecret(*given, token_) ? Verdict::Admitted : Verdict::Wrong;
}

std::string AccessGate::newToken() {
  unsigned char bytes[16];
  size_t got = 0;
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    while (got < sizeof bytes) {
      const ssize_t n = ::read(fd, bytes + got, sizeof bytes - got);
      if (n > 0) got += static_cast<size_t>(n);
      else if (n < 0 && errno == EINTR) continue;
      else break;
    }
    ::close(fd);
  }
  if (got != sizeof bytes) throw std::runtime_error("serve: cannot read /dev/urandom for the access token");
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

}  // namespace ka::serve
