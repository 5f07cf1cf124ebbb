#pragma once
// Reads a headerless little-endian member holding exactly `count` elements of T.
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
  std::vector<T> out(count);
  if (std::fread(out.data(), sizeof(T), count, f.get()) != count) throw std::runtime_error("size mismatch " + path);
  char extra;
  if (std::fread(&extra, 1, 1, f.get()) != 0) throw std::runtime_error("size mismatch " + path);
  return out;
}

}  // namespace ka
