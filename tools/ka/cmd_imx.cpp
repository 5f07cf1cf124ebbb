// ka imx pack|unwrap
#include <cstdio>
#include <string>

#include "bundle/imx_unwrap.h"
#include "bundle/imx_writer.h"
#include "bundle/file_io.h"
#include "tools/ka/commands.h"

namespace ka::cli {
namespace {
const char kUsage[] =
    "usage: ka imx pack DIR OUT.imx\n"
    "       ka imx unwrap PATH\n";

int pack(const std::string& dir, const std::string& out) {
  const std::string manifest = dir + "/manifest.json";
  if (canOpenForRead(manifest) && readText(manifest).find("_imx_synthetic_manifest") != std::string::npos)
    std::fprintf(stderr,
                 "ka: warning: %s is marked _imx_synthetic_manifest; unwrapping will drop it\n",
                 manifest.c_str());
  const ImxPackStats s = packImx(dir, out);
  std::fprintf(stderr, "ka: packed %zu members (%llu bytes) into %s\n", s.members, s.payloadBytes,
               out.c_str());
  return 0;
}

int unwrap(const std::string& path) {
  if (!isImxV2File(path)) return fail(path + " is not an IMX v2 container");
  std::printf("%s\n", unwrapOnce(path).c_str());
  return 0;
}
}  // namespace

int imxCommand(const Args& a) {
  if (a.size() == 3 && a[0] == "pack") return pack(a[1], a[2]);
  if (a.size() == 2 && a[0] == "unwrap") return unwrap(a[1]);
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace ka::cli
