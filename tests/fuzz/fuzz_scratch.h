#pragma once
// The readers under test take paths, not buffers: each fuzz process gets one scratch
// directory (under $TMPDIR, removed at exit) to write its inputs into, and can check
// that a reader left nothing else there.
#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bundle/path_util.h"

namespace ka::fuzz {

// Made on first use; `tag` names it in $TMPDIR.
inline const std::string& scratchDir(const char* tag) {
  static const std::string dir = [tag] {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ka_fuzz_" + tag + ".XXXXXX";
    if (!mkdtemp(tmpl.data())) std::abort();
    return tmpl;
  }();
  // Registered once the name is built, so the removal runs before the name is destroyed.
  [[maybe_unused]] static const bool removed_at_exit = std::atexit([] { ka::rmTree(dir); }) == 0;
  return dir;
}

inline void writeFile(const std::string& path, const void* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

// Entries of a directory other than "." and ".."; 0 when it cannot be read.
inline int entriesOf(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  int n = 0;
  while (const dirent* e = readdir(d)) n += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
  closedir(d);
  return n;
}

}  // namespace ka::fuzz
