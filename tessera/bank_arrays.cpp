#include "tessera/bank_arrays.h"

namespace ka::tessera {

BankData bankFromArrays(const uint8_t* bank, int n_donors, const double* cent,
                        const double* c_canon, const double* aperture,
                        const GeometryStamp& stamp) {
  BankData b;
  const size_t n = static_cast<size_t>(n_donors);
  const size_t bytes = n * static_cast<size_t>(stamp.bandH()) * static_cast<size_t>(stamp.bandW()) * 3;
  b.bytes.assign(bank, bank + bytes);
  b.cent.resize(n);
  for (size_t d = 0; d < n; ++d) b.cent[d] = {cent[2 * d], cent[2 * d + 1]};
  b.c_canon = {c_canon[0], c_canon[1]};
  b.aperture.assign(aperture, aperture + n);
  b.stamp = stamp;
  b.n_donors = n_donors;
  return b;
}

}  // namespace ka::tessera
