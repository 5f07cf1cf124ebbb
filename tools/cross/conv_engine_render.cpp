// Renders one frame of a bundle's fused m4b director through the convolution engine and
// writes the picture as raw float32 (3 x 512 x 512, planar). tools/cross_compile_compute.sh
// --run builds it for the build host and for AArch64, runs the latter under emulation
// (where the processor has half-precision arithmetic) and compares the two pictures.
// Check-only; never part of the library.
//
//   conv_engine_render MODEL.onnx BUNDLE_DIR OUT.f32
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/conv_backend.h"

namespace {

std::vector<uint16_t> readHalves(const std::string& path, size_t count) {
  std::vector<uint16_t> v(count);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f || std::fread(v.data(), sizeof(uint16_t), count, f) != count) {
    if (f) std::fclose(f);
    throw std::runtime_error("cannot read " + std::to_string(count) + " halves from " + path);
  }
  std::fclose(f);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: conv_engine_render MODEL.onnx BUNDLE_DIR OUT.f32\n");
    return 2;
  }
  try {
    const std::string bundle = argv[2];
    // The bundle's first frame, with keypoints that move every row so that the warp
    // and the heatmaps are not trivial.
    const auto pooled = readHalves(bundle + "/pooled64.f16", 65536);
    const auto prior = readHalves(bundle + "/P.f16", 3 * 512 * 512);
    std::vector<float> xs(63), xd(63);
    for (int i = 0; i < 63; ++i) {
      xs[i] = 0.5f * std::sin(0.7f * static_cast<float>(i));
      xd[i] = xs[i] + 0.04f * std::cos(1.3f * static_cast<float>(i));
    }
    auto engine = ka::ConvBackend::create(argv[1], 2);
    std::vector<float> out(3 * 512 * 512);
    const uint16_t* p = pooled.data();
    const uint16_t* q = prior.data();
    engine->render(&p, &q, xs.data(), xd.data(), 1, out.data());
    std::FILE* f = std::fopen(argv[3], "wb");
    if (!f || std::fwrite(out.data(), sizeof(float), out.size(), f) != out.size()) {
      std::fprintf(stderr, "conv_engine_render: cannot write %s\n", argv[3]);
      return 1;
    }
    std::fclose(f);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "conv_engine_render: %s\n", e.what());
    return 1;
  }
  return 0;
}
