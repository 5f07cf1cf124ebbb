#pragma once
// Files a command writes appear under their names only once the whole command has
// succeeded: each is written under a temporary name beside it and renamed into place by
// commit(). A run that fails part way — an exception, an early return with an error —
// leaves no output file, not even a playable-looking one, and keeps an earlier file of
// the same name as it was.
#include <string>
#include <vector>

namespace ka::cli {

class OutputFile {
 public:
  explicit OutputFile(std::string path);
  ~OutputFile();  // removes the temporary unless committed
  OutputFile(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  OutputFile& operator=(OutputFile&&) = delete;

  // Where the command writes: in the same directory, so the rename never crosses file
  // systems.
  const std::string& temp() const { return temp_; }
  const std::string& path() const { return path_; }
  // Renames the temporary into place; throws std::runtime_error naming both on failure.
  void commit();

 private:
  std::string path_, temp_;
  bool done_ = false;
};

// Several outputs committed together, once the command knows it succeeded.
class OutputFiles {
 public:
  // The temporary name to write `path` under.
  std::string add(const std::string& path);
  void commitAll();

 private:
  std::vector<OutputFile> files_;
};

}  // namespace ka::cli
