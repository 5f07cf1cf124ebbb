#pragma once
// ka::Renderer turns a source-frame index of the identity plus two keypoint sets (the
// source keypoints xs and the driving keypoints xd, 21 x 3 floats each) into a rendered
// face crop: planar float RGB, 3 x crop x crop. It owns the bundle's rendering network
// (the director) for one model key, rewritten in memory at load time, with its inputs
// and output bound once to buffers it owns, so rendering allocates nothing.
//
// render() is called from one thread at a time.
#include <cstdint>
#include <memory>
#include <string>

#include "bundle/identity.h"
#include "bundle/manifest.h"

namespace ka {

class Renderer {
 public:
  // Loads Manifest::modelPath(modelKey). threads < 1 means ka::pool::threads(). ep is ""
  // (ONNX Runtime's CPU provider), "neon" (the library's convolution engine, where
  // available) or "coreml[:cpu|gpu|ane|all]"; anything else is refused. Throws
  // std::runtime_error on every refusal. The identity must outlive the renderer.
  Renderer(const Manifest& m, Identity& identity, const std::string& modelKey, int threads,
           const std::string& ep);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Renders n frames (1 <= n <= batch()): frame i from source frame si[i] with xs + 63*i
  // and xd + 63*i. Returns batch() crops of 3 x crop x crop floats in [0, 1], of which
  // the first n are meaningful (the rest repeat frame n-1); valid until the next call.
  // Throws "render: bad n".
  const float* render(const int* si, const float* xs, const float* xd, int n);

  int batch() const;
  int threads() const;  // intra-op threads it was built with
  const std::string& ep() const;
  const char* backend() const;  // "neon", "coreml" (native director) or "ort"
  const std::string& directorNote() const;

  // Which optional load-time stages took hold, and how often the hoisted source cone ran
  // (once per source frame it was asked for, prefetched or not).
  struct Stages {
    bool hoisted = false;
    bool warpNode = false;
    bool lipBound = false;
    int64_t prepRuns = 0;
  };
  Stages stages() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
