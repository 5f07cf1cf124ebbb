#include "bundle/imx_unwrap.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <sys/stat.h>
#include <vector>

#include "bundle/path_util.h"
#include "base/log.h"
#include "base/printable_text.h"

namespace ka {
namespace {

std::mutex g_unwrap_mtx;  // owned by unwrapOnce: one unwrap at a time per process

constexpr size_t kCopyBuffer = 8u << 20;
constexpr uint64_t kSyntheticManifestMax = 4u << 20;

struct FileCloser {
  void operator()(std::FILE* f) const { if (f) std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct TocEntry {
  std::string name;
  uint64_t offset = 0;
  uint64_t length = 0;
};

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint64_t le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool isUnsafeName(const std::string& name) {
  return name.empty() || name[0] == '/' || name[0] == '\\' ||
         name.find("..") != std::string::npos || name.find('\0') != std::string::npos;
}

bool seekTo(std::FILE* f, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::string expectedMarker(const std::string& container) {
  struct stat st {};
  if (::lstat(container.c_str(), &st) != 0)
    throw std::runtime_error("cannot stat container " + container);
  const long long mtimeNs =
      static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return std::string(kImxMarkerTag) + " " + baseName(container) + " " +
         std::to_string(static_cast<long long>(st.st_size)) + " " + std::to_string(mtimeNs) +
         " " + std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::string trimmed(const std::string& s) {
  const char* ws = " \t\r\n";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

bool readSmallFile(const std::string& path, std::string& out) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  char buf[4096];
  size_t got;
  out.clear();
  while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
    out.append(buf, got);
    if (out.size() > 65536) break;  // a marker is one short line
  }
  return true;
}

std::vector<TocEntry> readToc(std::FILE* f, const std::string& container, unsigned count) {
  std::vector<TocEntry> toc;
  toc.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    unsigned char b[16];
    if (std::fread(b, 1, 2, f) != 2)
      throw std::runtime_error(container + ": truncated TOC at member " + std::to_string(i));
    TocEntry e;
    e.name.resize(le16(b));
    if (!e.name.empty() && std::fread(e.name.data(), 1, e.name.size(), f) != e.name.size())
      throw std::runtime_error(container + ": truncated member name at " + std::to_string(i));
    if (std::fread(b, 1, 16, f) != 16)
      throw std::runtime_error(container + ": truncated TOC offsets at member " + e.name);
    e.offset = le64(b);
    e.length = le64(b + 8);
    toc.push_back(std::move(e));
  }
  return toc;
}

// A manifest the packer synthesised for the container's own use is not a bundle member.
bool isSyntheticManifest(std::FILE* f, const TocEntry& e) {
  if (e.name != "manifest.json" || e.length < 1 || e.length > kSyntheticManifestMax) return false;
  if (!seekTo(f, e.offset)) return false;
  std::string payload(static_cast<size_t>(e.length), '\0');
  payload.resize(std::fread(payload.data(), 1, payload.size(), f));
  return payload.find("_imx_synthetic_manifest") != std::string::npos;
}

void materialise(std::FILE* f, const std::string& container, const std::string& out,
                 const TocEntry& e, std::vector<char>& buf) {
  const std::string target = out + "/" + e.name;
  const std::string parent = dirName(target);
  if (!mkdirs(parent)) throw std::runtime_error("cannot create " + parent);
  if (!seekTo(f, e.offset)) throw std::runtime_error(container + ": cannot seek to member " + e.name);

  const std::string part = target + ".part";
  File w(std::fopen(part.c_str(), "wb"));
  if (!w) throw std::runtime_error("cannot write " + part);
  try {
    uint64_t left = e.length;
    while (left > 0) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
      const size_t got = std::fread(buf.data(), 1, want, f);
      if (got == 0) throw std::runtime_error(container + ": truncated payload for member " + e.name);
      if (std::fwrite(buf.data(), 1, got, w.get()) != got)
        throw std::runtime_error("short write materialising " + target);
      left -= got;
    }
    if (std::fflush(w.get()) != 0) throw std::runtime_error("flush failed materialising " + target);
    std::FILE* raw = w.release();
    if (std::fclose(raw) != 0) throw std::runtime_error("flush failed materialising " + target);
  } catch (...) {
    w.reset();
    std::remove(part.c_str());
    throw;
  }
  if (std::rename(part.c_str(), target.c_str()) != 0) {
    std::remove(part.c_str());
    throw std::runtime_error("cannot place member " + target);
  }
}

// Starting clean removes the output wholesale, so the output must be an unwrap
// directory: a container named "x.kabundle" (or "x.imx" linking to one) has itself as
// its unwrap directory and would otherwise be deleted.
void refuseForeignOutput(const std::string& container, const std::string& out) {
  struct stat o {};
  if (::lstat(out.c_str(), &o) != 0) return;
  struct stat c {};
  if (::stat(container.c_str(), &c) == 0 && o.st_dev == c.st_dev && o.st_ino == c.st_ino)
    throw std::runtime_error("unwrap directory " + out + " is the container " + container +
                             " itself — refusing to unwrap over it (rename the container so "
                             "its name does not end in .kabundle)");
  if (!S_ISDIR(o.st_mode))
    throw std::runtime_error("unwrap directory " + out + " exists and is not a directory" +
                             std::string(S_ISLNK(o.st_mode) ? " (a symbolic link)" : "") +
                             " — refusing to replace it");
}

// Writes every member of the container into `out`, which exists and is empty.
void materialiseAll(const std::string& container, const std::string& out) {
  File f(std::fopen(container.c_str(), "rb"));
  if (!f) throw std::runtime_error("cannot open container " + container);
  unsigned char h[8];
  if (std::fread(h, 1, 8, f.get()) != 8 || std::memcmp(h, "IMX\0", 4) != 0)
    throw std::runtime_error(container + ": not an IMX\\0 container");
  const unsigned version = le16(h + 4);
  if (version != 2)
    throw std::runtime_error(container + ": unsupported IMX container version " + std::to_string(version));

  const std::vector<TocEntry> toc = readToc(f.get(), container, le16(h + 6));
  // Every name is checked before anything is written, so a hostile container leaves
  // nothing of itself on disk.
  for (const TocEntry& e : toc)
    if (isUnsafeName(e.name))
      throw std::runtime_error(container + ": refusing unsafe member name '" + printableText(e.name) + "'");

  std::vector<char> buf(kCopyBuffer);
  for (const TocEntry& e : toc) {
    if (isSyntheticManifest(f.get(), e)) continue;
    materialise(f.get(), container, out, e, buf);
  }
}

}  // namespace

bool isImxV2File(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  unsigned char h[8];
  if (std::fread(h, 1, 8, f.get()) != 8) return false;
  return std::memcmp(h, "IMX\0", 4) == 0 && le16(h + 4) == 2;
}

std::string imxUnwrapDir(const std::string& container) {
  const char* env = std::getenv("KA_IMX_UNWRAP_ROOT");
  const std::string root = rstripSlash((env && *env) ? std::string(env) : dirName(container));
  std::string stem = baseName(container);
  if (stem.size() >= 4 && stem.compare(stem.size() - 4, 4, ".imx") == 0) stem.resize(stem.size() - 4);
  static constexpr char kSuffix[] = ".kabundle";
  if (stem.size() < sizeof kSuffix - 1 ||
      stem.compare(stem.size() - (sizeof kSuffix - 1), sizeof kSuffix - 1, kSuffix) != 0)
    stem += kSuffix;
  return (root == "/" ? std::string() : root) + "/" + stem;
}

std::string unwrapOnce(const std::string& container) {
  std::lock_guard<std::mutex> lock(g_unwrap_mtx);
  const std::string out = imxUnwrapDir(container);
  const std::string marker = out + kImxMarkerSuffix;
  const std::string expected = expectedMarker(container);

  std::string seen;
  if (isDirectory(out) && readSmallFile(marker, seen) && trimmed(seen) == expected) return out;

  refuseForeignOutput(container, out);
  std::remove(marker.c_str());
  rmTree(out);
  if (!mkdirs(out)) throw std::runtime_error("cannot create unwrap dir " + out);

  try {
    materialiseAll(container, out);
  } catch (...) {
    // The directory was made by this call; half a bundle is of no use to anyone.
    rmTree(out);
    throw;
  }

  File m(std::fopen(marker.c_str(), "wb"));
  if (!m) throw std::runtime_error("cannot write unwrap marker " + marker);
  if (std::fwrite(expected.data(), 1, expected.size(), m.get()) != expected.size() ||
      std::fflush(m.get()) != 0 || std::fclose(m.release()) != 0)
    throw std::runtime_error("short write on unwrap marker " + marker);

  KA_LOG_INFO("[ka] unwrapped %s -> %s\n", container.c_str(), out.c_str());
  return out;
}

}  // namespace ka
