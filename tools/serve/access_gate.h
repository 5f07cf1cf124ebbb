#pragma once
// Who may watch and drive the avatar: a request to the stream or to /metrics must carry
// the server's secret token, either in its target ("/live?token=...") or as
// "Authorization: Bearer ..." (what a metrics scraper sends). The token reaches a person
// in the address the server prints; the page passes it on from its own URL. The page's
// static files stay public: they hold nothing but the page.
#include <string>
#include <string_view>

namespace ka::serve {

class AccessGate {
 public:
  enum class Verdict { Admitted, Missing, Wrong };

  // token: the secret; empty makes one (see newToken).
  explicit AccessGate(std::string token = {});

  const std::string& token() const { return token_; }
  // target: the request target; authorization: the Authorization header's value.
  Verdict check(std::string_view target, std::string_view authorization) const;

  // 128 random bits from the system's source of randomness, as 32 hex digits. Throws
  // std::runtime_error when none can be had.
  static std::string newToken();

 private:
  std::string token_;
};

// The path of a request target, without its query or fragment: what may be logged.
std::string_view targetPath(std::string_view target);

}  // namespace ka::serve
