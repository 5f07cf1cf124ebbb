// ka_utt_tessera_attach: arms a live session with a teeth pass built from members the
// host has loaded and decoded; ka_utt_tessera_attach_bundle does the loading and
// decoding too, from a bundle directory. Errors go into the caller's buffer.
#include <climits>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ka/c_error.h"
#include "ka/ka.h"
#include "session/borrow_stage.h"
#include "session/utterance.h"
#include "tessera/attach_inputs.h"
#include "tessera/bank_arrays.h"
#include "tessera/bank_load.h"
#include "tessera/head_weights.h"
#include "tessera/serve_config.h"
#include "tessera/stream_borrow.h"
#include "tessera/unified_pi.h"

namespace {

constexpr int kKp = ka::kHostKpRows * 3;

std::shared_ptr<ka::TeethStage> buildStage(ka_utt& s, const uint8_t* bank, int n_donors,
                                           const double* cent, const double* c_canon,
                                           const double* aperture, const int32_t* stampArr,
                                           const uint8_t* head_pt, int head_pt_len,
                                           const char* head_json, const char* manifest_json) {
  using namespace ka::tessera;
  const GeometryStamp stamp = GeometryStamp::fromArray(stampArr);
  stamp.validate();
  const int side = s.cropSide();
  if (stamp.canvas_w != stamp.canvas_h || stamp.canvas_w != side)
    throw std::runtime_error("bank canvas " + std::to_string(stamp.canvas_w) + "x" +
                             std::to_string(stamp.canvas_h) + " != this bundle's render crop " +
                             std::to_string(side));
  const BankData data = bankFromArrays(bank, n_donors, cent, c_canon, aperture, stamp);
  const ServeConfig config = ServeConfig::fromHeadMemberJson(head_json);
  const HeadWeights weights = loadHeadPt(std::vector<uint8_t>(head_pt, head_pt + head_pt_len));
  const std::vector<float>& xs = s.xsTarget();
  const int nt = s.driverFrames();
  if (nt < 1 || xs.size() != static_cast<size_t>(nt) * kKp)
    throw std::runtime_error(
        "xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame cannot be "
        "identified — refusing to arm the borrow against the manifest's compose-field geometry");
  std::string name;
  const UnifiedPi pi =
      UnifiedPi::corpusFromManifestJson(manifest_json, stamp.canvas_w, xs.data(), nt, c_canon, &name);
  auto borrow = std::make_unique<StreamBorrow>(data, weights, config, pi, s.lipTemplate());
  return std::make_shared<ka::BorrowStage>(std::move(borrow), side, std::move(name));
}

}  // namespace

extern "C" {

int ka_utt_tessera_attach(ka_utt* s, const uint8_t* bank, int n_donors, const double* cent,
                          const double* c_canon, const double* aperture, const int32_t* stamp,
                          const uint8_t* head_pt, int head_pt_len, const char* head_json,
                          const char* manifest_json, char* err, int err_cap) {
  using ka::capi::putCallerError;
  if (!s) {
    putCallerError(err, err_cap, "ka_utt_tessera_attach: null session");
    return 1;
  }
  if (!bank || !cent || !c_canon || !aperture || !stamp || !head_pt || !head_json || !manifest_json) {
    putCallerError(err, err_cap,
                   "ka_utt_tessera_attach: a required member is null — this ABI has no "
                   "partial-attach state");
    return 1;
  }
  if (n_donors < 1) {
    putCallerError(err, err_cap, "ka_utt_tessera_attach: n_donors <= 0");
    return 1;
  }
  if (head_pt_len < 0) {
    putCallerError(err, err_cap, "ka_utt_tessera_attach: head_pt_len < 0");
    return 1;
  }
  try {
    s->attachTeeth(buildStage(*s, bank, n_donors, cent, c_canon, aperture, stamp, head_pt,
                              head_pt_len, head_json, manifest_json));
    return 0;
  } catch (const std::exception& e) {
    std::string text;
    ka::capi::storeError(text, "ka_utt_tessera_attach", e);
    putCallerError(err, err_cap, text.c_str());
  } catch (...) {
    putCallerError(err, err_cap, "ka_utt_tessera_attach: unknown failure");
  }
  return 1;
}

int ka_utt_tessera_attach_bundle(ka_utt* s, const char* bundle_dir, char* err, int err_cap) {
  using ka::capi::putCallerError;
  if (!s) {
    putCallerError(err, err_cap, "ka_utt_tessera_attach_bundle: null session");
    return 1;
  }
  if (!bundle_dir) {
    putCallerError(err, err_cap, "ka_utt_tessera_attach_bundle: null bundle_dir");
    return 1;
  }
  try {
    using namespace ka::tessera;
    const TesseraAttachInputs in = loadTesseraMembers(std::string(bundle_dir));
    if (in.head_pt.size() > static_cast<size_t>(INT_MAX))
      throw std::runtime_error("teeth: head weights of " + std::to_string(in.head_pt.size()) +
                               " bytes are over the 2 GiB a head may hold");
    // The decoder takes the sidecar's track order and writes donor order directly.
    const BankData bank = loadBank(in);
    s->attachTeeth(buildStage(*s, bank.bytes.data(), in.n_donors, in.cent.data(), in.c_canon,
                              in.aperture.data(), in.stamp, in.head_pt.data(),
                              static_cast<int>(in.head_pt.size()), in.head_json.c_str(),
                              in.manifest_json.c_str()));
    return 0;
  } catch (const std::exception& e) {
    std::string text;
    ka::capi::storeError(text, "ka_utt_tessera_attach_bundle", e);
    putCallerError(err, err_cap, text.c_str());
  } catch (...) {
    putCallerError(err, err_cap, "ka_utt_tessera_attach_bundle: unknown failure");
  }
  return 1;
}

}  // extern "C"
