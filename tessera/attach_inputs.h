#pragma once
// ka::tessera::TesseraAttachInputs: everything the teeth pass needs from a bundle, read
// from the four members and the manifest and checked against each other before any of
// it is used. The bank track itself is only located here; decoding it is the bank
// decoder's job.
#include <cstdint>
#include <string>
#include <vector>

#include "bundle/manifest.h"

namespace ka::tessera {

struct TesseraAttachInputs {
  int32_t n_donors = 0;
  std::vector<int32_t> track_order;  // track frame i holds donor track_order[i]
  std::vector<double> cent;          // 2N: x, y per donor
  double c_canon[2] = {0, 0};
  std::vector<double> aperture;      // N
  int32_t stamp[12] = {};            // geometry stamp, key order
  std::vector<uint8_t> head_pt;
  std::string head_json;
  std::string manifest_json;
  std::string bank_track_path;
  std::string bank_container, bank_codec, bank_pix_fmt, bank_packing;
  int32_t band_w = 0, band_h = 0;

  // Bytes of one stored donor patch (RGB24) and of the whole bank; -1 when a field is
  // negative or the product does not fit 64 bits (only a record assembled by hand can
  // be so: loading bounds the stamp and the donor count).
  int64_t patchBytes() const;
  int64_t bankBytes() const;
};

// Reads and validates the members; throws MissingTesseraMember when any is absent and
// a runtime error naming the member and the value for every other refusal.
TesseraAttachInputs loadTesseraMembers(const std::string& bundle_dir);
TesseraAttachInputs loadTesseraMembers(const Manifest& m);

// Copies the bank from track order to donor order: track frame i goes to patch slot
// track_order[i] of `out`. Both buffers hold bankBytes().
void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* out);

}  // namespace ka::tessera
