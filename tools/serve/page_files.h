#pragma once
// The page's static files: a request target becomes a file only inside the page
// folder. Plain names only (letters, digits, '.', '_', '-', '/'; no segment starting
// with a dot), and the resolved path, symbolic links followed, must still lie in the
// folder, so neither "..", encodings of it, nor a link pointing out can reach another
// file.
#include <optional>
#include <string>
#include <string_view>

namespace ka::serve {

struct PageFile {
  std::string path;         // the file to send
  const char* contentType;  // by its extension
};

// The file a GET of target names, or nothing (404). pageDir must be canonical.
std::optional<PageFile> resolvePageFile(const std::string& pageDir, std::string_view target);

// Reads a page file whole; nothing when it is unreadable or larger than maxBytes.
std::optional<std::string> readPageFile(const std::string& path, size_t maxBytes);

}  // namespace ka::serve
