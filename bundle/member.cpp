#include "bundle/member.h"

#include <cstring>

#include "bundle/file_io.h"

namespace ka {
namespace {
struct Rename {
  const char* legacy;
  const char* canonical;
};
constexpr Rename kFixed[] = {
    {"P.f16", "source_frames.f16"},
    {"P_hevc.mov", "source_frames.hevc"},
    {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
    {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
    {"M.f32", "paste_transform.f32"},
    {"mask_512.u8", "paste_mask.u8"},
    {"pooled64.f16", "pooled_features.f16"},
    {"fs_red.f16", "feature_synth.f16"},
    {"xs_target.bin", "target_keypoints.bin"},
};

bool startsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }
bool endsWith(const std::string& s, const char* p) {
  const size_t n = std::strlen(p);
  return s.size() >= n && s.compare(s.size() - n, n, p) == 0;
}
}  // namespace

std::string canonicalMemberName(const std::string& name) {
  for (const Rename& r : kFixed)
    if (name == r.legacy) return r.canonical;

  static constexpr char kModelHead[] = "model_b";
  static constexpr char kModelTail[] = ".onnx";
  if (name.size() > std::strlen(kModelHead) + std::strlen(kModelTail) &&
      startsWith(name, kModelHead) && endsWith(name, kModelTail)) {
    const std::string middle = name.substr(std::strlen(kModelHead),
                                           name.size() - std::strlen(kModelHead) - std::strlen(kModelTail));
    const size_t us = middle.find('_');
    const std::string head = middle.substr(0, us);
    const std::string tail = us == std::string::npos ? std::string() : middle.substr(us + 1);
    return "render_model.batch" + head + (tail.empty() ? "" : "." + tail) + ".onnx";
  }

  if (startsWith(name, "drive/")) {
    const std::string rest = name.substr(6);
    const size_t dot = rest.find('.');
    std::string stem = rest.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : rest.substr(dot);
    if (stem == "xs") stem = "source_keypoints";
    else if (stem == "xd") stem = "driven_keypoints";
    else if (stem == "si") stem = "source_index";
    return "idle_loop/" + stem + ext;
  }
  return name;
}

std::string resolveMember(const std::string& dir, const std::string& name) {
  const std::string canonical = canonicalMemberName(name);
  const std::string legacyPath = dir + "/" + name;
  if (canonical == name) return legacyPath;
  if (canOpenForRead(legacyPath)) return legacyPath;
  const std::string canonicalPath = dir + "/" + canonical;
  if (canOpenForRead(canonicalPath)) return canonicalPath;
  return legacyPath;
}

}  // namespace ka
