#pragma once
#include <string>

namespace ka {

// The bundle directory to use for a host-supplied path: a directory is used as it is
// (unless it is an unwrap directory, whose container is checked for currency), a
// container, or a path with a container beside it ("x" for "x.imx"), is unwrapped
// (or its current unwrap reused) and its unwrap directory returned. Anything else is
// returned unchanged so the caller's open reports it. Throws on unwrap failures.
std::string resolveBundlePath(const std::string& path);

}  // namespace ka
