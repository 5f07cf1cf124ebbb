// ka bundle resolve|member|check
#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "bundle/drive.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "bundle/path_util.h"
#include "ka/ka.h"
#include "tools/ka/commands.h"

namespace ka::cli {
namespace {
const char kUsage[] =
    "usage: ka bundle resolve PATH\n"
    "       ka bundle member PATH NAME\n"
    "       ka bundle check PATH\n"
    "\n"
    "  resolve  print the bundle directory for PATH (a directory, an IMX container, or a\n"
    "           path X with X.imx beside it; containers are unwrapped on first use)\n"
    "  member   print the path of member NAME (legacy or canonical name); exit 1 when absent\n"
    "  check    load and check the manifest and every member, open the driver video the\n"
    "           way ka_create does, print what was found; \"ok\" means the bundle opens\n";

int resolve(const std::string& path) {
  char out[4096];
  if (ka_bundle_resolve_handle(path.c_str(), out, sizeof out) != 1) return failAt(path, ka_last_error());
  // A path that names nothing resolves to itself; that is no bundle to print.
  if (!isDirectory(out))
    return failAt(path, std::string("no bundle here: ") + out +
                            " is not a directory, and neither it nor " + path + ".imx is an IMX container");
  std::printf("%s\n", out);
  return 0;
}

int member(const std::string& path, const std::string& name) {
  char out[4096];
  const int rc = ka_bundle_resolve_member(path.c_str(), name.c_str(), out, sizeof out);
  if (rc < 0) {
    const char* why = ka_last_error();
    return failAt(path, *why ? why : "ka_bundle_resolve_member: path longer than 4095 bytes");
  }
  std::printf("%s\n", out);
  if (rc == 0) {
    return failAt(path, "member " + name + " is not in the bundle");
  }
  return 0;
}

struct CtxCloser {
  void operator()(ka_ctx* c) const { ka_destroy(c); }
};

int check(const std::string& path) {
  const Manifest m = loadManifest(path);
  std::printf("dir          %s\n", m.dir.c_str());
  std::printf("agent        %s\n", m.agent.c_str());
  std::printf("NT           %d\n", m.NT);
  std::printf("frame        %dx%d (W x H)\n", m.W, m.H);
  std::printf("paste space  %dx%d\n", m.MsrcW, m.MsrcH);
  std::printf("crop         %d\n", m.crop);
  std::printf("unsharp      amount %g sigma %g ksize %d\n", m.unsharp.amount, m.unsharp.sigma,
              m.unsharp.ksize);
  std::printf("frames       %d\n", m.frames);
  std::printf("lip template %s\n",
              m.lipTemplate.empty() ? "absent" : (std::to_string(m.lipTemplate.size()) + " bytes").c_str());

  // The members next: each refusal names the member and what is wrong with it.
  Identity id(m);
  std::printf("pooled64     %d x %zu bytes (mapped)\n", m.NT, kPooled64Bytes);
  std::printf("fs_red       %s\n", id.hasFsRed() ? "mapped" : "absent");
  std::printf("prior        %s\n", id.priorBackend().c_str());
  if (!id.hevcPath().empty())
    std::printf("prior window %zu bytes resident\n", id.priorResidentBytes());
  std::printf("M            %d transforms, frame 0 = [%g %g %g; %g %g %g]\n", m.NT, id.M(0)[0], id.M(0)[1],
              id.M(0)[2], id.M(0)[3], id.M(0)[4], id.M(0)[5]);
  const Drive d = loadDrive(m);
  int lo = d.frames ? d.si[0] : 0, hi = lo;
  for (int s : d.si) lo = std::min(lo, s), hi = std::max(hi, s);
  std::printf("drive        %d rows, si in [%d, %d]\n", d.frames, lo, hi);

  // Last, everything else ka_create opens (paste mask, compositor, the driver video with
  // its size and frame count checked against the manifest), so that "ok" means a host
  // can open this bundle. The rendering model is loaded only by the first render.
  std::unique_ptr<ka_ctx, CtxCloser> ctx(ka_create(path.c_str(), "b1", 1, nullptr));
  if (!ctx) return failAt(path, ka_last_error());
  const uint8_t* first = ka_target_frame(ctx.get(), 0);
  if (!first) return failAt(path, ka_last_error());
  std::printf("driver       %d frames %dx%d, opened and frame 0 decoded\n", ka_nt(ctx.get()), ka_width(ctx.get()),
              ka_height(ctx.get()));
  std::printf("ok\n");
  return 0;
}
}  // namespace

int bundleCommand(const Args& a) {
  if (wantsHelp(a)) return usage(kUsage, true);
  try {
    if (a.size() == 2 && a[0] == "resolve") return resolve(a[1]);
    if (a.size() == 3 && a[0] == "member") return member(a[1], a[2]);
    if (a.size() == 2 && a[0] == "check") return check(a[1]);
  } catch (const std::exception& e) {
    return failAt(a[1], e.what());
  }
  return usage(kUsage, false);
}

}  // namespace ka::cli
