// Packing of one convolution into the engine's half-precision layout.
#include "render/conv_backend_pack.h"

#include <stdexcept>

#include "compute/simd.h"
#include "compute/simd_winograd.h"

namespace ka {

ConvLayer packConv(const std::string& name, int h, int w, int cin, int cout, int k, bool relu, const float* weight,
                   size_t weightCount, const float* bias, size_t biasCount) {
  if (cin < 1 || cout < 1 || k < 1)
    throw std::runtime_error("ka_conv: layer " + name + " has no channels — refusing to pack");
  const size_t kk = static_cast<size_t>(k) * k;
  const size_t needW = static_cast<size_t>(cout) * cin * kk;
  if (weightCount < needW || biasCount < static_cast<size_t>(cout))
    throw std::runtime_error("ka_conv: layer " + name + " needs " + std::to_string(needW) + " weights / " +
                             std::to_string(cout) + " bias but the graph supplies " + std::to_string(weightCount) +
                             " / " + std::to_string(biasCount) +
                             " — refusing to pack (graph is not the m4b this kernel implements)");
  ConvLayer L;
  L.name = name;
  L.h = h;
  L.w = w;
  L.cin = cin;
  L.cinStored = (cin + 7) / 8 * 8;
  L.cout = cout;
  L.coutPadded = cout / 32 * 32 + (cout % 32 + 7) / 8 * 8;
  L.k = k;
  L.relu = relu;
  L.wide = cin >= 64;
  L.weight.assign(static_cast<size_t>(L.coutPadded) * L.cinStored * kk, 0);
  L.bias.assign(static_cast<size_t>(L.coutPadded), 0.0f);
  for (int o = 0; o < cout; ++o) {
    const int b = o / 32, bw = L.blockWidth(b), j = o % 32;
    uint16_t* block = L.weight.data() + static_cast<size_t>(32) * b * L.cinStored * kk;
    for (int i = 0; i < cin; ++i)
      for (size_t t = 0; t < kk; ++t)
        block[(t * L.cinStored + static_cast<size_t>(i)) * bw + j] =
            f32ToF16(weight[(static_cast<size_t>(o) * cin + i) * kk + t]);
    L.bias[static_cast<size_t>(o)] = bias[o];
  }
  if (k == 3) {
    L.winograd.resize(simd::winogradWeightCount(L.cinStored, L.coutPadded));
    simd::winogradPackWeights(L.weight.data(), L.cinStored, L.coutPadded, L.winograd.data());
  }
  return L;
}

}  // namespace ka
