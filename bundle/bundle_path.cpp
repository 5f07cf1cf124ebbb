#include "bundle/bundle_path.h"

#include "bundle/imx_unwrap.h"
#include "bundle/path_util.h"

namespace ka {

std::string resolveBundlePath(const std::string& path) {
  if (path.empty()) return path;
  const std::string bare = rstripSlash(path);
  if (isDirectory(path) && !pathExists(bare + ".imx_unwrapped")) return path;
  if (bare.size() >= 4 && bare.compare(bare.size() - 4, 4, ".imx") == 0 && isImxV2File(path))
    return unwrapOnce(path);
  const std::string imx = bare + ".imx";
  if (isImxV2File(imx)) return unwrapOnce(imx);
  if (isImxV2File(path)) return unwrapOnce(path);
  return path;
}

}  // namespace ka
