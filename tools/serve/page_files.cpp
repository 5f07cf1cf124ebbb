#include "tools/serve/page_files.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace ka::serve {
namespace fs = std::filesystem;
namespace {
const char* typeOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  const std::string_view ext = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  if (ext == "html") return "text/html; charset=utf-8";
  if (ext == "js" || ext == "mjs") return "text/javascript; charset=utf-8";
  if (ext == "css") return "text/css; charset=utf-8";
  if (ext == "json") return "application/json";
  if (ext == "png") return "image/png";
  if (ext == "svg") return "image/svg+xml";
  if (ext == "ico") return "image/x-icon";
  if (ext == "wav") return "audio/wav";
  if (ext == "txt" || ext == "md") return "text/plain; charset=utf-8";
  return "application/octet-stream";
}
}  // namespace

std::optional<PageFile> resolvePageFile(const std::string& pageDir, std::string_view target) {
  const size_t q = target.find_first_of("?#");
  std::string_view path = target.substr(0, q);
  if (path.empty() || path[0] != '/' || path.size() > 200) return std::nullopt;
  path.remove_prefix(1);
  std::string rel = path.empty() || path.back() == '/' ? std::string(path) + "index.html" : std::string(path);
  bool segmentStart = true;
  for (const char c : rel) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '_' || c == '-' || c == '/';
    if (!plain || (segmentStart && (c == '.' || c == '/'))) return std::nullopt;
    segmentStart = c == '/';
  }
  std::error_code ec;
  const fs::path real = fs::canonical(fs::path(pageDir) / rel, ec);
  if (ec) return std::nullopt;
  const std::string s = real.string();
  if (s.size() <= pageDir.size() || s.compare(0, pageDir.size(), pageDir) != 0 || s[pageDir.size()] != '/')
    return std::nullopt;
  if (!fs::is_regular_file(real, ec)) return std::nullopt;
  return PageFile{s, typeOf(rel)};
}

std::optional<std::string> readPageFile(const std::string& path, size_t maxBytes) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec || size > maxBytes) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string body(static_cast<size_t>(size), '\0');
  in.read(body.data(), static_cast<std::streamsize>(body.size()));
  if (static_cast<size_t>(in.gcount()) != body.size()) return std::nullopt;
  return body;
}

}  // namespace ka::serve
