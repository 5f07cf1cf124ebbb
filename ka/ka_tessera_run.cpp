// ka_tessera_run / ka_tessera_run_shift: the teeth pass over a caller's batch of
// canvases and masks, without a session. Errors go into the caller's buffer, unprefixed.
#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "ka/c_error.h"
#include "ka/ka.h"
#include "tessera/bank_arrays.h"
#include "tessera/head_weights.h"
#include "tessera/serve_config.h"
#include "tessera/teeth_pass.h"

namespace {

// The dy that stands for "no shift given: derive it from the mask".
constexpr int32_t kNoShift = -10000;

void runPass(const uint8_t* bank, int n_donors, const double* cent, const double* c_canon,
             const double* aperture, const int32_t* stampArr, const uint8_t* head_pt,
             int head_pt_len, const char* head_json, const uint8_t* frames, const uint8_t* masks,
             const int32_t* shifts, int n_frames, uint8_t* out_windows, int32_t* out_skipped) {
  using namespace ka::tessera;
  if (!bank || !cent || !c_canon || !aperture || !stampArr || !head_pt || !frames || !masks ||
      !out_windows || !out_skipped)
    throw std::runtime_error("teeth: a required argument is null — refusing to run");
  if (n_donors < 1) throw std::runtime_error("teeth: n_donors <= 0");
  if (head_pt_len < 0) throw std::runtime_error("teeth: head_pt_len < 0");
  if (n_frames < 0) throw std::runtime_error("teeth: n_frames < 0");
  const GeometryStamp stamp = GeometryStamp::fromArray(stampArr);
  stamp.validate();
  const BankData data = bankFromArrays(bank, n_donors, cent, c_canon, aperture, stamp);
  if (!head_json)
    throw std::runtime_error("teeth: head_json is null — refusing to run without the serving configuration");
  const ServeConfig config = ServeConfig::fromHeadMemberJson(head_json);
  const HeadWeights weights = loadHeadPt(std::vector<uint8_t>(head_pt, head_pt + head_pt_len));
  TeethPass pass(data, weights, config);

  const size_t pixels = static_cast<size_t>(stamp.canvas_w) * stamp.canvas_h;
  const size_t window = static_cast<size_t>(stamp.window_w) * stamp.window_h * 3;
  FrameResult r;
  int k = 0;
  // The pass delivers in order, one frame late, so result k is frame k's.
  auto record = [&] {
    if (k >= n_frames) throw std::runtime_error("teeth: the pass emitted more frames than it was given");
    if (!r.skipped) {
      if (r.pixels.size() != window)
        throw std::runtime_error("teeth: the pass emitted a window of " + std::to_string(r.pixels.size()) +
                                 " bytes, the stamp window holds " + std::to_string(window));
      std::memcpy(out_windows + static_cast<size_t>(k) * window, r.pixels.data(), window);
    }
    out_skipped[k] = r.skipped ? 1 : 0;
    ++k;
  };
  for (int i = 0; i < n_frames; ++i) {
    const int32_t* pair = shifts ? shifts + 2 * static_cast<size_t>(i) : nullptr;
    int shift[2] = {0, 0};
    if (pair && pair[0] != kNoShift) {
      shift[0] = pair[0];
      shift[1] = pair[1];
    }
    const bool given = pair && pair[0] != kNoShift;
    if (pass.push(i, frames + static_cast<size_t>(i) * pixels * 3, masks + static_cast<size_t>(i) * pixels,
                  given ? shift : nullptr, &r))
      record();
  }
  if (pass.flush(&r)) record();
  if (k != n_frames)
    throw std::runtime_error("teeth: emitted " + std::to_string(k) + " of " + std::to_string(n_frames) + " frames");
}

}  // namespace

extern "C" {

int ka_tessera_run_shift(const uint8_t* bank, int n_donors, const double* cent,
                         const double* c_canon, const double* aperture, const int32_t* stamp,
                         const uint8_t* head_pt, int head_pt_len, const char* head_json,
                         const uint8_t* frames, const uint8_t* masks, const int32_t* shifts,
                         int n_frames, uint8_t* out_windows, int32_t* out_skipped, char* err,
                         int err_cap) {
  try {
    runPass(bank, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json, frames,
            masks, shifts, n_frames, out_windows, out_skipped);
    return 0;
  } catch (const std::exception& e) {
    ka::capi::putCallerError(err, err_cap, e.what());
  } catch (...) {
    ka::capi::putCallerError(err, err_cap, "teeth: unknown failure");
  }
  return 1;
}

int ka_tessera_run(const uint8_t* bank, int n_donors, const double* cent, const double* c_canon,
                   const double* aperture, const int32_t* stamp, const uint8_t* head_pt,
                   int head_pt_len, const char* head_json, const uint8_t* frames,
                   const uint8_t* masks, int n_frames, uint8_t* out_windows, int32_t* out_skipped,
                   char* err, int err_cap) {
  return ka_tessera_run_shift(bank, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len,
                              head_json, frames, masks, nullptr, n_frames, out_windows, out_skipped,
                              err, err_cap);
}

}  // extern "C"
