#include "render/source_cone.h"

#include <stdexcept>
#include <unordered_map>

namespace ka {

namespace {

// An If or Loop body on a director is one or two levels deep; the bound keeps a crafted
// file from recursing down the stack.
constexpr int kMaxSubgraphDepth = 32;

void outerReads(GsSlice graph, int depth, std::vector<std::string>& out);

// What the subgraphs among the node's attributes (AttributeProto g = 6, graphs = 11) read
// from the scope around the node.
void subgraphReads(GsSlice node, int depth, std::vector<std::string>& out) {
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.field != 5 || f.wire != 2) continue;
    GsReader a(f.payload);
    GsField af;
    while (a.next(af))
      if ((af.field == 6 || af.field == 11) && af.wire == 2) outerReads(af.payload, depth + 1, out);
  }
}

// The names a subgraph reads that it does not define itself (as an input, an initializer
// or a node output): values of the enclosing graphs.
void outerReads(GsSlice graph, int depth, std::vector<std::string>& out) {
  if (depth > kMaxSubgraphDepth) throw std::runtime_error("onnx: subgraphs nested too deep");
  std::unordered_set<std::string> defined;
  std::vector<std::string> reads, made;
  gsEachGraphField(graph, [&](const GsField& f, size_t node) {
    if (node != kGsNotNode) {
      gsAllStr(f.payload, 1, reads);
      subgraphReads(f.payload, depth, reads);
      made.clear();
      gsAllStr(f.payload, 2, made);
      defined.insert(made.begin(), made.end());
    } else if (f.wire == 2 && f.field == 5) {
      defined.insert(gsFirstStr(f.payload, 8));
    } else if (f.wire == 2 && f.field == 11) {
      defined.insert(gsFirstStr(f.payload, 1));
    }
  });
  for (std::string& v : reads)
    if (!v.empty() && !defined.count(v)) out.push_back(std::move(v));
}

}  // namespace

GsNodeTable gsReadGraph(const GsBytes& model) {
  GsNodeTable t;
  const GsSlice graph = gsGraphOf(model);
  if (graph.p == nullptr) return t;
  t.hasGraph = true;
  gsEachGraphField(graph, [&](const GsField& f, size_t node) {
    if (f.wire != 2) return;
    if (node != kGsNotNode) {
      GsNode n;
      n.raw = f.payload;
      n.op = gsFirstStr(f.payload, 4);
      n.name = gsFirstStr(f.payload, 3);
      n.domain = gsFirstStr(f.payload, 7);
      gsAllStr(f.payload, 1, n.in);
      gsAllStr(f.payload, 2, n.out);
      subgraphReads(f.payload, 0, n.sub);
      t.nodes.push_back(std::move(n));
    } else if (f.field == 5) {
      t.inits.insert(gsFirstStr(f.payload, 8));
    } else if (f.field == 11) {
      t.inputs.insert(gsFirstStr(f.payload, 1));
    } else if (f.field == 12) {
      t.outputs.push_back(gsFirstStr(f.payload, 1));
    }
  });
  return t;
}

size_t findSourceConeBoundary(const GsBytes& model, std::string& name) {
  name.clear();
  const GsNodeTable t = gsReadGraph(model);
  size_t count = 0;
  std::string first;
  for (const GsNode& n : t.nodes) {
    if (n.op != "Concat") continue;
    bool readsPrior = false;
    for (const std::string& i : n.in) readsPrior = readsPrior || i == "P_rgb";
    if (!readsPrior) continue;
    if (count++ == 0 && !n.out.empty()) first = n.out[0];
  }
  if (count == 1) name = first;
  return count;
}

bool gsSourceCone(const GsNodeTable& t, const std::string& boundary, std::vector<uint8_t>& mask,
                  std::string& reason) {
  mask.assign(t.nodes.size(), 0);
  std::unordered_map<std::string, size_t> producer;
  for (size_t i = 0; i < t.nodes.size(); ++i)
    for (const std::string& o : t.nodes[i].out) producer.emplace(o, i);

  std::vector<std::string> work{boundary};
  std::unordered_set<std::string> visited;
  while (!work.empty()) {
    const std::string v = std::move(work.back());
    work.pop_back();
    if (v.empty() || v == "P_rgb" || t.inits.count(v)) continue;
    if (!visited.insert(v).second) continue;
    const auto p = producer.find(v);
    if (p == producer.end()) {
      reason = t.inputs.count(v) ? "cone reads graph input '" + v + "'" : "cone leaf '" + v + "' has no producer";
      return false;
    }
    const GsNode& n = t.nodes[p->second];
    if (n.op == "Constant") continue;  // shared freely: both graphs keep every Constant
    if (mask[p->second]) continue;
    mask[p->second] = 1;
    gsEachRead(n, [&](const std::string& i) { work.push_back(i); });
  }

  std::unordered_set<std::string> coneValues;
  for (size_t i = 0; i < t.nodes.size(); ++i)
    if (mask[i])
      for (const std::string& o : t.nodes[i].out) coneValues.insert(o);
  for (size_t i = 0; i < t.nodes.size(); ++i) {
    if (mask[i]) continue;
    std::string why;
    gsEachRead(t.nodes[i], [&](const std::string& in) {
      if (!why.empty()) return;
      if (in == "P_rgb") why = "P_rgb is also read outside the cone by " + t.nodes[i].name;
      else if (in != boundary && coneValues.count(in)) why = "cone value '" + in + "' escapes to " + t.nodes[i].name;
    });
    if (!why.empty()) {
      reason = why;
      return false;
    }
  }
  // The per-frame graph drops the cone's nodes, so a graph output made inside it (other
  // than the boundary, which becomes an input) would lose its producer.
  for (const std::string& o : t.outputs)
    if (o != boundary && coneValues.count(o)) {
      reason = "cone value '" + o + "' escapes to the graph outputs";
      return false;
    }
  return true;
}

namespace {

// The preconditions both builders share; fills the mask.
bool coneOf(const GsBytes& model, const std::string& boundary, GsNodeTable& t, std::vector<uint8_t>& mask,
            std::string& reason) {
  t = gsReadGraph(model);
  if (!t.hasGraph) {
    reason = "no graph";
    return false;
  }
  if (!t.inputs.count("P_rgb")) {
    reason = "no P_rgb input";
    return false;
  }
  return gsSourceCone(t, boundary, mask, reason);
}

// Drops the Constant nodes and initializers nothing reads any more, which ONNX Runtime
// would otherwise announce one warning line each at every session load.
void pruneUnused(GsBytes& model) {
  const GsNodeTable t = gsReadGraph(model);
  std::vector<uint8_t> drop(t.nodes.size(), 0);
  std::unordered_set<std::string> read;
  for (bool changed = true; changed;) {
    changed = false;
    read.clear();
    read.insert(t.outputs.begin(), t.outputs.end());
    for (size_t i = 0; i < t.nodes.size(); ++i)
      if (!drop[i]) gsEachRead(t.nodes[i], [&](const std::string& v) { read.insert(v); });
    for (size_t i = 0; i < t.nodes.size(); ++i) {
      if (drop[i] || t.nodes[i].op != "Constant") continue;
      bool used = false;
      for (const std::string& o : t.nodes[i].out) used = used || read.count(o);
      if (!used) drop[i] = changed = 1;
    }
  }
  GsBytes out = gsRebuildFirstGraph(model, 0, [&](GsSlice g, GsBytes& graph) {
    gsEachGraphField(g, [&](const GsField& gf, size_t node) {
      if (node != kGsNotNode && node < drop.size() && drop[node]) return;
      if (gf.field == 5 && gf.wire == 2) {
        const std::string name = gsFirstStr(gf.payload, 8);
        if (!read.count(name) && !t.inputs.count(name)) return;
      }
      gsPutRaw(graph, gf.raw);
    });
  });
  model.swap(out);
}

}  // namespace

bool buildSourceConePrep(const GsBytes& model, const std::string& boundary, GsBytes& prep, std::string& reason) {
  GsNodeTable t;
  std::vector<uint8_t> mask;
  if (!coneOf(model, boundary, t, mask, reason)) return false;
  std::vector<uint8_t> drop(t.nodes.size(), 1);
  size_t kept = 0;
  for (size_t i = 0; i < t.nodes.size(); ++i)
    if (mask[i] || t.nodes[i].op == "Constant") {
      drop[i] = 0;
      ++kept;
    }
  if (t.nodes.empty() || kept == 0) {
    reason = "empty cone";
    return false;
  }
  GsGraphEdit e;
  e.dropNode = drop.data();
  e.dropNodeCount = drop.size();
  e.keepOnlyPrgbInput = true;
  e.dropOutputs = true;
  e.newName = boundary.c_str();
  e.newDims = nullptr;  // every dimension named: ONNX Runtime infers the shape
  e.newDimCount = 4;
  e.newField = 12;
  gsRebuild(model, e, prep);
  pruneUnused(prep);
  return true;
}

bool buildSourceConePerFrame(const GsBytes& model, const std::string& boundary, const int64_t* dims,
                             size_t dimCount, GsBytes& perFrame, std::string& reason) {
  GsNodeTable t;
  std::vector<uint8_t> mask;
  if (!coneOf(model, boundary, t, mask, reason)) return false;
  GsGraphEdit e;
  e.dropNode = mask.data();
  e.dropNodeCount = mask.size();
  e.dropPrgbInput = true;
  e.newName = boundary.c_str();
  e.newDims = dims;
  e.newDimCount = dimCount;
  e.newField = 11;
  gsRebuild(model, e, perFrame);
  pruneUnused(perFrame);
  return true;
}

int SourceWalkPredictor::next(int s, int frames) {
  int guess = s;
  if (frames > 1) {
    if (prev_ == frames - 1 && s == 0) wrapped_ = true;
    if (prev_ >= 0 && (s - prev_ == 1 || s - prev_ == -1)) direction_ = s - prev_;
    const int candidate = s + direction_;
    if (wrapped_) guess = ((candidate % frames) + frames) % frames;
    else guess = candidate >= frames ? frames - 2 : (candidate < 0 ? 1 : candidate);
  }
  prev_ = s;
  return guess;
}

}  // namespace ka
