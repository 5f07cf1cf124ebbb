#pragma once
// A pickle interpreter for exactly what a plain state-dict save writes: tensors rebuilt
// from float storages, keyed by strings, in (ordered) dictionaries. It never imports or
// calls anything: the three global names it models are its whole vocabulary, and any
// other opcode or callable is refused by name.
#include <cstddef>
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

// What the interpreter may copy in all (values pushed from or put into the memo, keys
// and tensors stored): this many bytes per byte of pickle, plus a floor. A checkpoint's
// pickle copies a few dozen bytes per tensor it describes, while a memoised string
// fetched again and again would otherwise multiply a small file into gigabytes.
constexpr size_t kPickleCopyBudgetPerByte = 16;
constexpr size_t kPickleCopyBudgetBase = size_t(1) << 20;

// Every (string key, tensor) pair stored anywhere in the pickle, in pickle order.
// Refusals read "teeth: ..."; past the copy budget: "teeth: pickle copies more than <n>
// bytes — refusing a pickle that multiplies its own values".
std::vector<std::pair<std::string, PickledTensor>> readStateDictPickle(const uint8_t* data,
                                                                       size_t len);

}  // namespace ka::tessera
