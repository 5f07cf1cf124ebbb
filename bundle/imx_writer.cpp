#include "bundle/imx_writer.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <vector>

#include "bundle/file_io.h"
#include "bundle/imx_unwrap.h"
#include "bundle/path_util.h"

namespace ka {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { if (f) std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct Member {
  std::string name;  // relative, "/"-separated
  std::string path;
  uint64_t size = 0;
};

bool isMarker(const std::string& name) {
  const std::string suffix = kImxMarkerSuffix;
  return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void collect(const std::string& root, const std::string& rel, const std::string& skip,
             std::vector<Member>& out) {
  const std::string here = rel.empty() ? root : root + "/" + rel;
  DIR* d = ::opendir(here.c_str());
  if (!d) throw std::runtime_error("cannot read directory " + here);
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    const std::string r = rel.empty() ? n : rel + "/" + n;
    const std::string p = root + "/" + r;
    // The container being written, and unwrap markers: a marker describes a container
    // on the machine that unwrapped it and means nothing inside another one.
    if (p == skip || isMarker(n)) continue;
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + p);
    if (S_ISDIR(st.st_mode)) {
      collect(root, r, skip, out);
    } else if (S_ISREG(st.st_mode)) {
      out.push_back({r, p, static_cast<uint64_t>(st.st_size)});
    }
  }
}

void put16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xff));
  s.push_back(static_cast<char>(v >> 8));
}
void put64(std::string& s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

}  // namespace

ImxPackStats packImx(const std::string& dir, const std::string& out) {
  if (!isDirectory(dir)) throw std::runtime_error("not a bundle directory: " + dir);
  if (!canOpenForRead(rstripSlash(dir) + "/manifest.json"))
    throw std::runtime_error("not a bundle directory: " + dir + " has no readable manifest.json");
  std::vector<Member> members;
  collect(rstripSlash(dir), "", out, members);
  if (members.size() > 0xffff)
    throw std::runtime_error(dir + " holds " + std::to_string(members.size()) +
                             " files; an IMX container carries at most 65535");

  uint64_t tocSize = 8;
  for (const Member& m : members) {
    if (m.name.size() > 0xffff) throw std::runtime_error("member name too long: " + m.name);
    tocSize += 2 + m.name.size() + 16;
  }
  std::string head;
  head.append("IMX\0", 4);
  put16(head, 2);
  put16(head, static_cast<uint16_t>(members.size()));
  uint64_t offset = tocSize;
  ImxPackStats stats;
  for (const Member& m : members) {
    put16(head, static_cast<uint16_t>(m.name.size()));
    head += m.name;
    put64(head, offset);
    put64(head, m.size);
    offset += m.size;
    stats.payloadBytes += m.size;
  }
  stats.members = members.size();

  const std::string part = out + ".part";
  File w(std::fopen(part.c_str(), "wb"));
  if (!w) throw std::runtime_error("cannot write " + part);
  auto fail = [&](const std::string& why) {
    w.reset();
    std::remove(part.c_str());
    throw std::runtime_error(why);
  };
  if (std::fwrite(head.data(), 1, head.size(), w.get()) != head.size()) fail("short write " + part);
  std::vector<char> buf(1u << 20);
  for (const Member& m : members) {
    File r(std::fopen(m.path.c_str(), "rb"));
    if (!r) fail("cannot open " + m.path);
    uint64_t left = m.size;
    while (left > 0) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
      const size_t got = std::fread(buf.data(), 1, want, r.get());
      if (got == 0) fail("short read " + m.path + " (did it change while packing?)");
      if (std::fwrite(buf.data(), 1, got, w.get()) != got) fail("short write " + part);
      left -= got;
    }
  }
  if (std::fflush(w.get()) != 0 || std::fclose(w.release()) != 0) {
    std::remove(part.c_str());
    throw std::runtime_error("short write " + part);
  }
  if (std::rename(part.c_str(), out.c_str()) != 0) {
    std::remove(part.c_str());
    throw std::runtime_error("cannot place " + out);
  }
  return stats;
}

}  // namespace ka
