#pragma once
// ka::Manifest: a bundle's sizes and settings, read from manifest.json and checked
// before anything else of the bundle is touched.
#include <cstdint>
#include <string>

namespace ka {

// Sharpening applied to a rendered crop before it is pasted.
struct Unsharp {
  float amount = 1.3f;
  float sigma = 2.0f;
  int32_t ksize = 13;
};

struct Manifest {
  std::string dir;          // the resolved bundle directory
  std::string agent;
  int32_t NT = 0;           // driver frames
  int32_t H = 0;            // driver frame height
  int32_t W = 0;            // driver frame width
  int32_t MsrcW = 0;        // canvas the paste transforms were authored on
  int32_t MsrcH = 0;
  int32_t crop = 512;       // side of the square face crop
  Unsharp unsharp;
  int32_t frames = 0;       // drive (idle-loop) rows
  std::string lipTemplate;  // text of lip_template.v1.json, or "" when absent

  // Path of the rendering network for a model key ("b1", "b4_fp16", ...).
  std::string modelPath(const std::string& key) const;
};

// Resolves `path` (directory or container), reads and checks its manifest.json.
// Throws std::runtime_error with the refusal text; nothing is left behind on failure.
Manifest loadManifest(const std::string& path);

// Directory for compiled-model caches, keyed by the linked ONNX Runtime's version so a
// runtime upgrade never reuses stale compilations.
std::string coremlCacheDir(const std::string& dir);

}  // namespace ka
