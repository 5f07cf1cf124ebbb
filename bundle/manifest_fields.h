#pragma once
// Typed readers over the manifest text, built on the key scanner. Every refusal throws
// std::runtime_error with the text a user sees.
#include <string>

namespace ka {

// Value position of a required scalar key; "manifest: missing key <key>" otherwise.
size_t findKey(const std::string& text, const std::string& key);

// The number at `key`, else at `alias`; "manifest: missing key <key>/<alias>".
double numFieldEither(const std::string& text, const std::string& key, const std::string& alias);

// The number at `pos` as read by strtod (0 when the value is not a number).
double numberAt(const std::string& text, size_t pos);

// A number truncated toward zero into int32. A value that cannot be represented
// (infinite, NaN, beyond the int32 range) is refused rather than wrapped.
int toInt32Field(double v, const std::string& key);

// The string value of a required key, without escape processing:
// "manifest: bad string <key>" when the value is not a closed string.
std::string strField(const std::string& text, const std::string& key);

// Optional string key: when present as a closed string, `out` becomes its text and the
// result is true if that text is not empty. Otherwise `out` is left as it was.
bool optStr(const std::string& text, const std::string& key, std::string& out);

}  // namespace ka
