#pragma once
// A donor bank assembled from the flat arrays the C interface takes (decoded patches,
// centres as x, y pairs, the canonical centre, apertures) and a validated stamp.
#include <cstdint>

#include "tessera/bank_data.h"
#include "tessera/geometry_stamp.h"

namespace ka::tessera {

// Copies n_donors patches of stamp.bandH() x stamp.bandW() x 3 bytes and the sidecar
// arrays. The caller has validated the stamp and checked n_donors >= 1.
BankData bankFromArrays(const uint8_t* bank, int n_donors, const double* cent,
                        const double* c_canon, const double* aperture,
                        const GeometryStamp& stamp);

}  // namespace ka::tessera
