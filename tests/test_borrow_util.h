#pragma once
// The stream-borrow tests' fixture: the 48-donor bundle of
// tools/fixtures/make_bank_decode_fixtures.sh read and decoded as a host would, and
// rendered-like crops drawn over its keypoints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tessera/attach_inputs.h"
#include "tessera/bank_decode.h"
#include "tessera/bank_load.h"
#include "tessera/head_weights.h"
#include "tessera/serve_config.h"
#include "tessera/unified_pi.h"
#include "tests/support/test_support.h"

#define NEED_FIXTURES() \
  if (ka::test::fixtureDir().empty()) GTEST_SKIP() << "no fixtures"

namespace ka::tessera {

// A unit value as the byte the pass sees (half to even).
inline uint8_t toByte(float v) { return v <= 0 ? 0 : uint8_t(std::nearbyint(std::min(v, 1.0f) * 255.0)); }

// The fixture bundle's members, its bank decoded from the track, and the keypoints.
struct Bank48 {
  TesseraAttachInputs in;
  BankData bank;
  HeadWeights weights;
  ServeConfig config;
  UnifiedPi pi;
  std::string lip_template;
  std::vector<float> xs;
  int frames = 0;

  Bank48() {
    const std::string dir = test::fixtureDir() + "/bank_decode/bank48";
    in = loadTesseraMembers(dir);
    bank = loadBank(in);
    weights = loadHeadPt(in.head_pt);
    config = ServeConfig::fromHeadMemberJson(in.head_json);
    const std::string x = test::slurp(dir + ".xs_target.bin");
    xs.resize(x.size() / 4);
    std::memcpy(xs.data(), x.data(), xs.size() * 4);
    frames = int(xs.size() / 63);
    pi = UnifiedPi::corpusFromManifestJson(in.manifest_json, bank.stamp.canvas_w, xs.data(), frames, in.c_canon,
                                           nullptr);
    lip_template = test::slurp(dir + "/lip_template.v1.json");
  }
};

// A rendered-like face crop: skin, and where this frame's mouth is, a dark cavity with
// a bright row of teeth in its upper half.
inline std::vector<float> drawCrop(const UnifiedPi& pi, const float* kp, int n, int t) {
  std::vector<uint8_t> m(size_t(n) * n);
  pi.piU8(kp, m.data());
  int top = n, bottom = -1;
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x)
      if (m[size_t(y) * n + x] >= 128) top = std::min(top, y), bottom = std::max(bottom, y);
  std::vector<float> planes(size_t(3) * n * n);
  const float skin[3] = {0.80f, 0.62f, 0.52f}, cavity[3] = {0.25f, 0.08f, 0.10f}, teeth[3] = {0.93f, 0.91f, 0.86f};
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      const size_t p = size_t(y) * n + x;
      const bool mouth = m[p] >= 128;
      const float* col = !mouth ? skin : (y < (top + bottom) / 2 ? teeth : cavity);
      for (int c = 0; c < 3; ++c)  // sub-byte texture, so the write-back's delta rule shows
        planes[size_t(c) * n * n + p] = col[c] + 0.013f * float((x * 7 + y * 3 + t + c) % 5) / 5.0f;
    }
  return planes;
}

}  // namespace ka::tessera
