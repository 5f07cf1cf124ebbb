#include "telemetry/device_info.h"

#include <sys/utsname.h>

#include <fstream>
#include <mutex>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}
#include <onnxruntime_c_api.h>

#include "compute/simd.h"
#include "ka/ka.h"
#include "telemetry/json_text.h"

namespace ka::telemetry {
namespace {

// x86 names its model on "model name"; AArch64 kernels give only the implementer and
// part numbers, which still tell two cores apart.
std::string cpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line, implementer, part;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
    const std::string value = line.substr(std::min(line.size(), colon + 2));
    if (key == "model name" || key == "Model") return value;
    if (key == "CPU implementer" && implementer.empty()) implementer = value;
    if (key == "CPU part" && part.empty()) part = value;
  }
  if (!implementer.empty()) return "implementer " + implementer + " part " + part;
  return "unknown";
}

void member(std::string& out, const char* key, const std::string& value) {
  out += ',';
  appendJsonString(out, key, std::char_traits<char>::length(key));
  out += ':';
  appendJsonString(out, value.data(), value.size());
}

std::string avVersion(unsigned v) {
  return std::to_string(AV_VERSION_MAJOR(v)) + "." + std::to_string(AV_VERSION_MINOR(v)) + "." +
         std::to_string(AV_VERSION_MICRO(v));
}

}  // namespace

const std::string& deviceJson() {
  static std::once_flag once;
  static std::string json;
  std::call_once(once, [] {
    utsname u{};
    const bool haveUname = uname(&u) == 0;
    std::string out = "{\"library\":";
    appendJsonString(out, KA_VERSION, sizeof(KA_VERSION) - 1);
    member(out, "cpu_model", cpuModel());
    member(out, "arch", haveUname ? u.machine : "unknown");
    out += ",\"cores\":" + std::to_string(std::thread::hardware_concurrency());
    member(out, "vector_target", ka::simd::target());
    member(out, "onnxruntime", OrtGetApiBase()->GetVersionString());
    member(out, "ffmpeg", av_version_info());
    member(out, "libavcodec", avVersion(avcodec_version()));
    member(out, "os", haveUname ? std::string(u.sysname) + " " + u.release : "unknown");
    out += '}';
    json = std::move(out);
  });
  return json;
}

}  // namespace ka::telemetry
