#pragma once
// Reads a headerless little-endian member holding exactly `count` elements of T.
#include <sys/stat.h>

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace ka {

template <typename T>
std::vector<T> readRaw(const std::string& path, size_t count) {
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> f(std::fopen(path.c_str(), "rb"));
  if (!f) throw std::runtime_error("cannot open " + path);
  // The count comes from the manifest: a hostile one must be refused by the file's
  // size before it becomes an allocation. What has no size (a pipe) is read in slices
  // so the allocation follows the bytes that actually arrive.
  struct stat st {};
  const bool sized = ::fstat(::fileno(f.get()), &st) == 0 && S_ISREG(st.st_mode);
  if (sized && (count > SIZE_MAX / sizeof(T) || static_cast<uint64_t>(st.st_size) != count * sizeof(T)))
    throw std::runtime_error("size mismatch " + path);
  std::vector<T> out;
  constexpr size_t kSlice = (size_t{1} << 20) / sizeof(T);
  while (out.size() < count) {
    const size_t have = out.size(), want = sized ? count - have : std::min(count - have, kSlice);
    out.resize(have + want);
    if (std::fread(out.data() + have, sizeof(T), want, f.get()) != want)
      throw std::runtime_error("size mismatch " + path);
  }
  char extra;
  if (std::fread(&extra, 1, 1, f.get()) != 0) throw std::runtime_error("size mismatch " + path);
  return out;
}

}  // namespace ka
