#pragma once
// Replacing the director's whole warp block with one com.tavrin::WarpDirector node: the
// source cone that turns P_rgb into the boundary (source_cone.h), the GridSample that
// samples the boundary with the grid, and the Slice/Mul/Sub/Add recombination of the
// sampled channels. The node reads P_rgb and the grid and writes the recombination's one
// exit tensor. Refusals leave the model unchanged, return 0 and give a reason.
#include <cstddef>
#include <string>

#include "render/onnx_codec.h"

namespace ka {

struct WarpBlock {
  std::string boundary;  // the cone's Concat output, the GridSample's first input
  std::string grid;      // the GridSample's second input
  std::string exit;      // the recombination's single tensor read beyond it
  size_t nodes = 0;      // GridSample plus recombination
};

// The number of block nodes, 0 on refusal.
size_t findWarpBlock(const GsBytes& model, WarpBlock* out, std::string& reason);

// The number of nodes removed (cone, block and what only they fed), 0 on refusal: among
// others when a value it would remove (the sampled tensor, the boundary) is still read
// by a node that stays or is a graph output.
size_t rewriteWarpBlockToCustomOp(GsBytes& model, std::string& reason);

}  // namespace ka
