// ka onnx info MODEL
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "bundle/file_io.h"
#include "render/graph_rewrites.h"
#include "render/onnx_codec.h"
#include "tools/ka/commands.h"

namespace ka::cli {
namespace {
const char kUsage[] =
    "usage: ka onnx info MODEL\n"
    "\n"
    "  info  print the model's inputs and outputs and which load-time rewrites apply\n";

std::string dimsText(bool shaped, const std::vector<int64_t>& dims) {
  if (!shaped) return "(no shape)";
  std::string s = "[";
  for (size_t i = 0; i < dims.size(); ++i) {
    if (i) s += ", ";
    s += dims[i] < 0 ? "?" : std::to_string(dims[i]);
  }
  return s + "]";
}

template <class Rewrite>
size_t wouldRewrite(const GsBytes& model, Rewrite rewrite) {
  GsBytes copy = model;
  return rewrite(copy);
}

int info(const std::string& path) {
  const std::string text = readText(path);
  const GsBytes model(text.begin(), text.end());
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) return failAt(path, "holds no ONNX graph");
  size_t nodes = 0, inits = 0;
  std::vector<std::string> initNames;
  std::vector<GsSlice> ins, outs;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.field == 1) ++nodes;
    else if (f.field == 5) {
      ++inits;
      initNames.push_back(gsFirstStr(f.payload, 8));
    } else if (f.field == 11) ins.push_back(f.payload);
    else if (f.field == 12) outs.push_back(f.payload);
  }
  std::printf("model: %s (%zu bytes, %zu nodes, %zu initializers)\n", path.c_str(), model.size(), nodes, inits);
  std::vector<int64_t> dims;
  for (const auto* list : {&ins, &outs}) {
    std::printf("%s:\n", list == &ins ? "inputs" : "outputs");
    for (const GsSlice& vi : *list) {
      const std::string name = gsFirstStr(vi, 1);
      // Older exports list initializers among the inputs; they are not fed by a caller.
      bool isInit = false;
      for (const auto& n : initNames) isInit = isInit || n == name;
      if (isInit) continue;
      const bool shaped = gsValueInfoDims(vi, dims);
      std::printf("  %s %s\n", name.c_str(), dimsText(shaped, dims).c_str());
    }
  }
  std::printf("rewrites:\n");
  std::printf("  GridSample -> com.tavrin::GridSampleFast: %zu node(s)\n", wouldRewrite(model, rewriteGridSampleToFast));
  std::printf("  student blend MatMul -> Gemm: %zu node(s)\n", wouldRewrite(model, normaliseStudentBlend));
  std::printf("  head cubic x2 Resize -> Pad+Conv+DepthToSpace: %zu node(s)\n",
              wouldRewrite(model, rewriteHeadCubicResize));
  std::printf("  com.tavrin::GridSampleFast baked in: %s\n", graphHasBakedGridSampleFast(model) ? "yes" : "no");
  return 0;
}
}  // namespace

int onnxCommand(const Args& a) {
  if (wantsHelp(a)) return usage(kUsage, true);
  try {
    if (a.size() == 2 && a[0] == "info") return info(a[1]);
  } catch (const std::exception& e) {
    return failAt(a[1], e.what());
  }
  return usage(kUsage, false);
}

}  // namespace ka::cli
