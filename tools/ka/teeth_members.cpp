#include "tools/ka/teeth_members.h"

#include <numeric>
#include <stdexcept>

#include "bundle/file_io.h"
#include "tessera/bank_decode.h"

namespace ka::cli {

TeethMembers TeethMembers::open(const std::string& bundle) {
  TeethMembers t;
  char err[1024] = "";
  t.m.reset(ka_tessera_members_open(bundle.c_str(), err, sizeof err));
  if (!t.m) throw std::runtime_error(err);
  ka_tessera_members* m = t.m.get();
  const int n = ka_tessera_members_n_donors(m);
  const std::string track = readFile(ka_tessera_members_bank_track_path(m));
  // Decoded in track order, then reordered by the members' own sidecar.
  std::vector<int> identity(static_cast<size_t>(n));
  std::iota(identity.begin(), identity.end(), 0);
  const std::vector<uint8_t> inTrackOrder = tessera::decodeBankTrack(
      reinterpret_cast<const uint8_t*>(track.data()), track.size(), ka_tessera_members_bank_container(m), n,
      ka_tessera_members_band_h(m), ka_tessera_members_band_w(m), identity);
  t.bank.resize(static_cast<size_t>(ka_tessera_members_band_bytes(m)));
  if (inTrackOrder.size() != t.bank.size()) throw std::runtime_error("teeth: decoded bank size disagrees with the members");
  if (ka_tessera_members_reorder(m, inTrackOrder.data(), t.bank.data(), err, sizeof err) != 0)
    throw std::runtime_error(err);
  return t;
}

void TeethMembers::attach(ka_utt* s) const {
  const ka_tessera_members* mm = m.get();
  char err[1024] = "";
  if (ka_utt_tessera_attach(s, bank.data(), ka_tessera_members_n_donors(mm), ka_tessera_members_cent(mm),
                            ka_tessera_members_c_canon(mm), ka_tessera_members_aperture(mm),
                            ka_tessera_members_stamp(mm), ka_tessera_members_head_pt(mm),
                            ka_tessera_members_head_pt_len(mm), ka_tessera_members_head_json(mm),
                            ka_tessera_members_manifest_json(mm), err, sizeof err) != 0)
    throw std::runtime_error(err);
}

}  // namespace ka::cli
