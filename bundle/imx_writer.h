#pragma once
// Writes IMX v2 containers from bundle directories, the inverse of unwrapOnce.
#include <cstddef>
#include <string>

namespace ka {

struct ImxPackStats {
  size_t members = 0;
  unsigned long long payloadBytes = 0;
};

// Packs every regular file below `dir` (links followed, names sorted so the same
// directory always gives the same bytes) into the container `out`, except unwrap
// markers ("*.imx_unwrapped"). `dir` must hold manifest.json. The container is
// written under `out` + ".part" and renamed when complete. Throws std::runtime_error.
ImxPackStats packImx(const std::string& dir, const std::string& out);

}  // namespace ka
