#include "tools/ka/output_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace ka::cli {

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  // The process id keeps two runs writing the same output from sharing a temporary.
  temp_ = path_ + "." + std::to_string(::getpid()) + ".tmp";
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)), temp_(std::move(other.temp_)), done_(other.done_) {
  other.done_ = true;
}

OutputFile::~OutputFile() {
  if (!done_) std::remove(temp_.c_str());
}

void OutputFile::commit() {
  if (done_) return;
  if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    std::remove(temp_.c_str());
    done_ = true;
    throw std::runtime_error("cannot move " + temp_ + " to " + path_ + ": " + why);
  }
  done_ = true;
}

std::string OutputFiles::add(const std::string& path) {
  files_.emplace_back(path);
  return files_.back().temp();
}

void OutputFiles::commitAll() {
  for (OutputFile& f : files_) f.commit();
}

}  // namespace ka::cli
