#pragma once
// Path and directory helpers for bundle resolution and container unwrapping.
// Paths are plain "/"-separated strings; nothing here consults the current directory.
#include <string>

namespace ka {

// Removes trailing slashes, but never reduces the path below one character ("/" stays).
std::string rstripSlash(const std::string& path);

// The part after the last "/", trailing slashes ignored ("a/b/" -> "b").
std::string baseName(const std::string& path);

// "." without a "/", "/" when the only "/" is the first character, else the part
// before the last "/"; trailing slashes ignored.
std::string dirName(const std::string& path);

bool isDirectory(const std::string& path);     // follows links
bool pathExists(const std::string& path);      // does not follow a final link

// Creates every missing directory of the path with mode 0755. True when the path is a
// directory afterwards; "", "/" and "." count as done.
bool mkdirs(const std::string& path);

// Removes a file, or a directory with everything below it. Links are removed, never
// followed. Missing paths are fine. Returns false when something could not be removed.
bool rmTree(const std::string& path);

}  // namespace ka
