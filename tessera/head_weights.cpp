#include "tessera/head_weights.h"

#include <bit>
#include <cstring>
#include <stdexcept>

#include "base/printable_text.h"
#include "tessera/state_dict_pickle.h"
#include "tessera/stored_zip.h"

namespace ka::tessera {
namespace {

static_assert(std::endian::native == std::endian::little,
              "checkpoint storages are little-endian floats copied as they are");

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

struct Source {
  const std::vector<uint8_t>& bytes;
  const std::vector<ZipEntry>& entries;
  const std::vector<std::pair<std::string, PickledTensor>>& state;
};

std::vector<float> fetch(const Source& src, const std::string& key,
                         const std::vector<int64_t>& shape) {
  const PickledTensor* t = nullptr;
  int count = 0;
  for (const auto& kv : src.state)
    if (kv.first == key) {
      if (!t) t = &kv.second;
      ++count;
    }
  if (count == 0) throw std::runtime_error("teeth: head .pt lacks '" + key + "'");
  if (count > 1)
    throw std::runtime_error("teeth: head .pt names '" + key + "' " + std::to_string(count) +
                             " times — ambiguous");
  if (t->size != shape) {
    std::string dims;
    for (size_t i = 0; i < t->size.size(); ++i) dims += (i ? "," : "") + std::to_string(t->size[i]);
    throw std::runtime_error("teeth: head '" + key + "' has shape [" + dims +
                             "] — not the BlendHead(16) arch");
  }
  // The copy below reads the elements in storage order; a view with any other layout
  // would be read scrambled. Dimensions of size one carry no layout.
  int64_t expect = 1;
  for (size_t d = shape.size(); d-- > 0;) {
    if (shape[d] != 1 && t->stride[d] != expect)
      throw std::runtime_error("teeth: '" + key + "' is not contiguous");
    expect *= shape[d];
  }
  const int64_t numel = expect;
  const ZipEntry* store = nullptr;
  for (const ZipEntry& e : src.entries)
    if (endsWith(e.name, "/data/" + t->storage_key)) {
      store = &e;
      break;
    }
  if (!store) throw std::runtime_error("teeth: head storage " + printableText(t->storage_key) + " missing");
  if (uint64_t(store->size) < (uint64_t(t->offset) + uint64_t(numel)) * 4)
    throw std::runtime_error("teeth: head storage " + printableText(t->storage_key) + " too small");
  std::vector<float> out(static_cast<size_t>(numel));
  std::memcpy(out.data(), src.bytes.data() + store->offset + size_t(t->offset) * 4, size_t(numel) * 4);
  return out;
}

}  // namespace

int HeadWeights::params() const {
  size_t n = 0;
  for (const auto* v : {&cand0_w, &cand0_b, &cand2_w, &cand2_b, &cand4_w, &cand4_b, &syn0_w,
                        &syn0_b, &syn2_w, &syn2_b})
    n += v->size();
  return static_cast<int>(n);
}

HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes) {
  const std::vector<ZipEntry> entries = readStoredZip(bytes);
  const ZipEntry* pkl = nullptr;
  for (const ZipEntry& e : entries)
    if (endsWith(e.name, "/data.pkl")) pkl = &e;
  if (!pkl) throw std::runtime_error("teeth: head .pt has no data.pkl");
  const auto state = readStateDictPickle(bytes.data() + pkl->offset, pkl->size);
  const Source src{bytes, entries, state};
  HeadWeights w;
  w.cand0_w = fetch(src, "cand.0.weight", {16, 7, 3, 3});
  w.cand0_b = fetch(src, "cand.0.bias", {16});
  w.cand2_w = fetch(src, "cand.2.weight", {16, 16, 3, 3});
  w.cand2_b = fetch(src, "cand.2.bias", {16});
  w.cand4_w = fetch(src, "cand.4.weight", {1, 16, 3, 3});
  w.cand4_b = fetch(src, "cand.4.bias", {1});
  bool syn = false;
  for (const auto& kv : state)
    syn = syn || kv.first == "syn.0.weight" || kv.first == "syn.0.bias" ||
          kv.first == "syn.2.weight" || kv.first == "syn.2.bias";
  if (syn) {
    w.syn0_w = fetch(src, "syn.0.weight", {16, 3, 3, 3});
    w.syn0_b = fetch(src, "syn.0.bias", {16});
    w.syn2_w = fetch(src, "syn.2.weight", {1, 16, 3, 3});
    w.syn2_b = fetch(src, "syn.2.bias", {1});
  }
  const int n = w.params();
  if (n != HeadWeights::kFullParams && n != HeadWeights::kCandidateParams)
    throw std::runtime_error("teeth: head has " + std::to_string(n) +
                             " params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)");
  w.envelope = 12.0f / 255.0f;
  return w;
}

}  // namespace ka::tessera
