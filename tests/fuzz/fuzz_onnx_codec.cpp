// The ONNX codec, the load-time rewrites and the graph surgeries (source-cone hoist, warp
// block, lip binding) over arbitrary bytes, as a bundle's director model would arrive:
// malformed input is a std::runtime_error, never a wild read, a refused surgery leaves
// the model as it was, and a surgery on a graph whose every read has a source leaves no
// read without one.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "render/graph_rewrites.h"
#include "render/lip_binding.h"
#include "render/onnx_codec.h"
#include "render/source_cone.h"
#include "render/warp_block.h"

namespace {

// Walks a message and, to a small depth, every length-delimited field as a message too.
void walk(ka::GsSlice message, int depth) {
  ka::GsReader r(message);
  ka::GsField f;
  try {
    while (r.next(f))
      if (f.wire == 2 && depth < 4) walk(f.payload, depth + 1);
  } catch (const std::runtime_error&) {
  }
}

// Every value a node reads (its subgraphs' reads included) is a graph input, an
// initializer or made by an earlier node, and every graph output is made.
bool closed(const ka::GsBytes& model) {
  const ka::GsNodeTable t = ka::gsReadGraph(model);
  std::unordered_set<std::string> known(t.inputs.begin(), t.inputs.end());
  known.insert(t.inits.begin(), t.inits.end());
  for (const ka::GsNode& n : t.nodes) {
    bool ok = true;
    ka::gsEachRead(n, [&](const std::string& v) { ok = ok && (v.empty() || known.count(v)); });
    if (!ok) return false;
    known.insert(n.out.begin(), n.out.end());
  }
  for (const std::string& o : t.outputs)
    if (!known.count(o)) return false;
  return true;
}

// A surgery's result: well-formed bytes, and closed when its source was.
void checkRewritten(const ka::GsBytes& rewritten, bool sourceClosed) {
  walk(ka::gsSliceOf(rewritten), 0);
  if (sourceClosed && !closed(rewritten)) __builtin_trap();
}

template <class Fn>
void guarded(Fn&& fn) {
  try {
    fn();
  } catch (const std::runtime_error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ka::GsBytes model(data, data + size);
  walk(ka::gsSliceOf(model), 0);

  guarded([&] {
    const ka::GsSlice graph = ka::gsGraphOf(model);
    std::vector<int64_t> dims;
    std::vector<float> floats;
    std::vector<std::string> names;
    (void)ka::ldInputDims(graph, "P_rgb", dims);
    ka::GsReader r(graph);
    ka::GsField f;
    while (r.next(f)) {
      if (f.wire != 2) continue;
      guarded([&] {
        if (f.field == 1) {  // node
          ka::gsAllStr(f.payload, 1, names);
          (void)ka::gsFirstStr(f.payload, 4);
          (void)ka::hcConstValue(f.payload);
          (void)ka::hcReadAttrs(f.payload);
        } else if (f.field == 5) {  // initializer
          ka::hcTensorDims(f.payload, dims);
          (void)ka::hcTensorFloats(f.payload, floats);
          (void)ka::hcTensorType(f.payload);
          (void)ka::hcPayload(f.raw);
        } else if (f.field == 11 || f.field == 12 || f.field == 13) {  // inputs, outputs, value_info
          (void)ka::gsValueInfoDims(f.payload, dims);
        }
      });
    }
  });

  guarded([&] {
    ka::GsBytes out;
    ka::gsRebuild(model, ka::GsGraphEdit{}, out);
  });
  guarded([&] { (void)ka::graphHasBakedGridSampleFast(model); });
  using Rewrite = size_t (*)(ka::GsBytes&);
  for (Rewrite rewrite : {Rewrite(ka::rewriteGridSampleToFast), Rewrite(ka::normaliseStudentBlend),
                          Rewrite(ka::rewriteHeadCubicResize)}) {
    ka::GsBytes copy = model;
    guarded([&] {
      if (rewrite(copy)) walk(ka::gsSliceOf(copy), 0);
    });
  }

  bool sourceClosed = false;
  guarded([&] { sourceClosed = closed(model); });
  guarded([&] {
    std::string boundary, why;
    if (ka::findSourceConeBoundary(model, boundary) != 1) return;
    ka::GsBytes prep, frame;
    const int64_t dims[4] = {1, 12, 8, 8};
    if (ka::buildSourceConePrep(model, boundary, prep, why)) checkRewritten(prep, sourceClosed);
    if (ka::buildSourceConePerFrame(model, boundary, dims, 4, frame, why)) checkRewritten(frame, sourceClosed);
  });
  {
    ka::GsBytes copy = model;
    guarded([&] {
      std::string why;
      ka::WarpBlock block;
      (void)ka::findWarpBlock(copy, &block, why);
      if (ka::rewriteWarpBlockToCustomOp(copy, why)) checkRewritten(copy, sourceClosed);
      else if (copy != model) __builtin_trap();  // a refusal must leave the model alone
    });
  }
  {
    ka::GsBytes copy = model;
    guarded([&] {
      std::string why;
      int canvas = 0, batch = 0;
      if (ka::rewriteBindLipContour(copy, why, &canvas, &batch)) checkRewritten(copy, sourceClosed);
      else if (copy != model) __builtin_trap();
    });
  }
  return 0;
}
