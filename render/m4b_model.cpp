// The initializer reader and the fused m4b topology check.
#include "render/m4b_model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "render/onnx_codec.h"

namespace ka {
namespace {

constexpr uint32_t kGraphInitializer = 5;
constexpr uint32_t kGraphInput = 11;
constexpr uint32_t kTensorFloatData = 4, kTensorName = 8, kTensorRaw = 9;
constexpr int64_t kFloat = 1;

std::vector<uint8_t> readWhole(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("ka_conv: cannot open " + path);
  std::vector<uint8_t> bytes;
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    throw std::runtime_error("ka_conv: cannot open " + path);
  }
  bytes.resize(static_cast<size_t>(size));
  const size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  if (got != bytes.size()) throw std::runtime_error("ka_conv: short read " + path);
  return bytes;
}

float le32Float(const uint8_t* p) {
  const uint32_t bits = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                        static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

OnnxTensor readTensor(GsSlice tensor, bool withValues) {
  OnnxTensor t;
  t.name = gsFirstStr(tensor, kTensorName);
  hcTensorDims(tensor, t.dims);
  if (hcTensorType(tensor) != kFloat) throw std::runtime_error("onnx: non-fp32 initializer " + t.name);
  size_t count = 1;
  for (int64_t d : t.dims) {
    if (d < 0) throw std::runtime_error("onnx: raw size mismatch " + t.name);
    // A product whose byte count wraps could match a short payload and then size the
    // values far beyond it.
    if (d != 0 && count > std::numeric_limits<size_t>::max() / 4 / static_cast<size_t>(d))
      throw std::runtime_error("onnx: raw size mismatch " + t.name);
    count *= static_cast<size_t>(d);
  }
  GsReader r(tensor);
  GsField f;
  bool raw = false, packed = false;
  size_t floats = 0;
  while (r.next(f)) {
    // An empty raw_data is what a writer leaves for no raw data at all.
    if (f.field == kTensorRaw && f.wire == 2 && f.payload.n > 0) {
      raw = true;
      if (f.payload.n != count * 4) throw std::runtime_error("onnx: raw size mismatch " + t.name);
      if (withValues) {
        t.values.resize(count);
        for (size_t i = 0; i < count; ++i) t.values[i] = le32Float(f.payload.p + 4 * i);
      }
    } else if (f.field == kTensorFloatData) {
      packed = true;
      if (f.wire == 2) {
        for (size_t i = 0; i + 4 <= f.payload.n; i += 4, ++floats)
          if (withValues && !raw) t.values.push_back(le32Float(f.payload.p + i));
      } else if (f.wire == 5) {
        uint8_t b[4];
        for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(f.varint >> (8 * i));
        if (withValues && !raw) t.values.push_back(le32Float(b));
        ++floats;
      }
    }
  }
  if (!raw && !packed) throw std::runtime_error("onnx: no data for " + t.name);
  if (!raw && floats != count) throw std::runtime_error("onnx: float_data size mismatch " + t.name);
  return t;
}

bool sameShape(const std::vector<int64_t>& a, std::initializer_list<int64_t> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "(";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? "," : "") + std::to_string(s[i]);
  return t + ")";
}

// The one initializer of a shape, or empty when there is none or more than one.
std::string uniqueOfShape(const OnnxModel& m, std::initializer_list<int64_t> shape) {
  std::string found;
  int count = 0;
  for (const OnnxTensor& t : m.initializers)
    if (sameShape(t.dims, shape)) {
      found = t.name;
      ++count;
    }
  return count == 1 ? found : std::string();
}

}  // namespace

const OnnxTensor* OnnxModel::find(const std::string& name) const {
  for (const OnnxTensor& t : initializers)
    if (t.name == name) return &t;
  return nullptr;
}

const OnnxTensor& OnnxModel::get(const std::string& name) const {
  const OnnxTensor* t = find(name);
  if (!t) throw std::runtime_error("onnx: missing initializer " + name);
  return *t;
}

OnnxModel loadOnnx(const std::string& path, bool withValues) {
  const std::vector<uint8_t> bytes = readWhole(path);
  const GsSlice graph = gsGraphOf(GsSlice{bytes.data(), bytes.size()});
  OnnxModel model;
  bool pooled = false;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.field == kGraphInitializer && f.wire == 2) model.initializers.push_back(readTensor(f.payload, withValues));
    if (f.field == kGraphInput && f.wire == 2 && gsFirstStr(f.payload, 1) == "pooled64")
      pooled = gsValueInfoDims(f.payload, model.pooledDims);
  }
  if (!pooled) throw std::runtime_error("ka_conv: pooled64 input not found");
  return model;
}

M4bTopology m4bResolve(const OnnxModel& m) {
  struct Named {
    const char* name;
    std::initializer_list<int64_t> shape;
  };
  static const Named kNamed[] = {
      {"s.e0.conv.weight", {96, 96, 3, 3}},     {"s.e0.conv.bias", {96}},
      {"s.e1.conv.weight", {144, 96, 3, 3}},    {"s.e1.conv.bias", {144}},
      {"s.e2.conv.weight", {192, 144, 3, 3}},   {"s.e2.conv.bias", {192}},
      {"s.d1.conv.weight", {144, 336, 3, 3}},   {"s.d1.conv.bias", {144}},
      {"s.d0.conv.weight", {96, 240, 3, 3}},    {"s.d0.conv.bias", {96}},
      {"s.ref.conv.weight", {48, 96, 3, 3}},    {"s.ref.conv.bias", {48}},
      {"s.mask.weight", {22, 48, 3, 3}},        {"s.mask.bias", {22}},
      {"s.occ.weight", {1, 48, 3, 3}},          {"s.occ.bias", {1}},
      {"s.corr.0.conv.weight", {24, 7, 3, 3}},  {"s.corr.0.conv.bias", {24}},
      {"s.corr.1.conv.weight", {24, 24, 3, 3}}, {"s.corr.1.conv.bias", {24}},
      {"s.corr.2.weight", {12, 24, 3, 3}},      {"s.corr.2.bias", {12}},
      {"s.tile.0.conv.weight", {32, 7, 3, 3}},  {"s.tile.0.conv.bias", {32}},
      {"s.tile.1.conv.weight", {32, 32, 3, 3}}, {"s.tile.1.conv.bias", {32}},
      {"s.tile.2.conv.weight", {32, 32, 3, 3}}, {"s.tile.2.conv.bias", {32}},
      {"s.tile.3.weight", {3, 32, 3, 3}},       {"s.tile.3.bias", {3}},
      {"s.grid64", {1, 64, 64, 2}},             {"s.feather", {1, 1, 512, 512}},
      {"s.wmlp.2.bias", {64}},
  };
  for (const Named& n : kNamed) {
    const OnnxTensor* t = m.find(n.name);
    if (!t) throw std::runtime_error(std::string("missing ") + n.name);
    if (!sameShape(t->dims, n.shape))
      throw std::runtime_error(std::string(n.name) + " has shape " + shapeText(t->dims) + ", not " +
                               shapeText(std::vector<int64_t>(n.shape)));
  }
  const std::vector<int64_t>& p = m.pooledDims;
  if (p.size() != 4 || p[0] < 1 || p[1] != 64 || p[2] != 32 || p[3] != 32)
    throw std::runtime_error("pooled64 declared as " + shapeText(p) + ", not (batch,64,32,32)");
  if (p[0] > kM4bMaxBatch)
    throw std::runtime_error("pooled64 declares batch " + std::to_string(p[0]) + ", over the engine's maximum of " +
                             std::to_string(kM4bMaxBatch));
  M4bTopology topo;
  // The MLP's hidden width is the graph's own; its three other arrays must agree on it.
  const char* mlp[] = {"s.wmlp.0.weight", "s.wmlp.0.bias", "s.wmlp.2.weight"};
  for (const char* name : mlp)
    if (!m.find(name)) throw std::runtime_error(std::string("missing ") + name);
  const OnnxTensor& w0 = m.get(mlp[0]);
  if (w0.dims.size() != 2 || w0.dims[1] != 255 || w0.dims[0] < 1 || w0.dims[0] > 4096)
    throw std::runtime_error(std::string(mlp[0]) + " has shape " + shapeText(w0.dims) + ", not (hidden,255)");
  const int64_t hidden = w0.dims[0];
  if (!sameShape(m.get(mlp[1]).dims, {hidden}))
    throw std::runtime_error(std::string(mlp[1]) + " has shape " + shapeText(m.get(mlp[1]).dims) + ", not (" +
                             std::to_string(hidden) + ")");
  if (!sameShape(m.get(mlp[2]).dims, {64, hidden}))
    throw std::runtime_error(std::string(mlp[2]) + " has shape " + shapeText(m.get(mlp[2]).dims) + ", not (64," +
                             std::to_string(hidden) + ")");
  topo.hidden = static_cast<int>(hidden);

  topo.preWeight = uniqueOfShape(m, {96, 85, 1, 1});
  if (topo.preWeight.empty()) throw std::runtime_error("pre weight (96,85,1,1) absent or ambiguous");
  size_t digits = 0;
  while (digits < topo.preWeight.size() &&
         std::isdigit(static_cast<unsigned char>(topo.preWeight[topo.preWeight.size() - 1 - digits])))
    ++digits;
  // A counter too long for 64 bits is no exporter's counter either.
  if (digits == 0 || digits > 18) throw std::runtime_error("pre weight name carries no SSA counter");
  const std::string prefix = topo.preWeight.substr(0, topo.preWeight.size() - digits);
  const long long counter = std::stoll(topo.preWeight.substr(prefix.size()));
  topo.preBias = prefix + std::to_string(counter + 1);
  const OnnxTensor* bias = m.find(topo.preBias);
  if (!bias || !sameShape(bias->dims, {96}))
    throw std::runtime_error("pre bias " + topo.preBias + " absent or not (96)");

  topo.basis = uniqueOfShape(m, {64, 196608});
  if (topo.basis.empty()) throw std::runtime_error("basis (64,196608) absent or ambiguous");
  topo.grid32 = uniqueOfShape(m, {1, 1, 32, 32, 2});
  if (topo.grid32.empty()) throw std::runtime_error("grid32 (1,1,32,32,2) absent or ambiguous");
  return topo;
}

}  // namespace ka
