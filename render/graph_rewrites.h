#pragma once
// Node-level rewrites applied to the director's serialised bytes before ONNX Runtime sees
// them. Each returns how many nodes it changed and replaces the bytes only when that
// number is non-zero; a model that does not match is left exactly as it was. Nodes are
// recognised by op_type, domain, name, arity and attribute values only, and a node in a
// domain other than "" or "ai.onnx" never matches. Malformed bytes throw the codec's
// errors.
#include <cstddef>

#include "render/onnx_codec.h"

namespace ka {

// True when some node is com.tavrin::GridSampleFast (the graph needs the custom domain).
bool graphHasBakedGridSampleFast(const GsBytes& model);

// GridSample (bilinear, border, align_corners 0) -> com.tavrin::GridSampleFast, adding the
// "com.tavrin" opset import when the model has none.
size_t rewriteGridSampleToFast(GsBytes& model);

// The student blend MatMul named "/s2/blend" -> Gemm with default attributes.
size_t normaliseStudentBlend(GsBytes& model);

// The one cubic x2 Resize feeding a Conv -> Pad(edge, 2) + depthwise 5x5 Conv +
// DepthToSpace(2, CRD), the same filter to fp32 round-off. Returns 1 or 0.
size_t rewriteHeadCubicResize(GsBytes& model);

}  // namespace ka

namespace ka {
// The GridSample nodes rewriteGridSampleToFast accepts (bilinear, border, align_corners 0).
bool gridSampleRewritable(GsSlice node);
}  // namespace ka
