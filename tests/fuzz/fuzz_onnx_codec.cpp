// The ONNX codec and the load-time rewrites over arbitrary bytes, as a bundle's director
// model would arrive: malformed input is a std::runtime_error, never a wild read.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/graph_rewrites.h"
#include "render/onnx_codec.h"

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
  return 0;
}
