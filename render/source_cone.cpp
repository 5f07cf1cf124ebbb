#include "render/source_cone.h"

#include <unordered_map>

namespace ka {

GsNodeTable gsReadGraph(const GsBytes& model) {
  GsNodeTable t;
  const GsSlice graph = gsGraphOf(model);
  if (graph.p == nullptr) return t;
  t.hasGraph = true;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.field == 1) {
      GsNode n;
      n.raw = f.payload;
      n.op = gsFirstStr(f.payload, 4);
      n.name = gsFirstStr(f.payload, 3);
      n.domain = gsFirstStr(f.payload, 7);
      gsAllStr(f.payload, 1, n.in);
      gsAllStr(f.payload, 2, n.out);
      t.nodes.push_back(std::move(n));
    } else if (f.field == 5) {
      t.inits.insert(gsFirstStr(f.payload, 8));
    } else if (f.field == 11) {
      t.inputs.insert(gsFirstStr(f.payload, 1));
    } else if (f.field == 12) {
      t.outputs.push_back(gsFirstStr(f.payload, 1));
    }
  }
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
    for (const std::string& i : n.in) work.push_back(i);
  }

  std::unordered_set<std::string> coneValues;
  for (size_t i = 0; i < t.nodes.size(); ++i)
    if (mask[i])
      for (const std::string& o : t.nodes[i].out) coneValues.insert(o);
  for (size_t i = 0; i < t.nodes.size(); ++i) {
    if (mask[i]) continue;
    for (const std::string& in : t.nodes[i].in) {
      if (in == "P_rgb") {
        reason = "P_rgb is also read outside the cone by " + t.nodes[i].name;
        return false;
      }
      if (in != boundary && coneValues.count(in)) {
        reason = "cone value '" + in + "' escapes to " + t.nodes[i].name;
        return false;
      }
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
      if (!drop[i]) read.insert(t.nodes[i].in.begin(), t.nodes[i].in.end());
    for (size_t i = 0; i < t.nodes.size(); ++i) {
      if (drop[i] || t.nodes[i].op != "Constant") continue;
      bool used = false;
      for (const std::string& o : t.nodes[i].out) used = used || read.count(o);
      if (!used) drop[i] = changed = 1;
    }
  }
  GsBytes out;
  out.reserve(model.size());
  GsReader r(gsSliceOf(model));
  GsField f;
  while (r.next(f)) {
    if (f.field != 7 || f.wire != 2) {
      gsPutRaw(out, f.raw);
      continue;
    }
    GsBytes graph;
    graph.reserve(f.payload.n);
    size_t node = 0;
    GsReader g(f.payload);
    GsField gf;
    while (g.next(gf)) {
      if (gf.field == 1 && drop[node++]) continue;
      if (gf.field == 5 && gf.wire == 2) {
        const std::string name = gsFirstStr(gf.payload, 8);
        if (!read.count(name) && !t.inputs.count(name)) continue;
      }
      gsPutRaw(graph, gf.raw);
    }
    gsPutBytes(out, 7, graph.data(), graph.size());
  }
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
