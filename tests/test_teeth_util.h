#pragma once
// Shared by the teeth pass tests: a small stamp, banks of solid-colour donors, a head
// that weighs every donor alike, and frames with a bright mouth on the canonical centre.
#include <cstdint>
#include <cstring>
#include <vector>

#include "tessera/bank_data.h"
#include "tessera/head_weights.h"
#include "tessera/serve_config.h"

namespace ka::tessera {

// A 32 x 32 canvas with a 20 x 12 mouth window two pixels clear of every edge.
inline GeometryStamp smallStamp() {
  GeometryStamp s;
  s.canvas_w = s.canvas_h = 32;
  s.window_x0 = 6, s.window_y0 = 10, s.window_w = 20, s.window_h = 12;
  s.pad = 2;
  s.band_r0 = 2, s.band_r1 = 10, s.band_c0 = 2, s.band_c1 = 18;
  s.shift_margin = 1;
  return s;
}

// n donors of one solid colour each, all centred on the canonical centre.
inline BankData solidBank(int n, const GeometryStamp& s = smallStamp()) {
  BankData b;
  b.stamp = s;
  b.n_donors = n;
  b.c_canon = {16.0, 16.0};
  const size_t patch = size_t(s.bandH() * s.bandW());
  for (int d = 0; d < n; ++d) {
    for (size_t p = 0; p < patch; ++p) b.bytes.insert(b.bytes.end(), {uint8_t(10 + 13 * d), uint8_t(230 - 7 * d), uint8_t(40 + 5 * d)});
    b.cent.push_back({16.0, 16.0});
    b.aperture.push_back(0.05);
  }
  return b;
}

// A head whose logits are one constant: every listed donor gets the same weight, so the
// history is the list's head in list order.
inline HeadWeights uniformHead() {
  HeadWeights w;
  w.cand0_w.assign(16 * 7 * 9, 0.0f), w.cand0_b.assign(16, 0.0f);
  w.cand2_w.assign(16 * 16 * 9, 0.0f), w.cand2_b.assign(16, 0.0f);
  w.cand4_w.assign(16 * 9, 0.0f), w.cand4_b.assign(1, 0.3f);
  return w;
}

inline ServeConfig config(int K, int hysteresis, int lookahead, bool use_lookahead = true) {
  ServeConfig c;
  c.K = K, c.hysteresis = hysteresis, c.lookahead = lookahead, c.use_lookahead = use_lookahead;
  return c;
}

// A grey canvas whose mouth box (rows 12..19, columns 8..23 — centred on the canonical
// centre) is bright and neutral under a full mask.
struct Frame {
  std::vector<uint8_t> rgb = std::vector<uint8_t>(32 * 32 * 3, 0);
  std::vector<uint8_t> mask = std::vector<uint8_t>(32 * 32, 0);
};
inline Frame mouthFrame(bool mask_on = true) {
  Frame f;
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      const bool mouth = y >= 12 && y < 20 && x >= 8 && x < 24;
      const uint8_t v[3] = {uint8_t(mouth ? 220 : 120 + x), uint8_t(mouth ? 215 : 110 + y), uint8_t(mouth ? 205 : 100)};
      std::memcpy(&f.rgb[(y * 32 + x) * 3], v, 3);
      f.mask[y * 32 + x] = mask_on && mouth ? 255 : 0;
    }
  return f;
}

}  // namespace ka::tessera
