#include "bundle/path_util.h"

#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ka {

std::string rstripSlash(const std::string& path) {
  size_t n = path.size();
  while (n > 1 && path[n - 1] == '/') --n;
  return path.substr(0, n);
}

std::string baseName(const std::string& path) {
  const std::string p = rstripSlash(path);
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) return p;
  if (p.size() == 1) return p;  // "/"
  return p.substr(slash + 1);
}

std::string dirName(const std::string& path) {
  const std::string p = rstripSlash(path);
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool pathExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

bool mkdirs(const std::string& path) {
  if (path.empty() || path == "/" || path == ".") return true;
  const std::string p = rstripSlash(path);
  if (isDirectory(p)) return true;
  const std::string parent = dirName(p);
  if (parent != p && !mkdirs(parent)) return false;
  if (::mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) return false;
  return isDirectory(p);
}

bool rmTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0;
  bool ok = true;
  if (DIR* d = ::opendir(path.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      ok = rmTree(path + "/" + name) && ok;
    }
    ::closedir(d);
  } else {
    ok = false;
  }
  return ::rmdir(path.c_str()) == 0 && ok;
}

}  // namespace ka
