#pragma once
// Whole-file readers shared by the bundle loaders. Both throw std::runtime_error with
// the path in the message.
#include <string>

namespace ka {

// Reads the whole file, sized by a stat of the open file: "cannot open <path>",
// "short read <path>".
std::string readFile(const std::string& path);

// Reads until end of file in 8192-byte pieces; works for pipes and files whose size
// is not known up front: "cannot open <path>".
std::string readText(const std::string& path);

// True when the path can be opened for reading.
bool canOpenForRead(const std::string& path);

}  // namespace ka
