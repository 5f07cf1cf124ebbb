#include "bundle/mapped_file.h"

#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace ka {

MappedFile::MappedFile(const std::string& path, size_t expectedBytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || static_cast<unsigned long long>(st.st_size) != expectedBytes) {
    ::close(fd);
    throw std::runtime_error("size mismatch " + path);
  }
  if (expectedBytes == 0) {  // nothing to map; an empty member of an empty bundle
    ::close(fd);
    return;
  }
  void* p = ::mmap(nullptr, expectedBytes, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (p == MAP_FAILED) throw std::runtime_error("mmap failed " + path);
  base_ = p;
  length_ = expectedBytes;
}

MappedFile::~MappedFile() {
  if (base_) ::munmap(base_, length_);
}

MappedFile::MappedFile(MappedFile&& o) noexcept
    : base_(std::exchange(o.base_, nullptr)), length_(std::exchange(o.length_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
  if (this != &o) {
    if (base_) ::munmap(base_, length_);
    base_ = std::exchange(o.base_, nullptr);
    length_ = std::exchange(o.length_, 0);
  }
  return *this;
}

}  // namespace ka
