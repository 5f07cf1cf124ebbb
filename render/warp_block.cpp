#include "render/warp_block.h"

#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "render/graph_rewrites.h"
#include "render/source_cone.h"

namespace ka {
namespace {

bool isRecombination(const std::string& op) { return op == "Mul" || op == "Sub" || op == "Add"; }

// Positions of the samplers reading `boundary` as their first input.
std::vector<size_t> tipsOf(const GsNodeTable& t, const std::string& boundary) {
  std::vector<size_t> tips;
  for (size_t i = 0; i < t.nodes.size(); ++i) {
    const GsNode& n = t.nodes[i];
    if ((n.op == "GridSample" || n.op == "GridSampleFast") && !n.in.empty() && n.in[0] == boundary)
      tips.push_back(i);
  }
  return tips;
}

// The block on a table already read: tip position and marked nodes.
size_t findBlock(const GsBytes& model, const GsNodeTable& t, WarpBlock& b, size_t& tip, std::vector<uint8_t>& marked,
                 std::string& reason) {
  std::string boundary;
  if (findSourceConeBoundary(model, boundary) != 1) {
    reason = std::string("not one Concat consuming ") + "P_rgb";
    return 0;
  }
  const std::vector<size_t> tips = tipsOf(t, boundary);
  if (tips.size() >= 2) {
    reason = "two GridSamples on the cone's tip";
    return 0;
  }
  if (tips.empty()) {
    reason = "no GridSample consuming '" + boundary + "'";
    return 0;
  }
  tip = tips[0];
  const GsNode& g = t.nodes[tip];
  if (g.op != "GridSampleFast" && !gridSampleRewritable(g.raw)) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return 0;
  }
  if (g.out.empty() || g.out[0].empty()) {
    reason = "the fused GridSample has no output";
    return 0;
  }
  const std::string& sampled = g.out[0];

  marked.assign(t.nodes.size(), 0);
  marked[tip] = 1;
  std::unordered_set<std::string> made{sampled};
  for (size_t i = 0; i < t.nodes.size(); ++i) {
    const GsNode& n = t.nodes[i];
    if (n.op != "Slice") continue;
    for (const std::string& in : n.in)
      if (in == sampled) marked[i] = 1;
  }
  for (size_t i = 0; i < t.nodes.size(); ++i)
    if (marked[i])
      for (const std::string& o : t.nodes[i].out) made.insert(o);
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t i = 0; i < t.nodes.size(); ++i) {
      const GsNode& n = t.nodes[i];
      if (marked[i] || !isRecombination(n.op)) continue;
      bool reads = false;
      for (const std::string& in : n.in) reads = reads || made.count(in);
      if (!reads) continue;
      marked[i] = 1;
      grew = true;
      for (const std::string& o : n.out) made.insert(o);
    }
  }

  // The node that replaces the block writes the recombination's exit, never the sampled
  // tensor: a reader of it outside the block would be left without a producer.
  std::string why;
  for (size_t i = 0; i < t.nodes.size() && why.empty(); ++i)
    if (!marked[i])
      gsEachRead(t.nodes[i], [&](const std::string& in) {
        if (in == sampled && why.empty())
          why = "the sampled tensor '" + sampled + "' is also read outside the block by " + t.nodes[i].name;
      });
  for (const std::string& o : t.outputs)
    if (o == sampled && why.empty()) why = "the sampled tensor '" + sampled + "' is a graph output";
  if (!why.empty()) {
    reason = why;
    return 0;
  }

  std::unordered_set<std::string> exits;
  std::vector<std::string> order;  // first met first, for a stable single exit
  auto addExit = [&](const std::string& v) {
    if (exits.insert(v).second) order.push_back(v);
  };
  std::unordered_set<std::string> blockOut;
  for (size_t i = 0; i < t.nodes.size(); ++i)
    if (marked[i] && i != tip)
      for (const std::string& o : t.nodes[i].out) blockOut.insert(o);
  for (size_t i = 0; i < t.nodes.size(); ++i)
    if (!marked[i])
      gsEachRead(t.nodes[i], [&](const std::string& in) {
        if (blockOut.count(in)) addExit(in);
      });
  for (const std::string& o : t.outputs)
    if (blockOut.count(o)) addExit(o);
  if (order.size() != 1) {
    reason = "the recombination has " + std::to_string(order.size()) + " exits, not 1";
    return 0;
  }

  const std::string grid = g.in.size() > 1 ? g.in[1] : std::string();
  bool gridMade = false;
  for (const GsNode& n : t.nodes)
    for (const std::string& o : n.out) gridMade = gridMade || (!grid.empty() && o == grid);
  if (!gridMade) {
    reason = "the grid has no producer";
    return 0;
  }

  size_t count = 0;
  for (uint8_t m : marked) count += m;
  b.boundary = boundary;
  b.grid = grid;
  b.exit = order[0];
  b.nodes = count;
  return count;
}

void putStr(GsBytes& out, uint32_t field, const std::string& s) { gsPutBytes(out, field, s.data(), s.size()); }

bool hasTavrinImport(const GsBytes& model) {
  GsReader r(gsSliceOf(model));
  GsField f;
  while (r.next(f))
    if (f.field == 8 && f.wire == 2 && gsFirstStr(f.payload, 1) == "com.tavrin") return true;
  return false;
}

}  // namespace

size_t findWarpBlock(const GsBytes& model, WarpBlock* out, std::string& reason) {
  if (out == nullptr) {
    reason = "no out param";
    return 0;
  }
  const GsNodeTable t = gsReadGraph(model);
  if (!t.hasGraph) {
    reason = "no graph";
    return 0;
  }
  size_t tip = 0;
  std::vector<uint8_t> marked;
  return findBlock(model, t, *out, tip, marked, reason);
}

size_t rewriteWarpBlockToCustomOp(GsBytes& model, std::string& reason) {
  WarpBlock block;
  if (findWarpBlock(model, &block, reason) == 0) return 0;
  const GsNodeTable t = gsReadGraph(model);
  if (!t.inputs.count("P_rgb")) {  // the new node reads it in place of the cone
    reason = "no P_rgb input";
    return 0;
  }
  std::vector<uint8_t> drop;
  if (!gsSourceCone(t, block.boundary, drop, reason)) return 0;

  // A second reading on a fresh table must land on the same node the first one found.
  size_t tip = 0;
  std::vector<uint8_t> marked;
  WarpBlock again;
  if (findBlock(model, t, again, tip, marked, reason) == 0) return 0;
  const std::vector<size_t> tips = tipsOf(t, block.boundary);
  if (tips.size() != 1 || tips[0] != tip) {
    reason = "the GridSample moved between passes";
    return 0;
  }
  for (size_t i = 0; i < t.nodes.size(); ++i) drop[i] = drop[i] || marked[i];

  // Whatever only the removed nodes read (Constants of the cone, the grid-side factors of
  // the recombination) goes with them.
  for (bool pruned = true; pruned;) {
    pruned = false;
    std::unordered_set<std::string> live(t.outputs.begin(), t.outputs.end());
    live.insert(block.grid);
    for (size_t i = 0; i < t.nodes.size(); ++i)
      if (!drop[i]) gsEachRead(t.nodes[i], [&](const std::string& in) { live.insert(in); });
    for (size_t i = 0; i < t.nodes.size(); ++i) {
      if (drop[i]) continue;
      bool used = false;
      for (const std::string& o : t.nodes[i].out) used = used || live.count(o);
      if (!used) {
        drop[i] = 1;
        pruned = true;
      }
    }
  }
  size_t removed = 0;
  for (uint8_t d : drop) removed += d;

  // Every value the removed nodes made, but the exit the new node makes in their place,
  // must be read by nothing that stays: the boundary, say, may feed more than the block.
  std::unordered_set<std::string> gone;
  for (size_t i = 0; i < t.nodes.size(); ++i)
    if (drop[i])
      for (const std::string& o : t.nodes[i].out)
        if (!o.empty() && o != block.exit) gone.insert(o);
  if (gone.count(block.grid)) {
    reason = "the grid '" + block.grid + "' would be removed with the block";
    return 0;
  }
  for (const std::string& o : t.outputs)
    if (gone.count(o)) {
      reason = "'" + o + "' would be removed but is a graph output";
      return 0;
    }
  for (size_t i = 0; i < t.nodes.size(); ++i) {
    if (drop[i]) continue;
    std::string why;
    gsEachRead(t.nodes[i], [&](const std::string& in) {
      if (why.empty() && gone.count(in)) why = "'" + in + "' would be removed but is still read by " + t.nodes[i].name;
    });
    if (!why.empty()) {
      reason = why;
      return 0;
    }
  }

  GsBytes node;
  putStr(node, 1, "P_rgb");
  putStr(node, 1, block.grid);
  putStr(node, 2, block.exit);
  putStr(node, 3, "ka_warp_director");
  putStr(node, 4, "WarpDirector");
  putStr(node, 7, "com.tavrin");

  const bool addImport = !hasTavrinImport(model);
  GsBytes out = gsRebuildFirstGraph(
      model, node.size(),
      [&](GsSlice g, GsBytes& graph) {
        gsEachGraphField(g, [&](const GsField& gf, size_t i) {
          if (i != kGsNotNode) {
            if (i == tip) gsPutBytes(graph, 1, node.data(), node.size());
            if (i < drop.size() && drop[i]) return;
          } else if (gf.field == 13 && gf.wire == 2 && gsFirstStr(gf.payload, 1) == block.boundary) {
            return;
          }
          gsPutRaw(graph, gf.raw);
        });
      },
      [&](GsBytes& o) {
        if (!addImport) return;
        GsBytes opset;
        putStr(opset, 1, "com.tavrin");
        gsPutTag(opset, 2, 0);
        gsPutVarint(opset, 1);
        gsPutBytes(o, 8, opset.data(), opset.size());
      });
  model.swap(out);
  return removed;
}

}  // namespace ka
