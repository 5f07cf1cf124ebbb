#include "audio/motion_members.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "audio/motion_pose.h"
#include "bundle/file_io.h"

namespace ka::audio {

namespace {

// Locates "key" and the number after its colon; false when the key is absent.
bool findNumber(const std::string& text, const std::string& key, double& out, bool& good) {
  const std::string quoted = "\"" + key + "\"";
  size_t pos = text.find(quoted);
  if (pos == std::string::npos) return false;
  pos += quoted.size();
  while (pos < text.size() && std::strchr(" \t\r\n", text[pos])) ++pos;
  good = false;
  if (pos >= text.size() || text[pos] != ':') return true;
  ++pos;
  const char* begin = text.c_str() + pos;
  char* end = nullptr;
  const double v = std::strtod(begin, &end);
  if (end == begin || !std::isfinite(v)) return true;
  // The number must end where a JSON value ends, so "12abc" or "1e" is not taken as 12.
  while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') ++end;
  if (*end != ',' && *end != '}') return true;
  out = v;
  good = true;
  return true;
}

double requiredNumber(const std::string& text, const char* key) {
  double v = 0;
  bool good = false;
  if (!findNumber(text, key, v, good)) throw std::runtime_error(std::string("meta.json: missing ") + key);
  if (!good) throw std::runtime_error(std::string("meta.json: bad ") + key);
  return v;
}

// A count: a whole number of at least 1 that fits an int.
int requiredCount(const std::string& text, const char* key) {
  const double v = requiredNumber(text, key);
  if (v < 1 || v > 1e9 || v != std::floor(v)) throw std::runtime_error(std::string("meta.json: bad ") + key);
  return static_cast<int>(v);
}

// A number the pose arithmetic takes as a float: one beyond the float range would enter
// it as an infinity.
float asFloat(double v, const char* key) {
  if (!(std::fabs(v) <= std::numeric_limits<float>::max()))
    throw std::runtime_error(std::string("meta.json: bad ") + key);
  return static_cast<float>(v);
}

}  // namespace

MotionMeta parseMotionMeta(const std::string& text) {
  MotionMeta m;
  m.nt = requiredCount(text, "nt");
  m.nSrc = requiredCount(text, "n_src");
  m.nEmo = requiredCount(text, "n_emo");
  m.sBridge = asFloat(requiredNumber(text, "s_bridge"), "s_bridge");
  double dp = 0;
  bool good = false;
  if (findNumber(text, "delta_pitch", dp, good)) {
    if (!good) throw std::runtime_error("meta.json: bad delta_pitch");
    m.deltaPitch = asFloat(dp, "delta_pitch");
  }
  if (m.nSrc != m.nt) throw std::runtime_error("ka_motion: n_src != nt unsupported");
  return m;
}

std::vector<float> readFloatsExact(const std::string& path, size_t count) {
  const std::string bytes = readFile(path);
  if (bytes.size() != count * sizeof(float))
    throw std::runtime_error(path + ": " + std::to_string(bytes.size() / sizeof(float)) + " floats (" +
                             std::to_string(bytes.size()) + " bytes), expected " + std::to_string(count) + " (" +
                             std::to_string(count * sizeof(float)) + " bytes)");
  std::vector<float> v(count);
  if (count) std::memcpy(v.data(), bytes.data(), bytes.size());
  return v;
}

MotionMembers loadMotionMembers(const std::string& dir) {
  MotionMembers m;
  m.dir = dir;
  m.meta = parseMotionMeta(readFile(m.path("meta.json")));
  const auto nt = static_cast<size_t>(m.meta.nt);
  m.window = readFloatsExact(m.path("hubert_stft_window.bin"), 512);
  m.binmat = readFloatsExact(m.path("hubert_stft_binmat.bin"), 257 * 80);
  m.fmean = readFloatsExact(m.path("hubert_fmean.bin"), 1024);
  m.fstd = readFloatsExact(m.path("hubert_fstd.bin"), 1024);
  m.emo = readFloatsExact(m.path("emo.bin"), static_cast<size_t>(m.meta.nEmo) * 8);
  m.refRecord = readFloatsExact(m.path("ch_xs_info.bin"), record::kFloats);
  m.sc = readFloatsExact(m.path("ch_sc.bin"), 63);
  m.eyeOpen = readFloatsExact(m.path("ch_eye_open.bin"), 2);
  m.eyeBall = readFloatsExact(m.path("ch_eye_ball.bin"), 6);
  m.vMinMax = readFloatsExact(m.path("v_min_max.bin"), 2 * 265);
  m.srcRecords = readFloatsExact(m.path("src_xs_info.bin"), static_cast<size_t>(m.meta.nSrc) * record::kFloats);
  m.xsTarget = readFloatsExact(m.path("xs_target.bin"), nt * 63);

  // A zero deviation or a zero first scale would turn every frame into infinities or
  // NaNs without a word; both are broken tables, so they are refused here.
  for (size_t i = 0; i < m.fstd.size(); ++i)
    if (!(std::fabs(m.fstd[i]) > 0) || !std::isfinite(m.fstd[i]))
      throw std::runtime_error(m.path("hubert_fstd.bin") + ": deviation " + std::to_string(i) + " is " +
                               std::to_string(m.fstd[i]) + "; every deviation must be finite and non-zero");
  const float firstScale = m.srcRecords[record::kScale];
  if (!(std::fabs(firstScale) > 0) || !std::isfinite(firstScale))
    throw std::runtime_error(m.path("src_xs_info.bin") + ": record 0 has scale " + std::to_string(firstScale) +
                             "; the expression scale divides by it");
  for (size_t i = 0; i < 265; ++i)
    if (m.vMinMax[i] > m.vMinMax[265 + i])
      throw std::runtime_error(m.path("v_min_max.bin") + ": value " + std::to_string(i) + " has minimum " +
                               std::to_string(m.vMinMax[i]) + " above its maximum " +
                               std::to_string(m.vMinMax[265 + i]));
  return m;
}

}  // namespace ka::audio
