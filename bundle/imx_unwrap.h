#pragma once
// IMX v2 containers: a bundle shipped as one file. A container is never read member by
// member; it is unwrapped once into a directory beside it (or under
// KA_IMX_UNWRAP_ROOT), and a marker written last records which container produced the
// directory, so an unchanged container is reused and a changed one unwrapped afresh.
#include <string>

namespace ka {

inline constexpr char kImxMarkerSuffix[] = ".imx_unwrapped";
inline constexpr char kImxMarkerTag[] = "imx-unwrapped.v2";

// True for a readable regular file (links followed) starting with "IMX\0" and version 2.
// Never throws.
bool isImxV2File(const std::string& path);

// The unwrap directory for a container path (not created).
std::string imxUnwrapDir(const std::string& containerPath);

// Materialises the container's members into its unwrap directory unless a current
// unwrap is already there, and returns the directory. Serialised process-wide.
// Throws std::runtime_error on every failure; a failed unwrap never leaves a directory
// that a later call would accept.
std::string unwrapOnce(const std::string& containerPath);

}  // namespace ka
