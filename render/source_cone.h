#pragma once
// Cutting a director in two around its source cone: the part of the graph that depends
// only on the warp prior P_rgb (which changes with the source frame, not with the
// keypoints) and ends in one Concat, the boundary. The prep graph computes the boundary
// from P_rgb alone; the per-frame graph takes the boundary as an input in place of
// P_rgb, so the cone runs once per source frame instead of once per rendered frame.
//
// Every function reads the serialised model through the codec (onnx_codec.h); malformed
// bytes throw its errors. Refusals return false (or 0) with a reason and change nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "render/onnx_codec.h"

namespace ka {

// One graph node as the surgeries see it: its bytes and its wiring.
struct GsNode {
  GsSlice raw;  // the NodeProto payload
  std::string op, name, domain;
  std::vector<std::string> in, out;
  // Names the node's subgraphs (If branches, Loop and Scan bodies, nested to any depth)
  // read from this graph: inputs the node has without listing them.
  std::vector<std::string> sub;
};

// Calls fn(name) for every value the node reads: its inputs, then its subgraphs' reads.
template <class Fn>
void gsEachRead(const GsNode& n, Fn&& fn) {
  for (const std::string& v : n.in) fn(v);
  for (const std::string& v : n.sub) fn(v);
}

// Nodes in file order, initializer names, graph input and output names.
struct GsNodeTable {
  std::vector<GsNode> nodes;
  std::unordered_set<std::string> inits, inputs;
  std::vector<std::string> outputs;
  bool hasGraph = false;
};

// The table of the model's first graph; the slices point into `model`. Subgraphs nested
// deeper than 32 levels throw "onnx: subgraphs nested too deep".
GsNodeTable gsReadGraph(const GsBytes& model);

// The number of Concat nodes reading "P_rgb"; when it is exactly one, `name` receives that
// Concat's first output (the boundary), otherwise it is cleared.
size_t findSourceConeBoundary(const GsBytes& model, std::string& name);

// Marks (mask[i] = 1) the nodes computing `boundary` from P_rgb, initializers and
// Constant nodes only; Constants stay outside the cone. Refuses when the cone reads
// another graph input, when P_rgb or a cone value other than the boundary is read by a
// node outside the cone (inside its subgraphs too), or when a cone value is a graph output.
bool gsSourceCone(const GsNodeTable& table, const std::string& boundary, std::vector<uint8_t>& mask,
                  std::string& reason);

// The prep graph: the cone and the Constants it reads, input P_rgb only, the boundary as
// its only output with four dynamic dimensions (ONNX Runtime infers them). Both graphs
// shed the Constants and initializers that nothing in them reads.
bool buildSourceConePrep(const GsBytes& model, const std::string& boundary, GsBytes& prep, std::string& reason);

// The per-frame graph: the cone removed, P_rgb replaced by the input `boundary` of the
// given static dimensions, all outputs kept.
bool buildSourceConePerFrame(const GsBytes& model, const std::string& boundary, const int64_t* dims,
                             size_t dimCount, GsBytes& perFrame, std::string& reason);

// Guesses the source frame the renderer will ask for next, from the walk so far: the
// driver index moves by +1 or -1 a frame, back and forth (reflecting at the ends) until
// it is once seen wrapping from the last frame to 0, cyclically after that.
class SourceWalkPredictor {
 public:
  // s: this call's source index; frames: the identity's number of source frames.
  int next(int s, int frames);

 private:
  int prev_ = -1;
  int direction_ = 1;
  bool wrapped_ = false;
};

}  // namespace ka
