#include "base/printable_text.h"

#include <cstdio>

namespace ka {
namespace {

// Length of the well-formed UTF-8 sequence starting at s[i] (overlongs, surrogates and
// code points beyond U+10FFFF are not well-formed), or 0.
size_t utf8Sequence(std::string_view s, size_t i) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = at(i);
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
  else return 0;
  if (s.size() - i < n) return 0;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  return n;
}

}  // namespace

std::string printableText(std::string_view bytes, size_t max_bytes) {
  std::string out;
  size_t i = 0;
  while (i < bytes.size() && i < max_bytes) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (const size_t n = c >= 0x80 ? utf8Sequence(bytes, i) : 0; n > 0) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
      ++i;
    }
  }
  if (i < bytes.size()) out += "...";
  return out;
}

}  // namespace ka
