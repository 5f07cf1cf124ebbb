#pragma once
// A protocol-buffer codec over serialised ONNX models, just wide enough for the load-time
// rewrites and the convolution engine's loader.
//
// Nothing is decoded into an object tree: readers hand out views (GsSlice) into the
// caller's buffer, and writers append encoded fields to a byte vector. Fields the codec
// does not understand are carried through as their raw bytes, so a rewritten model
// differs from its source only where a rewrite changed it.
//
// Malformed input throws std::runtime_error with exactly one of "onnx: bad varint",
// "onnx: truncated" or "onnx: bad wire type". Lookups that find nothing return empty
// results; the caller decides whether that matters.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ka {

using GsBytes = std::vector<uint8_t>;

// A view of bytes inside a buffer that outlives it.
struct GsSlice {
  const uint8_t* p = nullptr;
  size_t n = 0;

  bool empty() const { return n == 0; }
  std::string str() const { return n ? std::string(reinterpret_cast<const char*>(p), n) : std::string(); }
  bool equals(const char* text) const;
};

inline GsSlice gsSliceOf(const GsBytes& bytes) { return GsSlice{bytes.data(), bytes.size()}; }

struct GsField {
  uint32_t field = 0;
  int wire = 0;
  uint64_t varint = 0;  // wire type 0; the fixed32/fixed64 bits for wire types 5 and 1
  GsSlice payload;      // wire type 2
  GsSlice raw;          // tag through end of payload
};

// Cursor over one message's fields.
class GsReader {
 public:
  explicit GsReader(GsSlice message) : cur_(message.p), end_(message.p + message.n) {}
  // Decodes the next field into f; false at the end of the message.
  bool next(GsField& f);

 private:
  const uint8_t* cur_;
  const uint8_t* end_;
};

// The convolution engine's loader reads with the same rules under its own names.
using PbReader = GsReader;
using PbField = GsField;

// One graph rebuild (see gsRebuild).
struct GsGraphEdit {
  const uint8_t* dropNode = nullptr;  // one byte per node in file order; non-zero drops it
  size_t dropNodeCount = 0;
  bool dropPrgbInput = false;         // drop the graph input named "P_rgb"
  bool keepOnlyPrgbInput = false;     // keep only the graph input named "P_rgb"
  bool dropOutputs = false;           // drop every graph output
  const char* newName = nullptr;      // tensor to declare (null: none)
  const int64_t* newDims = nullptr;
  size_t newDimCount = 0;
  uint32_t newField = 0;              // 11 input, 12 output, 0 declare nothing
};

// Resize attributes the head-cubic rewrite checks.
struct HcResizeAttrs {
  std::string mode;
  std::string coordMode;   // coordinate_transformation_mode
  bool hasKeepAspect = false;
  std::string keepAspect;  // keep_aspect_ratio_policy
  bool hasAxes = false;
  int64_t excludeOutside = 0;
  int64_t antialias = 0;
  bool hasCubicA = false;
  float cubicA = -0.75f;
};

// ---- reading ----
GsSlice gsGraphOf(GsSlice model);
inline GsSlice gsGraphOf(const GsBytes& model) { return gsGraphOf(gsSliceOf(model)); }
std::string gsFirstStr(GsSlice message, uint32_t field);
void gsAllStr(GsSlice message, uint32_t field, std::vector<std::string>& out);

GsSlice hcPayload(GsSlice rawField);
void hcTensorDims(GsSlice tensor, std::vector<int64_t>& out);
bool hcTensorFloats(GsSlice tensor, std::vector<float>& out);
// TensorProto data_type (0 when absent).
int64_t hcTensorType(GsSlice tensor);
GsSlice hcConstValue(GsSlice node);
HcResizeAttrs hcReadAttrs(GsSlice node);

// Declared dimensions of the graph input `name`; a dim_param (or an unset dimension)
// reads as -1. False when the graph has no input of that name or it carries no shape.
bool ldInputDims(GsSlice graph, const std::string& name, std::vector<int64_t>& dims);
// The same reading for one ValueInfoProto (a graph input, output or value_info).
bool gsValueInfoDims(GsSlice valueInfo, std::vector<int64_t>& dims);

// ---- writing (all append to out) ----
void gsPutVarint(GsBytes& out, uint64_t value);
void gsPutBytes(GsBytes& out, uint32_t field, const void* bytes, size_t length);
void gsPutRaw(GsBytes& out, GsSlice rawField);
void gsPutTag(GsBytes& out, uint32_t field, int wire);

void hcAttrI(GsBytes& out, const char* name, int64_t value);
void hcAttrIs(GsBytes& out, const char* name, const int64_t* values, size_t count);
void hcAttrS(GsBytes& out, const char* value);
void hcNode(GsBytes& out, const char* opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const GsBytes& attributes);
void hcInit(GsBytes& out, const std::string& name, int32_t dataType, const std::vector<int64_t>& dims,
            const void* raw, size_t length);
void gsPutTensorValueInfo(GsBytes& out, uint32_t field, const char* name, const int64_t* dims, size_t count);

// ---- graph walks and rebuilds ----

// A GraphProto node is a length-delimited field 1. A field 1 of another wire type is an
// unknown field to a protocol-buffer reader (ONNX Runtime and onnx.checker skip it): it is
// carried along and never counted as a node.
inline bool gsIsNode(const GsField& f) { return f.field == 1 && f.wire == 2; }

constexpr size_t kGsNotNode = static_cast<size_t>(-1);

// Calls fn(field, node) for every field of a GraphProto in order, with the node's position
// in file order for a node and kGsNotNode for anything else. The node table and every
// rebuild count through here, so a position names the same node in all of them.
template <class Fn>
void gsEachGraphField(GsSlice graph, Fn&& fn) {
  GsReader r(graph);
  GsField f;
  size_t node = 0;
  while (r.next(f)) fn(static_cast<const GsField&>(f), gsIsNode(f) ? node++ : kGsNotNode);
}

// The model with its first graph (the one gsGraphOf reads) replaced by what
// graphFn(graph payload, out) writes; every other field, a later graph field included, is
// copied at its place. tailFn(out) may then append fields at the end of the model. `extra`
// is what the rewrite expects to add, for the reservation.
template <class GraphFn, class TailFn>
GsBytes gsRebuildFirstGraph(const GsBytes& model, size_t extra, GraphFn&& graphFn, TailFn&& tailFn) {
  GsBytes out;
  out.reserve(model.size() + extra + 256);
  GsBytes graph;
  bool done = false;
  GsReader r(gsSliceOf(model));
  GsField f;
  while (r.next(f)) {
    if (done || f.field != 7 || f.wire != 2) {
      gsPutRaw(out, f.raw);
      continue;
    }
    done = true;
    graph.reserve(f.payload.n + extra + 256);
    graphFn(static_cast<const GsSlice&>(f.payload), graph);
    gsPutBytes(out, 7, graph.data(), graph.size());
  }
  tailFn(out);
  return out;
}

template <class GraphFn>
GsBytes gsRebuildFirstGraph(const GsBytes& model, size_t extra, GraphFn&& graphFn) {
  return gsRebuildFirstGraph(model, extra, graphFn, [](GsBytes&) {});
}

// Writes a new model into out (cleared first): every field copied at its place except the
// first graph, which is rebuilt under `edit`. An empty edit reproduces the input byte for
// byte when its lengths are minimally encoded. Returns true.
bool gsRebuild(const GsBytes& model, const GsGraphEdit& edit, GsBytes& out);

}  // namespace ka
