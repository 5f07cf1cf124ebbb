#include "render/graph_rewrites.h"

#include <cstring>
#include <initializer_list>
#include <string>
#include <unordered_map>
#include <vector>

namespace ka {

namespace {

bool standardDomain(GsSlice node) {
  const std::string d = gsFirstStr(node, 7);
  return d.empty() || d == "ai.onnx";
}

// One AttributeProto, as far as the rewrites look at it.
struct Attr {
  std::string name;
  bool hasI = false;
  int64_t i = 0;
  bool hasS = false;
  std::string s;
};

Attr readAttr(GsSlice attr) {
  Attr a;
  GsReader r(attr);
  GsField f;
  while (r.next(f)) {
    if (f.field == 1 && f.wire == 2) a.name = f.payload.str();
    else if (f.field == 3 && f.wire == 0) {
      a.hasI = true;
      a.i = static_cast<int64_t>(f.varint);
    } else if (f.field == 4 && f.wire == 2) {
      a.hasS = true;
      a.s = f.payload.str();
    }
  }
  return a;
}

std::vector<Attr> attrsOf(GsSlice node) {
  std::vector<Attr> out;
  GsReader r(node);
  GsField f;
  while (r.next(f))
    if (f.field == 5 && f.wire == 2) out.push_back(readAttr(f.payload));
  return out;
}

size_t countField(GsSlice message, uint32_t field) {
  size_t n = 0;
  GsReader r(message);
  GsField f;
  while (r.next(f))
    if (f.field == field) ++n;
  return n;
}

// Appends the node's fields except those numbered in `drop`, keeping their bytes and order.
void copyNodeExcept(GsSlice node, std::initializer_list<uint32_t> drop, GsBytes& out) {
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    bool skip = false;
    for (uint32_t d : drop) skip = skip || f.field == d;
    if (!skip) gsPutRaw(out, f.raw);
  }
}

void putStr(GsBytes& out, uint32_t field, const char* s) { gsPutBytes(out, field, s, std::strlen(s)); }

bool isGridSampleRewritable(GsSlice node) {
  if (gsFirstStr(node, 4) != "GridSample" || !standardDomain(node)) return false;
  bool modeOk = false, padOk = false, alignOk = true;
  for (const Attr& a : attrsOf(node)) {
    if (a.name == "mode") modeOk = a.s == "bilinear" || a.s == "linear";
    else if (a.name == "padding_mode") padOk = a.s == "border";
    else if (a.name == "align_corners") alignOk = a.i == 0;
  }
  return modeOk && padOk && alignOk;
}

bool isStudentBlend(GsSlice node) {
  return gsFirstStr(node, 3) == "/s2/blend" && gsFirstStr(node, 4) == "MatMul" && standardDomain(node) &&
         countField(node, 1) == 2 && countField(node, 5) == 0;
}

// Rewrites every graph node for which match() holds by copying it without the fields in
// `drop` and appending `tail` (already-encoded fields).
template <class Match>
size_t rewriteNodes(GsBytes& model, Match match, std::initializer_list<uint32_t> drop, const GsBytes& tail,
                    bool addTavrinImport) {
  const GsSlice graph = gsGraphOf(model);
  size_t count = 0;
  {
    gsEachGraphField(graph, [&](const GsField& f, size_t at) { count += at != kGsNotNode && match(f.payload); });
  }
  if (count == 0) return 0;
  bool hasImport = false;
  if (addTavrinImport) {
    GsReader r(gsSliceOf(model));
    GsField f;
    while (r.next(f))
      if (f.field == 8 && f.wire == 2 && gsFirstStr(f.payload, 1) == "com.tavrin") hasImport = true;
  }
  GsBytes node;
  GsBytes out = gsRebuildFirstGraph(
      model, count * tail.size(),
      [&](GsSlice g, GsBytes& o) {
        gsEachGraphField(g, [&](const GsField& f, size_t at) {
          if (at != kGsNotNode && match(f.payload)) {
            node.clear();
            copyNodeExcept(f.payload, drop, node);
            node.insert(node.end(), tail.begin(), tail.end());
            gsPutBytes(o, 1, node.data(), node.size());
          } else {
            gsPutRaw(o, f.raw);
          }
        });
      },
      [&](GsBytes& o) {
        if (!addTavrinImport || hasImport) return;
        GsBytes opset;
        putStr(opset, 1, "com.tavrin");
        gsPutTag(opset, 2, 0);
        gsPutVarint(opset, 1);
        gsPutBytes(o, 8, opset.data(), opset.size());
      });
  model.swap(out);
  return count;
}

// ---- head cubic resize ----

struct NodeInfo {
  GsSlice body;
  std::string op, name;
  std::vector<std::string> in, out;
  bool standard = false;
};

struct GraphIndex {
  std::vector<NodeInfo> nodes;
  std::unordered_map<std::string, GsSlice> inits;      // initializer name -> TensorProto
  std::unordered_map<std::string, GsSlice> consts;     // Constant output -> TensorProto
  std::unordered_map<std::string, size_t> producer;
  std::unordered_map<std::string, std::vector<size_t>> consumers;
  std::vector<std::string> declared;                   // graph inputs and outputs
};

GraphIndex indexGraph(GsSlice graph) {
  GraphIndex gi;
  gsEachGraphField(graph, [&](const GsField& f, size_t at) {
    if (f.wire != 2) return;
    if (at != kGsNotNode) {
      NodeInfo n;
      n.body = f.payload;
      n.op = gsFirstStr(f.payload, 4);
      n.name = gsFirstStr(f.payload, 3);
      gsAllStr(f.payload, 1, n.in);
      gsAllStr(f.payload, 2, n.out);
      n.standard = standardDomain(f.payload);
      const size_t idx = gi.nodes.size();
      for (const auto& o : n.out) gi.producer.emplace(o, idx);
      for (const auto& i : n.in) gi.consumers[i].push_back(idx);
      if (n.op == "Constant" && n.out.size() == 1) {
        const GsSlice t = hcConstValue(f.payload);
        if (!t.empty()) gi.consts.emplace(n.out[0], t);
      }
      gi.nodes.push_back(std::move(n));
    } else if (f.field == 5) {
      gi.inits.emplace(gsFirstStr(f.payload, 8), f.payload);
    } else if (f.field == 11 || f.field == 12) {
      gi.declared.push_back(gsFirstStr(f.payload, 1));
    }
  });
  return gi;
}

const GsSlice* constantOf(const GraphIndex& gi, const std::string& name) {
  if (auto it = gi.inits.find(name); it != gi.inits.end()) return &it->second;
  if (auto it = gi.consts.find(name); it != gi.consts.end()) return &it->second;
  return nullptr;
}

bool isCubicCandidate(const GraphIndex& gi, const NodeInfo& n) {
  if (n.op != "Resize" || !n.standard || n.in.size() != 3 || n.out.size() != 1) return false;
  const HcResizeAttrs a = hcReadAttrs(n.body);
  if (a.mode != "cubic" || a.coordMode != "half_pixel") return false;
  if (a.hasKeepAspect && a.keepAspect != "stretch") return false;
  if (a.hasAxes || a.excludeOutside != 0 || a.antialias != 0) return false;
  if (!n.in[1].empty()) return false;
  const GsSlice* scales = constantOf(gi, n.in[2]);
  std::vector<float> v;
  if (!scales || !hcTensorFloats(*scales, v)) return false;
  return v.size() == 4 && v[0] == 1.f && v[1] == 1.f && v[2] == 2.f && v[3] == 2.f;
}

int64_t attrIntOr(GsSlice node, const char* name, int64_t dflt) {
  for (const Attr& a : attrsOf(node))
    if (a.name == name) return a.hasI ? a.i : 0;
  return dflt;
}

// Keys cubic weight at distance d with coefficient a.
double keys(double d, double a) {
  if (d <= 1.0) return ((a + 2.0) * d - (a + 3.0)) * d * d + 1.0;
  if (d < 2.0) return a * (((d - 5.0) * d + 8.0) * d - 4.0);
  return 0.0;
}

// The 5-tap window (offsets -2..+2 around input position i) for fractional position t:
// t = 0.75 fills positions 0..3, t = 0.25 positions 1..4.
void window(double t, double a, int first, double out[5]) {
  const double w[4] = {keys(t + 1.0, a), keys(t, a), keys(1.0 - t, a), keys(2.0 - t, a)};
  const double sum = w[0] + w[1] + w[2] + w[3];
  for (int k = 0; k < 5; ++k) out[k] = 0.0;
  for (int k = 0; k < 4; ++k) out[first + k] = w[k] / sum;
}

}  // namespace

bool graphHasBakedGridSampleFast(const GsBytes& model) {
  bool baked = false;
  gsEachGraphField(gsGraphOf(model), [&](const GsField& f, size_t at) {
    baked = baked || (at != kGsNotNode && gsFirstStr(f.payload, 4) == "GridSampleFast" &&
                      gsFirstStr(f.payload, 7) == "com.tavrin");
  });
  return baked;
}

size_t rewriteGridSampleToFast(GsBytes& model) {
  GsBytes tail;
  putStr(tail, 4, "GridSampleFast");
  putStr(tail, 7, "com.tavrin");
  return rewriteNodes(model, isGridSampleRewritable, {4, 5, 7}, tail, true);
}

size_t normaliseStudentBlend(GsBytes& model) {
  GsBytes tail;
  putStr(tail, 4, "Gemm");
  return rewriteNodes(model, isStudentBlend, {4, 7}, tail, false);
}

size_t rewriteHeadCubicResize(GsBytes& model) {
  const GraphIndex gi = indexGraph(gsGraphOf(model));
  size_t pos = 0, found = 0;
  for (size_t i = 0; i < gi.nodes.size(); ++i)
    if (isCubicCandidate(gi, gi.nodes[i])) {
      pos = i;
      ++found;
    }
  if (found != 1) return 0;
  const NodeInfo& rz = gi.nodes[pos];
  const HcResizeAttrs attrs = hcReadAttrs(rz.body);
  const double a = attrs.hasCubicA ? attrs.cubicA : -0.75;

  // Channel count from the one consumer, a Conv whose weights are a rank-4 initializer.
  const auto cons = gi.consumers.find(rz.out[0]);
  if (cons == gi.consumers.end() || cons->second.size() != 1) return 0;
  const NodeInfo& conv = gi.nodes[cons->second[0]];
  if (conv.op != "Conv" || !conv.standard || conv.in.size() < 2) return 0;
  const auto wi = gi.inits.find(conv.in[1]);
  if (wi == gi.inits.end()) return 0;
  std::vector<int64_t> wdims;
  hcTensorDims(wi->second, wdims);
  if (wdims.size() != 4) return 0;
  const int64_t group = attrIntOr(conv.body, "group", 1);
  if (group < 1 || wdims[1] < 1) return 0;
  const int64_t ch = group * wdims[1];
  if (ch < 1 || ch > (int64_t{1} << 20)) return 0;

  // Cross-check against a per-channel [k,1,1] parameter a few nodes upstream.
  std::string cur = rz.in[0];
  for (int step = 0; step < 4 && !cur.empty(); ++step) {
    const auto p = gi.producer.find(cur);
    if (p == gi.producer.end()) break;
    const NodeInfo& prod = gi.nodes[p->second];
    bool met = false;
    for (const auto& in : prod.in) {
      const auto it = gi.inits.find(in);
      if (it == gi.inits.end()) continue;
      std::vector<int64_t> d;
      hcTensorDims(it->second, d);
      if (d.size() == 3 && d[1] == 1 && d[2] == 1) {
        if (d[0] != ch) return 0;
        met = true;
        break;
      }
    }
    if (met || prod.in.empty()) break;
    cur = prod.in[0];
  }

  const std::string prefix = "rz" + std::to_string(pos);
  const std::string padsName = prefix + "_pads", wName = prefix + "_dw_w", padOut = prefix + "_padout",
                    convOut = prefix + "_convout";
  // A name already in use anywhere (node edge, initializer or graph declaration) would
  // make the rewritten graph ambiguous.
  for (const std::string* nm : {&padsName, &wName, &padOut, &convOut}) {
    if (gi.producer.count(*nm) || gi.consumers.count(*nm) || gi.inits.count(*nm)) return 0;
    for (const auto& d : gi.declared)
      if (d == *nm) return 0;
  }
  const std::string base = rz.name.empty() ? "/Resize" : rz.name;

  // Depthwise weights [4ch, 1, 5, 5]: phase p = 2py + px is the outer product of the
  // row and column windows of that phase.
  double win[2][5];
  window(0.75, a, 0, win[0]);
  window(0.25, a, 1, win[1]);
  float phase[4][25];
  for (int py = 0; py < 2; ++py)
    for (int px = 0; px < 2; ++px)
      for (int r = 0; r < 5; ++r)
        for (int s = 0; s < 5; ++s) phase[2 * py + px][5 * r + s] = static_cast<float>(win[py][r] * win[px][s]);
  std::vector<float> w(static_cast<size_t>(ch) * 4 * 25);
  for (int64_t c = 0; c < ch; ++c)
    for (int p = 0; p < 4; ++p) std::memcpy(&w[(static_cast<size_t>(c) * 4 + p) * 25], phase[p], sizeof phase[p]);
  const int64_t pads[8] = {0, 0, 2, 2, 0, 0, 2, 2};

  GsBytes nodes;
  {
    GsBytes at;
    hcAttrS(at, "edge");
    hcNode(nodes, "Pad", {rz.in[0], padsName}, padOut, base + "/pad", at);
  }
  {
    GsBytes at;
    const int64_t one[2] = {1, 1}, k5[2] = {5, 5}, zero[4] = {0, 0, 0, 0};
    hcAttrIs(at, "dilations", one, 2);
    hcAttrI(at, "group", ch);
    hcAttrIs(at, "kernel_shape", k5, 2);
    hcAttrIs(at, "pads", zero, 4);
    hcAttrIs(at, "strides", one, 2);
    hcNode(nodes, "Conv", {padOut, wName}, convOut, base + "/dwconv", at);
  }
  {
    GsBytes at;
    hcAttrI(at, "blocksize", 2);
    hcAttrS(at, "CRD");
    hcNode(nodes, "DepthToSpace", {convOut}, rz.out[0], base + "/d2s", at);
  }
  GsBytes inits;
  hcInit(inits, padsName, 7, {8}, pads, sizeof pads);
  hcInit(inits, wName, 1, {4 * ch, 1, 5, 5}, w.data(), w.size() * sizeof(float));

  GsBytes out = gsRebuildFirstGraph(model, nodes.size() + inits.size(), [&](GsSlice g, GsBytes& o) {
    gsEachGraphField(g, [&](const GsField& f, size_t at) {
      if (at == pos) o.insert(o.end(), nodes.begin(), nodes.end());
      else gsPutRaw(o, f.raw);
    });
    o.insert(o.end(), inits.begin(), inits.end());
  });
  model.swap(out);
  return 1;
}

}  // namespace ka

namespace ka {
bool gridSampleRewritable(GsSlice node) { return isGridSampleRewritable(node); }
}  // namespace ka
