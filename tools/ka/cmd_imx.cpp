// ka imx pack|unwrap
#include <cstdio>
#include <exception>
#include <string>

#include "bundle/imx_unwrap.h"
#include "bundle/imx_writer.h"
#include "bundle/file_io.h"
#include "tools/ka/commands.h"
#include "tools/ka/output_file.h"

namespace ka::cli {
namespace {
const char kUsage[] =
    "usage: ka imx pack DIR OUT.imx\n"
    "       ka imx unwrap PATH\n"
    "\n"
    "  pack    write every file of bundle directory DIR (which must hold manifest.json)\n"
    "          into the container OUT.imx; unwrap markers are left out\n"
    "  unwrap  unwrap container PATH beside it (or under $KA_IMX_UNWRAP_ROOT), or reuse a\n"
    "          current unwrap; prints the directory\n";

int pack(const std::string& dir, const std::string& out) {
  const std::string manifest = dir + "/manifest.json";
  if (canOpenForRead(manifest) && readText(manifest).find("_imx_synthetic_manifest") != std::string::npos)
    std::fprintf(stderr,
                 "ka: warning: %s is marked _imx_synthetic_manifest; unwrapping will drop it\n",
                 manifest.c_str());
  OutputFile file(out);
  const ImxPackStats s = packImx(dir, file.temp());
  file.commit();
  std::fprintf(stderr, "ka: packed %zu members (%llu bytes) into %s\n", s.members, s.payloadBytes,
               out.c_str());
  return 0;
}

int unwrap(const std::string& path) {
  if (!isImxV2File(path)) return failAt(path, "not an IMX v2 container");
  std::printf("%s\n", unwrapOnce(path).c_str());
  return 0;
}
}  // namespace

int imxCommand(const Args& a) {
  if (wantsHelp(a)) return usage(kUsage, true);
  try {
    if (a.size() == 3 && a[0] == "pack") return pack(a[1], a[2]);
    if (a.size() == 2 && a[0] == "unwrap") return unwrap(a[1]);
  } catch (const std::exception& e) {
    return failAt(a[1], e.what());
  }
  return usage(kUsage, false);
}

}  // namespace ka::cli
