// The head checkpoint's pickle interpreter on its own (the bytes of data.pkl): a refusal
// is a std::runtime_error, nothing is imported or called, and what it returns is bounded
// by what it read — a pickle cannot make it hold or copy more than a fixed multiple of
// its own length, however it reuses memoised values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "tessera/state_dict_pickle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const auto state = ka::tessera::readStateDictPickle(data, size);
    size_t held = 0;
    for (const auto& [key, t] : state) {
      if (t.size.size() != t.stride.size() || t.offset < 0) std::abort();
      held += key.size() + t.storage_key.size() + 16 * t.size.size() + sizeof t;
    }
    if (held > ka::tessera::kPickleCopyBudgetPerByte * size + ka::tessera::kPickleCopyBudgetBase) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
