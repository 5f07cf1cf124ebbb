// A motion directory's meta.json read by its key scanner over arbitrary text: a refusal
// is a std::runtime_error, and what it accepts is counts of at least 1 that fit an int
// and numbers finite as the floats they become.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "audio/motion_members.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const ka::audio::MotionMeta m = ka::audio::parseMotionMeta(std::string(reinterpret_cast<const char*>(data), size));
    if (m.nt < 1 || m.nSrc != m.nt || m.nEmo < 1 || !std::isfinite(m.deltaPitch) || !std::isfinite(m.sBridge)) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
