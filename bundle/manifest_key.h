#pragma once
// Key scanner for manifest.json. It is deliberately not a JSON parser: it finds the
// occurrences of a key by walking the text once, and refuses a key that occurs as a
// scalar more than once instead of picking one of the values.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ka {

// One occurrence of a key in the manifest text.
struct KeyHit {
  size_t pos = 0;       // offset of the first non-blank character of the value
  int32_t depth = 0;    // nesting depth of the key: 1 for the top-level object
  bool scalar = false;  // the value begins with neither "[" nor "{"
};

namespace manifest_key {

// Every occurrence of `key` (compared byte for byte, escapes not decoded) used as an
// object key, in text order. Brackets inside strings are never counted.
std::vector<KeyHit> keyHits(const std::string& text, const std::string& key);

// The value position of the one scalar occurrence of `key`: the top-level one when
// there is exactly one, else the only scalar occurrence at any depth. -1 when the key
// has no scalar occurrence. Throws the AMBIGUOUS refusal when it cannot choose.
long long scalarValuePos(const std::string& text, const std::string& key);

}  // namespace manifest_key
}  // namespace ka
