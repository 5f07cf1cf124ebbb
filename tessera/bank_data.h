#pragma once
// ka::tessera::BankData: a donor bank as the teeth pass takes it: the decoded patches in
// donor order and the sidecar arrays that place each donor's mouth.
#include <array>
#include <cstdint>
#include <vector>
#include "tessera/geometry_stamp.h"

namespace ka::tessera {

struct BankData {
  // n_donors patches of stamp.bandH() x stamp.bandW() x 3 bytes (RGB, row-major).
  std::vector<uint8_t> bytes;
  // Per donor the mouth centre (x, y) in canvas pixels.
  std::vector<std::array<double, 2>> cent;
  // The canonical mouth centre (x, y) every donor is aligned to.
  std::array<double, 2> c_canon{0.0, 0.0};
  // Per donor the mouth aperture the bank builder measured.
  std::vector<double> aperture;
  GeometryStamp stamp;
  int32_t n_donors = 0;
};

}  // namespace ka::tessera
