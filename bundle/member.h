#pragma once
// Member names: the legacy names the readers ask for and the canonical names newer
// bundles carry. Both are accepted; the legacy file wins when a bundle holds both.
#include <string>

namespace ka {

// The canonical name for a legacy member name; names without a canonical form are
// returned unchanged.
std::string canonicalMemberName(const std::string& name);

// Path of member `name` in bundle directory `dir`. Never throws for a missing file: a
// member present under neither name comes back under its legacy name, so the reader's
// "cannot open" names what the code asked for.
std::string resolveMember(const std::string& dir, const std::string& name);

}  // namespace ka
