// The manifest loader over an arbitrary manifest.json: every refusal is a
// std::runtime_error, every accepted manifest has the sizes it promises.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "bundle/manifest.h"

namespace {
std::string g_dir;

const std::string& bundleDir() {
  if (g_dir.empty()) {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ka_fuzz_manifest.XXXXXX";
    if (!mkdtemp(tmpl.data())) std::abort();
    g_dir = tmpl;
    std::atexit([] {
      std::remove((g_dir + "/manifest.json").c_str());
      rmdir(g_dir.c_str());
    });
  }
  return g_dir;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = bundleDir();
  std::FILE* f = std::fopen((dir + "/manifest.json").c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  try {
    const ka::Manifest m = ka::loadManifest(dir);
    if (m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1 || m.MsrcW < 1 || m.MsrcH < 1) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
