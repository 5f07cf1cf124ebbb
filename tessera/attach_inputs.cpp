#include "tessera/attach_inputs.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "bundle/bundle_path.h"
#include "tessera/carriage.h"
#include "tessera/geometry_stamp.h"
#include "tessera/json.h"

namespace ka::tessera {
namespace {

constexpr int32_t kMaxDonors = 1024;

json::JVal parseMember(const std::string& text, const std::string& context) {
  try {
    return json::parse(text);
  } catch (const std::exception& e) {
    throw std::runtime_error("teeth: " + context + " is not readable JSON: " + e.what());
  }
}

}  // namespace

TesseraAttachInputs loadTesseraMembers(const std::string& bundle_dir) {
  // The manifest is read and parsed once, for the carriage and for the checks below;
  // its failures are reported where the checks reach it, after the members' own.
  const std::string dir = resolveBundlePath(bundle_dir);
  const std::string mpath = findTesseraManifest(dir);
  std::string mtext;
  std::exception_ptr mread;
  json::JVal man;
  std::string mparse;  // the parse failure, when there was one
  bool parsed = false;
  if (!mpath.empty()) {
    try {
      mtext = json::slurpJson(mpath);
    } catch (const std::exception&) {
      mread = std::current_exception();
    }
    if (!mread) {
      try {
        man = json::parse(mtext);
        parsed = true;
      } catch (const std::exception& e) {
        mparse = e.what();
      }
    }
  }
  const TesseraCarriage car = tesseraCarriageOf(dir, parsed ? &man : nullptr);
  requireTesseraMembers(car);
  if (mpath.empty())
    throw std::runtime_error(
        dir + " carries no manifest.json or meta.json — the compose descriptor (unified.pi) the "
              "pass places its window by lives there, and placing a borrow window without it is "
              "guessing.");
  TesseraAttachInputs in;
  if (mread) std::rethrow_exception(mread);
  in.manifest_json = std::move(mtext);
  in.head_json = json::slurpJson(car.path("head_config"));
  const std::string pt = json::slurpText(car.path("head_weights"));
  in.head_pt.assign(pt.begin(), pt.end());
  in.bank_track_path = car.path("bank_track");
  const std::string side = car.slots.names[1];
  const json::JVal sc = parseMember(json::slurpJson(car.path("bank_sidecar")), side);
  if (!parsed) throw std::runtime_error("teeth: " + mpath + " is not readable JSON: " + mparse);

  const std::string fmt = json::optStr(sc, "format", "");
  if (fmt != "tessera_bank.v1")
    throw std::runtime_error(side + " declares format '" + fmt +
                             "', not 'tessera_bank.v1' — this reader does not know that "
                             "generation and will not guess at its keys.");
  const json::JVal* geo = sc.get("geometry");
  if (!geo || !geo->isObj()) throw std::runtime_error(side + " carries no `geometry` stamp");
  const GeometryStamp stamp = GeometryStamp::fromJson(*geo, side + ".geometry");
  const json::JVal* mt = man.get("tessera");
  if (mt && mt->isObj()) {
    if (const json::JVal* mg = mt->get("geometry"); mg && mg->isObj()) {
      const GeometryStamp ms = GeometryStamp::fromJson(*mg, "manifest.tessera.geometry");
      if (!(ms == stamp))
        throw std::runtime_error(
            "teeth geometry DISAGREES between the manifest and the bank sidecar — manifest " +
            ms.describe() + " vs " + side + " " + stamp.describe() +
            "; refusing to place a window on a rectangle the two halves of the bundle do not "
            "agree on.");
    }
  }
  const auto arr = stamp.toArray();
  std::copy(arr.begin(), arr.end(), in.stamp);
  const int64_t bw = stamp.bandW(), bh = stamp.bandH();
  if (bw <= 0 || bh <= 0)
    throw std::runtime_error("teeth stamp yields a non-positive stored patch (" + std::to_string(bw) +
                             "x" + std::to_string(bh) + ")");
  // The checks the pass applies at attach, made here so every size derived from the
  // stamp (patch, bank, reorder stride) is bounded before a host sees it.
  stamp.validate();
  in.band_w = static_cast<int32_t>(bw);
  in.band_h = static_cast<int32_t>(bh);

  const int32_t n = json::truncInt32(json::reqNum(sc, "n_donors", side));
  if (n < 1) throw std::runtime_error(side + " says n_donors=" + std::to_string(n));
  if (n > kMaxDonors)
    throw std::runtime_error(
        side + " carries n_donors=" + std::to_string(n) +
        ", over the owner's cap of 1024 (ruling 2026-08-28). This reader REFUSES rather than "
        "capping: the selector is the bank's BUILD-time cap selector, and a second one here "
        "would change which donors reach the mouth while every count-based check stayed green. "
        "Rebuild the bank.");
  const json::JVal* to = sc.get("track_order");
  const json::JVal* ce = sc.get("cent");
  const json::JVal* ap = sc.get("aperture");
  const json::JVal* cc = sc.get("c_canon");
  if (!to || !ce || !ap || !cc || !to->isArr() || !ce->isArr() || !ap->isArr() || !cc->isArr())
    throw std::runtime_error(side + " lacks one of track_order/cent/aperture/c_canon as an array");
  if (to->size() != size_t(n) || ce->size() != size_t(n) || ap->size() != size_t(n))
    throw std::runtime_error(side + " says n_donors=" + std::to_string(n) + " but carries track_order=" +
                             std::to_string(to->size()) + ", cent=" + std::to_string(ce->size()) +
                             ", aperture=" + std::to_string(ap->size()) +
                             " — a count mismatch silently mis-orders the donors.");
  if (cc->size() != 2 || !cc->numAt(0) || !cc->numAt(1))
    throw std::runtime_error(side + " c_canon is not a pair");
  std::vector<char> seen(size_t(n), 0);
  for (int32_t i = 0; i < n; ++i) {
    const double* e = to->numAt(size_t(i));
    if (!e) throw std::runtime_error(side + " track_order[" + std::to_string(i) + "] is not a number");
    const int32_t v = json::truncInt32(*e);
    if (v < 0 || v >= n)
      throw std::runtime_error(side + " track_order[" + std::to_string(i) + "]=" + std::to_string(v) +
                               " is outside [0," + std::to_string(n) + ")");
    if (seen[size_t(v)])
      throw std::runtime_error(
          side + " track_order is not a permutation (reference " + std::to_string(v) +
          " appears twice) — the inverse permutation would leave a reference slot never written "
          "and the pass would blend uninitialised memory into a real mouth.");
    seen[size_t(v)] = 1;
    in.track_order.push_back(v);
  }
  for (int32_t i = 0; i < n; ++i) {
    const json::JVal* p = ce->at(size_t(i));
    if (!p || p->size() != 2 || !p->numAt(0) || !p->numAt(1))
      throw std::runtime_error(side + " cent[" + std::to_string(i) + "] is not an (x,y) pair");
    in.cent.push_back(*p->numAt(0));
    in.cent.push_back(*p->numAt(1));
    const double* a = ap->numAt(size_t(i));
    if (!a) throw std::runtime_error(side + " aperture[" + std::to_string(i) + "] is not a number");
    in.aperture.push_back(*a);
  }
  in.c_canon[0] = *cc->numAt(0);
  in.c_canon[1] = *cc->numAt(1);
  in.n_donors = n;

  std::string side_codec, side_pix;
  if (const json::JVal* codec = sc.get("codec"); codec && codec->isObj()) {
    side_codec = json::optStr(*codec, "codec", "");
    side_pix = json::optStr(*codec, "pix_fmt", "");
  }
  const json::JVal none;
  const json::JVal& blk = mt && mt->isObj() ? *mt : none;
  in.bank_container = json::optStr(blk, "bank_container", "mp4");
  in.bank_packing = json::optStr(blk, "bank_packing", "rgb24_frames");
  in.bank_codec = json::optStr(blk, "bank_codec", side_codec);
  in.bank_pix_fmt = json::optStr(blk, "bank_pix_fmt", side_pix);
  if (in.bank_pix_fmt.empty())
    throw std::runtime_error(
        dir + ": neither manifest.tessera.bank_pix_fmt nor " + side +
        ".codec.pix_fmt states the reference track's pixel format. A decoder handed no format "
        "negotiates one, and the one it settles on is 4:2:0 — lossy chroma on reference pixels "
        "IS the borrow degrading. Refusing rather than letting it guess.");
  return in;
}

TesseraAttachInputs loadTesseraMembers(const Manifest& m) { return loadTesseraMembers(m.dir); }

int64_t TesseraAttachInputs::patchBytes() const {
  int64_t v = 0;
  if (band_w < 0 || band_h < 0 || __builtin_mul_overflow(int64_t(band_w), int64_t(band_h), &v) ||
      __builtin_mul_overflow(v, int64_t(3), &v))
    return -1;
  return v;
}

int64_t TesseraAttachInputs::bankBytes() const {
  const int64_t patch = patchBytes();
  int64_t v = 0;
  if (patch < 0 || n_donors < 0 || __builtin_mul_overflow(patch, int64_t(n_donors), &v)) return -1;
  return v;
}

void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* out) {
  if (!track || !out) throw std::runtime_error("teeth: null band buffer");
  if (in.track_order.size() != size_t(in.n_donors) || in.n_donors < 0)
    throw std::runtime_error("teeth: track_order does not match n_donors");
  const int64_t stride = in.patchBytes();
  if (stride == 0) throw std::runtime_error("teeth: zero reference stride");
  if (stride < 0 || in.bankBytes() < 0 || uint64_t(in.bankBytes()) > SIZE_MAX)
    throw std::runtime_error("teeth: stored patch " + std::to_string(in.band_w) + "x" + std::to_string(in.band_h) +
                             " of " + std::to_string(in.n_donors) + " donors is no addressable bank");
  for (int32_t i = 0; i < in.n_donors; ++i) {
    const int32_t d = in.track_order[size_t(i)];
    // A hand-assembled record can carry any order; never write outside the bank.
    if (d < 0 || d >= in.n_donors)
      throw std::runtime_error("teeth: track_order[" + std::to_string(i) + "]=" + std::to_string(d) +
                               " is outside [0," + std::to_string(in.n_donors) + ")");
    std::memcpy(out + size_t(d) * size_t(stride), track + size_t(i) * size_t(stride), size_t(stride));
  }
}

}  // namespace ka::tessera
