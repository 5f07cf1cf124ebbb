#pragma once
// A pickle interpreter for exactly what a plain state-dict save writes: tensors rebuilt
// from float storages, keyed by strings, in (ordered) dictionaries. It never imports or
// calls anything: the three global names it models are its whole vocabulary, and any
// other opcode or callable is refused by name.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ka::tessera {

struct PickledTensor {
  std::string storage_key;  // the zip entry ".../data/<key>" holding the floats
  int64_t offset = 0;       // in elements
  std::vector<int64_t> size, stride;
};

// Every (string key, tensor) pair stored anywhere in the pickle, in pickle order.
// Refusals read "teeth: ...".
std::vector<std::pair<std::string, PickledTensor>> readStateDictPickle(const uint8_t* data,
                                                                       size_t len);

}  // namespace ka::tessera
