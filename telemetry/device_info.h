#pragma once
#include <string>

namespace ka::telemetry {

// The machine and the libraries in use, as a JSON object: the library's version, the
// processor model and architecture, its cores, the vector target chosen at run time,
// the ONNX Runtime and FFmpeg versions and the operating system. Built once per process.
const std::string& deviceJson();

}  // namespace ka::telemetry
