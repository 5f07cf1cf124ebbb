#include "render/lip_binding.h"

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "render/source_cone.h"

namespace ka {
namespace {

constexpr const char* kInput = "lip_delivery";
constexpr const char* kMinOut = "tessera_lipdel_alpha";
constexpr const char* kMinName = "tessera_lipdel_min";
constexpr int kMaxPassThrough = 4;  // Identity/Cast nodes between the output and the tail

void putStr(GsBytes& out, uint32_t field, const std::string& s) { gsPutBytes(out, field, s.data(), s.size()); }

struct Tables {
  GsNodeTable t;
  std::unordered_map<std::string, size_t> producer;
  std::unordered_map<std::string, GsSlice> inits;
};

Tables readTables(const GsBytes& model) {
  Tables x;
  x.t = gsReadGraph(model);
  for (size_t i = 0; i < x.t.nodes.size(); ++i)
    for (const std::string& o : x.t.nodes[i].out) x.producer.emplace(o, i);
  const GsSlice graph = gsGraphOf(model);
  if (graph.p) {
    GsReader r(graph);
    GsField f;
    while (r.next(f))
      if (f.field == 5 && f.wire == 2) x.inits.emplace(gsFirstStr(f.payload, 8), f.payload);
  }
  return x;
}

const GsNode* producerOf(const Tables& x, const std::string& v, size_t* at = nullptr) {
  const auto p = x.producer.find(v);
  if (p == x.producer.end()) return nullptr;
  if (at) *at = p->second;
  return &x.t.nodes[p->second];
}

// A one-element float constant (initializer or Constant node) equal to 1.
bool isOne(const Tables& x, const std::string& v) {
  GsSlice tensor;
  const auto i = x.inits.find(v);
  if (i != x.inits.end()) {
    tensor = i->second;
  } else if (const GsNode* n = producerOf(x, v); n && n->op == "Constant") {
    tensor = hcConstValue(n->raw);
  }
  if (tensor.p == nullptr) return false;
  std::vector<float> values;
  return hcTensorFloats(tensor, values) && values.size() == 1 && values[0] == 1.0f;
}

// The alpha a of a Mul reading Sub(1, a) with a = Clip(...); empty when the Mul is not one.
std::string alphaOfMul(const Tables& x, const GsNode& mul, size_t* sub) {
  if (mul.in.size() != 2) return {};
  for (const std::string& in : mul.in) {
    size_t at = 0;
    const GsNode* s = producerOf(x, in, &at);
    if (!s || s->op != "Sub" || s->in.size() != 2 || !isOne(x, s->in[0])) continue;
    const GsNode* c = producerOf(x, s->in[1]);
    if (!c || c->op != "Clip") continue;
    *sub = at;
    return s->in[1];
  }
  return {};
}

struct Tail {
  std::string alpha;
  size_t sub = 0, otherMul = 0;
};

bool findTail(const Tables& x, Tail& tail) {
  if (x.t.outputs.empty()) return false;
  size_t at = 0;
  const GsNode* n = producerOf(x, x.t.outputs[0], &at);
  for (int hop = 0; n && hop < kMaxPassThrough && (n->op == "Identity" || n->op == "Cast"); ++hop)
    n = n->in.empty() ? nullptr : producerOf(x, n->in[0], &at);
  if (!n) return false;

  std::vector<size_t> order{at};
  std::unordered_set<size_t> seen{at};
  for (size_t k = 0; k < order.size(); ++k) {
    const GsNode& m = x.t.nodes[order[k]];
    if (m.op != "Add") continue;
    for (const std::string& in : m.in) {
      size_t p = 0;
      if (producerOf(x, in, &p) && seen.insert(p).second) order.push_back(p);
    }
  }
  for (size_t idx : order) {
    const GsNode& add = x.t.nodes[idx];
    if (add.op != "Add" || add.in.size() != 2) continue;
    size_t mp[2];
    const GsNode* muls[2] = {producerOf(x, add.in[0], &mp[0]), producerOf(x, add.in[1], &mp[1])};
    if (!muls[0] || !muls[1] || muls[0]->op != "Mul" || muls[1]->op != "Mul") continue;
    for (int k = 0; k < 2; ++k) {
      const std::string a = alphaOfMul(x, *muls[k], &tail.sub);
      if (a.empty()) continue;
      tail.alpha = a;
      tail.otherMul = mp[1 - k];
      return true;
    }
    return false;  // the first Add of two Mul products decides
  }
  return false;
}

int canvasOf(const Tables& x, const GsNode& clip, const GsBytes& model) {
  for (const std::string& in : clip.in) {
    const auto i = x.inits.find(in);
    if (i == x.inits.end()) continue;
    std::vector<int64_t> dims;
    hcTensorDims(i->second, dims);
    const size_t r = dims.size();
    if (r >= 2 && dims[r - 1] == dims[r - 2]) return dims[r - 1] > 0 ? static_cast<int>(dims[r - 1]) : 0;
  }
  std::vector<int64_t> dims;
  if (ldInputDims(gsGraphOf(model), "P_rgb", dims) && dims.size() == 4 && dims[2] > 0)
    return static_cast<int>(dims[2]);
  return 0;
}

// The node with every input named `from` renamed `to`, all else byte for byte.
void renamedInputs(GsSlice node, const std::string& from, const std::string& to, GsBytes& out) {
  GsBytes n;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.field == 1 && f.wire == 2 && f.payload.str() == from) putStr(n, 1, to);
    else gsPutRaw(n, f.raw);
  }
  gsPutBytes(out, 1, n.data(), n.size());
}

}  // namespace

bool checkLipBinding(const GsBytes& rebuilt, const std::string& alpha, std::string& reason) {
  const GsNodeTable t = gsReadGraph(rebuilt);
  if (!t.inputs.count(kInput)) {
    reason = "self-check: the input did not survive the rebuild";
    return false;
  }
  bool hasMin = false;
  size_t readers = 0, stray = 0;
  for (const GsNode& n : t.nodes) {
    hasMin = hasMin || n.name == kMinName;
    bool reads = false;
    gsEachRead(n, [&](const std::string& in) { reads = reads || in == alpha; });
    if (!reads) continue;
    ++readers;
    if (n.name != kMinName) ++stray;
  }
  if (!hasMin) {
    reason = "self-check: the Min node did not survive the rebuild";
    return false;
  }
  if (stray) {
    reason = "self-check: rewire did not take: " + std::to_string(readers) + " consumers of " + alpha +
             ", one still reads the alpha — refusing a graph that would serve the ellipse with the input attached and "
             "ignored";
    return false;
  }
  std::unordered_map<std::string, size_t> producer;
  for (size_t i = 0; i < t.nodes.size(); ++i)
    for (const std::string& o : t.nodes[i].out) producer.emplace(o, i);
  for (size_t i = 0; i < t.nodes.size(); ++i)
    for (const std::string& in : t.nodes[i].in) {
      const auto p = producer.find(in);
      if (p == producer.end() || p->second < i) continue;
      reason = "self-check: node " + t.nodes[i].name + " reads '" + in + "' produced at " + std::to_string(p->second) +
               " — the rewritten graph is not topologically ordered";
      return false;
    }
  return true;
}

bool rewriteBindLipContour(GsBytes& model, std::string& reason, int* canvasOut, int* batchOut) {
  const Tables x = readTables(model);
  if (!x.t.hasGraph) {
    reason = "no graph";
    return false;
  }
  if (x.t.inputs.count(kInput)) {
    reason = std::string("the graph already carries an input named ") + kInput;
    return false;
  }
  Tail tail;
  if (!findTail(x, tail)) {
    reason = "the graph does not carry the unified compose tail";
    return false;
  }
  size_t alphaAt = 0;
  const GsNode* clip = producerOf(x, tail.alpha, &alphaAt);
  if (!clip) {
    reason = "the compose alpha '" + tail.alpha + "' has no producer node";
    return false;
  }
  const int canvas = canvasOf(x, *clip, model);
  if (canvas <= 0) {
    reason = "cannot read the compose canvas off the graph";
    return false;
  }
  int64_t batch = -1;
  const GsSlice graph = gsGraphOf(model);
  for (const char* name : {"pooled64", "kp_driving"}) {
    std::vector<int64_t> dims;
    if (ldInputDims(graph, name, dims) && !dims.empty() && dims[0] > 0) {
      batch = dims[0];
      break;
    }
  }

  GsBytes minNode;
  putStr(minNode, 1, tail.alpha);
  putStr(minNode, 1, kInput);
  putStr(minNode, 2, kMinOut);
  putStr(minNode, 3, kMinName);
  putStr(minNode, 4, "Min");

  GsBytes out = gsRebuildFirstGraph(model, minNode.size() + 256, [&](GsSlice graph, GsBytes& g) {
    gsEachGraphField(graph, [&](const GsField& gf, size_t i) {
      if (i == tail.sub || i == tail.otherMul) renamedInputs(gf.payload, tail.alpha, kMinOut, g);
      else gsPutRaw(g, gf.raw);
      if (i == alphaAt) gsPutBytes(g, 1, minNode.data(), minNode.size());
    });
    const int64_t dims[4] = {batch, 1, canvas, canvas};
    gsPutTensorValueInfo(g, 11, kInput, dims, 4);
  });
  if (!checkLipBinding(out, tail.alpha, reason)) return false;
  model.swap(out);
  if (canvasOut) *canvasOut = canvas;
  if (batchOut) *batchOut = static_cast<int>(batch);
  return true;
}

}  // namespace ka
