#pragma once
// The teeth members of a bundle opened the way a host opens them: through the
// ka_tessera_members_ functions, with the bank track decoded by decodeBankTrack and put
// into donor order by ka_tessera_members_reorder.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ka/ka.h"

namespace ka::cli {

struct TeethMembers {
  struct Close {
    void operator()(ka_tessera_members* m) const { ka_tessera_members_close(m); }
  };
  std::unique_ptr<ka_tessera_members, Close> m;
  std::vector<uint8_t> bank;  // donor order

  // Throws std::runtime_error with the members' or the decoder's refusal.
  static TeethMembers open(const std::string& bundle);
  // Arms a session with them; throws the attach's refusal.
  void attach(ka_utt* s) const;
};

}  // namespace ka::cli
