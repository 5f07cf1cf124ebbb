#pragma once
// ka::tessera::ServeConfig: the teeth pass's serving parameters, read from the head's
// JSON configuration. The six keyed values are required; the rest are fixed here.
#include <cstdint>
#include <string>

namespace ka::tessera {

struct ServeConfig {
  // The most donors a frame blends (K), and the most the temporal lists carry from the
  // previous and the next frame (hysteresis, lookahead). The pass sizes its per-frame
  // buffers for K donors at construction, roughly 45 bytes per window pixel each (about
  // 370 KiB per donor for a 128 x 64 window), so the value a config file states is a
  // memory request: 256 is four times the default and stays near 100 MiB there.
  static constexpr int32_t kMaxDonorsPerFrame = 256;

  int32_t kshort = 512;       // retrieval: shortlist size
  double aperture_tol = 0.3;  // retrieval: aperture tolerance
  int32_t cut = 96;           // retrieval
  int32_t K = 64;             // retrieval: donors blended per frame
  int32_t hysteresis = 8;     // temporal: donors kept from the previous frame
  int32_t lookahead = 8;      // temporal: donors taken from the next frame
  double luma_min = 100.0;
  double rg_max = 25.0;
  int32_t min_support = 32;
  double weight_decay = 0.6;
  bool use_lookahead = true;

  static ServeConfig fromHeadMemberJson(const std::string& text);
  // One line, every field by name.
  std::string describe() const;
};

}  // namespace ka::tessera
