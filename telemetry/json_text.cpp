#include "telemetry/json_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace ka::telemetry {
namespace {

// The valid UTF-8 sequence starting at p: its length (1..4), or, when invalid, minus the
// length of its maximal subpart (the bytes that could still have begun a valid
// sequence), which is replaced by one U+FFFD as Unicode recommends.
int sequenceAt(const unsigned char* p, size_t left) noexcept {
  const unsigned c = p[0];
  if (c < 0x80) return 1;
  int len;
  unsigned lo = 0x80, hi = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;
  }
  for (int i = 1; i < len; ++i) {
    if (static_cast<size_t>(i) >= left) return -i;
    const unsigned b = p[i];
    if (i == 1 ? (b < lo || b > hi) : (b & 0xC0) != 0x80) return -i;
  }
  return len;
}

}  // namespace

void appendJsonString(std::string& out, const char* bytes, size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  out += '"';
  size_t i = 0;
  while (i < n) {
    const unsigned c = p[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
      ++i;
    } else {
      const int len = sequenceAt(p + i, n - i);
      if (len < 0) {
        out += "\xEF\xBF\xBD";
        i += static_cast<size_t>(-len);
      } else {
        out.append(bytes + i, static_cast<size_t>(len));
        i += static_cast<size_t>(len);
      }
    }
  }
  out += '"';
}

void appendJsonNumber(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

size_t utf8CutPoint(const char* bytes, size_t n) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  // Step back over at most three continuation bytes to the lead byte of the last
  // sequence; drop it when the sequence would need more bytes than remain.
  size_t i = n;
  int back = 0;
  while (i > 0 && back < 3 && (p[i - 1] & 0xC0) == 0x80) {
    --i;
    ++back;
  }
  if (i == 0) return n;
  const unsigned lead = p[i - 1];
  size_t need = 1;
  if ((lead & 0xE0) == 0xC0) need = 2;
  else if ((lead & 0xF0) == 0xE0) need = 3;
  else if ((lead & 0xF8) == 0xF0) need = 4;
  return (n - (i - 1) < need) ? i - 1 : n;
}

}  // namespace ka::telemetry
