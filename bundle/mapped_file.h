#pragma once
// A read-only, private memory mapping of a whole member file of an exact size.
#include <cstddef>
#include <string>

namespace ka {

class MappedFile {
 public:
  MappedFile() = default;
  // Maps `path`, which must hold exactly `expectedBytes` bytes: "cannot open <path>",
  // "size mismatch <path>", "mmap failed <path>". The descriptor is closed at once.
  MappedFile(const std::string& path, size_t expectedBytes);
  ~MappedFile();
  MappedFile(MappedFile&& o) noexcept;
  MappedFile& operator=(MappedFile&& o) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const unsigned char* data() const { return static_cast<const unsigned char*>(base_); }
  size_t size() const { return length_; }
  bool empty() const { return base_ == nullptr; }

 private:
  void* base_ = nullptr;
  size_t length_ = 0;
};

}  // namespace ka
