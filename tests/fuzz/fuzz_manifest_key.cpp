// The manifest scanner and field readers over arbitrary text: key hits, the choice of
// one scalar value, numbers and strings. Only refusals as std::runtime_error may leave.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "bundle/manifest_fields.h"
#include "bundle/manifest_key.h"

namespace {
const char* const kKeys[] = {"NT", "W", "H", "crop", "sigma", "format", "P_hevc", "", "\"", "a\\\"b"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* key : kKeys) {
    (void)ka::manifest_key::keyHits(text, key);
    try {
      const long long pos = ka::manifest_key::scalarValuePos(text, key);
      if (pos >= 0) (void)ka::numberAt(text, static_cast<size_t>(pos));
    } catch (const std::runtime_error&) {
    }
    try {
      (void)ka::strField(text, key);
    } catch (const std::runtime_error&) {
    }
    try {
      (void)ka::numFieldEither(text, key, "frame_count");
    } catch (const std::runtime_error&) {
    }
    std::string out;
    try {
      (void)ka::optStr(text, key, out);
    } catch (const std::runtime_error&) {
    }
  }
  return 0;
}
