#pragma once
// One convolution of the engine, packed once at load into the half-precision layout its
// kernels read.
//
// Output channels are cut into blocks of 32; a last block of fewer is rounded up to a
// multiple of 8. Within block b (width bw, first channel c0) the weights are laid out
// [ky][kx][input channel (stored count)][bw], so a kernel reads one tap's weights for
// the whole block as consecutive vectors. Padded input and output channels carry zero
// weights and a zero bias, so padded output channels come out as exact zeros.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ka {

struct ConvLayer {
  std::string name;
  int h = 0, w = 0;       // grid the layer runs on
  int cin = 0;            // input channels of the graph
  int cinStored = 0;      // cin rounded up to 8
  int cout = 0;           // output channels of the graph
  int coutPadded = 0;     // blocks of 32, the remainder rounded up to 8
  int k = 1;
  bool relu = false;
  bool wide = false;      // 64 or more input channels
  std::vector<uint16_t> weight;  // coutPadded x cinStored x k x k halves, packed as above
  std::vector<float> bias;       // coutPadded floats
  // k == 3: the weights above transformed for simd::winogradBand, which the engine runs
  // in place of the direct row; empty otherwise.
  std::vector<float> winograd;

  int blocks() const { return (coutPadded + 31) / 32; }
  int blockWidth(int b) const { return coutPadded - 32 * b < 32 ? coutPadded - 32 * b : 32; }
  const uint16_t* blockWeights(int b) const {
    return weight.data() + static_cast<size_t>(32) * b * cinStored * k * k;
  }
};

// weight holds cout x cin x k x k floats (the graph's OIHW order), bias cout floats.
// Throws "ka_conv: layer <name> needs <n> weights / <m> bias but the graph supplies
// <a> / <b> — refusing to pack (graph is not the m4b this kernel implements)" when
// either array is shorter.
ConvLayer packConv(const std::string& name, int h, int w, int cin, int cout, int k, bool relu, const float* weight,
                   size_t weightCount, const float* bias, size_t biasCount);

}  // namespace ka
