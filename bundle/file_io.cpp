#include "bundle/file_io.h"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>

namespace ka {
namespace {
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;
}  // namespace

std::string readFile(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) throw std::runtime_error("cannot open " + path);
  struct stat st {};
  if (fstat(fileno(f.get()), &st) != 0) throw std::runtime_error("cannot open " + path);
  std::string out(static_cast<size_t>(st.st_size), '\0');
  if (!out.empty() && std::fread(out.data(), 1, out.size(), f.get()) != out.size())
    throw std::runtime_error("short read " + path);
  return out;
}

std::string readText(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) throw std::runtime_error("cannot open " + path);
  std::string out;
  char buf[8192];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0) out.append(buf, got);
  return out;
}

bool canOpenForRead(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  return static_cast<bool>(f);
}

}  // namespace ka
