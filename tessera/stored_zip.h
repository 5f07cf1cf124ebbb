#pragma once
// The entries of a checkpoint's zip container: stored (uncompressed) members only, no
// zip64, which is all the checkpoint writer emits. Every offset is checked against the
// file before it is used.
#include <cstdint>
#include <string>
#include <vector>

namespace ka::tessera {

struct ZipEntry {
  std::string name;
  size_t offset = 0;  // of the member's bytes in the file
  size_t size = 0;
};

// Lists the entries of `bytes`; refusals read "teeth: head .pt ...".
std::vector<ZipEntry> readStoredZip(const std::vector<uint8_t>& bytes);

}  // namespace ka::tessera
