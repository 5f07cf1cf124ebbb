#include "driver/source.h"

namespace ka::driver {

Source::~Source() = default;

size_t Source::frameBytes() const {
  return static_cast<size_t>(W()) * static_cast<size_t>(H()) * 3;
}

}  // namespace ka::driver
