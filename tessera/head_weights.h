#pragma once
// ka::tessera::HeadWeights: the teeth blend head's convolution weights, read from the
// bundle's checkpoint (a zip holding a pickled state dict and its float storages)
// without any deep-learning framework.
#include <cstdint>
#include <string>
#include <vector>

namespace ka::tessera {

struct HeadWeights {
  // Row-major, out-channels x in-channels x kh x kw.
  std::vector<float> cand0_w, cand0_b;  // [16, 7, 3, 3], [16]
  std::vector<float> cand2_w, cand2_b;  // [16, 16, 3, 3], [16]
  std::vector<float> cand4_w, cand4_b;  // [1, 16, 3, 3], [1]
  std::vector<float> syn0_w, syn0_b;    // [16, 3, 3, 3], [16]; empty for BlendHead8(16)
  std::vector<float> syn2_w, syn2_b;    // [1, 16, 3, 3], [1]
  float envelope = 12.0f / 255.0f;

  static constexpr int kFullParams = 4082;       // BlendHead(16)
  static constexpr int kCandidateParams = 3489;  // BlendHead8(16)

  int params() const;
  bool hasSynthesis() const { return !syn0_w.empty(); }
  // "BlendHead(16)" or "BlendHead8(16)".
  const char* arch() const { return hasSynthesis() ? "BlendHead(16)" : "BlendHead8(16)"; }
};

// Reads a checkpoint; every refusal is a runtime error naming what was found.
HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes);

}  // namespace ka::tessera
