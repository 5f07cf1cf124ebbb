// The teeth JSON reader on its own, so the fuzzer steers by its branches: a refusal is a
// std::runtime_error; what parses is a tree no deeper than the reader's bound whose
// nodes, walked through the accessors every caller uses, are finitely many for the
// bytes read (no element or member without text behind it), and the helpers over it
// (required numbers, optional strings, the int32 truncation) never leave the tree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "tessera/json.h"

namespace {

namespace tj = ka::tessera::json;

// Nodes below v (v included); traps on an accessor that disagrees with size().
size_t walk(const tj::JVal& v, int depth) {
  if (depth > 300) std::abort();
  size_t nodes = 1;
  if (v.isArr()) {
    for (size_t i = 0; i < v.size(); ++i) {
      // A number is seen through numAt; anything else (and the numbers of a mixed array
      // besides) through at.
      const double* n = v.numAt(i);
      const tj::JVal* e = v.at(i);
      if (!n && !e) std::abort();
      if (e && (n != nullptr) != e->isNum()) std::abort();
      nodes += e ? walk(*e, depth + 1) : 1;
    }
    if (v.numAt(v.size()) || v.at(v.size())) std::abort();
  } else if (v.isObj()) {
    for (const tj::JMember& m : v.obj) {
      if (v.get(m.first) == nullptr) std::abort();
      nodes += walk(m.second, depth + 1);
    }
  } else if (v.size() != 0) {
    std::abort();
  }
  return nodes;
}

template <class Fn>
void refusable(Fn&& fn) {
  try {
    fn();
  } catch (const std::runtime_error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const tj::JVal v = tj::parse(text);
    // Every value but the outermost has at least one byte of its own.
    if (walk(v, 0) > size + 1) std::abort();
    for (const char* key : {"n_donors", "band_h", "canvas", "W"}) {
      refusable([&] { (void)tj::truncInt32(tj::reqNum(v, key, "fuzz")); });
      (void)tj::optStr(v, key, "fallback");
      refusable([&] { (void)v.req(key); });
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
