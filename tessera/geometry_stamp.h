#pragma once
// ka::tessera::GeometryStamp: the twelve integers the bank builder stamps into the bank
// sidecar (and optionally the manifest) that place the mouth window on the render
// canvas, the teeth band inside it, and the padded patch each donor is stored as.
#include <array>
#include <cstdint>
#include <string>

#include "tessera/json.h"

namespace ka::tessera {

struct GeometryStamp {
  int32_t canvas_w = 0, canvas_h = 0;
  int32_t window_x0 = 0, window_y0 = 0;
  int32_t window_w = 0, window_h = 0;
  int32_t pad = 0;
  int32_t band_r0 = 0, band_r1 = 0;
  int32_t band_c0 = 0, band_c1 = 0;
  int32_t shift_margin = 0;

  static constexpr int kFields = 12;
  // The largest canvas a stamp may name: the render crop it describes is pasted by the
  // compositor, which takes crops up to 1024 pixels. With the stored patch held to the
  // canvas too, one patch is at most 3 MiB and a bank of the 1024-donor cap 3 GiB, so
  // every size derived from a stamp fits 64-bit arithmetic with room to spare.
  static constexpr int32_t kMaxCanvas = 1024;
  // Field names in stamp order: the JSON keys and the order of every int32[12] copy.
  static const std::array<const char*, kFields>& keys();

  std::array<int32_t, kFields> toArray() const;
  static GeometryStamp fromArray(const int32_t* v);
  // Reads the twelve keys of a JSON object as numbers truncated to int32; a missing or
  // non-numeric key: "teeth: <context> lacks numeric '<key>'".
  static GeometryStamp fromJson(const json::JVal& obj, const std::string& context);

  // Stored patch size (the band plus the shift margin on both sides); computed in 64
  // bits so absurd stamps cannot overflow.
  int64_t bandH() const { return int64_t(band_r1) - band_r0 + 2 * int64_t(shift_margin); }
  int64_t bandW() const { return int64_t(band_c1) - band_c0 + 2 * int64_t(shift_margin); }

  // Throws "teeth: GeometryStamp incoherent: <phrase>; ..." naming every broken rule;
  // the size limits name the field and its value ("canvas_w=5000 over the maximum 1024").
  void validate() const;

  // "{canvas_w=512, canvas_h=512, ..., shift_margin=4}".
  std::string describe() const;

  bool operator==(const GeometryStamp&) const = default;
};

}  // namespace ka::tessera
