// The checkpoint's zip reader on its own: a refusal is a std::runtime_error, and every
// entry it lists lies inside the bytes it was given, with no more entries than central
// directory records fit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "tessera/stored_zip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  try {
    const std::vector<ka::tessera::ZipEntry> entries = ka::tessera::readStoredZip(bytes);
    if (entries.size() > size / 46) std::abort();  // a central record is 46 bytes at least
    for (const ka::tessera::ZipEntry& e : entries)
      if (e.offset > size || e.size > size - e.offset || e.name.size() > size) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
