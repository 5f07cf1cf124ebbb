#include "bundle/manifest_fields.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "bundle/manifest_key.h"

namespace ka {

size_t findKey(const std::string& text, const std::string& key) {
  const long long pos = manifest_key::scalarValuePos(text, key);
  if (pos < 0) throw std::runtime_error("manifest: missing key " + key);
  return static_cast<size_t>(pos);
}

double numberAt(const std::string& text, size_t pos) {
  if (pos >= text.size()) return 0.0;
  // The manifest text is a std::string, so it is NUL-terminated and strtod stops there.
  return std::strtod(text.c_str() + pos, nullptr);
}

double numFieldEither(const std::string& text, const std::string& key, const std::string& alias) {
  long long pos = manifest_key::scalarValuePos(text, key);
  if (pos < 0) pos = manifest_key::scalarValuePos(text, alias);
  if (pos < 0) throw std::runtime_error("manifest: missing key " + key + "/" + alias);
  return numberAt(text, static_cast<size_t>(pos));
}

int toInt32Field(double v, const std::string& key) {
  const double t = std::trunc(v);
  if (!std::isfinite(v) || t < static_cast<double>(std::numeric_limits<int32_t>::min()) ||
      t > static_cast<double>(std::numeric_limits<int32_t>::max())) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", v);
    throw std::runtime_error("manifest: key " + key + " = " + buf +
                             " does not fit a 32-bit integer — refusing to wrap it");
  }
  return static_cast<int>(t);
}

std::string strField(const std::string& text, const std::string& key) {
  const size_t pos = findKey(text, key);
  // The value itself must be the string: searching onward for any quote would read the
  // next key's name as this key's value when the value is a number.
  if (pos >= text.size() || text[pos] != '"') throw std::runtime_error("manifest: bad string " + key);
  const size_t close = text.find('"', pos + 1);
  if (close == std::string::npos) throw std::runtime_error("manifest: bad string " + key);
  return text.substr(pos + 1, close - pos - 1);
}

bool optStr(const std::string& text, const std::string& key, std::string& out) {
  const long long pos = manifest_key::scalarValuePos(text, key);
  if (pos < 0) return false;
  const size_t p = static_cast<size_t>(pos);
  if (p >= text.size() || text[p] != '"') return false;
  const size_t close = text.find('"', p + 1);
  if (close == std::string::npos) return false;
  out = text.substr(p + 1, close - p - 1);
  return !out.empty();
}

}  // namespace ka
